// The simulated main loop and what it delivers: tasks due now or later, timers, accessibility
// notifications to observers whose source is in the run loop, mouse and key releases, and the hold
// that keeps an evaluation open for the whole-process tests.
#include <thread>

#include "platform/posix/handover.h"

#include "platform/sim/internal.h"

namespace sw::sim {
using Clock = std::chrono::steady_clock;

void enqueue(Clock::time_point due, std::function<void()> task, std::uint64_t tag) {
    Desktop& d = desktop();
    {
        std::lock_guard lock(d.loopMutex);
        d.tasks.emplace(due, Desktop::Task{tag, std::move(task)});
    }
    d.loopWake.notify_one();
}

namespace {

// Takes the next task that is due, or waits for one when `wait` is set. Empty when there is none
// (or the loop was asked to stop).
std::function<void()> nextTask(bool wait) {
    Desktop& d = desktop();
    std::unique_lock lock(d.loopMutex);
    for (;;) {
        const auto now = Clock::now();
        if (!d.tasks.empty() && d.tasks.begin()->first <= now) {
            std::function<void()> task = std::move(d.tasks.begin()->second.run);
            d.tasks.erase(d.tasks.begin());
            return task;
        }
        if (d.stopRequested || !wait) {
            d.stopRequested = false;
            return {};
        }
        if (d.tasks.empty()) {
            d.loopWake.wait(lock);
        } else {
            d.loopWake.wait_until(lock, d.tasks.begin()->first);
        }
    }
}

// Calls the observer's callback as a notification of the application does. The delivery holds a
// reference to the observer, which the callback may tear down.
void callObserver(platform::Owned held, const std::string& notification) {
    Object* observer = const_cast<Object*>(held.get());
    if (!observer->sourceInRunLoop) return;  // removed by an earlier delivery
    platform::Owned element = platform::createApplicationElement(observer->pid);
    Object* name = newObject(Kind::String);
    name->text = notification;
    platform::Owned nameHeld = platform::Owned::adopt(name);
    auto context = observer->registered.find(notification);
    observer->callback(observer, element.get(), name,
                       context == observer->registered.end() ? nullptr : context->second);
}

platform::Owned hold(Object* observer) {
    ++observer->references;
    return platform::Owned::adopt(observer);
}

// Heard, as a real desktop's input is, only while a browser is watched.
void released() {
    if (sourcesInRunLoop() == 0) return;
    const std::vector<platform::Task> handlers = desktop().releaseHandlers;
    for (platform::Task handler : handlers) handler();
}

}  // namespace

void deliver(ProcessId pid, const std::string& notification) {
    post([pid, notification] {
        // Collect first: a callback may tear its observer down.
        std::vector<platform::Owned> targets;
        for (Object* observer : desktop().observers) {
            if (observer->pid == pid && observer->sourceInRunLoop &&
                observer->registered.contains(notification)) {
                targets.push_back(hold(observer));
            }
        }
        for (platform::Owned& observer : targets) callObserver(std::move(observer), notification);
    });
}

void postNotification(ProcessId pid, const std::string& notification) { deliver(pid, notification); }

void releaseMouseButton() { released(); }
void releaseKey() {
    if (desktop().listenEventAccess) released();
}
void setListenEventAccess(bool granted) { desktop().listenEventAccess = granted; }

// ---- The main loop -------------------------------------------------------------------------------

void schedule(std::chrono::milliseconds delay, std::function<void()> task) {
    enqueue(Clock::now() + delay, std::move(task));
}

void post(std::function<void()> task) {
    // Due "now": runs after everything already due, in the order posted.
    enqueue(Clock::now(), std::move(task));
}

void runUntilIdle() {
    while (std::function<void()> task = nextTask(false)) task();
}

void stopMainLoop() {
    Desktop& d = desktop();
    {
        std::lock_guard lock(d.loopMutex);
        d.stopRequested = true;
    }
    d.loopWake.notify_one();
}

int pendingTasks() {
    std::lock_guard lock(desktop().loopMutex);
    return static_cast<int>(desktop().tasks.size());
}

int sourcesInRunLoop() {
    int n = 0;
    for (Object* observer : desktop().observers) n += observer->sourceInRunLoop ? 1 : 0;
    return n;
}

void skipWaits(bool skip) { desktop().skipWaits = skip; }

void resetLoop() {
    Desktop& d = desktop();
    d.releaseHandlers.clear();
    std::lock_guard lock(d.loopMutex);
    d.tasks.clear();
    d.stopRequested = false;
}

// ---- Holding an evaluation open ------------------------------------------------------------------

namespace {
struct Hold {
    std::mutex mutex;
    std::condition_variable released;
    bool armed = false, open = false;
};
Hold& held() {
    static Hold* h = new Hold;
    return *h;
}
}  // namespace

void waitIfHeld() {
    Hold& h = held();
    std::unique_lock lock(h.mutex);
    if (!std::exchange(h.armed, false)) return;
    h.released.wait_for(lock, std::chrono::seconds(10), [&h] { return h.open; });
}

void holdNextQuery() {
    std::lock_guard lock(held().mutex);
    held().armed = true;
    held().open = false;
}

void releaseHold() {
    {
        std::lock_guard lock(held().mutex);
        held().open = true;
    }
    held().released.notify_all();
}

}  // namespace sw::sim

// ---- The platform operations ----------------------------------------------------------------------

namespace sw::platform {

using sim::desktop;
using sim::Kind;

AXError observerCreate(ProcessId pid, ObserverCallback callback, Owned& observer) {
    sim::Desktop& d = desktop();
    const sim::Application& app = d.applications[pid];
    observer.reset();
    if (!d.trusted) return kAXErrorAPIDisabled;
    if (app.createReturnsObserver) {
        Object* o = sim::newObject(Kind::Observer);
        o->pid = pid;
        o->callback = callback;
        o->source.observer = o;
        observer = Owned::adopt(o);
    }
    d.calls.push_back("observerCreate " + std::to_string(pid) + " -> " + sim::label(observer.get()));
    return app.createCode;
}

AXError observerAddNotification(Ref observer, Ref element, const char* notification,
                                void* context) {
    sim::Desktop& d = desktop();
    d.calls.push_back(std::string("observerAddNotification ") + sim::label(observer) + " " +
                      sim::label(element) + " " + notification);
    if (observer == nullptr || observer->kind != Kind::Observer || element == nullptr) {
        return sim::kAXErrorIllegalArgument;
    }
    auto* o = const_cast<Object*>(observer);
    if (!d.trusted) return kAXErrorAPIDisabled;
    // Registering asks the application itself, which a hung one does not answer.
    if (const AXError hung = sim::waitIfHung(o->pid)) return hung;
    sim::Application& app = d.applications[o->pid];
    if (auto once = app.registerOnce.find(notification); once != app.registerOnce.end()) {
        const AXError answered = once->second;
        app.registerOnce.erase(once);
        if (answered != kAXErrorSuccess) return answered;
    }
    auto code = app.registerCodes.find(notification);
    if (code != app.registerCodes.end() && code->second != kAXErrorSuccess) return code->second;
    if (o->registered.contains(notification)) return kAXErrorNotificationAlreadyRegistered;
    o->registered.emplace(notification, context);
    return kAXErrorSuccess;
}

RunLoopSource* observerGetRunLoopSource(Ref observer) {
    return &const_cast<Object*>(observer)->source;
}

RunLoop* runLoopGetCurrent() {
    static RunLoop loop;
    return &loop;
}

void runLoopAddSource(RunLoop*, RunLoopSource* source) {
    desktop().calls.push_back("runLoopAddSource " + sim::label(source->observer));
    source->observer->sourceInRunLoop = true;
}

void runLoopRemoveSource(RunLoop*, RunLoopSource* source) {
    desktop().calls.push_back("runLoopRemoveSource " + sim::label(source->observer));
    source->observer->sourceInRunLoop = false;
}

void runMainRunLoop() {
    while (std::function<void()> task = sim::nextTask(true)) task();
}

void dispatchAsyncMain(Task task) {
    handover::handed();
    sim::post([task] {
        task();
        handover::ran();
    });
    sim::releaseHold();
}

void dispatchAsyncUtility(Task task) { std::thread(task).detach(); }

bool waitUnlessDispatched(std::uint32_t milliseconds) {
    return handover::wait(desktop().skipWaits ? 0 : milliseconds);
}

TimerId addMainLoopTimer(std::uint32_t milliseconds, Task task) {
    sim::Desktop& d = desktop();
    const TimerId id = ++d.lastTimer;
    sim::enqueue(std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds), task, id);
    return id;
}

void removeMainLoopTimer(TimerId timer) {
    if (timer == 0) return;
    sim::Desktop& d = desktop();
    std::lock_guard lock(d.loopMutex);
    std::erase_if(d.tasks, [timer](const auto& task) { return task.second.tag == timer; });
}

void addInputReleaseObserver(Task handler) { desktop().releaseHandlers.push_back(handler); }

}  // namespace sw::platform
