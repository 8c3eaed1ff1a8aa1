// The whole watcher as a child process on Windows: the test executable selection-watcher-sim (the
// real main on the simulated desktop, over the Windows process layer) and the real
// selection-watcher, on three pipes, under parents that behave and parents that do not.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <utility>

namespace sw::test {
namespace {

enum Setup {
    kNoStdin = 2,  // no standard input handle at all, and no console to stand in for it
    kReal = 4,     // the real executable instead of the simulated desktop's
};

std::wstring besideThisProgram(const char* name) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    path.erase(path.find_last_of(L"\\/") + 1);
    for (const char* c = name; *c != '\0'; ++c) path += static_cast<wchar_t>(*c);
    return path;
}

class Child {
public:
    Child(const std::string& scenario, int setup) {
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

    // The next line of stdout (1) or stderr (2) without its line feed; none at the end.
    std::optional<std::string> readLine(int fd = 1) {
        std::string& pending = pending_[fd];
        for (char buffer[65536]; pending.find('\n') == std::string::npos;) {
            DWORD n = 0;
            if (ends_[fd] == nullptr || !ReadFile(ends_[fd], buffer, sizeof buffer, &n, nullptr) || n == 0) {
                return std::nullopt;
            }
            pending.append(buffer, n);
        }
        std::string line = pending.substr(0, pending.find('\n'));
        pending.erase(0, line.size() + 1);
        return line;
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
    const std::string& pendingOutput() const { return pending_[1]; }

private:
    PROCESS_INFORMATION process_{};
    HANDLE ends_[3] = {};
    std::string pending_[3];
    std::wstring scenarioPath_;
};

constexpr const char* kPresent =
    R"({"app":"org.mozilla.firefox","bounds":{"height":21,"width":100,"x":11,"y":-4},"selection":true})";
constexpr const char* kCleared = R"({"selection":false})";

std::string scenario(const std::string& extra) {
    return "app 501 org.mozilla.firefox\napp 502 com.apple.TextEdit\napp 503 com.google.Chrome\n"
           "front 501\ntext 501 hello world\nbounds 501 10.5 -3.5 100.4 20.6\n" + extra;
}

const std::string kSelectNothing = "step text 501 ; notify 501 AXSelectedTextChanged\n";
const std::string kFailingObservers =
    "register 501 AXFocusedUIElementChanged -25200\ncreate 503 -25204\n"
    "step activate 503\nstep activate 501\nstep burst 501 100\n";

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

struct Parent {
    const char* name;
    int setup;
    std::string extra;
    const char* script;  // the tokens of tests/process_test.cpp; F: any first selection line
    const char* ending;
};

// A reader that has gone ends the watcher at its next write with status 141 (128 + SIGPIPE), as
// the broken-pipe signal does elsewhere.
TEST(Process, StartsRunsAndEndsOnWindows) {
    std::string junk(1 << 20, '\0');
    for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 131 + (i >> 9));
    // Where UI Automation cannot be created (Wine) the real watcher refuses to start; where it
    // can, it reports the console's window in front and lives until its input ends.
    const Parent real = automationAvailable()
                            ? Parent{"real executable", kReal, "", "F j i -", "exit 0"}
                            : Parent{"real executable without UI Automation", kReal, "", "j E -", "exit 2"};
    const Parent runs[] = {
        {"no access", 0, "trusted no\n", "j E -", "exit 2"},
        {"input at end during the first evaluation", 0, "hold\n", "i P -", "exit 0"},
        {"no input handle", kNoStdin, "hold\n", "P -", "exit 0"},
        {"another application in front at start", 0, "front 502\n", "C j i -", "exit 0"},
        {"main loop returns", 0, "step stop\n", "P s -", "exit 0"},
        {"stdout closed", 0, kSelectNothing, "P o s", "exit 141"},
        {"stderr closed by the parent", 0, kFailingObservers, "P r e s", "exit 141"},
        {"failing observers", 0, kFailingObservers, "P r s C c s P s B i -", "exit 0"},
        real,
    };
    for (const Parent& run : runs) {
        SCOPED_TRACE(run.name);
        Child child(scenario(run.extra), run.setup);
        std::istringstream script(run.script);
        for (char token; script >> token;) {
            SCOPED_TRACE(token);
            switch (token) {
                case 'P': EXPECT_EQ(child.readLine(), kPresent); break;
                case 'C': EXPECT_EQ(child.readLine(), kCleared); break;
                case 'F': EXPECT_EQ(child.readLine().value_or("").rfind(R"({"selection":)", 0), 0u); break;
                case 'E': EXPECT_EQ(child.readLine(), R"({"error":"ax_permission_denied"})"); break;
                case '-': EXPECT_EQ(child.readLine(), std::nullopt); break;
                case 'B':
                    for (int i = 0; i < 100; ++i) {
                        ASSERT_EQ(child.readLine(), i % 2 == 0 ? kCleared : kPresent) << "line " << i;
                    }
                    break;
                case 'r':
                    EXPECT_EQ(child.readLine(2),
                              "AXObserverAddNotification AXFocusedUIElementChanged failed: -25200");
                    break;
                case 'c': EXPECT_EQ(child.readLine(2), "AXObserverCreate failed: -25204"); break;
                case 's': child.step(); break;
                case 'j': child.writeStdin(junk); break;
                case 'i': child.close(0); break;
                case 'o': child.close(1); break;
                case 'e': child.close(2); break;
            }
        }
        EXPECT_EQ(child.ending(), run.ending);
        EXPECT_EQ(child.pendingOutput(), "") << "a line cut short";
    }
}

}  // namespace
}  // namespace sw::test
