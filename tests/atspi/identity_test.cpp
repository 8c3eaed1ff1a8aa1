#include "platform/atspi/identity.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using sw::platform::atspi::bundleForIdentity;

TEST(Identity, WatchedBrowsersMapToTheirIdentifiers) {
    EXPECT_EQ(bundleForIdentity("Firefox", "firefox-esr"), "org.mozilla.firefox");
    EXPECT_EQ(bundleForIdentity("", "firefox-bin"), "org.mozilla.firefox");
    EXPECT_EQ(bundleForIdentity("Firefox", ""), "org.mozilla.firefox");
    EXPECT_EQ(bundleForIdentity("Google Chrome", "chrome"), "com.google.Chrome");
    EXPECT_EQ(bundleForIdentity("", "google-chrome-stable"), "com.google.Chrome");
    EXPECT_EQ(bundleForIdentity("Google Chrome (unstable)", "chrome"), "com.google.Chrome.canary");
    EXPECT_EQ(bundleForIdentity("Google Chrome Canary", "chrome"), "com.google.Chrome.canary");
    EXPECT_EQ(bundleForIdentity("Brave Browser", "brave"), "com.brave.Browser");
    EXPECT_EQ(bundleForIdentity("Microsoft Edge", "msedge"), "com.microsoft.edgemac");
}

TEST(Identity, OtherApplicationsGetNoWatchedIdentifier) {
    // Chromium runs an executable of the same name as Chrome's.
    EXPECT_EQ(bundleForIdentity("Chromium", "chrome"), std::nullopt);
    EXPECT_EQ(bundleForIdentity("Chromium", "chromium"), std::nullopt);
    EXPECT_EQ(bundleForIdentity("xterm", "xterm"), std::nullopt);
    EXPECT_EQ(bundleForIdentity("firefox", "gedit"), std::nullopt);  // names compare exactly
    EXPECT_EQ(bundleForIdentity("", ""), std::nullopt);
}

TEST(Identity, ExecutableOfARunningProcess) {
    EXPECT_EQ(sw::platform::atspi::executableBaseName(static_cast<int>(::getpid())),
              "atspi_identity_tests");
    EXPECT_EQ(sw::platform::atspi::executableBaseName(0), "");
}

}  // namespace
