// The Windows main loop without UI Automation (which Wine lacks): tasks handed over from other
// threads, one-shot timers in due order and taken back, and the wait that the end of input cuts
// short; and the end of input itself.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
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

// A message-mode pipe answers a message longer than the reader's buffer in parts, the first with
// ERROR_MORE_DATA: input goes on, and only the pipe's end ends it.
TEST(StandardInput, ALongMessageOfAMessageModePipeIsNotItsEnd) {
    const wchar_t* name = L"\\\\.\\pipe\\selection-watcher-input-test";
    HANDLE server = CreateNamedPipeW(name, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_MESSAGE | PIPE_WAIT, 1,
                                     1 << 16, 1 << 16, 0, nullptr);
    HANDLE client = CreateFileW(name, GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    DWORD mode = PIPE_READMODE_MESSAGE;
    ASSERT_TRUE(SetNamedPipeHandleState(client, &mode, nullptr, nullptr));
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(client), _O_RDONLY);
    std::atomic<bool> ended{false};
    std::thread reader([&] {
        platform::readDataToEndOfFile({fd});
        ended = true;
    });
    const std::string message(40000, 'x');
    DWORD written = 0;
    WriteFile(server, message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
    Sleep(300);
    EXPECT_FALSE(ended.load());
    CloseHandle(server);
    reader.join();
    _close(fd);
}

}  // namespace
