#include "platform/atspi/display.h"
#include "platform/atspi/identity.h"
#include "platform/atspi/internal.h"

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
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
        {"org.mozilla.firefox", {"firefox-esr"}, {"Firefox"}},
        {"com.google.Chrome", {"google-chrome-stable"}, {"Google Chrome"}},
        {"com.google.Chrome.canary", {"google-chrome-unstable"}, {"Google Chrome (unstable)", "Google Chrome Canary"}},
        {"com.microsoft.edgemac", {"microsoft-edge-beta"}, {"Microsoft Edge Beta"}},
        {std::nullopt, {"chromium", ""}, {"Chromium", "Navigator", "firefox", "Mozilla Firefox", "My Google Chrome"}}};
    for (const auto& row : rows) {
        for (const char* exe : row.executables) EXPECT_EQ(bundleForIdentity("Navigator", exe), row.bundle) << exe;
        for (const char* name : row.names) EXPECT_EQ(bundleForIdentity(name, "chrome"), row.bundle) << name;
    }
}

// Recorded peers. A connection to a Wayland display the process may use, known by its socket
// file however the process reached it, makes a native Wayland client, whatever else it is connected
// to; else one to an X server (by path or abstract name) an X11 client; else the sandbox's word,
// and else a display that is there for it, or the session, makes it a possible Wayland client.
TEST(Identity, ExtentsAreScreenCoordinatesOnlyForX11Clients) {
    using sw::platform::atspi::Coordinates;
    using sw::platform::atspi::Peer;
    using sw::platform::atspi::SocketFile;
    const SocketFile display{0, 25, 4711}, otherDisplay{0, 25, 4712}, bus{0, 25, 90};
    const Peer wayland0{"/run/user/1000/wayland-0", display}, wayland1{"/run/user/1000/wayland-1", otherDisplay},
        xAbstract{"@/tmp/.X11-unix/X0", std::nullopt}, xPath{"/tmp/.X11-unix/X12", SocketFile{0, 30, 7}},
        a11yBus{"/run/user/1000/at-spi/bus", bus}, notX{"/tmp/.X11-unix/X", SocketFile{0, 30, 8}};
    const struct {
        const char* what;
        std::vector<Peer> peers;
        bool waylandSession, waylandReachable;
        Coordinates expected;
        bool displayThere = true;  // the display its environment names exists
    } cases[] = {
        // A Snap reaches the display through a link in its own runtime folder, and may hold an X
        // connection beside it: the socket file is the same.
        {"linked runtime folder, with X", {a11yBus, wayland0, xAbstract}, true, true, Coordinates::Window},
        {"abstract X socket", {a11yBus, xAbstract}, true, true, Coordinates::Screen},
        {"X socket by path", {xPath}, true, true, Coordinates::Screen},
        {"no display number", {notX}, true, true, Coordinates::Window},
        {"another display, with X", {wayland1, xAbstract}, true, true, Coordinates::Screen},
        {"another display", {wayland1}, true, true, Coordinates::Window},
        // The proxy a Flatpak's accessibility goes through holds nothing but the bus. The
        // watcher's own environment may say nothing (a user service): the proxy's display decides.
        {"proxy, Wayland session", {a11yBus}, true, true, Coordinates::Window},
        {"proxy, silent session, its display there", {a11yBus}, false, true, Coordinates::Window},
        {"proxy, X11 session, no display for it", {a11yBus}, false, true, Coordinates::Screen, false},
        {"proxy of a sandbox kept from Wayland", {a11yBus}, true, false, Coordinates::Screen},
    };
    for (const auto& c : cases) {
        const std::vector<SocketFile> displays =
            c.displayThere ? std::vector<SocketFile>{display} : std::vector<SocketFile>{};
        EXPECT_EQ(sw::platform::atspi::coordinatesFromPeers(c.peers, displays, c.waylandSession,
                                                            c.waylandReachable),
                  c.expected)
            << c.what;
    }
    // The session: the display WAYLAND_DISPLAY names, where it exists; where the environment
    // names none, what the login says.
    const struct {
        const char* display;
        bool exists;
        const char* sessionType;
        bool wayland;
    } sessions[] = {
        {"wayland-1", true, nullptr, true},      {"wayland-0", false, "x11", false},
        {nullptr, false, "wayland", true},       {"", false, "wayland", true},
        {nullptr, false, "x11", false},          {nullptr, false, nullptr, false},
    };
    for (const auto& session : sessions) {
        EXPECT_EQ(sw::platform::atspi::waylandSessionFrom(session.display, session.exists,
                                                          session.sessionType),
                  session.wayland)
            << "session row " << &session - sessions;
    }
    // What a Flatpak sandbox states: only "wayland" among the sockets of its context lets it reach
    // a Wayland display.
    const struct {
        const char* info;
        bool allowed;
    } sandboxes[] = {
        {"[Application]\nname=org.mozilla.firefox\n\n[Context]\nsockets=x11;wayland;pulseaudio;\n", true},
        {"[Context]\nshared=ipc;\nsockets=x11;fallback-x11;\n", false},
        {"[Context]\nsockets=!wayland;x11;\n[Instance]\nsockets=wayland;\n", false},
        {"[Instance]\ninstance-id=1\n", false},
    };
    for (const auto& sandbox : sandboxes) {
        EXPECT_EQ(sw::platform::atspi::flatpakInfoAllowsWayland(sandbox.info), sandbox.allowed)
            << sandbox.info;
    }
}

// Recorded datagrams of the kernel's socket dump: only NLMSG_DONE completes it; an error part-way,
// a message shorter than a socket's diagnostics, or one cut off, leaves no answer.
TEST(Identity, SocketDumpCountsOnlyWhenWhole) {
    using sw::platform::atspi::Dump;
    const auto message = [](std::uint16_t type, std::uint32_t length, std::uint32_t sequence = 1) {
        std::vector<char> bytes(NLMSG_ALIGN(std::max<std::uint32_t>(length, sizeof(nlmsghdr))));
        const nlmsghdr header{length, type, 0, sequence, 0};
        std::memcpy(bytes.data(), &header, sizeof header);
        return bytes;
    };
    // A socket of inode 7 bound to a file (device 8:300 in the kernel's own encoding, 12 bits of
    // major above 20 of minor; inode 4711), connected to inode 8. Every part is 4-byte aligned.
    const struct {
        nlmsghdr header;
        unix_diag_msg diag;
        rtattr peerAttribute;
        std::uint32_t peer;
        rtattr vfsAttribute;
        unix_diag_vfs vfs;
    } whole{{sizeof whole, SOCK_DIAG_BY_FAMILY, 0, 1, 0}, {AF_UNIX, SOCK_STREAM, 0, 0, 7, {0, 0}},
            {RTA_LENGTH(sizeof(std::uint32_t)), UNIX_DIAG_PEER}, 8,
            {RTA_LENGTH(sizeof(unix_diag_vfs)), UNIX_DIAG_VFS}, {4711, (8u << 20) | 300u}};
    const std::vector<char> socket(reinterpret_cast<const char*>(&whole),
                                   reinterpret_cast<const char*>(&whole) + sizeof whole);
    const auto join = [](std::vector<char> all, const std::vector<char>& more) {
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    const std::vector<char> cut(socket.begin(), socket.end() - 8);
    const struct {
        const char* what;
        std::vector<char> datagram;
        Dump expected;
    } cases[] = {
        {"a socket, then the end", join(socket, message(NLMSG_DONE, NLMSG_LENGTH(4))), Dump::Done},
        {"a socket, more to come", socket, Dump::More},
        {"another query's message is passed over", message(NLMSG_ERROR, NLMSG_LENGTH(4), 9), Dump::More},
        {"an error part-way", join(socket, message(NLMSG_ERROR, NLMSG_LENGTH(4))), Dump::Failed},
        {"a message too short for a socket", message(SOCK_DIAG_BY_FAMILY, NLMSG_LENGTH(4)), Dump::Failed},
        {"a message cut off", cut, Dump::Failed},
    };
    for (const auto& c : cases) {
        std::map<unsigned, sw::platform::atspi::DumpedSocket> sockets;
        EXPECT_EQ(sw::platform::atspi::readDumpDatagram(c.datagram.data(), c.datagram.size(), sockets),
                  c.expected)
            << c.what;
        if (c.expected == Dump::Done) {
            ASSERT_EQ(sockets.count(7), 1u);
            EXPECT_EQ(sockets[7].peer, 8u);
            EXPECT_EQ(sockets[7].self.file, (sw::platform::atspi::SocketFile{8, 300, 4711}));
        }
    }
}

// This process connected to a socket through a link in another folder, as a Snap reaches its
// display, the listening end in another process: the peer found through the kernel is the socket
// file the link leads to, not this process's own end.
TEST(Identity, PeersAreKnownByTheirSocketFile) {
    const std::string folder = ::testing::TempDir() + "sw-display-" + std::to_string(::getpid());
    const std::string path = folder + "-wayland-0", linked = folder + "-snap";
    const auto removeAll = [&] {
        ::unlink(path.c_str());
        ::unlink((linked + "/wayland-0").c_str());
        ::rmdir(linked.c_str());
    };
    removeAll();
    ASSERT_EQ(::mkdir(linked.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(path.c_str(), (linked + "/wayland-0").c_str()), 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(server, 1), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {  // the display: accepts, says so, and holds the connection until killed
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // gone with the test, however it ends
        const int accepted = ::accept(server, nullptr, nullptr);
        if (accepted >= 0 && ::write(ready[1], "1", 1) == 1) ::pause();
        ::_exit(1);
    }
    ::close(server);  // only the child listens
    const int client = ::socket(AF_UNIX, SOCK_STREAM, 0);
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (linked + "/wayland-0").c_str());
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    const auto own = sw::platform::atspi::socketPeers(static_cast<int>(::getpid()));
    const auto file = sw::platform::atspi::socketFileAt(linked + "/wayland-0");
    ASSERT_TRUE(own.has_value());
    ASSERT_TRUE(file.has_value());
    EXPECT_TRUE(std::any_of(own->begin(), own->end(), [&](const auto& peer) {
        return peer.name == path && peer.file == file;
    })) << "the display's socket is not among this process's peers";
    EXPECT_FALSE(sw::platform::atspi::socketFileAt(linked).has_value());  // a folder is no socket
    ::close(client);
    ::kill(child, SIGKILL);
    EXPECT_EQ(::waitpid(child, nullptr, 0), child);
    for (const int fd : {ready[0], ready[1]}) ::close(fd);
    removeAll();
}

}  // namespace

// An event callback tells the watched application's events apart by bus name alone, with no bus
// to ask (none is reachable here), and an application without a bus name is never handed to
// libatspi as the one to listen to.
TEST(Identity, EventsToldApartByBusNameWithoutAskingTheBus) {
    setenv("AT_SPI_BUS_ADDRESS", "unix:path=/nonexistent", 1);  // libatspi ends the process on a call
    const auto accessibleOf = [](const char* bus) {
        auto* app = static_cast<AtspiApplication*>(g_object_new(ATSPI_TYPE_APPLICATION, nullptr));
        app->bus_name = bus != nullptr ? g_strdup(bus) : nullptr;
        sw::platform::atspi::Accessible accessible(
            static_cast<AtspiAccessible*>(g_object_new(ATSPI_TYPE_ACCESSIBLE, nullptr)));
        ATSPI_OBJECT(accessible.get())->app = app;
        return accessible;
    };
    using sw::platform::atspi::fromWatched;
    using sw::platform::atspi::listenedApplication;
    const auto browser = accessibleOf(":1.7"), other = accessibleOf(":1.8"), nameless = accessibleOf(nullptr);
    EXPECT_TRUE(fromWatched(browser.get(), ":1.7"));
    EXPECT_FALSE(fromWatched(other.get(), ":1.7"));
    EXPECT_FALSE(fromWatched(nameless.get(), ":1.7"));
    EXPECT_TRUE(fromWatched(other.get(), ""));  // the watched one not found by name: all, checked later
    EXPECT_EQ(listenedApplication(browser.get()), browser.get());
    EXPECT_EQ(listenedApplication(nameless.get()), nullptr);
    EXPECT_EQ(listenedApplication(nullptr), nullptr);
}
