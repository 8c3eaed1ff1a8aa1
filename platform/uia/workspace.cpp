// The workspace on Windows: which application owns the foreground window, what it is, and word
// when another window comes to the foreground (a WinEvent hook, served by the main loop).
#include <vector>

#include "platform/uia/identity.h"
#include "platform/uia/internal.h"

namespace sw::platform::uia {
namespace {

struct Workspace {
    HWINEVENTHOOK hook = nullptr;
    std::vector<Task> handlers;
};

// Never destroyed: nothing here is released while the process exits.
Workspace& workspace() {
    static auto* w = new Workspace;
    return *w;
}

// The package identity of a process (Arc), through GetProcAddress: the call exists from Windows 8.
std::string userModelIdOf(HANDLE process) {
    using Function = LONG(WINAPI*)(HANDLE, UINT32*, PWSTR);
    static const auto get = reinterpret_cast<Function>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetApplicationUserModelId")));
    if (get == nullptr) return {};
    wchar_t id[256] = {};  // APPLICATION_USER_MODEL_ID_MAX_LENGTH is 130
    UINT32 length = 256;
    if (get(process, &length, id) != ERROR_SUCCESS || length == 0) return {};
    return utf8(id, length - 1);
}

// Called on the main thread while it waits for messages, between two handlers. The handlers run
// as a task of their own, like every other trigger.
void CALLBACK onForeground(HWINEVENTHOOK, DWORD, HWND, LONG, LONG, DWORD, DWORD) {
    postToMain([] {
        const std::vector<Task> handlers = workspace().handlers;
        for (Task handler : handlers) handler();
    });
}

struct Search {
    ProcessId pid;
    HWND found;
};

BOOL CALLBACK findWindow(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<Search*>(data);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (static_cast<ProcessId>(pid) != search->pid || !IsWindowVisible(window) ||
        GetWindow(window, GW_OWNER) != nullptr) {
        return TRUE;
    }
    search->found = window;
    return FALSE;
}

}  // namespace

std::optional<std::string> bundleOfProcess(ProcessId pid) {
    if (pid <= 0) return std::nullopt;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return std::nullopt;
    wchar_t path[MAX_PATH * 4] = {};
    DWORD length = MAX_PATH * 4;
    std::optional<std::string> bundle;
    if (QueryFullProcessImageNameW(process, 0, path, &length)) {
        bundle = bundleForExecutable(utf8(path, length), userModelIdOf(process));
    }
    CloseHandle(process);
    return bundle;
}

Front frontNow() {
    Front front;
    front.window = GetForegroundWindow();
    if (front.window == nullptr) return front;
    DWORD pid = 0;
    GetWindowThreadProcessId(front.window, &pid);
    front.pid = static_cast<ProcessId>(pid);
    front.bundle = bundleOfProcess(front.pid);
    return front;
}

HWND windowOf(ProcessId pid) {
    HWND front = GetForegroundWindow();
    DWORD frontPid = 0;
    if (front != nullptr) GetWindowThreadProcessId(front, &frontPid);
    if (front != nullptr && static_cast<ProcessId>(frontPid) == pid) return GetAncestor(front, GA_ROOT);
    Search search{pid, nullptr};
    EnumWindows(findWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace sw::platform::uia

namespace sw::platform {

using namespace uia;

Owned frontmostApplication() {
    Front front = frontNow();
    if (front.window == nullptr || front.pid == 0) return {};
    auto* o = new Object(Kind::Application);
    o->pid = front.pid;
    o->window = front.window;
    o->bundle = std::move(front.bundle);
    return Owned::adopt(o);
}

std::optional<std::string> bundleIdentifier(Ref application) {
    if (application == nullptr || application->kind != Kind::Application) return std::nullopt;
    return application->bundle;
}

ProcessId processIdentifier(Ref application) {
    return application == nullptr ? -1 : application->pid;
}

void addActivationObserver(Task handler) {
    if (handler == nullptr) return;
    Workspace& w = workspace();
    w.handlers.push_back(handler);
    if (w.hook == nullptr) {
        // Out of context: called on this (the main) thread from its message loop, for every
        // process; the watcher's own windows (it has none) are skipped.
        w.hook = SetWinEventHook(EVENT_SYSTEM_FOREGROUND, EVENT_SYSTEM_FOREGROUND, nullptr,
                                 onForeground, 0, 0, WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS);
    }
}

}  // namespace sw::platform
