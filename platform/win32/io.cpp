// Standard streams and process exit on Windows.
//
// Windows has no SIGPIPE: a write to a pipe whose reader is gone fails (ERROR_BROKEN_PIPE, or
// ERROR_NO_DATA while the pipe is being closed). The watcher then ends at once with status 141,
// the status a POSIX shell reports for the same ending (128 + SIGPIPE), so a parent keeps one rule
// for every system. Descriptors are the C runtime's, which stand for the process's standard
// handles (and let tests redirect them).
#include <io.h>
#include <windows.h>

#include "platform/platform.h"

namespace sw::platform {
namespace {

constexpr UINT kBrokenPipeStatus = 141;

HANDLE handleOf(FileHandle file) {
    if (file.fd < 0) return INVALID_HANDLE_VALUE;
    // Standard input as the parent passed it: where it passed none, the C runtime may stand the
    // console in for it, whose end never comes.
    if (file.fd == 0) return GetStdHandle(STD_INPUT_HANDLE);
    return reinterpret_cast<HANDLE>(_get_osfhandle(file.fd));
}

// A pipe the parent left in the old non-blocking mode (PIPE_NOWAIT) is made to wait instead, so
// that an empty or full pipe is neither taken for its end nor polled.
bool makeWaiting(HANDLE handle) {
    DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
    return GetFileType(handle) == FILE_TYPE_PIPE && SetNamedPipeHandleState(handle, &mode, nullptr, nullptr);
}

}  // namespace

FileHandle fileHandleWithStandardInput() { return {0}; }
FileHandle fileHandleWithStandardError() { return {2}; }

void readDataToEndOfFile(FileHandle file) {
    const HANDLE handle = handleOf(file);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;  // no input: its end
    char buffer[16384];
    for (;;) {
        DWORD read = 0;
        // A pipe's end reads as ERROR_BROKEN_PIPE, a file's as 0 bytes; any other failure (a
        // handle that is no pipe or file) stands for the end too. A message-mode pipe answers a
        // message longer than the buffer with ERROR_MORE_DATA and the rest at the next read.
        if (!ReadFile(handle, buffer, sizeof buffer, &read, nullptr)) {
            const DWORD error = GetLastError();
            if (error == ERROR_MORE_DATA) continue;
            if (error == ERROR_NO_DATA && makeWaiting(handle)) continue;  // empty, not ended
            return;
        }
        if (read == 0 && GetFileType(handle) != FILE_TYPE_PIPE) return;
        // A pipe also answers 0 bytes for a zero-length write of the parent: not its end.
    }
}

void writeData(FileHandle file, std::string_view bytes) {
    const HANDLE handle = handleOf(file);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
        if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr)) {
            const DWORD error = GetLastError();
            // The reader has gone: the end a broken pipe brings on POSIX systems, at once.
            if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA) {
                TerminateProcess(GetCurrentProcess(), kBrokenPipeStatus);
            }
            return;  // any other failure gives the line up, never fatal
        }
        // A non-blocking pipe takes nothing while full.
        if (written == 0 && !makeWaiting(handle)) Sleep(1);
        bytes.remove_prefix(written);
    }
}

void writeStandardOutput(std::string_view bytes) { writeData({1}, bytes); }

// Nothing is released or flushed at exit (every line went out whole already); static destructors
// do not run, so no platform object is released while UI Automation's threads are being ended.
void exitProcess(int status) { ExitProcess(static_cast<UINT>(status)); }

}  // namespace sw::platform
