// Shared by the macOS backend's sources: the conversions between the interface's opaque handles and
// CoreFoundation references, and the guard every entry point from the system into our code uses.
//
// platform::Object is never defined here: a Ref is the CFTypeRef itself, so Owned holds exactly the
// one reference a "Create" or "Copy" call handed over and gives it back with CFRelease.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <Foundation/Foundation.h>

#include <string>

#include "platform/platform.h"

namespace sw::platform::macos {

inline CFTypeRef cf(Ref object) noexcept { return reinterpret_cast<CFTypeRef>(object); }
inline Ref ref(CFTypeRef object) noexcept { return reinterpret_cast<Ref>(object); }

// The text of a CFString as UTF-8, for any length and any characters; empty for none.
std::string stringFromCF(CFStringRef string);

// Runs one of the program's tasks when the system calls back into us (observer callback, dispatch
// task, notification block). Anything autoreleased in it is drained here, whether or not the
// system wraps that entry point in a pool of its own. No exception may unwind
// into the system's frames; the program throws nothing of its own, so only a failed allocation
// could, and then this one evaluation is dropped and the next trigger starts afresh.
template <typename F>
void runGuarded(F&& task) noexcept {
    @autoreleasepool {
        try {
            task();
        } catch (...) {
        }
    }
}

// What the input watch (input.mm) learns from the run loop: an observer's source entered or left
// it, which starts or ends the hearing of released buttons and keys.
void noteSourceAdded(CFRunLoopRef loop, CFRunLoopSourceRef source);
void noteSourceRemoved(CFRunLoopSourceRef source);

}  // namespace sw::platform::macos
