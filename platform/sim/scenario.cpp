// Loads a scenario for the simulated desktop from the file named by SELECTION_WATCHER_SCENARIO,
// before main runs. Linked only into the test executable selection-watcher-sim, which is the real
// main on the simulated desktop.
//
// One command a line; '#' starts a comment. A command may be prefixed:
//   at MS COMMAND      runs on the main loop MS milliseconds after start-up
//   step COMMAND[ ; COMMAND...]
//                      runs on the main loop when the process receives its next SIGUSR1 (signals
//                      sent in quick succession merge into one, so a step may hold several commands);
//                      on Windows when the event "Local\selection-watcher-step-PID" is set
//   COMMAND            (no prefix) sets up the desktop before main
// Commands:
//   trusted yes|no                   access granted or not; taken away, every accessibility call
//                                    answers "API disabled" (-25211)
//   app PID BUNDLE|-                 an application, with a bundle identifier or none
//   front PID|-                      the frontmost application, without notification
//   activate PID|-                   the frontmost application, with the activation notification
//   text PID [TEXT...]               the focused element of PID holds this selection (may be empty;
//                                    surrounding blanks are dropped)
//   bounds PID X Y W H | bounds PID fail CODE | bounds PID point X Y | bounds PID size W H
//   page PID [TEXT...]               the focused element of PID is a page whose selection, this text,
//                                    is told through its marker range; its rectangle is not answered
//                                    yet (success without a value, as Firefox's first answer)
//   range PID fail CODE
//   focus PID fail CODE | focus PID number | focus PID element
//   create PID CODE [none]           how creating an observer for PID turns out
//   register PID NOTIFICATION CODE [once]
//                                    how registering that notification turns out (once: the next
//                                    time only)
//   notify PID NOTIFICATION          posts a notification of PID
//   select PID TEXT...               text + AXSelectedTextChanged in one step
//   burst PID N                      N rounds, each a task of its own queued behind the one before:
//                                    the focused element of PID loses its selection (even rounds)
//                                    or holds "burst" (odd ones), then AXSelectedTextChanged
//   hang PID                         PID answers nothing from now on: every accessibility call to it
//                                    waits out the messaging time-out and cannot complete
//   hold                             the next accessibility query waits until the watchdog hands the
//                                    exit to the main loop or waits for a non-blocking input
//   stop                             the main run loop returns
//   crash                            the process dies of SIGABRT (for parents' restart handling)
#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <pthread.h>
#endif

#include <csignal>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/sim/sim.h"

namespace {

using namespace sw::sim;

// Per application: the element that currently holds the focus, created on first use.
std::map<ProcessId, int>& focusedElements() {
    static auto* elements = new std::map<ProcessId, int>;
    return *elements;
}

int focusedElement(ProcessId pid) {
    auto [it, inserted] = focusedElements().try_emplace(pid, 0);
    if (inserted) {
        it->second = addElement(pid);
        setFocused(pid, Answer::of(ElementRef{it->second}));
    }
    return it->second;
}

std::optional<ProcessId> pidOrNone(const std::string& token) {
    if (token == "-") return std::nullopt;
    return static_cast<ProcessId>(std::stol(token));
}

// The rest of the line without surrounding blanks.
std::string restOfLine(std::istringstream& in) {
    std::string rest;
    std::getline(in, rest);
    const auto first = rest.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return rest.substr(first, rest.find_last_not_of(" \t") - first + 1);
}

[[noreturn]] void fail(const std::string& line, const std::string& why) {
    std::cerr << "scenario: " << why << ": " << line << "\n";
    std::_Exit(64);
}

// One round of a burst. Each round queues the next behind its own notification, so other tasks
// (an activation, the exit at end of input) can still come between two rounds, as on a real desktop.
void burstRound(ProcessId pid, long round, long rounds) {
    if (round >= rounds) return;
    const std::string text = round % 2 == 0 ? "" : "burst";
    const int element = focusedElement(pid);
    setSelectedText(element, Answer::of(Text{text}));
    setSelectedRange(element, Answer::of(RangeValue{0, static_cast<long>(text.size())}));
    postNotification(pid, "AXSelectedTextChanged");
    post([pid, round, rounds] { burstRound(pid, round + 1, rounds); });
}

// Turns one command into the action it stands for, checking it now so that errors show at start.
std::function<void()> parseCommand(std::istringstream& in, const std::string& line) {
    std::string command;
    in >> command;
    auto word = [&]() {
        std::string w;
        if (!(in >> w)) fail(line, "missing argument");
        return w;
    };
    auto number = [&]() { return std::strtod(word().c_str(), nullptr); };
    auto code = [&]() { return static_cast<AXError>(std::stol(word())); };

    if (command == "trusted") {
        const bool yes = word() == "yes";
        return [yes] { setTrusted(yes); };
    }
    if (command == "app") {
        const ProcessId pid = *pidOrNone(word());
        const std::string bundle = word();
        std::optional<std::string> id;
        if (bundle != "-") id = bundle;
        return [pid, id] { addApplication(pid, id); };
    }
    if (command == "front" || command == "activate") {
        const auto pid = pidOrNone(word());
        if (command == "front") return [pid] { setFrontmost(pid); };
        return [pid] { activate(pid); };
    }
    if (command == "text" || command == "select") {
        const ProcessId pid = *pidOrNone(word());
        const std::string text = restOfLine(in);
        const bool notify = command == "select";
        return [pid, text, notify] {
            const int element = focusedElement(pid);
            setSelectedText(element, Answer::of(Text{text}));
            setSelectedRange(element, Answer::of(RangeValue{0, static_cast<long>(text.size())}));
            if (notify) postNotification(pid, "AXSelectedTextChanged");
        };
    }
    if (command == "page") {
        const ProcessId pid = *pidOrNone(word());
        const std::string text = restOfLine(in);
        return [pid, text] {
            const int element = focusedElement(pid);
            setSelectedText(element, Answer::of(Text{""}));
            setSelectedMarkerRange(element, Answer::of(MarkerRange{}));
            setStringForMarkerRange(element, Answer::of(Text{text}));
            setBoundsForMarkerRange(element, Answer::empty());
        };
    }
    if (command == "bounds") {
        const ProcessId pid = *pidOrNone(word());
        const std::string kind = word();
        Answer answer;
        if (kind == "fail") {
            answer = Answer::failure(code());
        } else if (kind == "point") {
            const double x = number(), y = number();
            answer = Answer::of(PointValue{x, y});
        } else if (kind == "size") {
            const double w = number(), h = number();
            answer = Answer::of(SizeValue{w, h});
        } else {
            const double x = std::strtod(kind.c_str(), nullptr);
            const double y = number(), w = number(), h = number();
            answer = Answer::of(RectValue{{x, y, w, h}});
        }
        return [pid, answer] { setBounds(focusedElement(pid), answer); };
    }
    if (command == "range") {
        const ProcessId pid = *pidOrNone(word());
        if (word() != "fail") fail(line, "range takes: fail CODE");
        const Answer answer = Answer::failure(code());
        return [pid, answer] { setSelectedRange(focusedElement(pid), answer); };
    }
    if (command == "focus") {
        const ProcessId pid = *pidOrNone(word());
        const std::string kind = word();
        if (kind == "fail") {
            const AXError c = code();
            return [pid, c] { setFocused(pid, Answer::failure(c)); };
        }
        if (kind == "number") return [pid] { setFocused(pid, Answer::of(NumberValue{1})); };
        return [pid] { setFocused(pid, Answer::of(ElementRef{focusedElement(pid)})); };
    }
    if (command == "create") {
        const ProcessId pid = *pidOrNone(word());
        const AXError c = code();
        std::string extra;
        in >> extra;
        const bool returns = extra != "none";
        return [pid, c, returns] { setObserverCreateResult(pid, c, returns); };
    }
    if (command == "register") {
        const ProcessId pid = *pidOrNone(word());
        const std::string name = word();
        const AXError c = code();
        std::string extra;
        in >> extra;
        const bool once = extra == "once";
        return [pid, name, c, once] { setAddNotificationResult(pid, name, c, once); };
    }
    if (command == "notify") {
        const ProcessId pid = *pidOrNone(word());
        const std::string name = word();
        return [pid, name] { postNotification(pid, name); };
    }
    if (command == "burst") {
        const ProcessId pid = *pidOrNone(word());
        const long rounds = std::stol(word());
        return [pid, rounds] { burstRound(pid, 0, rounds); };
    }
    if (command == "hang") {
        const ProcessId pid = *pidOrNone(word());
        return [pid] { setHung(pid, true); };
    }
    if (command == "hold") return [] { holdNextQuery(); };
    if (command == "stop") return [] { stopMainLoop(); };
    if (command == "crash") return [] { std::abort(); };
    fail(line, "unknown command");
}

// Steps released one by one by SIGUSR1, which a dedicated thread waits for.
std::mutex stepsMutex;
std::deque<std::function<void()>>& steps() {
    static auto* queue = new std::deque<std::function<void()>>;
    return *queue;
}

// Takes the next step, if any, and hands it to the main loop.
void releaseStep() {
    std::function<void()> next;
    {
        std::lock_guard lock(stepsMutex);
        if (steps().empty()) return;
        next = std::move(steps().front());
        steps().pop_front();
    }
    post(std::move(next));
}

#ifdef _WIN32
// Windows has no signals to send a process: the test sets a named auto-reset event instead.
void startStepThread() {
    const std::wstring name =
        L"Local\\selection-watcher-step-" + std::to_wstring(GetCurrentProcessId());
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, name.c_str());
    if (event == nullptr) std::_Exit(64);
    std::thread([event] {
        while (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) releaseStep();
    }).detach();
}
#else
void startStepThread() {
    // Blocked here, before any other thread exists, so every later thread inherits the mask and
    // only sigwait sees the signal.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) == 0) releaseStep();
        }
    }).detach();
}
#endif

bool load() {
    const char* path = std::getenv("SELECTION_WATCHER_SCENARIO");
    if (path == nullptr) return false;
    std::ifstream file(path);
    if (!file) {
        std::cerr << "scenario: cannot open " << path << "\n";
        std::_Exit(64);
    }
    bool anySteps = false;
    std::string line;
    while (std::getline(file, line)) {
        if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::istringstream in(line);
        std::string first;
        if (!(in >> first)) continue;
        if (first == "at") {
            long ms = 0;
            if (!(in >> ms)) fail(line, "at takes milliseconds");
            schedule(std::chrono::milliseconds(ms), parseCommand(in, line));
        } else if (first == "step") {
            std::vector<std::function<void()>> commands;
            std::string rest = restOfLine(in), part;
            std::istringstream parts(rest);
            while (std::getline(parts, part, ';')) {
                std::istringstream command(part);
                commands.push_back(parseCommand(command, line));
            }
            steps().push_back([commands] {
                for (const auto& command : commands) command();
            });
            anySteps = true;
        } else {
            std::istringstream again(line);
            parseCommand(again, line)();
        }
    }
    if (anySteps) startStepThread();
    return true;
}

[[maybe_unused]] const bool loaded = load();

}  // namespace

#ifdef SW_SIM_WRAP_POLL
// Linked with --wrap=poll: the watchdog polls standard input only once a read found it empty and
// non-blocking, which is the moment a held evaluation may go on.
extern "C" int __real_poll(pollfd* fds, nfds_t count, int timeout);
extern "C" int __wrap_poll(pollfd* fds, nfds_t count, int timeout) {
    if (count == 1 && fds[0].fd == 0) releaseHold();
    return __real_poll(fds, count, timeout);
}
#endif
