#include "tests/support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "reporting/state.h"

namespace sw::test {

Capture::Capture(int fd) : fd_(fd) {
    std::fflush(stdout);
    char path[] = "/tmp/sw-capture-XXXXXX";
    file_ = ::mkstemp(path);
    ::unlink(path);
    saved_ = ::dup(fd_);
    ::dup2(file_, fd_);
}

Capture::~Capture() { stop(); }

std::string Capture::stop() {
    if (saved_ < 0) return {};
    std::fflush(stdout);
    ::dup2(saved_, fd_);
    ::close(saved_);
    saved_ = -1;
    std::string bytes;
    char buffer[4096];
    ::lseek(file_, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(file_, buffer, sizeof buffer)) > 0;) bytes.append(buffer, n);
    ::close(file_);
    return bytes;
}

std::vector<std::string> lines(const std::string& bytes) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated line: " << bytes.substr(start);
            break;
        }
        result.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

std::vector<std::string> SimTest::checkedEvents(const std::string& bytes) {
    std::vector<std::string> result = lines(bytes);
    for (const std::string& line : result) {
        EXPECT_EQ(line.find_first_of(" \r\t"), std::string::npos) << "not compact: " << line;
        const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        EXPECT_FALSE(event.is_discarded()) << "not JSON: " << line;
        if (event.is_discarded()) continue;
        if (event.contains("error")) {
            EXPECT_EQ(line, R"({"error":"ax_permission_denied"})");
        } else if (event.value("selection", true) == false) {
            EXPECT_EQ(line, R"({"selection":false})");
        } else {
            EXPECT_EQ(event.at("selection"), true) << line;
            EXPECT_TRUE(event.at("app").is_string()) << line;
            EXPECT_EQ(event.size(), event.contains("bounds") ? 3u : 2u) << line;
            if (event.contains("bounds")) {
                const auto& b = event["bounds"];
                EXPECT_EQ(b.size(), 4u) << line;
                for (const char* key : {"x", "y", "width", "height"}) {
                    EXPECT_TRUE(b.at(key).is_number_integer()) << line;
                }
                EXPECT_GT(b.at("width").get<long long>(), 0) << line;
                EXPECT_GT(b.at("height").get<long long>(), 0) << line;
            }
        }
    }
    return result;
}

void SimTest::SetUp() {
    currentObserver.reset();
    currentAXApp.reset();
    lastEmitted.reset();
    sim::reset();
    ASSERT_EQ(sim::liveObjects(), 0) << "a previous test left objects alive";
    stderr = platform::fileHandleWithStandardError();
}

void SimTest::TearDown() {
    currentObserver.reset();
    currentAXApp.reset();
    EXPECT_EQ(sim::liveObjects(), 0) << "platform objects left unreleased";
}

}  // namespace sw::test
