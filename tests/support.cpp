#include "tests/support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

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

std::string Capture::stop() {
    if (saved_ < 0) return {};
    std::fflush(stdout);
    ::dup2(saved_, fd_);
    ::close(std::exchange(saved_, -1));
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = ::pread(file_, buffer, sizeof buffer, bytes.size())) > 0;) bytes.append(buffer, n);
    ::close(file_);
    return bytes;
}

std::vector<std::string> lines(const std::string& bytes) {
    std::vector<std::string> result;
    for (std::size_t start = 0, end; start < bytes.size(); start = end + 1) {
        end = bytes.find('\n', start);
        result.push_back(bytes.substr(start, end - start));
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated line: " << result.back();
            break;
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
