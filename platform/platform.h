// The operating-system operations the watcher relies on, as plain free functions.
//
// Each function is a thin stand-in for one accessibility, workspace, run-loop or I/O call of the
// host system, so that a backend is a direct translation. Exactly one backend is linked into a
// binary: platform/macos (the product), platform/atspi (Linux desktops) or platform/sim (the
// simulated desktop the tests drive). The file-handle and standard-output operations are the same
// POSIX code for every backend (platform/posix).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace sw::platform {

// Result code of an accessibility call. The core tells only success, "already registered" and
// "cannot complete" (what a busy application answers) apart; the other codes are those backends
// hand out, with the host system's values.
using AXError = std::int32_t;
inline constexpr AXError kAXErrorSuccess = 0;
inline constexpr AXError kAXErrorNotificationAlreadyRegistered = -25209;
inline constexpr AXError kAXErrorFailure = -25200;
inline constexpr AXError kAXErrorIllegalArgument = -25201;
inline constexpr AXError kAXErrorInvalidUIElement = -25202;
inline constexpr AXError kAXErrorCannotComplete = -25204;
inline constexpr AXError kAXErrorAttributeUnsupported = -25205;
inline constexpr AXError kAXErrorParameterizedAttributeUnsupported = -25206;
inline constexpr AXError kAXErrorNotificationUnsupported = -25207;
inline constexpr AXError kAXErrorAPIDisabled = -25211;
inline constexpr AXError kAXErrorNoValue = -25212;

using ProcessId = std::int32_t;
using TypeID = std::uintptr_t;

// Value type codes of the accessibility values the watcher reads: a point, a size, a rectangle.
inline constexpr int kAXValueTypeCGPoint = 1;
inline constexpr int kAXValueTypeCGSize = 2;
inline constexpr int kAXValueTypeCGRect = 3;

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};
struct Point {
    double x = 0;
    double y = 0;
};
struct Size {
    double width = 0;
    double height = 0;
};

// A reference-counted platform object: an accessibility element, observer or attribute value, or a
// running application. Each backend defines what it really is.
struct Object;
using Ref = const Object*;

// Releases one reference. Only Owned calls it.
void release(Ref object) noexcept;

// The one owner of a platform object reference: move-only, released exactly once on destruction
// or when replaced, so every path out of a function gives its references back.
class Owned {
public:
    Owned() noexcept = default;
    // Takes over a reference the caller already owns (a "copy" or "create" result).
    static Owned adopt(Ref object) noexcept { return Owned(object); }

    Owned(Owned&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) reset(std::exchange(other.object_, nullptr));
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    Ref get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Drops the held reference (if any) and holds `object` instead.
    void reset(Ref object = nullptr) noexcept {
        Ref old = std::exchange(object_, object);
        if (old != nullptr) release(old);
    }

private:
    explicit Owned(Ref object) noexcept : object_(object) {}
    Ref object_ = nullptr;
};

// ---- Accessibility ----------------------------------------------------------------------------

// Whether this process has been granted accessibility access. Never prompts.
bool isProcessTrusted();

// Bounds how long every later accessibility call of this process (attribute copies, notification
// registrations) waits for the application's answer: a call that gets none in time fails with
// kAXErrorCannotComplete. Without it the system's default applies (about 6 s on macOS).
AXError setMessagingTimeout(float seconds);

// The accessibility element of an application by process identifier; always yields one.
Owned createApplicationElement(ProcessId pid);

// The process that answers for an element, which may be another than its application's (a page
// drawn by a separate process); 0 where the system does not tell. Asks no application.
ProcessId elementGetPid(Ref element);

// Copies an attribute of an element. On success `value` holds the answer, which may still be absent.
AXError copyAttributeValue(Ref element, const char* attribute, Owned& value);

// Copies a parameterised attribute of an element.
AXError copyParameterizedAttributeValue(Ref element, const char* attribute, Ref parameter,
                                        Owned& value);

// The markers at the start and at the end of a text-marker range, taken from the range itself: no
// application is asked. None for a value that is no text-marker range, and on systems without
// text markers.
Owned textMarkerRangeCopyStartMarker(Ref range);
Owned textMarkerRangeCopyEndMarker(Ref range);

// Type identifier of any platform object, the one that accessibility elements carry, the one of
// text-marker ranges (the opaque ranges of page text that web areas answer selections with) and
// the one of text markers (one position in page text, such as either end of a range).
TypeID getTypeID(Ref object);
TypeID elementTypeID();
TypeID textMarkerRangeTypeID();
TypeID textMarkerTypeID();

// Whether an attribute value is a string, and its text as UTF-8 (empty when it is not a string).
bool isString(Ref value);
std::string stringValue(Ref value);

// The accessibility value type of a value (kAXValueTypeCGRect for a rectangle); a value that is no
// accessibility value at all gives 0.
int valueGetType(Ref value);
// Extract a rectangle, a point or a size; false when the value does not hold one.
bool valueGetRect(Ref value, Rect& rect);
bool valueGetPoint(Ref value, Point& point);
bool valueGetSize(Ref value, Size& size);

// Arrays of values, such as the elements "AXChildren" answers with: how many items (0 for a value
// that is no array), and one item as a reference of its own (empty when out of range).
std::size_t arrayCount(Ref value);
Owned arrayItem(Ref array, std::size_t index);

// ---- Observers and the run loop ---------------------------------------------------------------

struct RunLoop;        // borrowed, never released
struct RunLoopSource;  // borrowed from its observer

// Called on the thread whose run loop holds the observer's source.
using ObserverCallback = void (*)(Ref observer, Ref element, Ref notification, void* context);

// Creates an observer of the process's accessibility notifications. The result code and the
// observer are independent: a failure may still hand back an observer, and success may not.
AXError observerCreate(ProcessId pid, ObserverCallback callback, Owned& observer);
AXError observerAddNotification(Ref observer, Ref element, const char* notification,
                                void* context);
RunLoopSource* observerGetRunLoopSource(Ref observer);

RunLoop* runLoopGetCurrent();
// Add or remove a source in the run loop's default mode.
void runLoopAddSource(RunLoop* loop, RunLoopSource* source);
void runLoopRemoveSource(RunLoop* loop, RunLoopSource* source);

// Serves sources, notifications and the main queue on the calling (main) thread. Returns only if
// the loop is stopped.
void runMainRunLoop();

using Task = void (*)();
// Runs `task` later on the main thread, between two handlers. Safe from any thread.
void dispatchAsyncMain(Task task);
// Runs `task` on a background worker of utility quality of service.
void dispatchAsyncUtility(Task task);

// ---- Timers and input on the main loop ----

// A one-shot timer of the main loop: `task` runs once on the main thread, between two handlers,
// when `milliseconds` have passed (0: as soon as the handler running now has returned), unless it
// is removed first. The id is never 0. Main thread only.
using TimerId = std::uint64_t;
TimerId addMainLoopTimer(std::uint32_t milliseconds, Task task);
// Takes back a timer that has not run yet; an id that has run, was removed already, or is 0 is
// ignored. Main thread only.
void removeMainLoopTimer(TimerId timer);

// Calls `handler` on the main thread each time the user releases a mouse button, or a key, while
// the backend listens for them. Set once at start-up by main (tests set it as they set the
// activation handler); never removed.
void addInputReleaseObserver(Task handler);

// Waits on the main thread for up to `milliseconds`, and returns true when the time has passed;
// returns false at once (also for 0 ms, which only checks) when a task has been handed to the main
// thread from another thread (dispatchAsyncMain: the end of input's exit) and has not run yet.
bool waitUnlessDispatched(std::uint32_t milliseconds);

// ---- Workspace --------------------------------------------------------------------------------

// The frontmost application, absent when there is none.
Owned frontmostApplication();
std::optional<std::string> bundleIdentifier(Ref application);
ProcessId processIdentifier(Ref application);

// Calls `handler` on the main thread each time an application becomes active. Never removed.
void addActivationObserver(Task handler);

// ---- Files and process (platform/posix) -------------------------------------------------------

struct FileHandle {
    int fd = -1;
};
FileHandle fileHandleWithStandardInput();
FileHandle fileHandleWithStandardError();

// Blocks until the end of the file; what is read is dropped. A read error other than an
// interruption counts as the end.
void readDataToEndOfFile(FileHandle handle);
// Writes every byte, resuming after partial writes and interruptions; other failures are ignored.
void writeData(FileHandle handle, std::string_view bytes);

// Writes every byte to standard output before returning, waiting while the pipe is full.
void writeStandardOutput(std::string_view bytes);

[[noreturn]] void exitProcess(int status);

}  // namespace sw::platform
