// The test executable (the real main on the simulated desktop) as a child process on three pipes,
// set up the way a careless or hostile parent might: read its lines with a deadline, write or close
// its input, release its scenario steps, and see how it ended.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace sw::test {

using std::chrono::milliseconds;

inline constexpr const char* kPresent =
    R"({"app":"org.mozilla.firefox","bounds":{"height":21,"width":100,"x":11,"y":-4},"selection":true})";
inline constexpr const char* kCleared = R"({"selection":false})";

// Firefox (501) in front with a word selected, so the first line is kPresent; TextEdit is 502 and
// Chrome 503. `extra` is appended (see platform/sim/scenario.cpp).
std::string scenario(const std::string& extra = "");

struct ChildOptions {
    bool stdinAtEnd = false;         // an input pipe already at its end
    bool noStdin = false;            // descriptor 0 closed altogether
    bool nonBlockingStdin = false;   // the pipe's reading end set O_NONBLOCK, as some parents do
    bool nonBlockingStdout = false;  // the same for the output pipe's writing end
    const char* stderrPath = nullptr;  // descriptor 2 opened on this file instead of a pipe
};

class Child {
public:
    Child(const std::string& scenarioText, const ChildOptions& options = {});
    ~Child();  // kills and reaps a child still running

    // The next stdout line without its line feed; none at end of output or after the timeout.
    std::optional<std::string> readLine(milliseconds timeout = milliseconds(10000));
    std::string readStderrLine(milliseconds timeout = milliseconds(10000));
    void writeStdin(const std::string& bytes);
    void closeStdin();
    void closeStdout();
    void closeStderr();
    void step();  // releases the scenario's next step (SIGUSR1)
    // "exit N" or "signal N" once it has ended, "running" after the timeout.
    std::string ending(milliseconds timeout = milliseconds(10000));
    // Bytes read that do not form a whole line (a line cut short at the end).
    const std::string& pendingOutput() const { return out_.pending; }

private:
    struct Stream {
        int fd = -1;
        std::string pending;
    };
    static std::optional<std::string> line(Stream& stream, milliseconds timeout);
    int pid_ = -1, in_ = -1;
    Stream out_, err_;
    bool reaped_ = false;
    std::string scenarioPath_;
};

}  // namespace sw::test
