// Whether an application's accessible extents are screen coordinates. An X11 client (Xwayland's
// included) answers them on the screen; a native Wayland client cannot know where its windows
// are, and its toolkit answers them relative to the window.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sw::platform::atspi {

enum class Coordinates { Screen, Window };

// From the names of the sockets that a process's connections lead to (abstract names start with
// '@'), the path of the Wayland display it would connect to, and whether the session has a
// Wayland display at all: a connection to that display makes a Wayland client, else one to an X
// server an X11 client; a process whose connections say neither is taken for what the session is.
Coordinates coordinatesFromPeers(const std::vector<std::string>& peers,
                                 std::string_view waylandDisplay, bool waylandSession);

// The names of the sockets at the other end of a process's Unix socket connections, from
// /proc/PID/fd and the kernel's socket diagnostics; empty when they cannot be read.
std::vector<std::string> socketPeers(int pid);

// The path of the Wayland display a process connects to, from its environment as libwayland
// reads it; empty when it has none.
std::string waylandDisplayOf(int pid);

}  // namespace sw::platform::atspi
