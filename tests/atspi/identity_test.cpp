#include "platform/atspi/identity.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using sw::platform::atspi::bundleForIdentity;

struct Case {
    const char* name;
    const char* executable;
    std::optional<std::string> bundle;
};

// Either the accessible name or the executable is enough; names compare exactly or by prefix,
// never by case; Chromium shares Chrome's executable name "chrome" and is not watched.
TEST(Identity, NamesAndExecutablesMapToIdentifiers) {
    const std::string firefox = "org.mozilla.firefox", chrome = "com.google.Chrome",
                      canary = "com.google.Chrome.canary", brave = "com.brave.Browser",
                      edge = "com.microsoft.edgemac";
    const Case cases[] = {
        // Every known executable, under an accessible name that says nothing.
        {"Navigator", "firefox", firefox},
        {"Navigator", "firefox-esr", firefox},
        {"Navigator", "firefox-bin", firefox},
        {"Chromium", "google-chrome", chrome},
        {"Chromium", "google-chrome-stable", chrome},
        {"Chromium", "google-chrome-unstable", canary},
        {"Chromium", "google-chrome-canary", canary},
        {"", "brave", brave},
        {"", "brave-browser", brave},
        {"", "brave-browser-stable", brave},
        {"", "msedge", edge},
        {"", "microsoft-edge", edge},
        {"", "microsoft-edge-stable", edge},
        {"", "microsoft-edge-beta", edge},
        {"", "microsoft-edge-dev", edge},
        // Accessible names, with an executable that says nothing.
        {"Firefox", "", firefox},
        {"Google Chrome", "chrome", chrome},
        {"Google Chrome (unstable)", "chrome", canary},
        {"Google Chrome Canary", "chrome", canary},
        {"Brave Browser", "brave-bin", brave},
        {"Microsoft Edge Beta", "", edge},
        // Not watched.
        {"Chromium", "chrome", std::nullopt},
        {"Chromium", "chromium", std::nullopt},
        {"firefox", "gedit", std::nullopt},
        {"Mozilla Firefox", "xterm", std::nullopt},
        {"My Google Chrome", "", std::nullopt},
        {"", "", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bundleForIdentity(c.name, c.executable), c.bundle)
            << "name \"" << c.name << "\", executable \"" << c.executable << "\"";
    }
}

TEST(Identity, ExecutableOfARunningProcess) {
    EXPECT_EQ(sw::platform::atspi::executableBaseName(static_cast<int>(::getpid())),
              "atspi_identity_tests");
    EXPECT_EQ(sw::platform::atspi::executableBaseName(0), "");
}

}  // namespace
