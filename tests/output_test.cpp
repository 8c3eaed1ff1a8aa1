// The event writer's serialisation, and the line writer under a pipe that is full now and then.
#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "reporting/output.h"
#include "reporting/state.h"
#include "tests/support.h"

namespace sw::test {
namespace {

using OutputTest = SimTest;

TEST_F(OutputTest, CompactJsonOrNothing) {
    const std::string awkward = std::string("q\"b\\s/\n\r\t\b\f\x01\x1f\x7f") + "é€😀";
    const std::pair<Event, const char*> cases[] = {
        {{{"selection", false}}, R"({"selection":false})"},
        {{{"error", std::string("ax_permission_denied")}}, R"({"error":"ax_permission_denied"})"},
        {{{"selection", true}, {"app", std::string()},
          {"bounds", Bounds{{"x", INT64_MIN}, {"y", INT64_MAX}, {"width", 1}, {"height", 0}}}},
         R"({"app":"","bounds":{"height":0,"width":1,"x":-9223372036854775808,"y":9223372036854775807},"selection":true})"},
        {{{"app", awkward}}, R"({"app":"q\"b\\s/\n\r\t\b\f\u0001\u001f\u007fé€😀"})"},
        // A lone continuation byte, an overlong form, a UTF-16 surrogate, past U+10FFFF, cut short.
        {{{"app", std::string("\x80")}}, nullptr},
        {{{"app", std::string("\xC0\xAF")}}, nullptr},
        {{{"app", std::string("\xED\xA0\x80")}}, nullptr},
        {{{"app", std::string("\xF4\x90\x80\x80")}}, nullptr},
        {{{"app", std::string("ok\xE2\x82")}}, nullptr},
    };
    for (const auto& [event, json] : cases) {
        const std::vector<std::string> written = eventsOf([&event] { emit(event); });
        EXPECT_EQ(written, json ? std::vector<std::string>{json} : std::vector<std::string>{});
    }
}

TEST_F(OutputTest, LongLineReachesANonBlockingPipeWhole) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::string message(200000, 'x');  // partial writes, and EAGAIN while the reader sleeps
    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        char buffer[8192];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) received.append(buffer, n);
    });
    stderr = {fds[1]};
    logErr(message);
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(received, message + "\n");
}

}  // namespace
}  // namespace sw::test
