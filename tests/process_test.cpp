// The whole watcher as a child process on pipes, running the real main on the simulated desktop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "tests/watcher_child.h"

namespace sw::test {
namespace {

// A step that changes the selection and tells the watcher, released by one SIGUSR1.
std::string selectStep(const std::string& text) {
    return "step text 501 " + text + " ; notify 501 AXSelectedTextChanged\n";
}

TEST(Process, WithoutAccessOnlyThePermissionErrorAndStatus2) {
    for (int variant = 0; variant < 3; ++variant) {
        ChildOptions options = watcher(scenario("trusted no\n"));
        options.stdinAtEnd = variant == 1;
        options.closeStdin = variant == 2;
        Child child(options);
        if (variant == 0) child.writeStdin("anything at all\n");
        EXPECT_EQ(child.readLine(), R"({"error":"ax_permission_denied"})");
        EXPECT_EQ(child.readLine(), std::nullopt) << "nothing after the error";
        expectExit(child, 2);
        EXPECT_EQ(child.readStderr(), "");
    }
}

TEST(Process, FirstEventComesEvenWithInputAlreadyAtItsEnd) {
    ChildOptions options = watcher(scenario());
    options.stdinAtEnd = true;
    Child child(options);
    EXPECT_EQ(child.readLine(), kPresent);
    EXPECT_EQ(child.readLine(), std::nullopt);
    expectExit(child, 0);
}

TEST(Process, ClosedInputDescriptorIsTakenAsTheEnd) {
    ChildOptions options = watcher(scenario());
    options.closeStdin = true;
    Child child(options);
    EXPECT_EQ(child.readLine(), kPresent);
    expectExit(child, 0);
    EXPECT_EQ(child.readStderr(), "");
}

TEST(Process, InputBytesChangeNothingAndClosingEndsIt) {
    Child child(watcher(scenario(selectStep(""))));
    EXPECT_EQ(child.readLine(), kPresent);
    std::string junk(1 << 20, '\0');
    for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 131);
    child.writeStdin(junk);
    child.writeStdin("{\"selection\":false}\nquit\n");
    child.signal(SIGUSR1);
    EXPECT_EQ(child.readLine(), kCleared);
    EXPECT_EQ(child.readLine(std::chrono::milliseconds(200)), std::nullopt);
    EXPECT_FALSE(child.wait(std::chrono::milliseconds(0))) << "input alone must not end it";
    child.closeStdin();
    expectExit(child, 0);
}

TEST(Process, EveryLineArrivesBeforeTheNextTrigger) {
    // Each step runs only after the previous line was read here, so a line held in a buffer would
    // stall the test rather than arrive late.
    std::string steps;
    for (int i = 0; i < 20; ++i) {
        steps += selectStep(i % 2 == 0 ? "" : "again");
    }
    Child child(watcher(scenario(steps)));
    ASSERT_EQ(child.readLine(), kPresent);
    for (int i = 0; i < 20; ++i) {
        child.signal(SIGUSR1);
        const auto line = child.readLine();
        ASSERT_TRUE(line) << "event " << i << " did not arrive";
        EXPECT_EQ(nlohmann::json::parse(*line)["selection"], i % 2 == 1);
    }
    child.closeStdin();
    expectExit(child, 0);
}

TEST(Process, ClosedOutputEndsItByBrokenPipe) {
    Child child(watcher(scenario(selectStep(""))));
    EXPECT_EQ(child.readLine(), kPresent);
    child.closeStdout();
    child.signal(SIGUSR1);
    const auto status = child.wait();
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFSIGNALED(*status)) << "status " << *status;
    EXPECT_EQ(WTERMSIG(*status), SIGPIPE);
}

TEST(Process, FollowsActivationsAndReportsObserverFailuresOnStderr) {
    Child child(watcher(scenario("create 503 -25204\n"
                                 "app 503 com.google.Chrome\n"
                                 "step activate 502\n"
                                 "step activate 503\n"
                                 "step activate 501\n")));
    EXPECT_EQ(child.readLine(), kPresent);
    child.signal(SIGUSR1);
    EXPECT_EQ(child.readLine(), kCleared);
    // Chrome: no observer, so nothing selected and nothing new to say; only stderr shows it.
    child.signal(SIGUSR1);
    const std::string diagnostic = child.readStderrLine();
    child.signal(SIGUSR1);
    EXPECT_EQ(child.readLine(), kPresent);
    child.closeStdin();
    expectExit(child, 0);
    EXPECT_EQ(diagnostic, "AXObserverCreate failed: -25204");
    EXPECT_EQ(child.readStderr(), "");
}

TEST(Process, ReturningRunLoopEndsWithStatus0) {
    Child child(watcher(scenario("step stop\n")));
    EXPECT_EQ(child.readLine(), kPresent);
    child.signal(SIGUSR1);
    expectExit(child, 0);
}

}  // namespace
}  // namespace sw::test
