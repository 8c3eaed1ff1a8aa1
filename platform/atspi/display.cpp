#include "platform/atspi/display.h"

#include <dirent.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "platform/atspi/internal.h"

namespace sw::platform::atspi {
namespace {

bool isXServerSocket(std::string_view name) {
    if (!name.empty() && name.front() == '@') name.remove_prefix(1);
    constexpr std::string_view prefix = "/tmp/.X11-unix/X";
    return name.substr(0, prefix.size()) == prefix && name.size() > prefix.size();
}

// The inodes of a process's sockets.
std::set<unsigned> socketInodes(int pid) {
    std::set<unsigned> inodes;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = ::opendir(folder.c_str());
    if (fds == nullptr) return inodes;
    while (const dirent* entry = ::readdir(fds)) {
        char target[64];
        const std::string link = folder + "/" + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        unsigned inode = 0;
        if (n > 0 && (target[n] = '\0', std::sscanf(target, "socket:[%u]", &inode) == 1)) {
            inodes.insert(inode);
        }
    }
    ::closedir(fds);
    return inodes;
}

constexpr unsigned kDumpSequence = 1;

// The Unix socket diagnostics of one message, or false when it is not whole.
bool readSocket(const nlmsghdr* h, std::map<unsigned, DumpedSocket>& sockets) {
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg))) return false;
    const auto* message = static_cast<const unix_diag_msg*>(NLMSG_DATA(h));
    DumpedSocket& socket = sockets[message->udiag_ino];
    int attributes = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *message));
    for (auto* a = reinterpret_cast<const rtattr*>(message + 1); RTA_OK(a, attributes);
         a = RTA_NEXT(a, attributes)) {
        const auto* data = static_cast<const char*>(RTA_DATA(a));
        const std::size_t length = RTA_PAYLOAD(a);
        if (a->rta_type == UNIX_DIAG_NAME && length > 0) {
            // An abstract name starts with a zero byte; a path may end in one.
            if (data[0] == '\0') {
                socket.self.name.assign(1, '@').append(data + 1, length - 1);
            } else {
                socket.self.name.assign(data, strnlen(data, length));
            }
        } else if (a->rta_type == UNIX_DIAG_PEER && length >= sizeof(unsigned)) {
            std::memcpy(&socket.peer, data, sizeof(unsigned));
        } else if (a->rta_type == UNIX_DIAG_VFS && length >= sizeof(unix_diag_vfs)) {
            unix_diag_vfs vfs;
            std::memcpy(&vfs, data, sizeof vfs);
            // The kernel's own device number: 12 bits of major, 20 of minor.
            socket.self.file = SocketFile{vfs.udiag_vfs_dev >> 20, vfs.udiag_vfs_dev & 0xfffffu,
                                          vfs.udiag_vfs_ino};
        }
    }
    return true;
}

// Every Unix socket of the system with its name, file and peer, as `ss -x` lists them; none when
// the kernel's answer does not come whole and in time.
std::optional<std::map<unsigned, DumpedSocket>> unixSockets() {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return std::nullopt;
    // Asked on the main thread: a kernel that does not answer must not hold it.
    const timeval timeout{0, 250 * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    query.header.nlmsg_seq = kDumpSequence;
    query.request.sdiag_family = AF_UNIX;
    query.request.udiag_states = ~0u;
    query.request.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_PEER | UDIAG_SHOW_VFS;
    std::map<unsigned, DumpedSocket> sockets;
    Dump dump = Dump::Failed;
    if (::send(fd, &query, sizeof query, 0) == static_cast<ssize_t>(sizeof query)) {
        // The kernel sends a dump in datagrams of at most 32 KiB.
        alignas(nlmsghdr) static char buffer[32768];
        do {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_TRUNC);
            // An error, the time-out, or a datagram longer than the buffer: no answer.
            dump = n > 0 && n <= static_cast<ssize_t>(sizeof buffer)
                       ? readDumpDatagram(buffer, static_cast<std::size_t>(n), sockets)
                       : Dump::Failed;
        } while (dump == Dump::More);
    }
    ::close(fd);
    if (dump != Dump::Done) return std::nullopt;
    return sockets;
}

std::map<std::string, bool>& knownCoordinates() {
    static auto* known = new std::map<std::string, bool>;  // by bus name
    return *known;
}

std::map<std::string, std::string> environmentOf(int pid) {
    std::map<std::string, std::string> values;
    std::ifstream file("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    std::string entry;
    while (std::getline(file, entry, '\0')) {
        const std::size_t equals = entry.find('=');
        if (equals != std::string::npos) values.emplace(entry.substr(0, equals), entry.substr(equals + 1));
    }
    return values;
}

std::string valueOf(const std::map<std::string, std::string>& values, const std::string& key) {
    const auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The path of the Wayland display named by WAYLAND_DISPLAY and XDG_RUNTIME_DIR as libwayland
// reads them; empty when there is none.
std::string displayPath(const std::string& display, const std::string& runtime) {
    const std::string name = display.empty() ? "wayland-0" : display;
    if (name.front() == '/') return name;
    return runtime.empty() ? std::string() : runtime + "/" + name;
}

}  // namespace

Dump readDumpDatagram(const char* data, std::size_t size, std::map<unsigned, DumpedSocket>& sockets) {
    int left = static_cast<int>(size);
    for (auto* h = reinterpret_cast<const nlmsghdr*>(data); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_seq != kDumpSequence) continue;
        if (h->nlmsg_type == NLMSG_DONE) return Dump::Done;
        // An error part-way ends the dump, with what came before it no answer.
        if (h->nlmsg_type == NLMSG_ERROR || !readSocket(h, sockets)) return Dump::Failed;
    }
    return left == 0 ? Dump::More : Dump::Failed;  // bytes left over: a message cut short
}

Coordinates coordinatesFromPeers(const std::vector<Peer>& peers,
                                 const std::vector<SocketFile>& displays, bool waylandSession,
                                 bool waylandReachable) {
    bool x11 = false;
    for (const Peer& peer : peers) {
        if (peer.file && std::find(displays.begin(), displays.end(), *peer.file) != displays.end()) {
            return Coordinates::Window;
        }
        x11 = x11 || isXServerSocket(peer.name);
    }
    if (x11 || !waylandReachable) return Coordinates::Screen;
    return waylandSession || !displays.empty() ? Coordinates::Window : Coordinates::Screen;
}

std::optional<std::vector<Peer>> socketPeers(int pid) {
    const std::set<unsigned> own = socketInodes(pid);
    if (own.empty()) return std::vector<Peer>{};
    const std::optional<std::map<unsigned, DumpedSocket>> sockets = unixSockets();
    if (!sockets) return std::nullopt;
    std::vector<Peer> peers;
    for (const unsigned inode : own) {
        const auto socket = sockets->find(inode);
        if (socket == sockets->end() || socket->second.peer == 0) continue;
        const auto peer = sockets->find(socket->second.peer);
        if (peer != sockets->end() && !peer->second.self.name.empty()) {
            peers.push_back(peer->second.self);
        }
    }
    return peers;
}

std::optional<SocketFile> socketFileAt(const std::string& path) {
    struct stat found {};
    if (path.empty() || ::stat(path.c_str(), &found) != 0 || !S_ISSOCK(found.st_mode)) {
        return std::nullopt;
    }
    return SocketFile{major(found.st_dev), minor(found.st_dev),
                      static_cast<std::uint32_t>(found.st_ino)};
}

std::vector<SocketFile> waylandDisplaysOf(int pid) {
    std::vector<SocketFile> displays;
    const std::map<std::string, std::string> environment = environmentOf(pid);
    const std::string own = displayPath(valueOf(environment, "WAYLAND_DISPLAY"),
                                        valueOf(environment, "XDG_RUNTIME_DIR"));
    // Seen as the process sees it: a sandbox may have its own mounts. Where its root cannot be
    // entered (another user's process), as this process sees it.
    if (!own.empty()) {
        std::optional<SocketFile> file = socketFileAt("/proc/" + std::to_string(pid) + "/root" + own);
        if (!file) file = socketFileAt(own);
        if (file) displays.push_back(*file);
    }
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (auto session = socketFileAt(displayPath(display ? display : "", runtime ? runtime : ""))) {
        displays.push_back(*session);
    }
    return displays;
}

bool flatpakInfoAllowsWayland(const std::string& info) {
    // The [Context] group's "sockets" key lists what the sandbox may reach, separated by ';'.
    bool context = false;
    std::size_t start = 0;
    while (start < info.size()) {
        std::size_t end = info.find('\n', start);
        if (end == std::string::npos) end = info.size();
        const std::string_view line(info.data() + start, end - start);
        start = end + 1;
        if (!line.empty() && line.front() == '[') {
            context = line == "[Context]";
        } else if (context && line.substr(0, 8) == "sockets=") {
            std::string_view sockets = line.substr(8);
            while (!sockets.empty()) {
                const std::size_t semicolon = std::min(sockets.find(';'), sockets.size());
                if (sockets.substr(0, semicolon) == "wayland") return true;
                sockets.remove_prefix(std::min(semicolon + 1, sockets.size()));
            }
            return false;
        }
    }
    return false;
}

std::optional<bool> flatpakAllowsWayland(int pid) {
    // Flatpak places this file at the root of the application's sandbox and of its bus proxy's.
    const std::string info = readFile("/proc/" + std::to_string(pid) + "/root/.flatpak-info");
    if (info.empty()) return std::nullopt;
    return flatpakInfoAllowsWayland(info);
}

bool waylandSessionFrom(const char* display, bool displayExists, const char* sessionType) {
    if (display != nullptr && *display != '\0' && displayExists) return true;
    return sessionType != nullptr && std::string_view(sessionType) == "wayland";
}

bool waylandSession() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const bool exists = display != nullptr && *display != '\0' &&
                        socketFileAt(displayPath(display, runtime ? runtime : "")).has_value();
    return waylandSessionFrom(display, exists, std::getenv("XDG_SESSION_TYPE"));
}

// Asked once per application (its connections are made at its start and it keeps them), the
// first time its selection is measured; an application whose connections cannot be read now is
// given no rectangle in a Wayland session, and asked again next time.
bool extentsOnScreen(AtspiAccessible* accessible) {
    auto& known = knownCoordinates();
    const std::string bus = busNameOf(accessible);
    if (auto found = known.find(bus); !bus.empty() && found != known.end()) return found->second;
    const ProcessId pid = processOf(accessible);
    if (pid <= 0) return !waylandSession();
    const std::vector<SocketFile> displays = waylandDisplaysOf(pid);
    const std::optional<std::vector<Peer>> peers = socketPeers(pid);
    // Connections that cannot be read say nothing: what may be a Wayland client is taken for one.
    if (!peers) return !waylandSession() && displays.empty();
    const bool onScreen = coordinatesFromPeers(*peers, displays, waylandSession(),
                                               flatpakAllowsWayland(pid).value_or(true)) ==
                          Coordinates::Screen;
    if (!bus.empty()) {
        known.emplace(bus, onScreen);
    }
    return onScreen;
}

void forgetCoordinates(const std::string& bus) { knownCoordinates().erase(bus); }

}  // namespace sw::platform::atspi
