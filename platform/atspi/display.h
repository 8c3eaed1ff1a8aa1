// Whether an application's accessible extents are screen coordinates. An X11 client (Xwayland's
// included) answers them on the screen; a native Wayland client cannot know where its windows
// are, and its toolkit answers them relative to the window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sw::platform::atspi {

enum class Coordinates { Screen, Window };

// The file a Unix socket was bound to, as the kernel names it: a sandbox reaches one display
// socket by another path (a link in its own runtime folder, a mount), never by another identity.
struct SocketFile {
    unsigned major = 0;
    unsigned minor = 0;
    std::uint32_t inode = 0;
    bool operator==(const SocketFile&) const = default;
};

// The socket at the other end of one of a process's connections: its name (abstract names start
// with '@') and, for a name in the file system, the socket file.
struct Peer {
    std::string name;
    std::optional<SocketFile> file;
};

// From a process's peers, the sockets of the Wayland displays it may be a client of (that exist),
// and whether the session is a Wayland one: a connection to one of those displays makes a Wayland
// client, else one to an X server an X11 client. A process whose connections say neither (the
// bus proxy of a sandbox) is an X11 client where the system lets it reach no Wayland display
// (`waylandReachable`); else, where a Wayland display is there for it or the session is a Wayland
// one, it may be a native Wayland client: the safe answer, window coordinates, gives no rectangle.
Coordinates coordinatesFromPeers(const std::vector<Peer>& peers,
                                 const std::vector<SocketFile>& displays, bool waylandSession,
                                 bool waylandReachable = true);

// One Unix socket as the kernel's socket diagnostics list it: its own name and file, and the inode
// of its peer (0 for none).
struct DumpedSocket {
    Peer self;
    unsigned peer = 0;
};

// One datagram of the kernel's dump of Unix sockets (netlink, sock_diag), its sockets added to
// `sockets` by inode: the dump goes on, is complete, or failed (an error message, a message shorter
// than its header says or than a socket's diagnostics, one cut off at the datagram's end).
enum class Dump { More, Done, Failed };
Dump readDumpDatagram(const char* data, std::size_t size, std::map<unsigned, DumpedSocket>& sockets);

// The peers of a process's Unix socket connections, from /proc/PID/fd and the kernel's socket
// diagnostics; none when they cannot be read whole.
std::optional<std::vector<Peer>> socketPeers(int pid);

// Whether the session is a Wayland one: the display WAYLAND_DISPLAY names exists; where it names
// none (a systemd user service, a parent that unsets it to force X11), what the login says,
// XDG_SESSION_TYPE. A stale name inherited into an X11 login does not count.
bool waylandSessionFrom(const char* display, bool displayExists, const char* sessionType);

// The socket file at `path` (links followed); none when there is no socket there.
std::optional<SocketFile> socketFileAt(const std::string& path);

// The Wayland display sockets a process may connect to: the one its environment names (or
// libwayland's default, wayland-0 in its runtime folder), looked up in its own view of the file
// system (/proc/PID/root), and the session's.
std::vector<SocketFile> waylandDisplaysOf(int pid);

// What a Flatpak sandbox states about a process in it (the application, or the proxy its
// accessibility goes through): whether it may reach a Wayland display. None outside Flatpak.
std::optional<bool> flatpakAllowsWayland(int pid);
// The same from the text of a sandbox's .flatpak-info.
bool flatpakInfoAllowsWayland(const std::string& info);

}  // namespace sw::platform::atspi
