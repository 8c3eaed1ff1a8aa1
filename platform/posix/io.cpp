// Standard streams and process exit, the same on every POSIX system.
#include <cerrno>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

#include "platform/platform.h"

namespace sw::platform {
namespace {

// A descriptor the parent made non-blocking is waited on instead of being taken as finished.
bool waitUntilReady(int fd, short events) {
    pollfd entry{fd, events, 0};
    for (;;) {
        const int n = ::poll(&entry, 1, -1);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

FileHandle fileHandleWithStandardInput() { return {STDIN_FILENO}; }
FileHandle fileHandleWithStandardError() { return {STDERR_FILENO}; }

void readDataToEndOfFile(FileHandle handle) {
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(handle.fd, buffer, sizeof buffer);
        if (n > 0) continue;          // the parent's bytes mean nothing; drop them
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && wouldBlock(errno) && waitUntilReady(handle.fd, POLLIN)) continue;
        return;                       // end of input, or an error that stands for it (EBADF, EIO)
    }
}

void writeData(FileHandle handle, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(handle.fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && wouldBlock(errno) && waitUntilReady(handle.fd, POLLOUT)) {
            continue;
        } else {
            return;  // a line that cannot be written is given up, never fatal
        }
    }
}

// Straight to the descriptor, like diagnostics: a stdio stream that meets EAGAIN on a pipe the
// parent made non-blocking drops what it could not write, and a lost line leaves the parent with
// the wrong selection state.
void writeStandardOutput(std::string_view bytes) { writeData({STDOUT_FILENO}, bytes); }

void exitProcess(int status) { std::exit(status); }

}  // namespace sw::platform
