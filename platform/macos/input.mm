// Released mouse buttons and keys, heard while a browser is watched.
//
// A browser may clear a page selection on a click or a key and tell nobody: WebKit posts no
// notification when a selection becomes none. So while an observer's source is in the run loop (an
// allowed browser is in front), a listen-only event tap hears mouse-button releases, and key
// releases too if the user has already allowed this process to listen to input; each release is
// delivered to that observer as a selection change, through the same callback the system calls.
// A browser acts on the input at once but may bring its accessibility tree up to date a little
// later, so the delivery comes at the release and again 100, 400 and 1,000 ms after it; a new
// release starts the series afresh. Nothing repeats: while the user does nothing, nothing here
// wakes up. Everything runs on the main thread.
#include <ApplicationServices/ApplicationServices.h>
#include <dispatch/dispatch.h>

#include <cstdint>

#include "platform/macos/bridge.h"

namespace sw::platform::macos {
namespace {

AXObserverRef observerRef(const Owned& observer) {
    return reinterpret_cast<AXObserverRef>(const_cast<void*>(cf(observer.get())));
}
CFMachPortRef machPort(const Owned& port) {
    return reinterpret_cast<CFMachPortRef>(const_cast<void*>(cf(port.get())));
}
CFRunLoopSourceRef sourceRef(const Owned& source) {
    return reinterpret_cast<CFRunLoopSourceRef>(const_cast<void*>(cf(source.get())));
}
Owned retained(Ref object) {
    return Owned::adopt(object == nullptr ? nullptr : ref(CFRetain(cf(object))));
}

struct State {
    // The observer made last, held from its creation until its source enters the run loop.
    Owned made;
    ProcessId madePid = 0;
    // The context its selection notification was registered with, handed back with each delivery
    // as the system hands it back with each notification.
    void* madeContext = nullptr;

    // The observer whose source is in the run loop, its application's element and the tap.
    Owned observer;
    Owned application;
    void* context = nullptr;
    CFRunLoopSourceRef observerSource = nullptr;  // the observer's own, valid while it is held
    CFRunLoopRef loop = nullptr;
    Owned tap;        // CFMachPort
    Owned tapSource;  // CFRunLoopSource of the tap

    // Bumped by each release and when the tap goes: a follow-up of an older series does nothing.
    std::uint64_t series = 0;
};

// Never destroyed, so that nothing of it is released while the process exits.
State& state() {
    static auto* s = new State;
    return *s;
}

void deliverRelease() {
    State& s = state();
    if (!s.observer) return;
    // The callback may end this watch (another application came to the front): hold both meanwhile.
    const Owned observer = retained(s.observer.get());
    const Owned application = retained(s.application.get());
    deliverNotification(observer.get(), application.get(), kAXSelectedTextChangedNotification,
                        s.context);
}

// Each delivery is a task of its own on the main queue, never a call from inside the tap's
// callback, so that a watch that ends during a delivery never destroys the tap it was called from.
constexpr std::int64_t kDeliveryMilliseconds[] = {0, 100, 400, 1000};

void onRelease() {
    const std::uint64_t current = ++state().series;
    for (const std::int64_t milliseconds : kDeliveryMilliseconds) {
        dispatch_after(dispatch_time(DISPATCH_TIME_NOW, milliseconds * std::int64_t{NSEC_PER_MSEC}),
                       dispatch_get_main_queue(), ^{
                         runGuarded([current] {
                             if (current == state().series) deliverRelease();
                         });
                       });
    }
}

CGEventRef onTapEvent(CGEventTapProxy, CGEventType type, CGEventRef event, void*) {
    runGuarded([type] {
        State& s = state();
        if (type == kCGEventTapDisabledByTimeout || type == kCGEventTapDisabledByUserInput) {
            // The system turned the tap off; it stays off unless turned on again.
            if (s.tap) CGEventTapEnable(machPort(s.tap), true);
            return;
        }
        onRelease();
    });
    return event;  // listening only: what is returned changes nothing
}

void openTap(State& s) {
    CGEventMask events = CGEventMaskBit(kCGEventLeftMouseUp) |
                         CGEventMaskBit(kCGEventRightMouseUp) |
                         CGEventMaskBit(kCGEventOtherMouseUp);
    // Keys only when Input Monitoring is already granted: asking for them without it may make the
    // system ask the user, and the watcher never asks for a permission. Key releases alone: a
    // selection made or cleared with keys ends with a key coming up, and modifier changes
    // (flagsChanged) would only start extra series.
    if (CGPreflightListenEventAccess()) events |= CGEventMaskBit(kCGEventKeyUp);
    s.tap = Owned::adopt(ref(CGEventTapCreate(kCGSessionEventTap, kCGHeadInsertEventTap,
                                              kCGEventTapOptionListenOnly, events, onTapEvent,
                                              nullptr)));
    // Without a tap the watcher still follows every notification; it only misses silent clears.
    // Standard error carries the protocol's diagnostics alone, so this goes unreported.
    if (!s.tap) return;
    s.tapSource =
        Owned::adopt(ref(CFMachPortCreateRunLoopSource(kCFAllocatorDefault, machPort(s.tap), 0)));
    if (!s.tapSource) {
        CFMachPortInvalidate(machPort(s.tap));
        s.tap.reset();
        return;
    }
    CFRunLoopAddSource(s.loop, sourceRef(s.tapSource), kCFRunLoopDefaultMode);
}

void endWatch(State& s) {
    ++s.series;  // queued follow-ups do nothing now
    if (s.tapSource) CFRunLoopRemoveSource(s.loop, sourceRef(s.tapSource), kCFRunLoopDefaultMode);
    s.tapSource.reset();
    if (s.tap) CFMachPortInvalidate(machPort(s.tap));
    s.tap.reset();
    s.observer.reset();
    s.application.reset();
    s.context = nullptr;
    s.observerSource = nullptr;
    s.loop = nullptr;
}

}  // namespace

void noteObserverCreated(Ref observer, ProcessId pid) {
    State& s = state();
    s.made = retained(observer);
    s.madePid = pid;
    s.madeContext = nullptr;
}

void noteRegistration(Ref observer, CFStringRef notification, void* context) {
    if (!CFEqual(notification, kAXSelectedTextChangedNotification)) return;
    State& s = state();
    if (s.made && s.made.get() == observer) s.madeContext = context;
    if (s.observer && s.observer.get() == observer) s.context = context;
}

void noteSourceAdded(CFRunLoopRef loop, CFRunLoopSourceRef source) {
    State& s = state();
    if (!s.made || AXObserverGetRunLoopSource(observerRef(s.made)) != source) return;
    endWatch(s);  // one watch at a time
    s.observer = std::move(s.made);
    s.application = Owned::adopt(ref(AXUIElementCreateApplication(s.madePid)));
    s.context = s.madeContext;
    s.observerSource = source;
    s.loop = loop;
    openTap(s);
}

void noteSourceRemoved(CFRunLoopSourceRef source) {
    State& s = state();
    if (s.observer && source == s.observerSource) endWatch(s);
    if (s.made && AXObserverGetRunLoopSource(observerRef(s.made)) == source) s.made.reset();
}

}  // namespace sw::platform::macos
