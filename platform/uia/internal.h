// Shared between the files of the Windows backend only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/uia/automation.h"

namespace sw::platform::uia {

// A COM reference released exactly once.
template <typename T>
class ComRef {
public:
    ComRef() = default;
    explicit ComRef(T* object) : object_(object) {}  // takes over a reference
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ComRef(ComRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ComRef& operator=(ComRef&& other) noexcept {
        if (this != &other) reset(std::exchange(other.object_, nullptr));
        return *this;
    }
    ~ComRef() { reset(); }
    static ComRef share(T* object) {
        if (object != nullptr) object->AddRef();
        return ComRef(object);
    }
    void reset(T* object = nullptr) {
        T* old = std::exchange(object_, object);
        if (old != nullptr) old->Release();
    }
    T* get() const { return object_; }
    T* operator->() const { return object_; }
    // For an out parameter: drops what is held first.
    T** put() {
        reset();
        return &object_;
    }
    explicit operator bool() const { return object_ != nullptr; }

private:
    T* object_ = nullptr;
};

using Element = ComRef<com::IUIAutomationElement>;
using TextRange = ComRef<com::IUIAutomationTextRange>;

// How long UI Automation waits for a browser that does not answer until the core sets its own
// bound (setMessagingTimeout, 200 ms): a call that runs out fails with UIA_E_TIMEOUT, which the
// core takes as "busy". The defaults (2 s to connect, 20 s for a call) would hold the main thread,
// and with it the end of input, for up to 20 s.
inline constexpr DWORD kConnectionTimeoutMilliseconds = 1000;
inline constexpr DWORD kTransactionTimeoutMilliseconds = 1000;

// The one UI Automation client of the process, made on the main thread; none where it cannot be
// created (Wine, or a system without UI Automation).
com::IUIAutomation* automation();
// Puts another client in its place (the tests' stand-in), for the rest of the process.
void replaceAutomation(com::IUIAutomation* automation);

// The result code of the accessibility interface that stands for a failed call.
AXError errorFor(HRESULT result);

// ---- Text (text.cpp) -------------------------------------------------------------------------

// The selection of an element: the ranges that the nearest element at or above it with the Text
// pattern answers, once one of them has text (climbing on while such an element answers none, up
// to the document or the window), and a few characters of the first with text, of which only the
// emptiness counts; or an error.
AXError selectionOf(com::IUIAutomationElement* element, std::vector<TextRange>& ranges,
                    std::string& text);
// The union of the ranges' rectangles, in screen pixels; none when nothing has an area.
std::optional<Rect> boundsOf(const std::vector<TextRange>& ranges, AXError& error);

// UTF-16 to UTF-8, any length; unpaired surrogates become U+FFFD.
std::string utf8(const wchar_t* text, std::size_t length);

// ---- Chromium's page windows (pages.cpp) -----------------------------------------------------

bool isPageWindow(HWND window);
bool isShown(HWND window);
// The shown page windows inside a top-level window (none for a browser of another engine).
std::vector<HWND> pageWindowsOf(HWND window);
// Makes Chromium build a page window's tree and text boxes: a property read and a Text pattern
// request on its web content, once per window (asked again after a failure).
AXError wakePageWindow(HWND page);

// ---- Workspace (workspace.cpp) ---------------------------------------------------------------

struct Front {
    HWND window = nullptr;  // the foreground top-level window
    ProcessId pid = 0;
    std::optional<std::string> bundle;
};
// What is in front now (asked afresh each time).
Front frontNow();
// The top-level window of a process to watch: the foreground one when it is that process's, else
// its first visible unowned one.
HWND windowOf(ProcessId pid);
// The bundle identifier of a running process, none for anything but the seven browsers.
std::optional<std::string> bundleOfProcess(ProcessId pid);

// ---- Run loop (runloop.cpp) ------------------------------------------------------------------

// Takes an observer's event handlers back from UI Automation; its last reference is gone.
void destroyObserver(Object* observer);

// Runs `task` on the main thread between two handlers. Safe from any thread.
void postToMain(std::function<void()> task);
// Starts or stops hearing released mouse buttons and keys (on a thread of its own).
void listenForReleases(bool on);

}  // namespace sw::platform::uia

namespace sw::platform {

struct RunLoop {};

enum class Kind { Element, ApplicationElement, Application, Observer, String, Value, Array };

struct ObserverState;

struct RunLoopSource {
    Object* observer = nullptr;
};

struct Object {
    explicit Object(Kind k) : kind(k) {}
    Kind kind;
    std::atomic<int> references{1};

    // Elements; an application element is a process and its top-level window, whose element is
    // made when first needed.
    uia::Element element;
    ProcessId pid = 0;
    HWND window = nullptr;
    // Applications as the workspace sees them.
    std::optional<std::string> bundle;

    // A focused element answers its selected text and its range right after one another: the
    // ranges read for the text are kept for the range.
    mutable std::optional<std::vector<uia::TextRange>> ranges;

    std::string text;  // strings

    int valueType = 0;                      // values: a rectangle, or the selected ranges
    Rect rect;
    std::vector<uia::TextRange> valueRanges;

    uia::ComRef<uia::com::IUIAutomationElementArray> array;  // arrays of elements

    // Observers: the state their event handlers share with the main thread.
    std::shared_ptr<ObserverState> observer;
    RunLoopSource source;
};

}  // namespace sw::platform

namespace sw::platform::uia {

inline Object* mutableObject(Ref object) { return const_cast<Object*>(object); }
Owned stringObject(std::string text);
Owned elementObject(Element element);

}  // namespace sw::platform::uia
