// Coverage-guided fuzzing of the watcher on the simulated desktop (libFuzzer).
//
// The input is read as a program for the desktop, one operation after another: activations (of a
// browser, another application, one without a bundle identifier, a process the workspace does not
// know, nothing at all), how creating an observer and registering its notifications turn out, what
// the focused element, selected text, range and bounds queries answer (failure codes, values of the
// wrong type, empty and non-empty text, NaN, infinities, huge and negative rectangles), what a web
// page's text-marker range, its text and its rectangle answer (the same kinds, marker ranges among
// them), second reads of a bundle identifier that yield none, notifications, and runs of the main
// loop. The watcher
// starts (as main does: subscribe, then one handleFrontmostChange) at the first run of the loop, so
// what comes before it is the desktop it finds.
//
// After every operation the harness checks what was really written on descriptors 1 and 2 (both
// redirected into memory files for the length of one input) and what the watcher holds alive;
// after the input it tears the observer down and expects nothing left alive. A broken rule aborts
// with a message on the real standard error, which libFuzzer turns into a crash file.
//
// Reproduce a finding with `fuzz_selection FILE`; SW_FUZZ_TRACE=1 also prints every operation and
// what it wrote.
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/sim.h"
#include "reporting/state.h"
#include "watch/observer.h"

namespace {

using namespace sw;
using platform::AXError;
using platform::ProcessId;
using sim::Answer;

// Every non-blank selected text contains this, so that any trace of one in the output shows.
constexpr std::string_view kMarker = "Sel3cted-Txt";

struct KnownApp {
    ProcessId pid;
    const char* bundle;  // none when null
};
constexpr KnownApp kApps[] = {
    {11, "org.mozilla.firefox"}, {12, "com.google.Chrome"}, {13, "com.apple.Safari"},
    {14, "com.microsoft.edgemac"}, {21, "com.apple.TextEdit"}, {22, nullptr},
    {23, "com.apple.safari"},  // a browser's identifier in the wrong case
};
constexpr int kAppCount = sizeof kApps / sizeof kApps[0];
constexpr ProcessId kNotRunning = 99;    // in front, but unknown to the workspace
constexpr int kElementsPerApp = 2;
constexpr int kStaleElement = 1 << 30;   // an element that went away
constexpr const char* kNotifications[] = {"AXFocusedUIElementChanged", "AXSelectedTextChanged",
                                          "AXValueChanged"};

const double kNumbers[] = {
    0.0, -0.0, 0.3, 0.5, -0.5, 1.0, 2.5, -2.5, 10.5, -3.5, 100.4, 20.6, 1920, -1920, 1e-310,
    0.49999999999999994, 4503599627370497.0, 1e18, -1e18, 9223372036854774784.0,
    9223372036854775808.0,  // 2^63, just out of range
    -9223372036854775808.0, -9223372036854777856.0, 1e300, -1e300,
    std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest(),
    std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
};
constexpr int kNumberCount = sizeof kNumbers / sizeof kNumbers[0];

const AXError kCodes[] = {0, -25200, -25201, -25202, -25204, -25205, -25209, -25211, -25212};
constexpr int kCodeCount = sizeof kCodes / sizeof kCodes[0];

// ---- Reading the input ---------------------------------------------------------------------------

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    template <typename T>
    T raw() {
        unsigned char bytes[sizeof(T)];
        for (unsigned char& b : bytes) b = byte();
        T value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

bool tracing = false;
int realStderr = 2;

void trace(const char* format, ...) {
    if (!tracing) return;
    va_list args;
    va_start(args, format);
    ::vdprintf(realStderr, format, args);  // never into the capture
    va_end(args);
}

std::optional<ProcessId> frontChoice(Reader& in) {
    const int b = in.byte() % (kAppCount + 2);
    if (b < kAppCount) return kApps[b].pid;
    if (b == kAppCount) return kNotRunning;
    return std::nullopt;
}

ProcessId appChoice(Reader& in) { return kApps[in.byte() % kAppCount].pid; }

AXError codeChoice(Reader& in) {
    const int b = in.byte();
    if (b < 0xF0) return kCodes[b % kCodeCount];
    return in.raw<std::int32_t>();
}

double numberChoice(Reader& in) {
    const int b = in.byte();
    if (b < 0xE0) return kNumbers[b % kNumberCount];
    return in.raw<double>();
}

platform::Rect rectChoice(Reader& in) {
    platform::Rect r;
    r.x = numberChoice(in);
    r.y = numberChoice(in);
    r.width = numberChoice(in);
    r.height = numberChoice(in);
    return r;
}

std::string textChoice(Reader& in) {
    switch (in.byte() % 5) {
        case 0: return "";
        case 1: return std::string(kMarker);
        case 2: {
            // The marker with raw bytes around it: quotes, line feeds, NULs, malformed UTF-8.
            std::string text;
            const int before = in.byte() % 8, after = in.byte() % 24;
            for (int i = 0; i < before; ++i) text += static_cast<char>(in.byte());
            text += kMarker;
            for (int i = 0; i < after; ++i) text += static_cast<char>(in.byte());
            return text;
        }
        case 3: return " ";
        default: return "\t\n";
    }
}

// The elements made for each application at the start of an input.
std::vector<int> elements;

int pooledElement(Reader& in) { return elements[in.byte() % elements.size()]; }

std::optional<sim::Value> valueChoice(Reader& in, int kind) {
    switch (kind) {
        case 0: return std::nullopt;
        case 1: return sim::Text{textChoice(in)};
        case 2: return sim::ElementRef{pooledElement(in)};
        case 3: return sim::ElementRef{kStaleElement};
        case 4: return sim::ElementRef{0};  // an application element where a child was expected
        case 5:
        case 6: return sim::RectValue{rectChoice(in)};
        case 7: return sim::PointValue{numberChoice(in), numberChoice(in)};
        case 8: return sim::SizeValue{numberChoice(in), numberChoice(in)};
        case 9: return sim::RangeValue{in.raw<std::int16_t>(), in.raw<std::int16_t>()};
        case 11: return sim::MarkerRange{};
        default: return sim::NumberValue{numberChoice(in)};
    }
}

// Low four bits: the value; the top bit: a result code of its own (else success). A failure may
// come with a value, and a success without one.
Answer answerChoice(Reader& in) {
    const int b = in.byte();
    Answer answer;
    answer.value = valueChoice(in, (b & 0x0F) % 12);
    answer.code = (b & 0x80) != 0 ? codeChoice(in) : platform::kAXErrorSuccess;
    return answer;
}

// ---- Capturing descriptors 1 and 2 ----------------------------------------------------------------

struct Stream {
    int file = -1;       // memory file that receives what is written
    int saved = -1;      // what the descriptor was before the capture
    off_t seen = 0;      // bytes already checked
};
Stream capturedOut, capturedErr;

void beginCapture(Stream& s, int fd) {
    ::ftruncate(s.file, 0);
    ::lseek(s.file, 0, SEEK_SET);
    s.seen = 0;
    s.saved = ::dup(fd);
    ::dup2(s.file, fd);
}

void endCapture(Stream& s, int fd) {
    if (s.saved < 0) return;
    ::dup2(s.saved, fd);
    ::close(s.saved);
    s.saved = -1;
}

void endCaptures() {
    std::fflush(stdout);
    endCapture(capturedOut, 1);
    endCapture(capturedErr, 2);
}

// Bytes written since the last call. No flush here: each line must already be out.
std::string newBytes(Stream& s) {
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = ::pread(s.file, buffer, sizeof buffer, s.seen)) > 0; s.seen += n) {
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

// ---- The rules ------------------------------------------------------------------------------------

std::string step;  // the operation just run, for messages

[[noreturn]] void broken(const std::string& rule, const std::string& detail = "") {
    endCaptures();
    ::dprintf(realStderr, "\n*** broken rule after %s: %s\n", step.c_str(), rule.c_str());
    if (!detail.empty()) ::dprintf(realStderr, "*** %s\n", detail.c_str());
    std::abort();
}

std::vector<std::string> splitLines(const std::string& bytes, const char* channel) {
    std::vector<std::string> lines;
    if (bytes.empty()) return lines;
    if (bytes.back() != '\n') broken(std::string("unterminated line on ") + channel, bytes);
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find('\n', start);
        lines.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::optional<bool> lastLine;  // the flag of the last selection line of this input

void checkEvent(const std::string& line) {
    if (line.find_first_of(" \t\r") != std::string::npos) broken("not compact", line);
    const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
    if (event.is_discarded() || !event.is_object()) broken("not a JSON object", line);
    // Same length once re-serialised: no duplicate member, no escape, no number in another form.
    if (event.dump().size() != line.size()) broken("not in canonical compact form", line);
    if (event.contains("error")) broken("permission error after start-up", line);
    const auto selection = event.find("selection");
    if (selection == event.end() || !selection->is_boolean()) broken("no boolean selection", line);
    const bool selected = selection->get<bool>();
    if (!selected) {
        if (event.size() != 1) broken("cleared event with other members", line);
    } else {
        const auto app = event.find("app");
        if (app == event.end() || !app->is_string()) broken("present event without app", line);
        const std::string id = app->get<std::string>();
        if (!id.empty() && !ALLOWED_BUNDLES.contains(id)) broken("app is not a browser", line);
        const auto bounds = event.find("bounds");
        if (event.size() != (bounds == event.end() ? 2u : 3u)) broken("unexpected members", line);
        if (bounds != event.end()) {
            if (!bounds->is_object() || bounds->size() != 4) broken("bounds is not four members", line);
            for (const char* key : {"x", "y", "width", "height"}) {
                if (!bounds->contains(key) || !(*bounds)[key].is_number_integer()) {
                    broken(std::string("bounds.") + key + " is not an integer", line);
                }
            }
            if ((*bounds)["width"].get<std::int64_t>() <= 0 ||
                (*bounds)["height"].get<std::int64_t>() <= 0) {
                broken("bounds without positive width and height", line);
            }
        }
    }
    if (lastLine == selected) broken("the same flag twice in a row", line);
    lastLine = selected;
}

bool isCode(std::string_view text) {
    if (!text.empty() && text.front() == '-') text.remove_prefix(1);
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text.front() == '0')) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

void checkDiagnostic(const std::string& line) {
    std::string_view rest(line);
    constexpr std::string_view create = "AXObserverCreate failed: ";
    constexpr std::string_view add = "AXObserverAddNotification ";
    if (rest.starts_with(create)) {
        if (isCode(rest.substr(create.size()))) return;
    } else if (rest.starts_with(add)) {
        rest.remove_prefix(add.size());
        for (const char* name : {"AXFocusedUIElementChanged", "AXSelectedTextChanged"}) {
            const std::string prefix = std::string(name) + " failed: ";
            if (rest.starts_with(prefix)) {
                const std::string_view code = rest.substr(prefix.size());
                if (isCode(code) && code != "0" && code != "-25209") return;
            }
        }
    }
    broken("not a diagnostic line", line);
}

void checkObjects() {
    const bool observer = static_cast<bool>(currentObserver);
    const bool element = static_cast<bool>(currentAXApp);
    if (observer != element) broken("observer and application element not set together");
    const int expected = observer ? 1 : 0;
    if (sim::liveObjects(sim::Kind::Observer) != expected) {
        broken("observers alive: " + std::to_string(sim::liveObjects(sim::Kind::Observer)));
    }
    if (sim::liveObjects(sim::Kind::Element) != expected) {
        broken("elements alive: " + std::to_string(sim::liveObjects(sim::Kind::Element)));
    }
    if (sim::liveObjects() != 2 * expected) {
        broken("objects alive: " + std::to_string(sim::liveObjects()));
    }
    if (sim::sourcesInRunLoop() != expected) broken("observer sources in the run loop");
}

// An observer's source goes into the run loop once, and comes out before the observer is released
// (the run loop would otherwise go on delivering for it). Read from the desktop's call log.
std::size_t callsSeen = 0;
std::set<std::string, std::less<>> sourcesIn;

void checkRunLoop() {
    const std::vector<std::string>& calls = sim::calls();
    for (; callsSeen < calls.size(); ++callsSeen) {
        const std::string_view call = calls[callsSeen];
        const std::string_view label = call.substr(call.rfind(' ') + 1);
        if (call.starts_with("runLoopAddSource ")) {
            if (!sourcesIn.emplace(label).second) broken("a source added twice", calls[callsSeen]);
        } else if (call.starts_with("runLoopRemoveSource ")) {
            const auto found = sourcesIn.find(label);
            if (found == sourcesIn.end()) broken("a source removed that was not added", calls[callsSeen]);
            sourcesIn.erase(found);
        } else if (call.starts_with("release observer ") && sourcesIn.contains(label)) {
            broken("observer released with its source in the run loop", calls[callsSeen]);
        }
    }
}

// Returns how many selection lines the step wrote.
std::size_t check() {
    const std::string out = newBytes(capturedOut);
    const std::string err = newBytes(capturedErr);
    if (!out.empty()) trace("  stdout: %s", out.c_str());
    if (!err.empty()) trace("  stderr: %s", err.c_str());
    if (out.find(kMarker) != std::string::npos) broken("selected text on stdout", out);
    if (err.find(kMarker) != std::string::npos) broken("selected text on stderr", err);
    const std::vector<std::string> events = splitLines(out, "stdout");
    for (const std::string& line : events) checkEvent(line);
    for (const std::string& line : splitLines(err, "stderr")) checkDiagnostic(line);
    if (lastLine != lastEmitted) broken("lastEmitted differs from the last line written");
    checkObjects();
    checkRunLoop();
    return events.size();
}

// ---- One input ------------------------------------------------------------------------------------

enum Op { kActivate, kFront, kCreate, kRegister, kFocus, kText, kRange, kBounds, kNotify, kRun,
          kSecondRead, kSelect, kMarkers, kSelectPage, kOpCount };

bool started = false;

void startUp() {
    step = "start-up";
    trace("start-up\n");
    platform::addActivationObserver(handleFrontmostChange);
    handleFrontmostChange();
    started = true;
    if (check() != 1) broken("start-up did not write exactly one selection line");
}

void runOne(Reader& in) {
    const int op = in.byte() % kOpCount;
    switch (op) {
        case kActivate: {
            const auto pid = frontChoice(in);
            step = "activate " + (pid ? std::to_string(*pid) : "-");
            sim::activate(pid);
            break;
        }
        case kFront: {
            const auto pid = frontChoice(in);
            step = "front " + (pid ? std::to_string(*pid) : "-");
            sim::setFrontmost(pid);
            break;
        }
        case kCreate: {
            const ProcessId pid = appChoice(in);
            const AXError code = codeChoice(in);
            const bool returns = (in.byte() & 1) == 0;
            step = "create " + std::to_string(pid) + " " + std::to_string(code) +
                   (returns ? "" : " none");
            sim::setObserverCreateResult(pid, code, returns);
            break;
        }
        case kRegister: {
            const ProcessId pid = appChoice(in);
            const char* name = kNotifications[in.byte() % 2];
            const AXError code = codeChoice(in);
            step = "register " + std::to_string(pid) + " " + name + " " + std::to_string(code);
            sim::setAddNotificationResult(pid, name, code);
            break;
        }
        case kFocus: {
            const ProcessId pid = appChoice(in);
            step = "focus " + std::to_string(pid);
            sim::setFocused(pid, answerChoice(in));
            break;
        }
        case kText:
        case kRange:
        case kBounds: {
            const int element = pooledElement(in);
            const Answer answer = answerChoice(in);
            const char* what = op == kText ? "text" : op == kRange ? "range" : "bounds";
            step = std::string(what) + " of element " + std::to_string(element);
            if (op == kText) sim::setSelectedText(element, answer);
            if (op == kRange) sim::setSelectedRange(element, answer);
            if (op == kBounds) sim::setBounds(element, answer);
            break;
        }
        case kNotify: {
            const auto pid = frontChoice(in).value_or(kNotRunning);
            const char* name = kNotifications[in.byte() % 3];
            step = "notify " + std::to_string(pid) + " " + name;
            sim::postNotification(pid, name);
            break;
        }
        case kRun:
            if (!started) startUp();
            step = "run";
            sim::runUntilIdle();
            break;
        case kSecondRead: {
            // The next reads of a bundle identifier yield none, or the application's own again.
            const int pick = in.byte() % kAppCount;
            std::vector<std::optional<std::string>> answers;
            for (int n = in.byte() % 3 + 1; n > 0; --n) {
                if ((in.byte() & 1) == 0 || kApps[pick].bundle == nullptr) {
                    answers.push_back(std::nullopt);
                } else {
                    answers.push_back(kApps[pick].bundle);
                }
            }
            step = "bundle reads of " + std::to_string(kApps[pick].pid);
            sim::queueBundleAnswers(kApps[pick].pid, answers);
            break;
        }
        case kMarkers: {
            // One of a page's three text-marker answers: its selected range, that range's text or
            // its rectangle.
            const int element = pooledElement(in);
            const int which = in.byte() % 3;
            const Answer answer = answerChoice(in);
            step = "markers " + std::to_string(which) + " of element " + std::to_string(element);
            if (which == 0) sim::setSelectedMarkerRange(element, answer);
            if (which == 1) sim::setStringForMarkerRange(element, answer);
            if (which == 2) sim::setBoundsForMarkerRange(element, answer);
            break;
        }
        case kSelectPage: {
            const ProcessId pid = appChoice(in);
            const std::string text = textChoice(in);
            std::optional<platform::Rect> rect;
            if ((in.byte() & 1) == 0) rect = rectChoice(in);
            step = "select page text in " + std::to_string(pid);
            sim::selectPageText(pid, text, rect);
            break;
        }
        default: {
            const ProcessId pid = appChoice(in);
            const std::string text = textChoice(in);
            std::optional<platform::Rect> rect;
            if ((in.byte() & 1) == 0) rect = rectChoice(in);
            step = "select in " + std::to_string(pid);
            sim::selectText(pid, text, rect);
            break;
        }
    }
    trace("%s\n", step.c_str());
    const std::size_t written = check();
    if (op != kRun && written != 0) broken("a line written without an evaluation");
}

void runInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    sim::reset();
    currentObserver.reset();
    currentAXApp.reset();
    lastEmitted.reset();
    lastLine.reset();
    callsSeen = 0;
    sourcesIn.clear();
    started = false;
    if (sim::liveObjects() != 0) broken("objects alive before the input");
    sw::stderr = platform::fileHandleWithStandardError();

    elements.clear();
    for (const KnownApp& app : kApps) {
        sim::addApplication(app.pid, app.bundle ? std::optional<std::string>(app.bundle)
                                                : std::nullopt);
        for (int i = 0; i < kElementsPerApp; ++i) elements.push_back(sim::addElement(app.pid));
        sim::setFocused(app.pid, Answer::of(sim::ElementRef{elements.back()}));
    }

    while (!in.done()) runOne(in);
    if (!started) startUp();
    step = "the final run";
    sim::runUntilIdle();
    check();

    step = "teardown";
    tearDownObserver();
    check();
    if (sim::liveObjects() != 0) broken("objects alive after teardown");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tracing = std::getenv("SW_FUZZ_TRACE") != nullptr;
    // Sanitizer reports go to the real standard error, not into the capture.
    realStderr = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(realStderr)));
    capturedOut.file = ::memfd_create("sw-fuzz-stdout", MFD_CLOEXEC);
    capturedErr.file = ::memfd_create("sw-fuzz-stderr", MFD_CLOEXEC);
    if (capturedOut.file < 0 || capturedErr.file < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::fflush(stdout);
    beginCapture(capturedOut, 1);
    beginCapture(capturedErr, 2);
    runInput(data, size);
    endCaptures();
    return 0;
}
