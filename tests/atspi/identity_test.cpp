#include "platform/atspi/identity.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

namespace {

using sw::platform::atspi::bundleForIdentity;

// Either the accessible name or the executable is enough; names compare exactly or by prefix,
// never by case; Chromium shares Chrome's executable name "chrome" and is not watched.
TEST(Identity, NamesAndExecutablesMapToIdentifiers) {
    const struct {
        std::optional<std::string> bundle;
        std::vector<const char*> executables;  // under an accessible name that says nothing
        std::vector<const char*> names;        // with the executable that says nothing, "chrome"
    } rows[] = {
        {"org.mozilla.firefox", {"firefox", "firefox-esr", "firefox-bin"}, {"Firefox"}},
        {"com.google.Chrome", {"google-chrome", "google-chrome-stable"}, {"Google Chrome"}},
        {"com.google.Chrome.canary", {"google-chrome-unstable", "google-chrome-canary"},
         {"Google Chrome (unstable)", "Google Chrome Canary"}},
        {"com.brave.Browser", {"brave", "brave-browser", "brave-browser-stable"}, {"Brave Browser"}},
        {"com.microsoft.edgemac",
         {"msedge", "microsoft-edge", "microsoft-edge-stable", "microsoft-edge-beta", "microsoft-edge-dev"},
         {"Microsoft Edge Beta"}},
        {std::nullopt, {"chromium", "gedit", ""},
         {"Chromium", "Navigator", "firefox", "Mozilla Firefox", "My Google Chrome", ""}}};
    for (const auto& row : rows) {
        for (const char* exe : row.executables) EXPECT_EQ(bundleForIdentity("Navigator", exe), row.bundle) << exe;
        for (const char* name : row.names) EXPECT_EQ(bundleForIdentity(name, "chrome"), row.bundle) << name;
    }
}

TEST(Identity, ExecutableOfARunningProcess) {
    EXPECT_EQ(sw::platform::atspi::executableBaseName(static_cast<int>(::getpid())),
              "atspi_identity_tests");
    EXPECT_EQ(sw::platform::atspi::executableBaseName(0), "");
}

}  // namespace
