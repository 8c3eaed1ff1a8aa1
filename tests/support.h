// Shared fixture of the in-process tests: a fresh simulated desktop and process state for each
// test, and the bytes an action really writes on a descriptor.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/sim/sim.h"
#include "reporting/state.h"

namespace sw::test {

template <typename F>
std::string written(int fd, F&& action) {
    std::fflush(stdout);
    char path[] = "/tmp/sw-capture-XXXXXX";
    const int file = ::mkstemp(path), saved = ::dup(fd);
    ::unlink(path);
    ::dup2(file, fd);
    action();
    std::fflush(stdout);
    ::dup2(saved, fd);
    std::string bytes(::lseek(file, 0, SEEK_END), '\0');
    if (::pread(file, bytes.data(), bytes.size(), 0) < 0) std::abort();
    ::close(saved);
    ::close(file);
    return bytes;
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        currentObserver.reset();
        currentAXApp.reset();
        lastEmitted.reset();
        sim::reset();
        ASSERT_EQ(sim::liveObjects(), 0) << "a previous test left objects alive";
        stderr = platform::fileHandleWithStandardError();
    }
    void TearDown() override {
        currentObserver.reset();
        currentAXApp.reset();
        EXPECT_EQ(sim::liveObjects(), 0) << "platform objects left unreleased";
    }
};

}  // namespace sw::test
