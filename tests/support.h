// Shared fixture of the in-process tests: a fresh simulated desktop and process state for each
// test, and the bytes an action really writes on a descriptor.
#pragma once

#include <gtest/gtest.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/sim/sim.h"
#include "reporting/state.h"
#include "watch/observer.h"

namespace sw::test {

// The C runtime's descriptors: on Windows they stand for the handles the backend writes to.
template <typename F>
std::string written(int fd, F&& action) {
    std::fflush(stdout);
    FILE* capture = std::tmpfile();
    if (capture == nullptr) std::abort();
    const int file = ::fileno(capture), saved = ::dup(fd);
    ::dup2(file, fd);
    action();
    std::fflush(stdout);
    ::dup2(saved, fd);
    ::close(saved);
    std::string bytes(static_cast<std::size_t>(::lseek(file, 0, SEEK_END)), '\0');
    ::lseek(file, 0, SEEK_SET);
    if (::read(file, bytes.data(), static_cast<unsigned>(bytes.size())) < 0) std::abort();
    std::fclose(capture);
    return bytes;
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        tearDownObserver();
        lastEmitted.reset();
        reportedFor.reset();
        sim::reset();
        ASSERT_EQ(sim::liveObjects(), 0) << "a previous test left objects alive";
        stderrHandle = platform::fileHandleWithStandardError();
    }
    void TearDown() override {
        tearDownObserver();
        EXPECT_EQ(sim::liveObjects(), 0) << "platform objects left unreleased";
    }
};

}  // namespace sw::test
