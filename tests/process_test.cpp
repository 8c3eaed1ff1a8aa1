// The whole watcher as a child process: how it starts, runs and ends, under parents that behave
// and parents that do not.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <sstream>
#include <thread>

#include "tests/child.h"

namespace sw::test {
namespace {

// A write to a child that died must fail the test, not kill the test program.
[[maybe_unused]] const bool kIgnoreBrokenPipe = (::signal(SIGPIPE, SIG_IGN), true);

const std::string kSelectNothing = "step text 501 ; notify 501 AXSelectedTextChanged\n";
// A diagnostic at start-up (501's registration), another when Chrome comes to the front.
const std::string kFailingObservers =
    "register 501 AXFocusedUIElementChanged -25200\ncreate 503 -25204\n"
    "step activate 503\nstep activate 501\nstep burst 501 100\n";

// Reads the lines of a burst on 501 (cleared, present, cleared, ...) in order.
void expectBurst(Child& child, long rounds) {
    for (long i = 0; i < rounds; ++i) {
        const auto line = child.readLine();
        ASSERT_TRUE(line) << "line " << i << " of " << rounds << " never came";
        ASSERT_EQ(*line, i % 2 == 0 ? kCleared : kPresent) << "line " << i;
    }
}

struct Parent {
    const char* name;
    ChildOptions options;
    std::string extra;   // added to the scenario
    const char* script;  // what the parent does and expects, token by token (below)
    const char* ending;
};

// P, C, E: the next line is kPresent, kCleared, the permission error; "-": output ends; B: a burst
// of 100 lines; r, c: the next diagnostic is the failed registration, the failed creation; s:
// release a step; j: write junk into stdin; i, o, e: close stdin, stdout, stderr.
TEST(Process, StartsRunsAndEnds) {
    const Parent runs[] = {
        {"no access, input written", {}, "trusted no\n", "j E -", "exit 2"},
        {"no access, input at end", {.stdinAtEnd = true}, "trusted no\n", "E -", "exit 2"},
        {"no access, no input", {.noStdin = true}, "trusted no\n", "E -", "exit 2"},
        // The exit must wait for the evaluation in progress to write its line.
        {"input at end during the first evaluation", {.stdinAtEnd = true}, "hold\n", "P -", "exit 0"},
        {"no input during the first evaluation", {.noStdin = true}, "hold\n", "P -", "exit 0"},
        // An empty non-blocking pipe is not the end of input.
        {"non-blocking input", {.nonBlockingStdin = true}, "hold\n" + kSelectNothing, "P j s C i -",
         "exit 0"},
        {"main loop returns", {}, "step stop\n", "P s -", "exit 0"},
        {"stdout closed", {}, kSelectNothing, "P o s", "signal 13"},
        {"stderr closed by the parent", {}, kFailingObservers, "P r e s", "signal 13"},
        {"failing observers", {}, kFailingObservers, "P r s C c s P s B i -", "exit 0"},
        {"stderr full", {.stderrPath = "/dev/full"}, kFailingObservers, "P s C s P s B i -", "exit 0"},
    };
    for (const Parent& run : runs) {
        SCOPED_TRACE(run.name);
        Child child(scenario(run.extra), run.options);
        std::istringstream script(run.script);
        for (char token; script >> token;) {
            SCOPED_TRACE(token);
            switch (token) {
                case 'P': EXPECT_EQ(child.readLine(), kPresent); break;
                case 'C': EXPECT_EQ(child.readLine(), kCleared); break;
                case 'E': EXPECT_EQ(child.readLine(), R"({"error":"ax_permission_denied"})"); break;
                case '-': EXPECT_EQ(child.readLine(), std::nullopt); break;
                case 'B': expectBurst(child, 100); break;
                case 'r':
                    EXPECT_EQ(child.readStderrLine(),
                              "AXObserverAddNotification AXFocusedUIElementChanged failed: -25200");
                    break;
                case 'c': EXPECT_EQ(child.readStderrLine(), "AXObserverCreate failed: -25204"); break;
                case 's': child.step(); break;
                case 'j': child.writeStdin(std::string("junk\0{\"selection\":false}\n", 25)); break;
                case 'i': child.closeStdin(); break;
                case 'o': child.closeStdout(); break;
                case 'e': child.closeStderr(); break;
            }
        }
        EXPECT_EQ(child.ending(), run.ending);
        EXPECT_EQ(child.pendingOutput(), "") << "a line cut short";
    }
}

TEST(Process, FloodedInputChangesNothing) {
    constexpr long kRounds = 3000;
    Child child(scenario("step burst 501 3000\n"));
    ASSERT_EQ(child.readLine(), kPresent);
    // Binary junk, NULs and line feeds included, while the events flow and 64 MiB at least.
    std::atomic<bool> eventsDone{false};
    std::thread flood([&] {
        std::string junk(1 << 16, '\0');
        std::uint32_t seed = 12345;
        for (char& c : junk) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
        for (std::size_t sent = 0; !eventsDone || sent < (std::size_t{64} << 20); sent += junk.size()) {
            child.writeStdin(junk);
        }
    });
    child.step();
    expectBurst(child, kRounds);
    eventsDone = true;
    flood.join();
    EXPECT_EQ(child.ending(milliseconds(100)), "running") << "input alone must not end it";
    child.closeStdin();
    EXPECT_EQ(child.ending(), "exit 0");
}

TEST(Process, PausedReaderOfANonBlockingPipeLosesNothing) {
    constexpr long kRounds = 20000;
    Child child(scenario("at 0 burst 501 20000\n"),
                {.nonBlockingStdout = true});
    ASSERT_EQ(child.readLine(), kPresent);
    std::this_thread::sleep_for(milliseconds(1500));
    expectBurst(child, kRounds);
    EXPECT_EQ(child.readLine(milliseconds(100)), std::nullopt);
    child.closeStdin();
    EXPECT_EQ(child.ending(), "exit 0");
    EXPECT_EQ(child.pendingOutput(), "");
}

}  // namespace
}  // namespace sw::test
