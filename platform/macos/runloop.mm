// The main run loop and the two dispatch queues the watcher uses. An observer's source entering or
// leaving the run loop also starts or ends the hearing of released buttons and keys (input.mm).
#include <dispatch/dispatch.h>

#include "platform/macos/bridge.h"

namespace sw::platform {

RunLoop* runLoopGetCurrent() { return reinterpret_cast<RunLoop*>(CFRunLoopGetCurrent()); }

void runLoopAddSource(RunLoop* loop, RunLoopSource* source) {
    if (loop == nullptr || source == nullptr) return;
    const auto cfLoop = reinterpret_cast<CFRunLoopRef>(loop);
    const auto cfSource = reinterpret_cast<CFRunLoopSourceRef>(source);
    CFRunLoopAddSource(cfLoop, cfSource, kCFRunLoopDefaultMode);
    macos::noteSourceAdded(cfLoop, cfSource);
}

void runLoopRemoveSource(RunLoop* loop, RunLoopSource* source) {
    if (loop == nullptr || source == nullptr) return;
    const auto cfSource = reinterpret_cast<CFRunLoopSourceRef>(source);
    CFRunLoopRemoveSource(reinterpret_cast<CFRunLoopRef>(loop), cfSource, kCFRunLoopDefaultMode);
    macos::noteSourceRemoved(cfSource);
}

void runMainRunLoop() {
    @autoreleasepool {
        NSRunLoop* loop = NSRunLoop.mainRunLoop;
        // -run returns at once when its mode has no input source and no timer. Until a browser
        // comes to the front no observer source is attached, and neither the workspace
        // subscription nor the main queue counts as one, so the loop would end at start-up and
        // the process with it. A port that nobody sends to keeps the default mode non-empty for
        // good. The default mode is one of the common modes, in which the loop also drains the
        // main dispatch queue (the watchdog's exit task and the main operation queue).
        [loop addPort:[NSMachPort port] forMode:NSDefaultRunLoopMode];
        [loop run];
    }
}

void dispatchAsyncMain(Task task) {
    if (task == nullptr) return;
    dispatch_async(dispatch_get_main_queue(), ^{
      macos::runGuarded(task);
    });
}

void dispatchAsyncUtility(Task task) {
    if (task == nullptr) return;
    dispatch_async(dispatch_get_global_queue(QOS_CLASS_UTILITY, 0), ^{
      macos::runGuarded(task);
    });
}

}  // namespace sw::platform
