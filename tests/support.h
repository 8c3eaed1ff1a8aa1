// Shared fixture of the in-process tests: a fresh simulated desktop and process state for each
// test, with standard output and standard error captured as the bytes really written.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/sim/sim.h"

namespace sw::test {

// Redirects a descriptor into a temporary file until stop() (or destruction).
class Capture {
public:
    explicit Capture(int fd);
    ~Capture();
    std::string stop();

private:
    int fd_;
    int saved_ = -1;
    int file_ = -1;
};

// Splits captured bytes into lines; fails the test if the last line is not terminated.
std::vector<std::string> lines(const std::string& bytes);

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs `action` and returns the stdout lines it wrote, each checked to be compact JSON that a
    // real parser accepts and that is one of the event kinds.
    template <typename F>
    std::vector<std::string> eventsOf(F&& action) {
        Capture out(1);
        action();
        return checkedEvents(out.stop());
    }
    static std::vector<std::string> checkedEvents(const std::string& bytes);

    static nlohmann::json parse(const std::string& line) { return nlohmann::json::parse(line); }
};

}  // namespace sw::test
