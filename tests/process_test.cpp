// The whole watcher as a child process: the test executable selection-watcher-sim (the real main
// on the simulated desktop, driven by a scenario, platform/sim/scenario.cpp) on three pipes, under
// parents that behave and parents that do not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

namespace sw::test {
namespace {

// How the parent sets up the child's descriptors, or-ed together.
enum Setup {
    kNoStdin = 2,            // descriptor 0 closed altogether
    kNonBlockingStdin = 4,   // the pipe's reading end set O_NONBLOCK, as some parents do
    kNonBlockingStdout = 8,  // the same for the output pipe's writing end
    kStderrFull = 16,        // descriptor 2 on /dev/full instead of a pipe
};

class Child {
public:
    explicit Child(const std::string& scenario, int setup = 0) {
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
            ::execl(SW_SIM_EXE, SW_SIM_EXE, static_cast<char*>(nullptr));
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

    // The next line of stdout (fd 1) or stderr (2) without its line feed; none at the end. A line
    // that never comes is a hang, which the test's time limit turns into a failure.
    std::optional<std::string> readLine(int fd = 1) {
        std::string& pending = pending_[fd];
        for (char buffer[65536]; pending.find('\n') == std::string::npos;) {
            const ssize_t n = fds_[fd] < 0 ? 0 : ::read(fds_[fd], buffer, sizeof buffer);
            if (n <= 0) return std::nullopt;
            pending.append(buffer, static_cast<std::size_t>(n));
        }
        std::string line = pending.substr(0, pending.find('\n'));
        pending.erase(0, line.size() + 1);
        return line;
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
    // Bytes read that do not form a whole line (a line cut short at the end).
    const std::string& pendingOutput() const { return pending_[1]; }

private:
    int pid_ = -1, fds_[3] = {-1, -1, -1};
    std::string pending_[3], scenarioPath_;
    bool reaped_ = false;
};

constexpr const char* kPresent =
    R"({"app":"org.mozilla.firefox","bounds":{"height":21,"width":100,"x":11,"y":-4},"selection":true})";
constexpr const char* kCleared = R"({"selection":false})";
constexpr const char* kPresentWithoutBounds = R"({"app":"org.mozilla.firefox","selection":true})";

// Firefox (501) in front with a word selected, so the first line is kPresent; TextEdit is 502 and
// Chrome 503.
std::string scenario(const std::string& extra) {
    return "app 501 org.mozilla.firefox\napp 502 com.apple.TextEdit\napp 503 com.google.Chrome\n"
           "front 501\ntext 501 hello world\nbounds 501 10.5 -3.5 100.4 20.6\n" + extra;
}

// A write to a child that died must fail the test, not kill the test program.
[[maybe_unused]] const bool kIgnoreBrokenPipe = (::signal(SIGPIPE, SIG_IGN), true);

const std::string kSelectNothing = "step text 501 ; notify 501 AXSelectedTextChanged\n";
// A diagnostic at start-up (501's registration), another when Chrome comes to the front.
const std::string kFailingObservers =
    "register 501 AXFocusedUIElementChanged -25200\ncreate 503 -25204\n"
    "step activate 503\nstep activate 501\nstep burst 501 100\n";

const std::string kHeldUntilInput =
    "step hold ; register 501 AXFocusedUIElementChanged -25200 ; text 501 ; activate 501\n"
    "step text 501 again ; notify 501 AXSelectedTextChanged\n";

// The thread sanitizer sleeps a second before a process exits, to catch late races.
#ifdef __SANITIZE_THREAD__
constexpr long kExitSleepMs = 1000;
#else
constexpr long kExitSleepMs = 0;
#endif

// A word selected in a page whose rectangle is not answered yet, which is asked again for 150 ms.
const std::string kRectangleNotYet =
    "text 501\nstep page 501 word ; notify 501 AXSelectedTextChanged\n";

struct Parent {
    const char* name;
    int setup;
    std::string extra;   // added to the scenario
    const char* script;  // what the parent does and expects, token by token (below)
    const char* ending;
};

// P, C, E: the next line is kPresent, kCleared, the permission error; "-": output ends; B, L: a
// burst on 501 of 100 lines or, read after a pause of 1.5 s, of 20,000 (cleared, present, ...);
// r, c: the next diagnostic is the failed registration, the failed creation; s: release a step;
// j: write junk into stdin; i, o, e: close stdin, stdout, stderr; w: wait 20 ms; x: close stdin,
// and the output ends within 100 ms, maybe after the line of an evaluation under way.
TEST(Process, StartsRunsAndEnds) {
    const Parent runs[] = {
        {"no access", 0, "trusted no\n", "j E -", "exit 2"},
        // The exit must wait for the evaluation in progress to write its line.
        {"input at end during the first evaluation", 0, "hold\n", "i P -", "exit 0"},
        {"no input during the first evaluation", kNoStdin, "hold\n", "P -", "exit 0"},
        // Neither an empty non-blocking pipe nor bytes in it are the end of input: the evaluation
        // held by the first step goes on once the watchdog has read the junk and waits again.
        {"non-blocking input", kNonBlockingStdin, kHeldUntilInput, "P s r j C s P i -",
         "exit 0"},
        {"another application in front at start", 0, "front 502\n", "C i -", "exit 0"},
        {"main loop returns", 0, "step stop\n", "P s -", "exit 0"},
        {"stdout closed", 0, kSelectNothing, "P o s", "signal 13"},
        {"stderr closed by the parent", 0, kFailingObservers, "P r e s", "signal 13"},
        {"failing observers", 0, kFailingObservers, "P r s C c s P s B i -", "exit 0"},
        {"stderr full", kStderrFull, kFailingObservers, "P s C s P s B i -", "exit 0"},
        {"paused reader of a non-blocking output", kNonBlockingStdout, "at 0 burst 501 20000\n", "P L i -",
         "exit 0"},
        {"input ends while a rectangle is waited for", 0, kRectangleNotYet, "C s w x", "exit 0"},
    };
    std::string junk(1 << 20, '\0');  // binary, NULs and line feeds included
    for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 131 + (i >> 9));
    for (const Parent& run : runs) {
        SCOPED_TRACE(run.name);
        Child child(scenario(run.extra), run.setup);
        std::istringstream script(run.script);
        for (char token; script >> token;) {
            SCOPED_TRACE(token);
            switch (token) {
                case 'P': EXPECT_EQ(child.readLine(), kPresent); break;
                case 'C': EXPECT_EQ(child.readLine(), kCleared); break;
                case 'E': EXPECT_EQ(child.readLine(), R"({"error":"ax_permission_denied"})"); break;
                case '-': EXPECT_EQ(child.readLine(), std::nullopt); break;
                case 'L': std::this_thread::sleep_for(std::chrono::milliseconds(1500)); [[fallthrough]];
                case 'B':
                    for (long i = 0, n = token == 'B' ? 100 : 20000; i < n; ++i) {
                        const auto line = child.readLine();
                        ASSERT_EQ(line, i % 2 == 0 ? kCleared : kPresent) << "line " << i << " of " << n;
                    }
                    break;
                case 'r':
                    EXPECT_EQ(child.readLine(2),
                              "AXObserverAddNotification AXFocusedUIElementChanged failed: -25200");
                    break;
                case 'c': EXPECT_EQ(child.readLine(2), "AXObserverCreate failed: -25204"); break;
                case 's': child.step(); break;
                case 'j': child.writeStdin(junk); break;
                case 'i': child.close(0); break;
                case 'w': std::this_thread::sleep_for(std::chrono::milliseconds(20)); break;
                case 'x': {
                    const auto closed = std::chrono::steady_clock::now();
                    child.close(0);
                    for (std::optional<std::string> line; (line = child.readLine());) {
                        EXPECT_EQ(line, kPresentWithoutBounds);
                    }
                    const auto took = std::chrono::steady_clock::now() - closed;
                    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(),
                              100 + kExitSleepMs);
                } break;
                case 'o': child.close(1); break;
                case 'e': child.close(2); break;
            }
        }
        EXPECT_EQ(child.ending(), run.ending);
        EXPECT_EQ(child.pendingOutput(), "") << "a line cut short";
    }
}

// A browser that answers nothing holds each accessibility call for the messaging time-out only,
// and a call it cannot complete ends the attach's reading and the evaluation: the end of input
// still ends the process within a second, whether it comes at start-up or during the attach of
// the hung browser brought to the front.
TEST(Process, EndOfInputEndsItWhileABrowserHangs) {
    using Clock = std::chrono::steady_clock;
    const struct {
        const char* name;
        const char* extra;
        bool step;  // activate the hung browser with the first step, close the input 0.3 s later
    } runs[] = {{"hung at start-up", "hang 501\n", false},
                {"hung browser brought to the front", "front 502\nhang 501\nstep activate 501\n", true}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.name);
        Child child(scenario(run.extra));
        if (run.step) {
            EXPECT_EQ(child.readLine(), kCleared);
            child.step();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        const auto closed = Clock::now();
        child.close(0);
        if (!run.step) {
            EXPECT_EQ(child.readLine(), kCleared);  // unknown, so no selection at first
        }
        EXPECT_EQ(child.readLine(), std::nullopt);
        EXPECT_EQ(child.ending(), "exit 0");
        EXPECT_LT(Clock::now() - closed, std::chrono::milliseconds(1000 + kExitSleepMs));
    }
}

}  // namespace
}  // namespace sw::test
