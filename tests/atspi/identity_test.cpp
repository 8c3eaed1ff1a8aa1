#include "platform/atspi/display.h"
#include "platform/atspi/identity.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
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
