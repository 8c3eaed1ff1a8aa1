#include "platform/atspi/display.h"
#include "platform/atspi/identity.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

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

// A connection to its own Wayland display makes a native Wayland client, whatever else it is
// connected to; else one to an X server (by path or abstract name) an X11 client; else the session.
TEST(Identity, ExtentsAreScreenCoordinatesOnlyForX11Clients) {
    using sw::platform::atspi::Coordinates;
    const std::string display = "/run/user/1000/wayland-0";
    const struct {
        std::vector<std::string> peers;
        bool waylandSession;
        Coordinates expected;
    } cases[] = {
        {{"/run/dbus", display}, true, Coordinates::Window},
        {{"@/tmp/.X11-unix/X0", display}, true, Coordinates::Window},
        {{"@/tmp/.X11-unix/X0"}, true, Coordinates::Screen},
        {{"/tmp/.X11-unix/X12"}, true, Coordinates::Screen},
        {{"/tmp/.X11-unix/X"}, true, Coordinates::Window},
        {{"/run/user/1000/wayland-1"}, true, Coordinates::Window},
        {{"/run/user/1000/wayland-1"}, false, Coordinates::Screen},
        {{}, false, Coordinates::Screen},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sw::platform::atspi::coordinatesFromPeers(c.peers, display, c.waylandSession),
                  c.expected)
            << (c.peers.empty() ? "" : c.peers.back());
    }
    // A connection of this process to a socket standing for a display is found by its name.
    const std::string path = ::testing::TempDir() + "sw-display-" + std::to_string(::getpid());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const int server = ::socket(AF_UNIX, SOCK_STREAM, 0), client = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ::unlink(path.c_str());
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(server, 1), 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const int accepted = ::accept(server, nullptr, nullptr);
    const auto own = sw::platform::atspi::socketPeers(static_cast<int>(::getpid()));
    EXPECT_EQ(sw::platform::atspi::coordinatesFromPeers(own, path, false), Coordinates::Window);
    ::close(accepted);
    ::close(client);
    ::close(server);
    ::unlink(path.c_str());
}

}  // namespace
