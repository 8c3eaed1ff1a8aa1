// Released mouse buttons and keys, heard while a browser is watched.
//
// A browser may clear a page selection on a click or a key and tell nobody: WebKit posts no
// notification when a selection becomes none. So while an observer's source is in the run loop (an
// allowed browser is in front), a listen-only event tap hears mouse-button releases, and key
// releases too if the user has already allowed this process to listen to input; each release is
// reported to the core, which looks again. Everything runs on the main thread.
#include <ApplicationServices/ApplicationServices.h>

#include "platform/macos/bridge.h"

namespace sw::platform {
namespace {

CFMachPortRef machPort(const Owned& port) {
    return reinterpret_cast<CFMachPortRef>(const_cast<void*>(macos::cf(port.get())));
}
CFRunLoopSourceRef sourceRef(const Owned& source) {
    return reinterpret_cast<CFRunLoopSourceRef>(const_cast<void*>(macos::cf(source.get())));
}

struct State {
    Task handler = nullptr;
    // The observer source in the run loop, which the tap lives as long as, and that run loop.
    CFRunLoopSourceRef observerSource = nullptr;
    CFRunLoopRef loop = nullptr;
    Owned tap;        // CFMachPort
    Owned tapSource;  // CFRunLoopSource of the tap
};

// Never destroyed, so that nothing of it is released while the process exits.
State& state() {
    static auto* s = new State;
    return *s;
}

CGEventRef onTapEvent(CGEventTapProxy, CGEventType type, CGEventRef event, void*) {
    macos::runGuarded([type] {
        State& s = state();
        if (type == kCGEventTapDisabledByTimeout || type == kCGEventTapDisabledByUserInput) {
            // The system turned the tap off; it stays off unless turned on again.
            if (s.tap) CGEventTapEnable(machPort(s.tap), true);
            return;
        }
        // The core only schedules its look from here: nothing is torn down inside the tap.
        if (s.handler != nullptr) s.handler();
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
    s.tap = Owned::adopt(macos::ref(CGEventTapCreate(kCGSessionEventTap, kCGHeadInsertEventTap,
                                                     kCGEventTapOptionListenOnly, events,
                                                     onTapEvent, nullptr)));
    // Without a tap the watcher still follows every notification; it only misses silent clears.
    // Standard error carries the protocol's diagnostics alone, so this goes unreported.
    if (!s.tap) return;
    s.tapSource = Owned::adopt(
        macos::ref(CFMachPortCreateRunLoopSource(kCFAllocatorDefault, machPort(s.tap), 0)));
    if (!s.tapSource) {
        CFMachPortInvalidate(machPort(s.tap));
        s.tap.reset();
        return;
    }
    CFRunLoopAddSource(s.loop, sourceRef(s.tapSource), kCFRunLoopDefaultMode);
}

void closeTap(State& s) {
    if (s.tapSource) CFRunLoopRemoveSource(s.loop, sourceRef(s.tapSource), kCFRunLoopDefaultMode);
    s.tapSource.reset();
    if (s.tap) CFMachPortInvalidate(machPort(s.tap));
    s.tap.reset();
    s.observerSource = nullptr;
    s.loop = nullptr;
}

}  // namespace

// Only observers' sources enter the run loop through the platform operations.
void macos::noteSourceAdded(CFRunLoopRef loop, CFRunLoopSourceRef source) {
    State& s = state();
    closeTap(s);  // one watch at a time
    s.observerSource = source;
    s.loop = loop;
    openTap(s);
}

void macos::noteSourceRemoved(CFRunLoopSourceRef source) {
    State& s = state();
    if (source == s.observerSource) closeTap(s);
}

void addInputReleaseObserver(Task handler) { state().handler = handler; }

}  // namespace sw::platform
