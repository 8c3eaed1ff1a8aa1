#include "tests/program.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "reporting/state.h"
#include "watch/observer.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SW_SANITIZED 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define SW_SANITIZED 1
#endif
#ifdef SW_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

namespace sw::test {
namespace {

using platform::AXError;
using platform::ProcessId;
using sim::Answer;

// Every non-blank selected text contains this, so that any trace of one in the output shows.
const std::string kMarker = "Sel3cted-Txt";
struct KnownApp {
    ProcessId pid;
    const char* bundle;
};
constexpr KnownApp kApps[] = {{11, "org.mozilla.firefox"}, {12, "com.google.Chrome"},
                              {13, "com.apple.Safari"},    {14, "com.microsoft.edgemac"},
                              {21, "com.apple.TextEdit"},  {22, nullptr},
                              {23, "com.apple.safari"}};  // a browser's identifier in the wrong case
constexpr int kAppCount = 7;
constexpr ProcessId kNotRunning = 99;  // in front, but unknown to the workspace
constexpr int kStaleElement = 1 << 30;
constexpr const char* kNotifications[] = {"AXFocusedUIElementChanged", "AXSelectedTextChanged",
                                          "AXValueChanged"};
constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNumbers[] = {0, -0.0, 0.3, 0.5, -0.5, 1, 2.5, -2.5, 10.5, -3.5, 100.4, 20.6, 1920,
                           -1920, 1e-310, 0.49999999999999994, 4503599627370497.0, 1e18,
                           9223372036854775808.0, -9223372036854775808.0, -9223372036854777856.0,
                           1e300, -1e300, std::numeric_limits<double>::quiet_NaN(), kInf, -kInf};
const AXError kCodes[] = {0, -25200, -25201, -25202, -25204, -25205, -25209, -25211, -25212};

// ---- What a program chooses -------------------------------------------------------------------

std::optional<ProcessId> frontChoice(Reader& in) {
    const int b = in.byte() % (kAppCount + 2);
    if (b < kAppCount) return kApps[b].pid;
    return b == kAppCount ? std::optional(kNotRunning) : std::nullopt;
}
int appChoice(Reader& in) { return in.byte() % kAppCount; }
AXError codeChoice(Reader& in) {
    const int b = in.byte();
    return b < 0xF0 ? kCodes[b % std::size(kCodes)] : in.raw<std::int32_t>();
}
double numberChoice(Reader& in) {
    const int b = in.byte();
    return b < 0xE0 ? kNumbers[b % std::size(kNumbers)] : in.raw<double>();
}
platform::Rect rectChoice(Reader& in) {
    return {numberChoice(in), numberChoice(in), numberChoice(in), numberChoice(in)};
}
std::string textChoice(Reader& in) {
    switch (in.byte() % 5) {
        case 0: return "";
        case 1: return " ";
        case 2: return "\t\n";
        case 3: return kMarker;
        default: {  // the marker among raw bytes: quotes, line feeds, NULs, malformed UTF-8
            std::string text(in.byte() % 8, '\0');
            for (char& c : text) c = static_cast<char>(in.byte());
            text += kMarker;
            for (int i = in.byte() % 24; i > 0; --i) text += static_cast<char>(in.byte());
            return text;
        }
    }
}

struct State {
    std::vector<int> elements;                // made for the applications at the start
    std::map<ProcessId, Answer> focused;      // what the runner told the desktop, for the oracle
    std::map<int, Answer> texts;
    std::map<ProcessId, bool> createWorks;
    std::set<ProcessId> bundleReadsQueued;
    std::optional<ProcessId> front;
    bool started = false;
    std::optional<bool> lastLine;
    std::set<std::string, std::less<>> observers, sourcesIn;
    std::size_t callsSeen = 0;
    Figures figures;
    std::string step;
};
State state;

int elementChoice(Reader& in) { return state.elements[in.byte() % state.elements.size()]; }

Answer answerChoice(Reader& in) {
    const int b = in.byte();
    Answer answer;
    switch ((b & 0x0F) % 11) {
        case 0: break;
        case 1: answer.value = sim::Text{textChoice(in)}; break;
        case 2: answer.value = sim::ElementRef{elementChoice(in)}; break;
        case 3: answer.value = sim::ElementRef{kStaleElement}; break;
        case 4: answer.value = sim::ElementRef{0}; break;  // an application element
        case 5:
        case 6: answer.value = sim::RectValue{rectChoice(in)}; break;
        case 7: answer.value = sim::PointValue{numberChoice(in), numberChoice(in)}; break;
        case 8: answer.value = sim::SizeValue{numberChoice(in), numberChoice(in)}; break;
        case 9: answer.value = sim::RangeValue{in.raw<std::int16_t>(), in.raw<std::int16_t>()}; break;
        default: answer.value = sim::NumberValue{numberChoice(in)};
    }
    if (b & 0x80) answer.code = codeChoice(in);  // a failure may come with a value, too
    return answer;
}

// ---- The rules ----------------------------------------------------------------------------------

bool tracing = false;
int realStderr = 2;
struct Capture {
    int fd, file = -1, saved = -1;
    off_t seen = 0;
} out{1}, err{2};

[[noreturn]] void broken(const std::string& rule, const std::string& detail = "") {
    for (Capture* c : {&out, &err}) ::dup2(c->saved, c->fd);
    ::dprintf(realStderr, "\n*** broken rule after %s: %s\n*** %s\n", state.step.c_str(),
              rule.c_str(), detail.c_str());
    std::abort();
}

// The whole lines written since the last call; no flush here: each must already be out.
std::vector<std::string> newLines(Capture& c) {
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = ::pread(c.file, buffer, sizeof buffer, c.seen)) > 0; c.seen += n) {
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    if (tracing && !bytes.empty()) ::dprintf(realStderr, "  fd %d: %s", c.fd, bytes.c_str());
    if (bytes.find(kMarker) != std::string::npos) broken("selected text written", bytes);
    if (!bytes.empty() && bytes.back() != '\n') broken("unterminated line", bytes);
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; start < bytes.size(); start = end + 1) {
        end = bytes.find('\n', start);
        lines.push_back(bytes.substr(start, end - start));
    }
    return lines;
}

void checkEvent(const std::string& line) {
    const auto event = nlohmann::json::parse(line, nullptr, false);
    // Same text once re-serialised: compact, no duplicate member, numbers in plain form.
    if (!event.is_object() || event.dump() != line) broken("not compact canonical JSON", line);
    if (!event.contains("selection") || !event["selection"].is_boolean()) broken("no flag", line);
    const bool selected = event["selection"].get<bool>();
    const bool hasBounds = event.contains("bounds");
    if (event.size() != (selected ? 2u + hasBounds : 1u)) broken("unexpected members", line);
    if (selected) {
        const auto app = event.find("app");
        if (app == event.end() || !app->is_string() ||
            (*app != "" && !ALLOWED_BUNDLES.contains(app->get<std::string>()))) {
            broken("app is not a browser's identifier", line);
        }
        const auto& b = hasBounds ? event["bounds"] : nlohmann::json::object();
        for (const char* key : {"x", "y", "width", "height"}) {
            if (hasBounds && (b.size() != 4 || !b.contains(key) || !b[key].is_number_integer())) {
                broken("bounds are not four integers", line);
            }
        }
        if (hasBounds && (b["width"].get<std::int64_t>() <= 0 || b["height"].get<std::int64_t>() <= 0)) {
            broken("bounds without area", line);
        }
    }
    if (state.lastLine == selected) broken("the same flag twice in a row", line);
    state.lastLine = selected;
    ++state.figures.lines;
    state.figures.present += selected;
}

void checkDiagnostic(const std::string& line) {
    std::string code;
    if (line.starts_with("AXObserverCreate failed: ")) {
        code = line.substr(25);
    } else {
        for (const char* name : {"AXFocusedUIElementChanged", "AXSelectedTextChanged"}) {
            const std::string prefix = std::string("AXObserverAddNotification ") + name + " failed: ";
            if (line.starts_with(prefix)) code = line.substr(prefix.size());
        }
        if (code == "0" || code == "-25209") code.clear();  // accepted results say nothing
    }
    char* end = nullptr;
    const long long value = std::strtoll(code.c_str(), &end, 10);
    if (code.empty() || *end != '\0' || std::to_string(value) != code) broken("not a diagnostic", line);
    ++state.figures.diagnostics;
}

// One observer and its application element at most, set together, the observer's source in the
// run loop; a source leaves the run loop before its observer is released, and the old observer is
// released before a new one is created.
void checkObjects() {
    const int watched = currentObserver ? 1 : 0;
    if (static_cast<bool>(currentAXApp) != bool(watched) || sim::liveObjects(sim::Kind::Observer) != watched ||
        sim::liveObjects() != 2 * watched || sim::sourcesInRunLoop() != watched) {
        broken("objects alive: " + std::to_string(sim::liveObjects()));
    }
    state.figures.mostAlive = std::max<long>(state.figures.mostAlive, sim::liveObjects());
    const std::vector<std::string>& calls = sim::calls();
    for (; state.callsSeen < calls.size(); ++state.callsSeen) {
        const std::string& call = calls[state.callsSeen];
        const std::string label = call.substr(call.rfind(' ') + 1);
        if (call.starts_with("observerCreate") && !state.observers.empty()) {
            broken("an observer created while another is alive", call);
        } else if (call.starts_with("observerCreate") && label != "null") {
            state.observers.insert(label);
        } else if (call.starts_with("runLoopAddSource ") && !state.sourcesIn.insert(label).second) {
            broken("a source added twice", call);
        } else if (call.starts_with("runLoopRemoveSource ") && state.sourcesIn.erase(label) == 0) {
            broken("a source removed that was not added", call);
        } else if (call.starts_with("release observer ")) {
            if (state.sourcesIn.contains(label)) broken("observer released in the run loop", call);
            state.observers.erase(label);
        }
    }
    if (state.callsSeen > 4096) {
        sim::clearCalls();
        state.callsSeen = 0;
    }
}

std::size_t check() {
    const std::vector<std::string> events = newLines(out);
    for (const std::string& line : events) checkEvent(line);
    for (const std::string& line : newLines(err)) checkDiagnostic(line);
    if (state.lastLine != lastEmitted) broken("lastEmitted differs from the last line written");
    checkObjects();
    return events.size();
}

// What a fresh activation of the application in front must report, from the answers given.
void checkSettled() {
    const auto app = std::find_if(std::begin(kApps), std::end(kApps),
                                  [](const KnownApp& a) { return a.pid == state.front; });
    if (app != std::end(kApps) && state.bundleReadsQueued.contains(app->pid)) return;
    const bool watched = app != std::end(kApps) && app->bundle != nullptr &&
                         ALLOWED_BUNDLES.contains(app->bundle) &&
                         state.createWorks.try_emplace(app->pid, true).first->second;
    bool selected = false;
    const Answer& focus = watched ? state.focused[app->pid] : Answer{};
    if (const auto* e = focus.code == 0 && focus.value ? std::get_if<sim::ElementRef>(&*focus.value) : nullptr) {
        const auto text = state.texts.find(e->element);
        if (text != state.texts.end() && text->second.code == 0 && text->second.value) {
            const auto* t = std::get_if<sim::Text>(&*text->second.value);
            selected = t != nullptr && !t->text.empty();
        }
    }
    if (static_cast<bool>(currentObserver) != watched) broken("watching the wrong application");
    if (lastEmitted != (watched && selected)) broken("the last line does not tell the selection");
    ++state.figures.settled;
}

void startUp() {
    state.step = "start-up";
    platform::addActivationObserver(handleFrontmostChange);
    handleFrontmostChange();
    state.started = true;
    if (check() != 1) broken("start-up did not write exactly one selection line");
}

}  // namespace

void initPrograms() {
    tracing = std::getenv("SW_FUZZ_TRACE") != nullptr;
    realStderr = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
#ifdef SW_SANITIZED
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(realStderr)));
#endif
    for (Capture* c : {&out, &err}) {
        char path[] = "/tmp/sw-program-XXXXXX";
        c->file = ::mkstemp(path);
        ::unlink(path);
    }
}

void beginProgram() {
    std::fflush(stdout);
    for (Capture* c : {&out, &err}) {
        if (::ftruncate(c->file, 0) != 0) std::abort();
        c->seen = 0;
        c->saved = ::dup(c->fd);
        ::dup2(c->file, c->fd);
    }
    sim::reset();
    currentObserver.reset();
    currentAXApp.reset();
    lastEmitted.reset();
    sw::stderr = platform::fileHandleWithStandardError();
    state = State{};
    if (sim::liveObjects() != 0) broken("objects alive before the program");
    for (const KnownApp& app : kApps) {
        sim::addApplication(app.pid, app.bundle ? std::optional<std::string>(app.bundle) : std::nullopt);
        for (int i = 0; i < 2; ++i) {
            state.elements.push_back(sim::addElement(app.pid));
            state.texts[state.elements.back()] = Answer::of(sim::Text{""});
        }
        state.focused[app.pid] = Answer::of(sim::ElementRef{state.elements.back()});
        sim::setFocused(app.pid, state.focused[app.pid]);
    }
}

void runOperation(Reader& in) {
    const int op = in.byte() % kOpCount;
    static constexpr const char* kNames[] = {"activate", "front", "create", "register", "focus", "text",
                                             "range", "bounds", "notify", "run", "second read",
                                             "select", "settle"};
    state.step = kNames[op];
    ++state.figures.operations;
    switch (op) {
        case kActivate: sim::activate(state.front = frontChoice(in)); break;
        case kFront: sim::setFrontmost(state.front = frontChoice(in)); break;
        case kCreate: {
            const ProcessId pid = kApps[appChoice(in)].pid;
            const AXError code = codeChoice(in);
            const bool returns = (in.byte() & 1) == 0;
            sim::setObserverCreateResult(pid, code, returns);
            state.createWorks[pid] = code == 0 && returns;
            break;
        }
        case kRegister: {
            const ProcessId pid = kApps[appChoice(in)].pid;
            const char* name = kNotifications[in.byte() % 2];
            sim::setAddNotificationResult(pid, name, codeChoice(in));
            break;
        }
        case kFocus: {
            const ProcessId pid = kApps[appChoice(in)].pid;
            sim::setFocused(pid, state.focused[pid] = answerChoice(in));
            break;
        }
        case kText: {
            const int element = elementChoice(in);
            sim::setSelectedText(element, state.texts[element] = answerChoice(in));
            break;
        }
        case kRange:
        case kBounds: {
            const int element = elementChoice(in);
            (op == kRange ? sim::setSelectedRange : sim::setBounds)(element, answerChoice(in));
            break;
        }
        case kNotify: {  // arguments are read in order: the interpretation must not vary by compiler
            const ProcessId pid = frontChoice(in).value_or(kNotRunning);
            sim::postNotification(pid, kNotifications[in.byte() % 3]);
            break;
        }
        case kSecondRead: {  // the next reads of a bundle identifier yield none, or the app's own
            const KnownApp& app = kApps[appChoice(in)];
            std::vector<std::optional<std::string>> answers(in.byte() % 3 + 1);
            for (auto& answer : answers) {
                if ((in.byte() & 1) != 0 && app.bundle != nullptr) answer = app.bundle;
            }
            sim::queueBundleAnswers(app.pid, answers);
            state.bundleReadsQueued.insert(app.pid);
            break;
        }
        case kSelect: {
            const ProcessId pid = kApps[appChoice(in)].pid;
            const std::string text = textChoice(in);
            std::optional<platform::Rect> rect;
            if ((in.byte() & 1) == 0) rect = rectChoice(in);
            const int element = sim::selectText(pid, text, rect);
            state.focused[pid] = Answer::of(sim::ElementRef{element});
            state.texts[element] = Answer::of(sim::Text{text});
            break;
        }
        default:  // kRun and kSettle
            if (!state.started) startUp();
            if (op == kSettle) sim::activate(state.front);
            sim::runUntilIdle();
    }
    if (tracing) ::dprintf(realStderr, "%s\n", state.step.c_str());
    if (check() != 0 && op != kRun && op != kSettle) broken("a line written without an evaluation");
    if (op == kSettle) checkSettled();
}

Figures endProgram() {
    if (!state.started) startUp();
    state.step = "the last run";
    sim::runUntilIdle();
    check();
    state.step = "teardown";
    tearDownObserver();
    check();
    if (sim::liveObjects() != 0) broken("objects alive after teardown");
    std::fflush(stdout);
    for (Capture* c : {&out, &err}) {
        ::dup2(c->saved, c->fd);
        ::close(c->saved);
    }
    return state.figures;
}

void runProgram(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    beginProgram();
    while (!in.done()) runOperation(in);
    endProgram();
}

}  // namespace sw::test
