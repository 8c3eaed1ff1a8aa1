// The Windows main loop without UI Automation (which Wine lacks): tasks handed over from other
// threads, one-shot timers in due order and taken back, and the wait that the end of input cuts
// short.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

namespace platform = sw::platform;
using Clock = std::chrono::steady_clock;

std::string order;

TEST(MainLoop, TimersAndHandedOverTasksRunInTurnUntilTheLoopIsStopped) {
    order.clear();
    const auto started = Clock::now();
    platform::addMainLoopTimer(60, [] {
        order += "3";
        PostQuitMessage(0);  // the loop returns once it sees the message
    });
    const platform::TimerId removed = platform::addMainLoopTimer(10, [] { order += "x"; });
    platform::addMainLoopTimer(30, [] { order += "2"; });
    platform::addMainLoopTimer(0, [] { order += "1"; });
    platform::removeMainLoopTimer(removed);
    platform::removeMainLoopTimer(0);  // ignored
    std::thread([] { platform::dispatchAsyncMain([] { order += "d"; }); }).join();
    platform::runMainRunLoop();
    EXPECT_EQ(order, "d123");
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(60));
}

TEST(MainLoop, WaitEndsAtOnceWhileADispatchedTaskWaits) {
    const auto started = Clock::now();
    EXPECT_TRUE(platform::waitUnlessDispatched(30));
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(30));
    std::thread([] { platform::dispatchAsyncMain([] { PostQuitMessage(0); }); }).join();
    EXPECT_FALSE(platform::waitUnlessDispatched(0));
    EXPECT_FALSE(platform::waitUnlessDispatched(5000));
    platform::runMainRunLoop();  // runs the task, which stops the loop again
    EXPECT_TRUE(platform::waitUnlessDispatched(0));
}

}  // namespace
