// Shared fixture of the in-process tests: a fresh simulated desktop and process state for each
// test, with standard output and standard error captured as the bytes really written.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim.h"

namespace sw::test {

// Redirects a descriptor into a temporary file until stop() (or destruction).
class Capture {
public:
    explicit Capture(int fd);
    ~Capture() { stop(); }
    std::string stop();

private:
    int fd_, saved_ = -1, file_ = -1;
};

std::vector<std::string> lines(const std::string& bytes);

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The stdout lines that `action` wrote.
    template <typename F>
    static std::vector<std::string> eventsOf(F&& action) {
        Capture out(1);
        action();
        return lines(out.stop());
    }
};

}  // namespace sw::test
