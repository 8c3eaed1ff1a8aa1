// Shared between the files of the AT-SPI backend only.
#pragma once

#include <atspi/atspi.h>

#include <atomic>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace sw::platform::atspi {

// Value type code of a text range, as on macOS.
inline constexpr int kValueTypeRange = 4;

// How long libatspi waits for an answer, also in an application's first seconds, when it would
// otherwise wait up to 15 s. A call that runs out was seen to hold on for twice this, and the end
// of input must be served within a second.
inline constexpr int kCallTimeoutMilliseconds = 400;
// A call that took this long before failing (or, for calls that cannot fail, at all) ran into it.
inline constexpr gint64 kStalledMicroseconds = kCallTimeoutMilliseconds * 1000 * 9 / 10;

// libatspi's own start, with that time-out; returns what atspi_init() does (above 1: no bus).
inline int startAtspi() {
    const int status = atspi_init();
    atspi_set_timeout(kCallTimeoutMilliseconds, kCallTimeoutMilliseconds);
    return status;
}

// Whether, since the current snapshot began, a call ran into that time-out: the application is
// busy (a browser working out a huge selection) or hung. Nothing more is asked of it until the
// next snapshot, so one snapshot waits out at most one time-out, and what it read is not trusted.
inline bool& stalled() {
    static bool flag = false;  // main thread only
    return flag;
}

// Starts a snapshot: nothing stalled yet, and nothing learnt of the page (text.cpp).
void beginSnapshot();

// Collects the error of one libatspi call at a time, and frees it; notes a call that failed only
// after most of the time-out.
struct ErrorSink {
    ErrorSink() = default;
    ErrorSink(const ErrorSink&) = delete;
    ErrorSink& operator=(const ErrorSink&) = delete;
    GError* error = nullptr;
    gint64 started = 0;
    mutable bool noted = false;
    ~ErrorSink() {
        note();
        g_clear_error(&error);
    }
    GError** out() {
        note();
        g_clear_error(&error);
        started = g_get_monotonic_time();
        noted = false;
        return &error;
    }
    bool failed() const {
        note();
        return error != nullptr;
    }

private:
    // Looked at when the error is first seen, which is right after the call.
    void note() const {
        if (error == nullptr || std::exchange(noted, true)) return;
        if (g_get_monotonic_time() - started >= kStalledMicroseconds) stalled() = true;
    }
};

// A GObject reference that is dropped exactly once.
template <typename T>
class GRef {
public:
    GRef() = default;
    explicit GRef(T* object) : object_(object) {}  // takes over a reference
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
    GRef(GRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    GRef& operator=(GRef&& other) noexcept {
        if (this != &other) reset(std::exchange(other.object_, nullptr));
        return *this;
    }
    ~GRef() { reset(); }
    void reset(T* object = nullptr) {
        T* old = std::exchange(object_, object);
        if (old != nullptr) g_object_unref(old);
    }
    static GRef share(T* object) {
        if (object != nullptr) g_object_ref(object);
        return GRef(object);
    }
    T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    T* object_ = nullptr;
};

using Accessible = GRef<AtspiAccessible>;
using Ranges = std::vector<std::pair<int, int>>;

// One question about where text lies on the screen, planned once and asked as often as the
// browser needs to settle: a stretch of plain text [start, end) of one accessible, or (coarse) a
// stretch of any length, embedded objects included, bounded by what lies at its two ends (the
// objects there, or the characters when they are plain) and by the width of its owner.
// Browsers answer zeros for the text extents of a range over embedded objects.
struct Extent {
    Accessible owner;
    int start = 0;
    int end = 0;
    bool coarse = false;
    Accessible first, last;  // coarse: the objects at start and end - 1, when they are objects
};

// Whether the application owning `accessible` runs Chromium's engine (its toolkit name), learnt once
// per application.
bool isChromium(AtspiAccessible* accessible);

// Whether an object of Chrome's engine lies in a page rather than among the browser's own controls
// (the address bar), which announce every change of their selection: only objects of a page carry
// the HTML tag they stand for, besides the page's document itself.
bool inPage(AtspiAccessible* accessible);

// The selected ranges of one accessible's own text (at most a few).
Ranges selectedRanges(AtspiAccessible* accessible);

// The selection of a focused element as ranges of its own text, read the way its browser answers
// quickly, and (when `prefix` is given) a short piece of the selected text, empty when nothing is.
Ranges selectionOf(AtspiAccessible* accessible, std::string* prefix);

// A short piece of the selected text under `accessible`, found by descending into embedded
// objects; empty when nothing is selected. Never reads more than a few characters per object.
std::string selectionPrefix(AtspiAccessible* accessible, const Ranges& ranges);

// What to measure for the rectangle of the selection: exact pieces near both ends of every
// range, one coarse extent for whatever lies in between. Bounded whatever the selection's size.
std::vector<Extent> planExtents(AtspiAccessible* accessible, const Ranges& ranges);

// On-screen rectangle of the planned extents of the selection in `focused`, asked until two
// answers agree; none when nothing is measurable.
std::optional<Rect> measureExtents(AtspiAccessible* focused, const std::vector<Extent>& extents);

// The focused accessible inside a window (the document in pages, the entry in form fields).
Accessible focusedDescendant(AtspiAccessible* window);

bool hasState(AtspiAccessible* accessible, AtspiStateType state);

// Process id of the application owning an accessible, remembered per bus connection; 0 if unknown.
ProcessId processOf(AtspiAccessible* accessible);

// Bus name of the application owning an accessible; empty if unknown.
std::string busNameOf(AtspiAccessible* accessible);

// What is learnt per application is kept by its bus name, which is never reused, until the name
// leaves the bus (libatspi has the bus announce every departure): forgetBusName drops it
// everywhere.
void forgetBusName(const std::string& bus);
// The parts of forgetBusName, one per file that keeps something.
void forgetProcess(const std::string& bus);      // text.cpp
void forgetCoordinates(const std::string& bus);  // display.cpp
void forgetQuestions(const std::string& bus);    // accessibility.cpp

// Whether the application owning an accessible answers its extents in screen coordinates, as an
// X11 client does, rather than relative to its window, as a native Wayland client does
// (display.cpp). Decided once per application.
bool extentsOnScreen(AtspiAccessible* accessible);
// Whether the session is a Wayland one (waylandSessionFrom, display.h, from the environment). In
// such a session the registry takes no input
// from the X server, and sends no "mouse:button" events for any application.
bool waylandSession();

// ---- Workspace (workspace.cpp) ---------------------------------------------------------------

void startWorkspace();
// The application accessible of a process: the one in front, or found among the desktop's.
Accessible applicationForPid(ProcessId pid);
// The active window of that application, as the last activation named it or found afresh.
Accessible activeWindowOf(ProcessId pid, AtspiAccessible* application);
// The accessible that last announced gaining the focus; that one when it belongs to the process.
void noteFocused(AtspiAccessible* accessible);
Accessible lastFocused(ProcessId pid);
// Whether the browser has said that one has the focus since it was announced, with no loss of
// the focus nor activation heard since: then it need not be asked again.
bool focusConfirmed();
void confirmFocus();
void noteFocusLost(AtspiAccessible* accessible);
// The process in front, 0 when no accessible application is.
ProcessId frontmostProcess();
AtspiAccessible* frontmostAccessible();

// ---- Observers (runloop.cpp) -----------------------------------------------------------------

void destroyObserver(Object* observer);
// Whether an event from `source` comes from the watched application, whose bus name is `watched`:
// told by name alone, since a callback asks nothing of the bus (which would dispatch further
// events inside it, and could wait its whole time-out). While the watched application has no
// known name, every event is taken, and its process compared when it is delivered.
bool fromWatched(AtspiAccessible* source, const std::string& watched);
// The application whose text events are listened to: none, meaning every application, for one
// without a bus name, which libatspi would put into a match rule unchecked.
AtspiAccessible* listenedApplication(AtspiAccessible* application);
// Drops the events waiting for delivery to observers in the run loop: a snapshot under way reads
// what they announced.
void dropWaitingEvents();
// A snapshot begins: until it reads a selection, the last look found none.
void noteLookStarted();
// What a snapshot read in the focused element of the application in front: whether it has a
// selection, or may have one. In a Wayland session a standing selection in Chrome's engine is read
// again while it stands.
void noteSelectionRead(AtspiAccessible* focused, bool selected);

}  // namespace sw::platform::atspi

namespace sw::platform {

struct RunLoop {};

struct DeliverySource;

struct RunLoopSource {
    Object* observer = nullptr;
    DeliverySource* attached = nullptr;  // the GSource while the source is in the run loop
};

enum class Kind { Element, Application, Observer, String, Value };

struct Registration;

struct Object {
    explicit Object(Kind k) : kind(k) {}
    Kind kind;
    std::atomic<int> references{1};

    // Elements: an accessible, or for an application element the process, resolved on demand.
    // Applications (as the workspace sees them): process and identifier.
    mutable atspi::Accessible accessible;
    ProcessId pid = 0;
    bool applicationElement = false;
    std::optional<std::string> bundle;

    // A focused element answers its selected text, range and rectangle in one snapshot, right
    // after one another: the ranges read for the text are kept for the range.
    mutable std::optional<atspi::Ranges> selectedRanges;

    std::string text;  // strings

    int valueType = 0;    // values
    Rect rect;            // rectangle values
    atspi::Ranges ranges;  // range values: the selected ranges of an element

    // Observers.
    ObserverCallback callback = nullptr;
    std::string bus;  // of the watched application, once the observer is in the run loop
    std::vector<Registration*> registrations;
    RunLoopSource source;
    struct Pending {
        const Registration* registration;
        atspi::Accessible element;
    };
    std::deque<Pending> pending;
};

}  // namespace sw::platform

namespace sw::platform::atspi {

inline Object* mutableObject(Ref object) { return const_cast<Object*>(object); }

Owned stringObject(std::string text);
Owned elementObject(Accessible accessible);

}  // namespace sw::platform::atspi
