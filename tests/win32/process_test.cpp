// The whole watcher as a child process on Windows: the test executable selection-watcher-sim (the
// real main on the simulated desktop, over the Windows process layer) and the real
// selection-watcher, on three pipes, under parents that behave and parents that do not.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "../process_cases.h"

namespace sw::test {
namespace {

// Besides kNoStdin (no input handle at all, and no console to stand in for it): the real
// executable instead of the simulated desktop's.
constexpr int kReal = 4;

std::wstring besideThisProgram(const char* name) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    path.erase(path.find_last_of(L"\\/") + 1);
    for (const char* c = name; *c != '\0'; ++c) path += static_cast<wchar_t>(*c);
    return path;
}

class Child : public ChildOutput {
public:
    Child(const std::string& scenario, int setup, const char* argument = nullptr) {
        wchar_t folder[MAX_PATH] = {}, file[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"sws", 0, file);
        scenarioPath_ = file;
        HANDLE out = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(out, scenario.data(), static_cast<DWORD>(scenario.size()), &written, nullptr);
        CloseHandle(out);
        SetEnvironmentVariableW(L"SELECTION_WATCHER_SCENARIO", file);

        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE child[3] = {};
        for (int fd : {0, 1, 2}) {
            HANDLE read = nullptr, write = nullptr;
            if (!CreatePipe(&read, &write, &inherit, 0)) std::abort();
            ends_[fd] = fd == 0 ? write : read;
            child[fd] = fd == 0 ? read : write;
            SetHandleInformation(ends_[fd], HANDLE_FLAG_INHERIT, 0);
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = (setup & kNoStdin) ? nullptr : child[0];
        startup.hStdOutput = child[1];
        startup.hStdError = child[2];
        std::wstring path = besideThisProgram((setup & kReal) ? SW_EXE : SW_SIM_EXE);
        std::wstring command = L"\"" + path + L"\"";
        if (argument != nullptr) command += L" " + std::wstring(argument, argument + std::strlen(argument));
        const DWORD flags = (setup & kNoStdin) ? DETACHED_PROCESS : CREATE_NO_WINDOW;
        if (!CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, TRUE, flags, nullptr,
                            nullptr, &startup, &process_)) {
            std::abort();
        }
        for (HANDLE h : child) CloseHandle(h);
        if (setup & kNoStdin) close(0);
    }
    ~Child() {
        DeleteFileW(scenarioPath_.c_str());
        if (process_.hProcess != nullptr) {
            TerminateProcess(process_.hProcess, 9);
            WaitForSingleObject(process_.hProcess, INFINITE);
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
        }
        for (int fd : {0, 1, 2}) close(fd);
    }

    std::optional<std::string> readLine(int fd = 1) {
        return nextLine(fd, [&](char* buffer, DWORD size) {
            DWORD n = 0;
            return ends_[fd] != nullptr && ReadFile(ends_[fd], buffer, size, &n, nullptr) ? static_cast<long>(n) : 0L;
        });
    }
    void writeStdin(const std::string& bytes) {
        DWORD written = 0;
        WriteFile(ends_[0], bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
    void close(int fd) {
        if (ends_[fd] != nullptr) CloseHandle(std::exchange(ends_[fd], nullptr));
    }
    // Releases the scenario's next step through its named event, which the child made at start.
    void step() {
        const std::wstring name =
            L"Local\\selection-watcher-step-" + std::to_wstring(process_.dwProcessId);
        for (int attempt = 0; attempt < 500; ++attempt, Sleep(10)) {
            if (HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str())) {
                SetEvent(event);
                CloseHandle(event);
                return;
            }
        }
        ADD_FAILURE() << "no step event";
    }
    std::string ending() {
        WaitForSingleObject(process_.hProcess, INFINITE);
        DWORD status = 0;
        GetExitCodeProcess(process_.hProcess, &status);
        return "exit " + std::to_string(status);
    }

private:
    PROCESS_INFORMATION process_{};
    HANDLE ends_[3] = {};
    std::wstring scenarioPath_;
};

bool automationAvailable() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const GUID clsid = {0xff48dba4, 0x60ef, 0x4201, {0xaa, 0x87, 0x54, 0x10, 0x3e, 0xef, 0x59, 0x4e}};
    const GUID iid = {0x30cbe57d, 0xd9d0, 0x452a, {0xab, 0x13, 0x7a, 0xc5, 0xac, 0x48, 0x25, 0xee}};
    IUnknown* automation = nullptr;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid,
                                reinterpret_cast<void**>(&automation)))) {
        return false;
    }
    automation->Release();
    return true;
}

// The shared parents (process_cases.h), then the real executable. A reader that has gone ends the
// watcher at its next write with status 141 (128 + SIGPIPE), as the broken-pipe signal does elsewhere.
TEST(Process, StartsRunsAndEndsOnWindows) {
    std::vector<Parent> runs = sharedParents("exit 141");
    // Where UI Automation cannot be created (Wine) the real watcher refuses to start; where it
    // can, it reports the console's window in front and lives until its input ends.
    runs.push_back(automationAvailable()
                       ? Parent{"real executable", kReal, "", "F j i -", "exit 0"}
                       : Parent{"real executable without UI Automation", kReal, "", "j E -", "exit 2"});
    for (const Parent& run : runs) play<Child>(run);
}

}  // namespace
}  // namespace sw::test
