// Coverage-guided fuzzing (libFuzzer) of the watcher on the simulated desktop. Each input is a
// program for the desktop: activations, observer creation and registration results, what the
// focus, text, range and bounds queries answer, what a page's text-marker queries answer, the
// page's tree (focused windows, roles, parents, children, frames and sizes, the elements of markers),
// notifications, mouse and key releases, runs of the main loop. After every
// operation the rules of the output and of the watcher's objects are checked; a broken rule aborts
// with a message on the real standard error. The soak test runs one very long program through the
// same code. Replay a finding with `fuzz_selection FILE`.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <regex>
#include <string>
#include <variant>
#include <vector>

#include "platform/sim/sim.h"
#include "reporting/state.h"
#include "watch/followup.h"
#include "watch/observer.h"

// Defined by the sanitizers' runtime when there is one.
extern "C" [[gnu::weak]] void __sanitizer_set_report_fd(void* fd);

namespace sw::fuzz {
namespace {

using platform::AXError;
using platform::ProcessId;
using sim::Answer;

// Every non-blank selected text contains this, so that any trace of one in the output shows.
const std::string kMarker = "Sel3cted-Txt";
struct App { ProcessId pid; const char* bundle; bool browser; };
constexpr App kApps[] = {
    {11, "com.apple.Safari", true},      {12, "com.google.Chrome", true},
    {13, "com.google.Chrome.canary", true}, {14, "com.brave.Browser", true},
    {15, "org.mozilla.firefox", true},   {16, "company.thebrowser.Browser", true},
    {17, "com.microsoft.edgemac", true}, {21, "com.apple.TextEdit", false}, {22, nullptr, false},
    {23, "com.apple.safari", false}};  // a browser's identifier in the wrong case
constexpr int kAppCount = std::size(kApps);
constexpr ProcessId kNotRunning = 99;  // in front, but unknown to the workspace
constexpr const char* kNotifications[] = {"AXFocusedUIElementChanged", "AXSelectedTextChanged",
                                          "AXValueChanged"};
constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNumbers[] = {0, -0.0, 0.3, 0.5, -0.5, 1, 2.5, -2.5, 10.5, -3.5, 100.4, 20.6, 1920,
                           -1920, 1e-310, 0.49999999999999994, 4503599627370497.0, 1e18,
                           9223372036854775808.0, -9223372036854775808.0, -9223372036854777856.0,
                           1e300, -1e300, std::numeric_limits<double>::quiet_NaN(), kInf, -kInf};
const AXError kCodes[] = {0, -25200, -25201, -25202, -25204, -25205, -25209, -25211, -25212, 7,
                          INT32_MIN};

enum Op : std::uint8_t { kActivate, kFront, kCreate, kRegister, kFocus, kText, kRange, kBounds,
                         kNotify, kRun, kSelect, kSettle, kMarkers, kSelectPage, kTree, kWindow,
                         kRelease, kOpCount };
const char* const kOpNames[] = {"activate", "front", "create", "register", "focus", "text", "range",
                                "bounds", "notify", "run", "select", "settle", "markers",
                                "select page", "tree", "window", "release"};

// Every attribute the watcher reads: a read of any other name breaks a rule. The first ones are
// what the page's elements answer besides their selection (the "tree" operation); from
// kControlAttributes on, a text control's selection and a page's, three of each.
constexpr const char* kReadable[] = {
    "AXRole", "AXParent", "AXChildren", "AXFrame", "AXPosition", "AXSize", "AXUIElementForTextMarker",
    "AXFocusedUIElement", "AXFocusedWindow", "AXSelectedText", "AXSelectedTextRange", "AXBoundsForRange",
    "AXSelectedTextMarkerRange", "AXStringForTextMarkerRange", "AXBoundsForTextMarkerRange"};
constexpr int kTreeAttributes = 7, kControlAttributes = 9, kMarkerAttributes = 12;
// What only the rectangle of a selection is asked with ("AXSize" also orders the walk at attach).
constexpr const char* kRectangleAttributes[] = {
    "AXFrame", "AXPosition", "AXUIElementForTextMarker", "AXSelectedTextRange", "AXBoundsForRange",
    "AXBoundsForTextMarkerRange"};
constexpr const char* kRoles[] = {"AXWebArea", "AXWindow", "AXGroup", "AXScrollArea", "AXApplication", "AXTextArea"};

struct Reader { const std::uint8_t *data, *end; std::uint8_t byte() { return data < end ? *data++ : 0; } };

struct State {
    std::vector<int> elements;            // made for the applications at the start
    std::map<ProcessId, Answer> focused;  // what the desktop was told, for the settled check
    std::map<std::pair<int, std::string_view>, Answer> told;  // by element and attribute
    std::map<ProcessId, bool> createFails;
    std::optional<ProcessId> front;
    std::optional<bool> lastLine;
    std::map<std::string, bool> observers;  // alive, by label: whether the source is in the run loop
    std::size_t callsSeen = 0, registrations = 0;
    bool awaitingWake = false;
    long lines = 0, present = 0, diagnostics = 0, settled = 0, rectangleQuestions = 0;
    const char* step = "";
} state;

void tell(int element, std::string_view attribute, const Answer& answer) {
    sim::setAttribute(element, std::string(attribute), state.told[{element, attribute}] = answer);
}

// ---- What a program chooses -------------------------------------------------------------------

std::optional<ProcessId> frontChoice(Reader& in) {
    const int b = in.byte() % (kAppCount + 2);
    return b < kAppCount ? kApps[b].pid : b == kAppCount ? std::optional(kNotRunning) : std::nullopt;
}
const App& appChoice(Reader& in) { return kApps[in.byte() % kAppCount]; }
int elementChoice(Reader& in) { return state.elements[in.byte() % state.elements.size()]; }
AXError codeChoice(Reader& in) { return kCodes[in.byte() % std::size(kCodes)]; }
// Access stays granted through a program: "API disabled" from the focus or an observer's creation
// ends the process (as the process tests check), so there it stands for another failure.
AXError granted(AXError code) { return code == platform::kAXErrorAPIDisabled ? platform::kAXErrorFailure : code; }
double numberChoice(Reader& in) { return kNumbers[in.byte() % std::size(kNumbers)]; }
platform::Rect rectChoice(Reader& in) {
    return {numberChoice(in), numberChoice(in), numberChoice(in), numberChoice(in)};
}
std::string textChoice(Reader& in) {
    const std::string texts[] = {"", " ", "\t\n", kMarker, std::string("\"\0\n\xff", 4) + kMarker};
    return texts[in.byte() % std::size(texts)];
}

// An element, none (0) or one that went away.
int endChoice(Reader& in) {
    const int b = in.byte();
    return b % 4 == 0 ? 0 : b % 4 == 1 ? 1 << 30 : elementChoice(in);
}

// Any answer. The application's own element is offered only where `application` allows: as a
// focus, a parent or a child it would have the watcher read the application's role outside the
// wake-up, which real trees never do (they have the application only above their windows, where
// the watcher's climbs stop).
Answer answerChoice(Reader& in, bool application = true) {
    const int b = in.byte();
    Answer answer;
    switch ((b & 0x0F) % 13) {
        case 0: break;
        case 1: answer.value = sim::Text{textChoice(in)}; break;
        case 2: answer.value = sim::ElementRef{elementChoice(in)}; break;
        case 3: answer.value = sim::ElementRef{(b & 0x40) && application ? 0 : 1 << 30}; break;
        case 4:
        case 5: answer.value = sim::RectValue{rectChoice(in)}; break;
        case 6: answer.value = sim::PointValue{numberChoice(in), numberChoice(in)}; break;
        case 7: answer.value = sim::SizeValue{numberChoice(in), numberChoice(in)}; break;
        case 8: answer.value = sim::RangeValue{in.byte(), in.byte() - 128}; break;
        case 9: answer.value = sim::MarkerRange{endChoice(in), endChoice(in)}; break;
        case 10: answer.value = sim::Marker{endChoice(in)}; break;
        case 11: {
            sim::ArrayValue children;
            for (int n = in.byte() % 4; n > 0; --n) {
                const int item = endChoice(in);
                children.items.push_back(item == 0 ? -1 : item);  // -1: an item that is no element
            }
            answer.value = children;
        } break;
        default: answer.value = sim::NumberValue{numberChoice(in)};
    }
    if (b & 0x80) answer.code = codeChoice(in);  // a failure may come with a value, too
    return answer;
}

// What an attribute of the page's tree answers: often a role, or an element (a parent, the element
// of a marker), else anything.
Answer treeChoice(Reader& in, std::string_view attribute) {
    const int b = in.byte();
    if (b % 3 != 0) return answerChoice(in, false);
    if (attribute == "AXRole") return Answer::of(sim::Text{kRoles[b / 3 % std::size(kRoles)]});
    return Answer::of(sim::ElementRef{elementChoice(in)});
}

// ---- The rules ----------------------------------------------------------------------------------

int realStderr = 2;
struct Capture { int fd, file = -1, saved = -1; off_t seen = 0; } out{1}, err{2};

[[noreturn]] void broken(const std::string& rule, const std::string& detail = "") {
    for (Capture* c : {&out, &err}) ::dup2(c->saved, c->fd);
    ::dprintf(realStderr, "\n*** broken rule after %s: %s\n*** %s\n", state.step, rule.c_str(),
              detail.c_str());
    std::abort();
}

// The whole lines written since the last call; no flush here: each must already be out.
std::vector<std::string> newLines(Capture& c) {
    std::string bytes(::lseek(c.file, 0, SEEK_END) - c.seen, '\0');
    if (::pread(c.file, bytes.data(), bytes.size(), c.seen) < 0) std::abort();
    c.seen += static_cast<off_t>(bytes.size());
    if (bytes.find(kMarker) != std::string::npos) broken("selected text written", bytes);
    if (!bytes.empty() && bytes.back() != '\n') broken("unterminated line", bytes);
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; start < bytes.size(); start = end + 1) {
        end = bytes.find('\n', start);
        lines.push_back(bytes.substr(start, end - start));
    }
    return lines;
}

// The only lines there are, in compact JSON with the members in the order this writer uses: an
// allowed browser or nothing as "app", integers in plain decimal, and a rectangle with area. An
// accepted registration (0, or -25209: already registered) says nothing.
const std::regex kEvent(
    R"re(\{"selection":false\}|\{"app":"(|com\.apple\.Safari|com\.google\.Chrome(?:\.canary)?|)re"
    R"re(com\.brave\.Browser|org\.mozilla\.firefox|company\.thebrowser\.Browser|com\.microsoft\.edgemac)",)re"
    R"re((?:"bounds":\{"height":[1-9]\d*,)re"
    R"re("width":[1-9]\d*,"x":-?(?:0|[1-9]\d*),"y":-?(?:0|[1-9]\d*)\},)?"selection":true\})re");
const std::regex kDiagnostic(R"re(AXObserverCreate failed: (?:0|-?[1-9]\d*)|AXObserverAddNotification )re"
                             R"re(AX(?:FocusedUIElement|SelectedText)Changed failed: (?!-25209$)-?[1-9]\d*)re");

std::size_t check() {
    const std::vector<std::string> events = newLines(out);
    long present = 0;
    for (const std::string& line : events) {
        std::smatch match;
        if (!std::regex_match(line, match, kEvent)) broken("not an event line", line);
        const bool selected = match[1].matched;
        if (state.lastLine == selected) broken("the same flag twice in a row", line);
        state.lastLine = selected;
        present += selected;
    }
    for (const std::string& line : newLines(err)) {
        if (!std::regex_match(line, kDiagnostic)) broken("not a diagnostic", line);
        ++state.diagnostics;
    }
    state.lines += static_cast<long>(events.size());
    state.present += present;
    if (state.lastLine != lastEmitted) broken("lastEmitted differs from the last line written");
    // Where a selection lies is asked only for the line that reports it.
    long rectangleQuestions = 0;
    for (const char* name : kRectangleAttributes) rectangleQuestions += sim::queryCount(name);
    if (rectangleQuestions != std::exchange(state.rectangleQuestions, rectangleQuestions) && present == 0) {
        broken("a rectangle asked with no present line");
    }

    // One observer and its application element at most, set together, the observer's source in
    // the run loop; a source leaves before its observer is released, the old observer goes before
    // a new one is made, and the two notifications are registered in order (then made again, maybe).
    const int watched = currentObserver ? 1 : 0;
    if (bool(currentAXApp) != bool(watched) || sim::liveObjects(sim::Kind::Observer) != watched ||
        sim::liveObjects() != 2 * watched || sim::sourcesInRunLoop() != watched) {
        broken("objects alive: " + std::to_string(sim::liveObjects()));
    }
    for (; state.callsSeen < sim::calls().size(); ++state.callsSeen) {
        const std::string& call = sim::calls()[state.callsSeen];
        const std::string label = call.substr(call.rfind(' ') + 1);
        const auto rule = [&](bool holds, const char* what) { if (!holds) broken(what, call); };
        if (call.starts_with("observerCreate")) {
            rule(state.observers.empty(), "an observer made while another is alive");
            if (label != "null") state.observers[label] = false;
            state.registrations = 0;
        } else if (call.starts_with("observerAddNotification ")) {
            // The two in order; then only what ran out of time, made again.
            rule(state.registrations < 2 ? label == kNotifications[state.registrations]
                                         : label == kNotifications[0] || label == kNotifications[1],
                 "notifications out of order");
            ++state.registrations;
        } else if (call.starts_with("runLoopAddSource ")) {
            rule(!std::exchange(state.observers[label], true), "a source added twice");
            state.awaitingWake = true;
        } else if (call.starts_with("read ")) {
            // Nothing is ever written into an application: the desktop has no operation for it, so
            // the rules are that the watcher reads only names it knows (below) and that the
            // application's role, the read that wakes a browser's page tree, comes once per attach,
            // as the first question after the source is added.
            rule(call.ends_with(" AXRole") == std::exchange(state.awaitingWake, false),
                 "the application's role read outside an attach, or not first after it");
        } else if (call.starts_with("runLoopRemoveSource ")) {
            rule(std::exchange(state.observers[label], false), "a source removed that was not added");
        } else if (call.starts_with("release observer ")) {
            rule(!state.observers[label], "an observer released with its source in the run loop");
            state.observers.erase(label);
        }
    }
    if (state.awaitingWake) broken("an attach without its wake-up read");
    if (state.callsSeen > 4096) sim::clearCalls(), state.callsSeen = 0;
    int reads = 0;
    for (const char* name : kReadable) reads += sim::queryCount(name);
    if (reads != sim::queryCount()) broken("a read of an attribute the watcher has no use for");
    return events.size();
}

// Whether the desktop's answers hold a selection for the watcher to find, and whether a busy
// application ("cannot complete" on the way to the text) leaves that unknown. Text controls (by
// their role) and elements without marker ranges tell their selected text; any other element its
// page's selection through its marker range; failing that, the nearest web area above the focus
// (at most 32 parents up, not beyond a window).
std::pair<bool, bool> expectedSelection(const Answer& focus) {
    const auto isBusy = [](const Answer& a) { return a.code == platform::kAXErrorCannotComplete; };
    const auto* focused = focus.code == 0 && focus.value ? std::get_if<sim::ElementRef>(&*focus.value) : nullptr;
    if (isBusy(focus) || focused == nullptr) return {false, isBusy(focus)};
    const auto text = [](const Answer& a) {
        const auto* t = a.code == 0 && a.value ? std::get_if<sim::Text>(&*a.value) : nullptr;
        return t ? t->text : "";
    };
    // What an element was told; an attribute never told answers as if its value were empty.
    const auto told = [](int e, std::string_view name) -> const Answer& {
        static const Answer none;
        const auto found = state.told.find({e, name});
        return found == state.told.end() ? none : found->second;
    };
    const auto page = [&](int e) -> std::pair<bool, bool> {
        const Answer &range = told(e, "AXSelectedTextMarkerRange"), &string = told(e, "AXStringForTextMarkerRange");
        const bool marked = range.code == 0 && range.value && std::holds_alternative<sim::MarkerRange>(*range.value);
        return {marked && !text(string).empty(), isBusy(range) || (marked && isBusy(string))};
    };
    const Answer& role = told(focused->element, "AXRole");
    if (isBusy(role)) return {false, true};
    const auto markers = state.told.find({focused->element, "AXSelectedTextMarkerRange"});
    const bool control = text(role) == "AXTextArea" || markers == state.told.end() ||
                         markers->second.code == platform::kAXErrorAttributeUnsupported;
    const Answer& selected = told(focused->element, "AXSelectedText");
    const auto found = control ? std::pair{!text(selected).empty(), isBusy(selected)} : page(focused->element);
    if (found.first || found.second) return found;
    // The roles of the focus and of its ancestors, each after the parent that leads to it.
    for (int e = focused->element, step = 0; step <= 32; ++step) {
        const Answer& role = told(e, "AXRole");
        if (isBusy(role)) return {false, true};
        if (text(role) == "AXWebArea") return step == 0 ? std::pair{false, false} : page(e);
        if (step == 32 || (step > 0 && (text(role) == "AXWindow" || text(role) == "AXApplication"))) break;
        const Answer& parent = told(e, "AXParent");
        const auto* up = parent.code == 0 && parent.value ? std::get_if<sim::ElementRef>(&*parent.value) : nullptr;
        if (isBusy(parent) || up == nullptr) return {false, isBusy(parent)};
        e = up->element;
    }
    return {};
}

// After a fresh activation of the application in front, the watcher follows it if it is a browser
// whose observer can be made, and its last line tells whether the focused element has text.
void checkSettled() {
    const App* app = std::find_if(std::begin(kApps), std::end(kApps),
                                  [](const App& a) { return a.pid == state.front; });
    const bool watched = app != std::end(kApps) && app->browser && !state.createFails[app->pid];
    const Answer focus = watched ? state.focused[app->pid] : Answer{};
    const auto [selected, busy] = expectedSelection(focus);
    if (bool(currentObserver) != watched) broken("watching the wrong application");
    if (!busy && lastEmitted != (watched && selected)) broken("the last line does not tell the selection");
    ++state.settled;
}

// ---- Running a program ----------------------------------------------------------------------------

void beginProgram() {
    std::fflush(stdout);
    for (Capture* c : {&out, &err}) {
        if (::ftruncate(c->file, 0) != 0 || ::lseek(c->file, 0, SEEK_SET) != 0) std::abort();
        c->seen = 0;
        c->saved = ::dup(c->fd);
        ::dup2(c->file, c->fd);
    }
    sim::reset();
    currentObserver.reset();
    currentAXApp.reset();
    lastEmitted.reset();
    sw::stderrHandle = platform::fileHandleWithStandardError();
    state = State{};
    if (sim::liveObjects() != 0) broken("objects alive before the program");
    for (const App& app : kApps) {
        sim::addApplication(app.pid, app.bundle ? std::optional<std::string>(app.bundle) : std::nullopt);
        for (int i = 0; i < 2; ++i) state.elements.push_back(sim::addElement(app.pid));
        sim::setFocused(app.pid, state.focused[app.pid] = Answer::of(sim::ElementRef{state.elements.back()}));
    }
}

// Operands are read into locals first, so that a program means the same whatever the compiler's
// order of evaluating arguments.
void runOperation(Reader& in) {
    const int op = in.byte() % kOpCount;
    state.step = kOpNames[op];
    switch (op) {
        case kActivate: sim::activate(state.front = frontChoice(in)); break;
        case kFront: sim::setFrontmost(state.front = frontChoice(in)); break;
        case kCreate: {
            const ProcessId pid = appChoice(in).pid;
            const AXError code = granted(codeChoice(in));
            const bool returns = (in.byte() & 1) == 0;
            sim::setObserverCreateResult(pid, code, returns);
            state.createFails[pid] = code != 0 || !returns;
        } break;
        case kRegister: {
            const ProcessId pid = appChoice(in).pid;
            const char* name = kNotifications[in.byte() % 2];
            sim::setAddNotificationResult(pid, name, codeChoice(in));
        } break;
        case kFocus: {
            const ProcessId pid = appChoice(in).pid;
            Answer answer = answerChoice(in, false);
            answer.code = granted(answer.code);
            sim::setFocused(pid, state.focused[pid] = answer);
        } break;
        case kWindow: {
            const ProcessId pid = appChoice(in).pid;
            sim::setFocusedWindow(pid, in.byte() & 1 ? answerChoice(in, false)
                                                     : Answer::of(sim::ElementRef{elementChoice(in)}));
        } break;
        case kTree: {  // roles, parents, children, frames, sizes and the elements of markers
            const int element = elementChoice(in);
            const char* attribute = kReadable[in.byte() % kTreeAttributes];
            tell(element, attribute, treeChoice(in, attribute));
        } break;
        case kRelease: {
            const int which = in.byte() % 3;
            if (which == 0) sim::releaseMouseButton();
            if (which == 1) sim::releaseKey();
            if (which == 2) sim::setListenEventAccess(in.byte() & 1);
        } break;
        case kText:
        case kRange:
        case kBounds: {
            const int element = elementChoice(in);
            tell(element, kReadable[kControlAttributes + op - kText], answerChoice(in));
        } break;
        case kNotify: {
            const ProcessId pid = frontChoice(in).value_or(kNotRunning);
            sim::postNotification(pid, kNotifications[in.byte() % 3]);
        } break;
        case kSelect:
        case kSelectPage: {  // text selected in a control, or in a page (told only by its marker range)
            const ProcessId pid = appChoice(in).pid;
            const std::string text = textChoice(in);
            const std::optional<platform::Rect> rect =
                (in.byte() & 1) == 0 ? std::optional(rectChoice(in)) : std::nullopt;
            const bool page = op == kSelectPage;
            const int element = page ? sim::selectPageText(pid, text, rect) : sim::selectText(pid, text, rect);
            state.focused[pid] = Answer::of(sim::ElementRef{element});
            state.told[{element, page ? "AXStringForTextMarkerRange" : "AXSelectedText"}] = Answer::of(sim::Text{text});
            if (page) state.told[{element, "AXSelectedTextMarkerRange"}] = Answer::of(sim::MarkerRange{});
        } break;
        case kMarkers: {  // a page's marker range, that range's text, or its rectangle
            const int element = elementChoice(in);
            const char* attribute = kReadable[kMarkerAttributes + in.byte() % 3];
            tell(element, attribute, answerChoice(in));
        } break;
        default:  // kRun and kSettle; the watcher starts, as main does, at the first of them
            if (!state.lastLine) {  // written once started
                platform::addActivationObserver(handleFrontmostChange);
                platform::addInputReleaseObserver(handleInputRelease);
                handleFrontmostChange();
                if (check() != 1) broken("start-up did not write exactly one selection line");
            }
            if (op == kSettle) sim::activate(state.front);
            sim::runUntilIdle();
            // The follow-up of a release is scheduled only while a browser is watched.
            if (!currentObserver && sim::pendingTasks() != 0) broken("work scheduled with no browser watched");
    }
    if (check() != 0 && op != kRun && op != kSettle) broken("a line written without an evaluation");
    if (op == kSettle) checkSettled();
}

void endProgram() {
    static constexpr std::uint8_t run = kRun;
    Reader last{&run, &run + 1};
    runOperation(last);
    state.step = "teardown";
    tearDownObserver();
    check();
    if (sim::liveObjects() != 0) broken("objects alive after teardown");
    for (Capture* c : {&out, &err}) ::dup2(c->saved, c->fd), ::close(c->saved);
}

}  // namespace
}  // namespace sw::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    using namespace sw::fuzz;
    realStderr = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (__sanitizer_set_report_fd) __sanitizer_set_report_fd(reinterpret_cast<void*>(std::intptr_t{realStderr}));
    for (Capture* c : {&out, &err}) c->file = ::fileno(std::tmpfile());
    // A rectangle asked again after 50 and 150 ms is asked again at once: the desktop's answers
    // do not change with time.
    sw::sim::skipWaits(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sw::fuzz;
    Reader in{data, data + size};
    beginProgram();
    while (in.data < in.end) runOperation(in);
    endProgram();
    return 0;
}
