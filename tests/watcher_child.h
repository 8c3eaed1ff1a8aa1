// The test executable (the real main on the simulated desktop) as a child process: the desktop the
// whole-process tests start from, and how they judge the way it ended.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "tests/child.h"

namespace sw::test {

inline constexpr const char* kPresent =
    R"({"app":"org.mozilla.firefox","bounds":{"height":21,"width":100,"x":11,"y":-4},"selection":true})";
inline constexpr const char* kCleared = R"({"selection":false})";

// Firefox in front with a word selected (the first line is kPresent), plus whatever the test adds.
inline std::string scenario(const std::string& extra = "") {
    return "app 501 org.mozilla.firefox\n"
           "app 502 com.apple.TextEdit\n"
           "app 503 com.google.Chrome\n"
           "front 501\n"
           "text 501 hello world\n"
           "bounds 501 10.5 -3.5 100.4 20.6\n" +
           extra;
}

inline ChildOptions watcher(const std::string& scenarioText) {
    ChildOptions options;
    options.argv = {SW_SIM_EXE};
    options.scenario = scenarioText;
    return options;
}

inline void expectExit(Child& child, int code) {
    const auto status = child.wait();
    ASSERT_TRUE(status) << "still running";
    ASSERT_TRUE(WIFEXITED(*status)) << "status " << *status;
    EXPECT_EQ(WEXITSTATUS(*status), code);
}

}  // namespace sw::test
