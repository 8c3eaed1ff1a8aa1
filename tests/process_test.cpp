// The whole watcher as a child process: the test executable selection-watcher-sim (the real main
// on the simulated desktop, driven by a scenario, platform/sim/scenario.cpp) on three pipes, under
// parents that behave and parents that do not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>

#include "process_cases.h"

namespace sw::test {
namespace {

// How the parent sets up the child's descriptors besides kNoStdin (descriptor 0 closed altogether).
enum Setup {
    kNonBlockingStdin = 4,   // the pipe's reading end set O_NONBLOCK, as some parents do
    kNonBlockingStdout = 8,  // the same for the output pipe's writing end
    kStderrFull = 16,        // descriptor 2 on /dev/full instead of a pipe
};

class Child : public ChildOutput {
public:
    explicit Child(const std::string& scenario, int setup = 0, const char* argument = nullptr) {
        char path[] = "/tmp/sw-scenario-XXXXXX";
        const int file = ::mkstemp(path);
        if (file < 0 || ::write(file, scenario.data(), scenario.size()) < 0) std::abort();
        ::close(file);
        scenarioPath_ = path;
        ::setenv("SELECTION_WATCHER_SCENARIO", path, 1);  // on the test's only thread, before fork
        int pipes[3][2];  // the child's descriptor 0 is pipes[0][0], 1 and 2 are pipes[1|2][1]
        for (auto& ends : pipes) {
            if (::pipe(ends) != 0) std::abort();
            for (int end : ends) ::fcntl(end, F_SETFD, FD_CLOEXEC);
        }
        if (setup & kNonBlockingStdin) ::fcntl(pipes[0][0], F_SETFL, O_NONBLOCK);
        if (setup & kNonBlockingStdout) ::fcntl(pipes[1][1], F_SETFL, O_NONBLOCK);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::signal(SIGPIPE, SIG_DFL);
            for (int fd : {0, 1, 2}) ::dup2(pipes[fd][fd == 0 ? 0 : 1], fd);
            if (setup & kNoStdin) ::close(0);
            if (setup & kStderrFull) ::dup2(::open("/dev/full", O_WRONLY), 2);
            ::execl(SW_SIM_EXE, SW_SIM_EXE, argument, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int fd : {0, 1, 2}) {
            ::close(pipes[fd][fd == 0 ? 0 : 1]);
            fds_[fd] = pipes[fd][fd == 0 ? 1 : 0];
        }
        if (setup & kNoStdin) close(0);
    }
    ~Child() {
        ::unlink(scenarioPath_.c_str());
        if (!reaped_) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
        for (int fd : {0, 1, 2}) close(fd);
    }

    std::optional<std::string> readLine(int fd = 1) {
        return nextLine(fd, [&](char* buffer, std::size_t size) {
            return fds_[fd] < 0 ? 0L : static_cast<long>(::read(fds_[fd], buffer, size));
        });
    }
    // Our end stays blocking, so the write ends once all is written or the child is gone.
    void writeStdin(const std::string& bytes) { (void)!::write(fds_[0], bytes.data(), bytes.size()); }
    void close(int fd) {  // our end of the child's descriptor fd
        if (fds_[fd] >= 0) ::close(std::exchange(fds_[fd], -1));
    }
    void step() { ::kill(pid_, SIGUSR1); }  // releases the scenario's next step
    // "exit N" or "signal N" once it has ended.
    std::string ending() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                 : "signal " + std::to_string(WTERMSIG(status));
    }

private:
    int pid_ = -1, fds_[3] = {-1, -1, -1};
    std::string scenarioPath_;
    bool reaped_ = false;
};

// A write to a child that died must fail the test, not kill the test program.
[[maybe_unused]] const bool kIgnoreBrokenPipe = (::signal(SIGPIPE, SIG_IGN), true);

const std::string kHeldUntilInput =
    "step hold ; register 501 AXFocusedUIElementChanged -25200 ; text 501 ; activate 501\n"
    "step text 501 again ; notify 501 AXSelectedTextChanged\n";

// A word selected in a page whose rectangle is not answered yet, which is asked again for 150 ms.
const std::string kRectangleNotYet =
    "text 501\nstep page 501 word ; notify 501 AXSelectedTextChanged\n";

// The shared parents (process_cases.h), then the POSIX descriptors' own: a reader that has gone
// ends the watcher with the broken-pipe signal.
TEST(Process, StartsRunsAndEnds) {
    std::vector<Parent> runs = sharedParents("signal 13");
    runs.insert(runs.end(), {
        // Neither an empty non-blocking pipe nor bytes in it are the end of input: the evaluation
        // held by the first step goes on once the watchdog has read the junk and waits again.
        {"non-blocking input", kNonBlockingStdin, kHeldUntilInput, "P s r j C s P i -", "exit 0"},
        {"stderr full", kStderrFull, kFailingObservers, "P s C s P s B i -", "exit 0"},
        {"paused reader of a non-blocking output", kNonBlockingStdout, "at 0 burst 501 20000\n", "P L i -",
         "exit 0"},
        {"input ends while a rectangle is waited for", 0, kRectangleNotYet, "C s w x", "exit 0"},
        // A browser that answers nothing holds each accessibility call for the messaging time-out
        // only, and a call it cannot complete ends the attach's reading and the evaluation: the end
        // of input still ends the process within a second, at start-up (no selection at first: it
        // is unknown) or during the attach of the hung browser brought to the front.
        {"end of input while a browser hangs at start-up", 0, "hang 501\n", "i C - T", "exit 0"},
        {"end of input during the attach of a hung browser", 0, "front 502\nhang 501\nstep activate 501\n",
         "C s W i - T", "exit 0"},
    });
    for (const Parent& run : runs) play<Child>(run);
}

}  // namespace
}  // namespace sw::test
