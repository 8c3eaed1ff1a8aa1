// A child process on three pipes, for whole-process tests: read its lines with a deadline, write or
// close its input, signal it, and collect how it ended.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace sw::test {

struct ChildOptions {
    std::vector<std::string> argv;
    std::vector<std::string> env;  // added to the environment, NAME=value
    std::string scenario;          // for the simulated desktop: kept in a file while the child lives
    bool closeStdin = false;       // start with descriptor 0 closed altogether
    bool stdinAtEnd = false;       // start with an input pipe that is already at its end
    bool closeStderr = false;      // start with descriptor 2 closed altogether
    std::string stderrPath;        // descriptor 2 opened write-only on this file instead of a pipe
    int stdoutPipeSize = 0;        // capacity of the output pipe in bytes (Linux); 0: the default
};

class Child {
public:
    explicit Child(const ChildOptions& options);
    ~Child();  // kills and reaps a child still running

    // The next stdout line without its line feed, or none at end of output or after `timeout`.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Everything written to stderr so far (non-blocking).
    std::string readStderr();
    // The next stderr line, waiting for it until `timeout`; empty if none came.
    std::string readStderrLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void writeStdin(const std::string& bytes);
    void closeStdin();
    void closeStdout();
    void closeStderr();  // our reading end: its next diagnostic meets a broken pipe
    void signal(int signal);
    // Waits for the child to end: the raw wait status, or none after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    int pid() const { return pid_; }
    // Output bytes already read that do not form a whole line yet (an unterminated tail at the end).
    const std::string& pendingOutput() const { return buffered_; }

private:
    int pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string buffered_, bufferedErr_;
    bool reaped_ = false;
    std::string scenarioPath_;
};

}  // namespace sw::test
