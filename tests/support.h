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

template <typename F>
std::string written(int fd, F&& action) {
#ifdef _WIN32
    // The C runtime's descriptors stand for the handles the Windows backend writes to.
    std::fflush(stdout);
    FILE* capture = std::tmpfile();
    if (capture == nullptr) std::abort();
    const int file = _fileno(capture), saved = _dup(fd);
    _dup2(file, fd);
    action();
    std::fflush(stdout);
    _dup2(saved, fd);
    _close(saved);
    std::string bytes(static_cast<std::size_t>(_lseek(file, 0, SEEK_END)), '\0');
    _lseek(file, 0, SEEK_SET);
    if (_read(file, bytes.data(), static_cast<unsigned>(bytes.size())) < 0) std::abort();
    std::fclose(capture);
    return bytes;
#else
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
#endif
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
