// The simulated desktop: a backend of the platform operations that tests set up and drive. It
// behaves like the host system where the watcher can tell the difference (fresh references from
// every copy, reference counting, observers that deliver only while alive and in the run loop, a
// main loop that serves one task at a time, a real background worker), and it counts every query
// and every live object so tests can see what the watcher did.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/platform.h"

namespace sw::sim {

using platform::AXError;
using platform::ProcessId;
using platform::Rect;

using platform::kAXErrorAPIDisabled;
using platform::kAXErrorAttributeUnsupported;
using platform::kAXErrorCannotComplete;
using platform::kAXErrorFailure;
using platform::kAXErrorIllegalArgument;
using platform::kAXErrorNoValue;

// Kinds of value an attribute can answer with.
struct Text { std::string text; };
struct ElementRef { int element; };                 // an element made with addElement
struct RectValue { Rect rect; };                    // accessibility value of type rectangle (3)
struct PointValue { double x = 0, y = 0; };         // type point (1)
struct SizeValue { double width = 0, height = 0; }; // type size (2)
struct RangeValue { long location = 0, length = 0; };  // type range (4)
struct NumberValue { double number = 0; };          // some other object, not an accessibility value
// An opaque text-marker range (a type of its own, no accessibility value) and a text marker, one
// position in page text. Each remembers the element its ends lie in (0: none known): the range's
// ends, which the local copies of its start and end markers carry, are what
// "AXUIElementForTextMarker" answers for unless an element is told otherwise.
struct MarkerRange { int start = 0, end = 0; };
struct Marker { int element = 0; };
// An array of elements, as "AXChildren" answers; a negative item is one that is no element.
struct ArrayValue { std::vector<int> items; };
using Value = std::variant<Text, ElementRef, RectValue, PointValue, SizeValue, RangeValue, NumberValue,
                           MarkerRange, Marker, ArrayValue>;

// What one attribute query answers: a result code and, possibly, a value.
struct Answer {
    AXError code = platform::kAXErrorSuccess;
    std::optional<Value> value;

    static Answer of(Value v) { return {platform::kAXErrorSuccess, std::move(v)}; }
    static Answer failure(AXError code) { return {code, std::nullopt}; }
    static Answer empty() { return {platform::kAXErrorSuccess, std::nullopt}; }  // success, no value
};

enum class Kind { Element, Application, Observer, String, AXValue, Number, MarkerRange, Marker, Array,
                  Count };

// ---- Setting up the desktop (call on the main thread) -------------------------------------

// A new, empty desktop: no applications, no observers, nothing queued, access granted, counters
// and call log cleared. Objects still held from before stay counted until released.
void reset();

// Access granted or not; without it every accessibility call answers kAXErrorAPIDisabled, as
// access taken away while running does.
void setTrusted(bool trusted);
void addApplication(ProcessId pid, std::optional<std::string> bundleIdentifier);
// Answers the next reads of the application's bundle identifier with these, then with its own.
void queueBundleAnswers(ProcessId pid, std::vector<std::optional<std::string>> answers);

// Which application is in front, without any notification.
void setFrontmost(std::optional<ProcessId> pid);
// Brings an application (or none) to the front and posts the activation notification.
void activate(std::optional<ProcessId> pid);

// A new element of an application; its selection answers start as "nothing selected", and it
// answers "attribute unsupported" for everything else until told otherwise.
int addElement(ProcessId pid);
// What an attribute of the element answers, plain ("AXRole", "AXParent", "AXChildren", "AXFrame",
// "AXPosition", "AXSize", ...) or parameterised: those taking a text-marker range, a marker
// ("AXUIElementForTextMarker") or a range value ("AXBoundsForRange"); a parameter of another kind
// is an illegal argument.
void setAttribute(int element, const std::string& attribute, Answer answer);
void setFocused(ProcessId pid, Answer answer);
// What the application answers for "AXFocusedWindow"; no value until told.
void setFocusedWindow(ProcessId pid, Answer answer);
void setSelectedText(int element, Answer answer);
void setSelectedRange(int element, Answer answer);
void setBounds(int element, Answer answer);

// Shorthand: the application's focused element now holds `text` (maybe empty) and, when given,
// the rectangle of that selection. Returns the element.
int selectText(ProcessId pid, std::string text, std::optional<Rect> bounds = std::nullopt);

// How a web page answers for a selection in its text: "AXSelectedTextMarkerRange", then, asked
// with a marker range (any other parameter is an illegal argument), "AXStringForTextMarkerRange"
// and "AXBoundsForTextMarkerRange". A new element answers "attribute unsupported" to all three.
void setSelectedMarkerRange(int element, Answer answer);
void setStringForMarkerRange(int element, Answer answer);
void setBoundsForMarkerRange(int element, Answer answer);

// Shorthand: the application's focused element is now a web page whose selection, `text` (maybe
// empty) with the rectangle when given, is told only through its marker range: its selected text
// is the empty string. Returns the element.
int selectPageText(ProcessId pid, std::string text, std::optional<Rect> bounds = std::nullopt);

// An application that stops answering (hung) or answers again. Every accessibility call to it,
// registrations included, waits for the messaging time-out the watcher set (6 s until it sets one)
// and then fails with "cannot complete".
void setHung(ProcessId pid, bool hung);

// How creating an observer for the process turns out, and how registering a notification does
// (`once`: for the next registration only, then as before).
void setObserverCreateResult(ProcessId pid, AXError code, bool returnsObserver = true);
void setAddNotificationResult(ProcessId pid, const std::string& notification, AXError code,
                              bool once = false);

// Posts an accessibility notification of the application; delivered through the main loop to
// every live observer of that process registered for it whose source is in the run loop.
void postNotification(ProcessId pid, const std::string& notification);

// ---- Models of the browsers' engines (engines.cpp) ---------------------------------------------

enum class Engine { Chromium, Firefox, WebKit };

// The elements of a model browser's one window: the address bar in its toolbar, the page container,
// the page's web area with two paragraphs (the first a line of text, the second a line of text and
// a link with its text), a text area and a one-line text field, and a frame (a web area of its own
// inside the page) with one line of text.
struct BrowserPage {
    int window, addressBar, container, webArea, paragraph1, firstLine, paragraph2, secondLine, link,
        linkText, textArea, textField, frame, frameText;
};

// An application that answers like a browser of that engine, its page tree off as after launch and
// the focus on the page. `activationRefinements` is Chromium's switch of that name. A WebKit
// browser's web areas and what lies in them belong to a process of their own, pageProcess(pid),
// which posts their notifications.
BrowserPage addBrowser(ProcessId pid, const std::string& bundleIdentifier, Engine engine,
                       bool activationRefinements = false);
// The process whose elements a model browser's pages are: its own, but for WebKit.
ProcessId pageProcess(ProcessId browser);
// The user selects `text`, from the start of text element `from` to the end of `to` (both in one
// frame), which a layout with text boxes measures as `rect`; the focus goes to that frame's web
// area. An empty text is a click that leaves a caret and nothing selected.
void selectInPage(ProcessId pid, int from, int to, std::string text, Rect rect = {});
// A page script takes the selection away: not even a caret is left.
void removeSelection(ProcessId pid);
// The user selects `text` in a text field of the page (`field`: the text area or the text field),
// which a layout with text boxes measures as `rect`; the focus goes to the field.
void selectInField(ProcessId pid, int field, std::string text, Rect rect);
// The focus moves to an element of the browser.
void focusElement(ProcessId pid, int element);

// ---- Input ------------------------------------------------------------------------------------

// A button or key released anywhere: heard, and handed to the release handlers, only while an
// observer's source is in the run loop. Key releases are heard only with listen-event access,
// which a new desktop does not have.
void releaseMouseButton();
void releaseKey();
void setListenEventAccess(bool granted);

// ---- The main loop ---------------------------------------------------------------------------

// Runs `task` on the main loop once `delay` has passed (tasks due together run in order).
void schedule(std::chrono::milliseconds delay, std::function<void()> task);
// Queues `task` as if dispatched to the main queue.
void post(std::function<void()> task);
// Runs every task already due on the calling thread, then returns (for in-process tests).
void runUntilIdle();
// Makes runMainRunLoop return once the tasks before it have run.
void stopMainLoop();
// Tasks waiting on the main loop, due or not.
int pendingTasks();
// Whether waits inside a handler (platform::waitUnlessDispatched) pass at once, as for the fuzz
// program, whose answers do not change with time. Not reset by reset().
void skipWaits(bool skip);

// ---- What the watcher did --------------------------------------------------------------------

// Accessibility queries (attribute copies) made, in all and by attribute name.
int queryCount();
int queryCount(const std::string& attribute);
// Platform objects handed out and not yet released, in all and by kind.
int liveObjects();
int liveObjects(Kind kind);
// Observer sources currently in the run loop.
int sourcesInRunLoop();
// Every observer and application-element call, in order, e.g. "observerCreate 101 -> o3",
// "runLoopRemoveSource o3", "read e2 AXRole", "release observer o3", "release element e2". No
// operation writes into an application, so none is logged.
const std::vector<std::string>& calls();
void clearCalls();

// ---- Holding an evaluation open ----------------------------------------------------------------

// The next accessibility query blocks until the main queue is handed a task from another thread
// (the end of input's exit) or the input watchdog waits for a non-blocking input to become
// readable (releaseHold), at most 10 s: lets a test end the input in the middle of an evaluation
// without racing the watchdog.
void holdNextQuery();
void releaseHold();

}  // namespace sw::sim
