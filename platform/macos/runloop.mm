// The main run loop, its timers and the two dispatch queues the watcher uses. An observer's source
// entering or leaving the run loop also starts or ends the hearing of released buttons and keys
// (input.mm).
#include <dispatch/dispatch.h>

#include <map>

#include "platform/macos/bridge.h"
#include "platform/posix/handover.h"

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
    handover::handed();
    dispatch_async(dispatch_get_main_queue(), ^{
      macos::runGuarded(task);
      handover::ran();
    });
}

bool waitUnlessDispatched(std::uint32_t milliseconds) { return handover::wait(milliseconds); }

namespace {

// Timers not yet run nor removed, as dispatch sources on the main queue, which the main run loop
// serves between its other handlers. Main thread only.
std::map<TimerId, dispatch_source_t>& liveTimers() {
    static auto* timers = new std::map<TimerId, dispatch_source_t>;
    return *timers;
}

}  // namespace

TimerId addMainLoopTimer(std::uint32_t milliseconds, Task task) {
    static TimerId last = 0;
    const TimerId id = ++last;
    dispatch_source_t timer =
        dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, dispatch_get_main_queue());
    if (timer == nullptr) return id;  // never runs; removing it does nothing
    dispatch_source_set_timer(timer,
                              dispatch_time(DISPATCH_TIME_NOW,
                                            static_cast<std::int64_t>(milliseconds) * NSEC_PER_MSEC),
                              DISPATCH_TIME_FOREVER, NSEC_PER_MSEC);
    dispatch_source_set_event_handler(timer, ^{
      auto found = liveTimers().find(id);
      if (found == liveTimers().end()) return;
      dispatch_source_cancel(found->second);  // once only
      liveTimers().erase(found);
      macos::runGuarded(task);
    });
    liveTimers().emplace(id, timer);
    dispatch_resume(timer);
    return id;
}

void removeMainLoopTimer(TimerId timer) {
    auto found = liveTimers().find(timer);
    if (found == liveTimers().end()) return;
    dispatch_source_cancel(found->second);
    liveTimers().erase(found);
}

void dispatchAsyncUtility(Task task) {
    if (task == nullptr) return;
    dispatch_async(dispatch_get_global_queue(QOS_CLASS_UTILITY, 0), ^{
      macos::runGuarded(task);
    });
}

}  // namespace sw::platform
