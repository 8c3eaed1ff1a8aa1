// The event and diagnostic writers.
#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "reporting/output.h"
#include "reporting/state.h"
#include "tests/support.h"

namespace sw::test {
namespace {

using OutputTest = SimTest;

TEST_F(OutputTest, FixedLinesAreExactBytes) {
    Capture out(1);
    emit({{"error", std::string("ax_permission_denied")}});
    emit({{"selection", false}});
    EXPECT_EQ(out.stop(), "{\"error\":\"ax_permission_denied\"}\n{\"selection\":false}\n");
}

TEST_F(OutputTest, PresentEventCarriesIntegersAndEveryMember) {
    const auto events = eventsOf([] {
        emit({{"selection", true},
              {"app", std::string("com.apple.Safari")},
              {"bounds", Bounds{{"x", 11}, {"y", -4}, {"width", 100}, {"height", 21}}}});
        emit({{"selection", true},
              {"app", std::string("")},
              {"bounds", Bounds{{"x", INT64_MIN}, {"y", INT64_MAX}, {"width", 1}, {"height", 1}}}});
    });
    ASSERT_EQ(events.size(), 2u);
    const auto first = parse(events[0]);
    EXPECT_EQ(first["app"], "com.apple.Safari");
    EXPECT_EQ(first["bounds"]["y"], -4);
    const auto second = parse(events[1]);
    EXPECT_EQ(second["app"], "");
    EXPECT_EQ(second["bounds"]["x"].get<std::int64_t>(), INT64_MIN);
    EXPECT_EQ(second["bounds"]["y"].get<std::int64_t>(), INT64_MAX);
}

TEST_F(OutputTest, StringsAreEscapedAndInvalidUtf8DropsTheLine) {
    const std::string awkward = std::string("q\"b\\s/\n\r\t\b\f\x01\x1f\x7f") + "é€😀";
    const auto json = serialiseEvent({{"app", awkward}});
    ASSERT_TRUE(json);
    EXPECT_EQ(nlohmann::json::parse(*json)["app"], awkward);
    EXPECT_EQ(json->find('\n'), std::string::npos);

    // Lone continuation byte, overlong form, UTF-16 surrogate, past U+10FFFF, truncated sequence.
    for (const char* bad : {"\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "ok\xE2\x82"}) {
        EXPECT_FALSE(serialiseEvent({{"app", std::string(bad)}})) << bad;
        Capture out(1);
        emit({{"app", std::string(bad)}});
        EXPECT_EQ(out.stop(), "") << "a line that cannot be serialised is dropped whole";
    }
}

TEST_F(OutputTest, DiagnosticsAreWholeUnprefixedLines) {
    Capture err(2);
    logErr("AXObserverCreate failed: -25204");
    logErr("");
    EXPECT_EQ(err.stop(), "AXObserverCreate failed: -25204\n\n");
}

TEST_F(OutputTest, FailedDiagnosticWriteIsNotFatal) {
    const platform::FileHandle saved = stderr;
    stderr = {-1};  // EBADF
    logErr("nowhere to go");
    int devFull = ::open("/dev/full", O_WRONLY);  // ENOSPC
    ASSERT_GE(devFull, 0);
    stderr = {devFull};
    logErr("disk full");
    ::close(devFull);
    stderr = saved;
}

TEST_F(OutputTest, LongDiagnosticReachesANonBlockingPipeWhole) {
    // Larger than a pipe's buffer, on a descriptor the reader set non-blocking: every byte arrives.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::string message(200000, 'x');
    std::string received;
    std::thread reader([&] {
        char buffer[8192];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) received.append(buffer, n);
    });
    const platform::FileHandle saved = stderr;
    stderr = {fds[1]};
    logErr(message);
    stderr = saved;
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(received, message + "\n");
}

}  // namespace
}  // namespace sw::test
