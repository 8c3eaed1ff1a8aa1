#include "platform/atspi/display.h"

#include <dirent.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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

struct UnixSocket {
    std::string name;
    unsigned peer = 0;
};

// Every Unix socket of the system with its name and peer, as `ss -x` lists them.
std::map<unsigned, UnixSocket> unixSockets() {
    std::map<unsigned, UnixSocket> sockets;
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return sockets;
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    query.request.sdiag_family = AF_UNIX;
    query.request.udiag_states = ~0u;
    query.request.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_PEER;
    if (::send(fd, &query, sizeof query, 0) != static_cast<ssize_t>(sizeof query)) {
        ::close(fd);
        return sockets;
    }
    alignas(nlmsghdr) char buffer[32768];
    for (bool done = false; !done;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        int left = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            const auto* message = static_cast<const unix_diag_msg*>(NLMSG_DATA(h));
            UnixSocket& socket = sockets[message->udiag_ino];
            int attributes = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *message));
            for (auto* a = reinterpret_cast<const rtattr*>(message + 1); RTA_OK(a, attributes);
                 a = RTA_NEXT(a, attributes)) {
                const auto* data = static_cast<const char*>(RTA_DATA(a));
                const std::size_t length = RTA_PAYLOAD(a);
                if (a->rta_type == UNIX_DIAG_NAME && length > 0) {
                    // An abstract name starts with a zero byte; a path may end in one.
                    if (data[0] == '\0') {
                        socket.name.assign(1, '@').append(data + 1, length - 1);
                    } else {
                        socket.name.assign(data, strnlen(data, length));
                    }
                } else if (a->rta_type == UNIX_DIAG_PEER && length >= sizeof(unsigned)) {
                    std::memcpy(&socket.peer, data, sizeof(unsigned));
                }
            }
        }
    }
    ::close(fd);
    return sockets;
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

}  // namespace

Coordinates coordinatesFromPeers(const std::vector<std::string>& peers,
                                 std::string_view waylandDisplay, bool waylandSession) {
    bool x11 = false;
    for (const std::string& peer : peers) {
        if (!waylandDisplay.empty() && peer == waylandDisplay) return Coordinates::Window;
        x11 = x11 || isXServerSocket(peer);
    }
    if (x11) return Coordinates::Screen;
    return waylandSession ? Coordinates::Window : Coordinates::Screen;
}

std::vector<std::string> socketPeers(int pid) {
    std::vector<std::string> peers;
    const std::set<unsigned> own = socketInodes(pid);
    if (own.empty()) return peers;
    const std::map<unsigned, UnixSocket> sockets = unixSockets();
    for (const unsigned inode : own) {
        const auto socket = sockets.find(inode);
        if (socket == sockets.end() || socket->second.peer == 0) continue;
        const auto peer = sockets.find(socket->second.peer);
        if (peer != sockets.end() && !peer->second.name.empty()) peers.push_back(peer->second.name);
    }
    return peers;
}

std::string waylandDisplayOf(int pid) {
    const std::map<std::string, std::string> environment = environmentOf(pid);
    const auto display = environment.find("WAYLAND_DISPLAY");
    const std::string name = display != environment.end() ? display->second : "wayland-0";
    if (!name.empty() && name.front() == '/') return name;
    const auto runtime = environment.find("XDG_RUNTIME_DIR");
    return runtime == environment.end() ? std::string() : runtime->second + "/" + name;
}

bool waylandSession() {
    // An X11 login may inherit the name of a display long gone: only a socket that is there counts.
    const char* display = std::getenv("WAYLAND_DISPLAY");
    if (display == nullptr || *display == '\0') return false;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (*display != '/' && (runtime == nullptr || *runtime == '\0')) return false;
    const std::string path = *display == '/' ? display : std::string(runtime) + "/" + display;
    struct stat found {};
    return ::stat(path.c_str(), &found) == 0 && S_ISSOCK(found.st_mode);
}

// Asked once per application (its connections are made at its start and it keeps them), the
// first time its selection is measured.
bool extentsOnScreen(AtspiAccessible* accessible) {
    static auto* known = new std::map<std::string, bool>;
    const std::string bus = busNameOf(accessible);
    if (auto found = known->find(bus); !bus.empty() && found != known->end()) return found->second;
    const ProcessId pid = processOf(accessible);
    const bool onScreen =
        pid > 0 ? coordinatesFromPeers(socketPeers(pid), waylandDisplayOf(pid), waylandSession()) ==
                      Coordinates::Screen
                : !waylandSession();
    if (!bus.empty()) known->emplace(bus, onScreen);
    return onScreen;
}

}  // namespace sw::platform::atspi
