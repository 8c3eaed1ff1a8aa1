// The whole watcher as a child process under hostile conditions: a parent that floods its input,
// reads its output slowly, gives it no usable standard error, or goes away in the middle of a burst.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "tests/watcher_child.h"

namespace sw::test {
namespace {

// A write to a child that died must fail the test, not kill the test program.
[[maybe_unused]] const bool kIgnoreBrokenPipe = (::signal(SIGPIPE, SIG_IGN), true);

// A burst on 501 gives kCleared, kPresent, kCleared, ... one line per round.
const char* burstLine(long round) { return round % 2 == 0 ? kCleared : kPresent; }

// Reads the `rounds` lines of a burst, in order; `pause` is called after every line.
template <typename Pause>
void expectBurst(Child& child, long rounds, Pause pause) {
    for (long i = 0; i < rounds; ++i) {
        const auto line = child.readLine();
        ASSERT_TRUE(line) << "line " << i << " of " << rounds << " never came";
        ASSERT_EQ(*line, burstLine(i)) << "line " << i;
        pause(i);
    }
}
void expectBurst(Child& child, long rounds) {
    expectBurst(child, rounds, [](long) {});
}

TEST(Faults, HugeBinaryInputWhileEventsFlow) {
    constexpr long kRounds = 3000;
    constexpr std::size_t kAtLeast = std::size_t{64} << 20;
    Child child(watcher(scenario("step burst 501 3000\n")));
    ASSERT_EQ(child.readLine(), kPresent);

    // Binary junk, NULs and line feeds included, for as long as the events flow and 64 MiB at least.
    std::atomic<bool> eventsDone{false};
    std::size_t flooded = 0;
    std::thread flood([&] {
        std::string junk(1 << 16, '\0');
        std::uint32_t seed = 12345;
        for (char& c : junk) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
        while (!eventsDone.load() || flooded < kAtLeast) {
            child.writeStdin(junk);
            flooded += junk.size();
        }
    });
    child.signal(SIGUSR1);
    expectBurst(child, kRounds);
    eventsDone = true;
    flood.join();
    std::printf("flooded %zu MiB of input while %ld events flowed\n", flooded >> 20, kRounds);

    EXPECT_EQ(child.readLine(std::chrono::milliseconds(100)), std::nullopt);
    EXPECT_FALSE(child.wait(std::chrono::milliseconds(0))) << "input alone must not end it";
    child.closeStdin();
    expectExit(child, 0);
}

TEST(Faults, SlowReaderLosesNothing) {
    // About 1.2 MB of lines through a one-page pipe: the watcher blocks on every few lines.
    constexpr long kRounds = 20000;
    ChildOptions options = watcher(scenario("at 0 burst 501 20000\n"));
    options.stdoutPipeSize = 4096;
    Child child(options);
    ASSERT_EQ(child.readLine(), kPresent);
    expectBurst(child, kRounds, [](long i) {
        if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    EXPECT_EQ(child.readLine(std::chrono::milliseconds(100)), std::nullopt);
    child.closeStdin();
    expectExit(child, 0);
    EXPECT_EQ(child.pendingOutput(), "");
}

// Diagnostics at start-up (501's registration) and at the first step (Chrome's observer), then
// events as usual.
std::string failingObservers() {
    return scenario("register 501 AXFocusedUIElementChanged -25200\n"
                    "create 503 -25204\n"
                    "step activate 503\n"
                    "step activate 501\n"
                    "step burst 501 100\n");
}

TEST(Faults, UnusableStderrKeepsEventsFlowing) {
    struct Variant {
        const char* name;
        bool closed;
        const char* path;
    };
    // A closed descriptor fails with EBADF, a full device with ENOSPC.
    for (const Variant& variant : {Variant{"closed", true, ""}, Variant{"full", false, "/dev/full"}}) {
        SCOPED_TRACE(variant.name);
        if (*variant.path != '\0' && ::access(variant.path, W_OK) != 0) continue;  // no /dev/full
        ChildOptions options = watcher(failingObservers());
        options.closeStderr = variant.closed;
        options.stderrPath = variant.path;
        Child child(options);
        ASSERT_EQ(child.readLine(), kPresent);
        child.signal(SIGUSR1);
        ASSERT_EQ(child.readLine(), kCleared) << "Chrome, whose observer failed, is in front";
        child.signal(SIGUSR1);
        ASSERT_EQ(child.readLine(), kPresent) << "back to Firefox";
        child.signal(SIGUSR1);
        expectBurst(child, 100);
        child.closeStdin();
        expectExit(child, 0);
    }
}

TEST(Faults, DiagnosticIntoClosedPipeEndsItByBrokenPipe) {
    Child child(watcher(failingObservers()));
    ASSERT_EQ(child.readLine(), kPresent);
    EXPECT_EQ(child.readStderrLine(), "AXObserverAddNotification AXFocusedUIElementChanged failed: -25200");
    child.closeStderr();
    child.signal(SIGUSR1);
    const auto status = child.wait();
    ASSERT_TRUE(status) << "still running";
    ASSERT_TRUE(WIFSIGNALED(*status)) << "status " << *status;
    EXPECT_EQ(WTERMSIG(*status), SIGPIPE);
}

TEST(Faults, ParentGoneDuringBurst) {
    // Input closed alone: the exit comes between two handlers, so every line is whole, the burst's
    // order holds to the last line, and the status is 0.
    {
        Child child(watcher(scenario("step burst 501 100000000\n")));
        ASSERT_EQ(child.readLine(), kPresent);
        child.signal(SIGUSR1);
        expectBurst(child, 500);
        child.closeStdin();
        long after = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (const auto line = child.readLine()) {
            ASSERT_EQ(*line, burstLine(500 + after)) << "line " << 500 + after;
            ++after;
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "still running, " << after
                                                                  << " lines after input closed";
        }
        EXPECT_EQ(child.pendingOutput(), "") << "a line cut short";
        expectExit(child, 0);
        std::printf("%ld lines after input closed\n", after);
    }
    // Input and output closed together, as when the parent dies: the end of input or the broken
    // pipe ends it, nothing else.
    {
        Child child(watcher(scenario("step burst 501 100000000\n")));
        ASSERT_EQ(child.readLine(), kPresent);
        child.signal(SIGUSR1);
        expectBurst(child, 500);
        child.closeStdin();
        child.closeStdout();
        const auto status = child.wait();
        ASSERT_TRUE(status) << "still running";
        const bool cleanExit = WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
        const bool brokenPipe = WIFSIGNALED(*status) && WTERMSIG(*status) == SIGPIPE;
        EXPECT_TRUE(cleanExit || brokenPipe) << "status " << *status;
    }
}

}  // namespace
}  // namespace sw::test
