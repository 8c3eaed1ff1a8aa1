// Observers, timers and the run loop over AT-SPI2 and the GLib main loop.
//
// Observers are AT-SPI event listeners whose events wait in a GLib source of their own, so they
// are delivered on the main loop only while that source is in it. A browser may clear a selection
// on a click or a key without telling anybody; a button or key released while a watched browser
// is in front is therefore reported to the core, which looks again.
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "platform/atspi/internal.h"
#include "platform/posix/handover.h"

namespace sw::platform {

// A GLib source that is ready while its observer has events waiting.
struct DeliverySource {
    GSource base;
    Object* observer;
};

// One notification of an observer, with the AT-SPI events that stand for it.
struct Registration {
    Object* observer = nullptr;
    std::string notification;
    std::vector<const char*> events;
    void* context = nullptr;
};

}  // namespace sw::platform

namespace sw::platform::atspi {
namespace {

constexpr const char* kSelectionChanged = "AXSelectedTextChanged";

gboolean deliveryReady(GSource* source, gint* timeout) {
    *timeout = -1;
    return !reinterpret_cast<DeliverySource*>(source)->observer->pending.empty();
}

gboolean deliveryCheck(GSource* source) {
    return !reinterpret_cast<DeliverySource*>(source)->observer->pending.empty();
}

gboolean deliveryDispatch(GSource* source, GSourceFunc, gpointer) {
    Object* observer = reinterpret_cast<DeliverySource*>(source)->observer;
    if (observer->pending.empty()) return G_SOURCE_CONTINUE;
    Object::Pending next = std::move(observer->pending.front());
    observer->pending.pop_front();
    // Events that stand for the same notification and wait together (a browser announces one
    // change of a selection as a selection change and a caret move) tell the watcher one thing:
    // they are delivered once, and the one evaluation reads what all of them would.
    std::erase_if(observer->pending, [&next](const Object::Pending& waiting) {
        return waiting.registration == next.registration;
    });
    // The callback may drop the observer (a new browser came to the front): hold it meanwhile.
    ++observer->references;
    Owned held = Owned::adopt(observer);
    Owned element = elementObject(std::move(next.element));
    Owned name = stringObject(next.registration->notification);
    observer->callback(observer, element.get(), name.get(), next.registration->context);
    return G_SOURCE_CONTINUE;
}

GSourceFuncs deliveryFuncs = {deliveryReady, deliveryCheck, deliveryDispatch, nullptr, nullptr,
                              nullptr};

void removeFromLoop(Object* observer) {
    DeliverySource* attached = std::exchange(observer->source.attached, nullptr);
    if (attached != nullptr) {
        g_source_destroy(&attached->base);
        g_source_unref(&attached->base);
    }
    observer->pending.clear();
}

// Listening to an AT-SPI event costs round trips to the bus and to the registry, several
// milliseconds on every activation of a browser if each observer listened for itself. So each event
// kind is listened to once, from the first observer on, and its events are handed to the
// registrations that stand for it; events nobody is registered for are dropped on arrival.
struct SharedListener {
    AtspiEventListener* listener = nullptr;
    std::vector<Registration*> registrations;
};

std::map<std::string, SharedListener, std::less<>>& sharedListeners() {
    static auto* listeners = new std::map<std::string, SharedListener, std::less<>>;
    return *listeners;
}

void onObserverEvent(AtspiEvent* event, void* data) {
    const auto* shared = static_cast<const SharedListener*>(data);
    // Focus events also announce losing the focus; only gaining it counts.
    const bool gainedFocus = g_str_has_prefix(event->type, "object:state-changed:") == FALSE ||
                             event->detail1 != 0;
    const ProcessId pid = event->source != nullptr && gainedFocus && !shared->registrations.empty()
                              ? processOf(event->source)
                              : 0;
    if (pid != 0 && g_str_has_prefix(event->type, "object:state-changed:focused")) {
        noteFocused(event->source, pid);
    }
    for (Registration* registration : shared->registrations) {
        Object* observer = registration->observer;
        if (pid != 0 && observer->source.attached != nullptr && pid == observer->pid) {
            observer->pending.push_back({registration, Accessible::share(event->source)});
        }
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

// Starts listening to `event` for good, if that has not happened yet.
SharedListener* listenTo(const char* event) {
    auto [it, inserted] = sharedListeners().try_emplace(event);
    SharedListener& shared = it->second;
    if (inserted) {
        shared.listener = atspi_event_listener_new(onObserverEvent, &shared, nullptr);
        GError* error = nullptr;
        if (!atspi_event_listener_register(shared.listener, event, &error)) {
            g_clear_error(&error);
            g_object_unref(shared.listener);
            sharedListeners().erase(it);
            return nullptr;
        }
    }
    return &shared;
}

void unregister(Registration* registration) {
    for (const char* event : registration->events) {
        auto shared = sharedListeners().find(event);
        if (shared == sharedListeners().end()) continue;
        std::erase(shared->second.registrations, registration);
    }
    delete registration;
}

// Events that stand for each notification the core registers.
std::vector<const char*> eventsFor(std::string_view notification) {
    if (notification == "AXFocusedUIElementChanged") return {"object:state-changed:focused"};
    // A browser clearing a selection may only move the caret.
    if (notification == kSelectionChanged) {
        return {"object:text-selection-changed", "object:text-caret-moved"};
    }
    return {};
}

// ---- Released buttons and keys -------------------------------------------------------------

Task releaseHandler = nullptr;

// Whether an observer watches the application in front, registered for selection changes.
bool watchingFront() {
    const ProcessId front = frontmostProcess();
    if (front == 0) return false;
    const auto shared = sharedListeners().find(eventsFor(kSelectionChanged).front());
    if (shared == sharedListeners().end()) return false;
    for (const Registration* registration : shared->second.registrations) {
        const Object* observer = registration->observer;
        if (observer->source.attached != nullptr && observer->pid == front) return true;
    }
    return false;
}

// A selection change for every observer that watches the application in front.
void deliverInputToFront() {
    const ProcessId front = frontmostProcess();
    if (front == 0) return;
    const auto shared = sharedListeners().find(eventsFor(kSelectionChanged).front());
    if (shared == sharedListeners().end()) return;
    for (Registration* registration : shared->second.registrations) {
        Object* observer = registration->observer;
        if (observer->source.attached == nullptr || observer->pid != front) continue;
        observer->pending.push_back({registration, Accessible::share(frontmostAccessible())});
    }
}

void onInputReleased() {
    if (releaseHandler != nullptr && watchingFront()) releaseHandler();
}

// ---- Wayland sessions ------------------------------------------------------------------------
//
// In a Wayland session the registry takes no input from the X server, so no button is ever seen,
// and Chrome's engine as a native Wayland client forwards no key either: a click with which it
// clears a selection silently (a whole page selected, for one) would go unseen. So while a
// selection stands in a browser of Chrome's engine in front, it is read again twice a second.
// Firefox announces its own clears: it is not asked again. With no selection, or another
// application in front, nothing wakes up.
constexpr guint kStandingSelectionMilliseconds = 500;
guint standingCheck = 0;
ProcessId standingPid = 0;

gboolean onStandingCheck(gpointer) {
    if (standingPid == 0 || standingPid != frontmostProcess()) {
        standingCheck = 0;
        return G_SOURCE_REMOVE;
    }
    deliverInputToFront();
    return G_SOURCE_CONTINUE;
}

void onMouseButton(AtspiEvent* event, void*) {
    // "mouse:button:1r": only releases; by then the browser has acted on the click.
    if (event->type != nullptr && g_str_has_suffix(event->type, "r")) onInputReleased();
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

gboolean onKey(AtspiDeviceEvent* key, void*) {
    g_boxed_free(ATSPI_TYPE_DEVICE_EVENT, key);
    onInputReleased();
    return FALSE;  // never consumed: the browser gets every key as before
}

// Listened to for good from the first observer in the run loop on. Only "mouse:button" and the
// keystroke listener: the registry sends these as they happen, while listeners for all mouse
// events or device events make it poll the pointer for the rest of the session.
void listenToInput() {
    static bool listening = false;
    if (std::exchange(listening, true)) return;
    AtspiEventListener* mouse = atspi_event_listener_new(onMouseButton, nullptr, nullptr);
    atspi_event_listener_register(mouse, "mouse:button", nullptr);
    AtspiDeviceListener* keys = atspi_device_listener_new(onKey, nullptr, nullptr);
    // The registry matches modifiers exactly, so every combination of Shift, Caps Lock, Control,
    // Alt and Super, with and without Num Lock, is listened to: 64 registrations, made once.
    // Registration may report failure yet deliver, so its answer is not looked at.
    constexpr AtspiKeyMaskType kModifiers[] = {
        1u << ATSPI_MODIFIER_SHIFT, 1u << ATSPI_MODIFIER_SHIFTLOCK, 1u << ATSPI_MODIFIER_CONTROL,
        1u << ATSPI_MODIFIER_ALT, 1u << ATSPI_MODIFIER_META3 /* Mod4, Super */,
        1u << ATSPI_MODIFIER_NUMLOCK};
    for (unsigned combination = 0; combination < 1u << std::size(kModifiers); ++combination) {
        AtspiKeyMaskType mask = 0;
        for (std::size_t bit = 0; bit < std::size(kModifiers); ++bit) {
            if (combination & (1u << bit)) mask |= kModifiers[bit];
        }
        atspi_register_keystroke_listener(keys, nullptr, mask, 1u << ATSPI_KEY_RELEASED_EVENT,
                                          ATSPI_KEYLISTENER_NOSYNC, nullptr);
    }
}

gboolean runMainTask(gpointer data) {
    Task task = *static_cast<Task*>(data);
    delete static_cast<Task*>(data);
    task();
    handover::ran();
    return G_SOURCE_REMOVE;
}

// The main loop's timers, by GLib source id, until they run or are removed: removing an id that
// is gone already would remove nothing but a warning.
struct MainTimer {
    TimerId id = 0;
    Task task = nullptr;
};

std::set<TimerId>& liveTimers() {
    static auto* timers = new std::set<TimerId>;  // main thread only
    return *timers;
}

gboolean runTimer(gpointer data) {
    const auto* timer = static_cast<const MainTimer*>(data);
    liveTimers().erase(timer->id);
    timer->task();
    return G_SOURCE_REMOVE;
}

void deleteTimer(gpointer data) { delete static_cast<MainTimer*>(data); }

}  // namespace

void noteSelectionRead(AtspiAccessible* focused, bool selected) {
    standingPid = selected && waylandSession() && isChromium(focused) ? processOf(focused) : 0;
    if (standingPid != 0 && standingCheck == 0) {
        standingCheck = g_timeout_add(kStandingSelectionMilliseconds, onStandingCheck, nullptr);
    }
}

void destroyObserver(Object* observer) {
    removeFromLoop(observer);
    for (Registration* registration : observer->registrations) unregister(registration);
}

}  // namespace sw::platform::atspi

namespace sw::platform {

using namespace atspi;

AXError observerCreate(ProcessId pid, ObserverCallback callback, Owned& observer) {
    observer.reset();
    if (callback == nullptr) return kAXErrorIllegalArgument;
    startWorkspace();
    auto* o = new Object(Kind::Observer);
    o->pid = pid;
    o->callback = callback;
    o->source.observer = o;
    observer = Owned::adopt(o);
    return kAXErrorSuccess;
}

AXError observerAddNotification(Ref observer, Ref element, const char* notification,
                                void* context) {
    if (observer == nullptr || observer->kind != Kind::Observer || element == nullptr ||
        notification == nullptr) {
        return kAXErrorIllegalArgument;
    }
    Object* o = mutableObject(observer);
    for (const Registration* existing : o->registrations) {
        if (existing->notification == notification) return kAXErrorNotificationAlreadyRegistered;
    }
    std::vector<const char*> events = eventsFor(notification);
    if (events.empty()) return kAXErrorNotificationUnsupported;

    auto* registration = new Registration{o, notification, {}, context};
    for (const char* event : events) {
        SharedListener* shared = listenTo(event);
        if (shared == nullptr) {
            unregister(registration);
            return kAXErrorCannotComplete;
        }
        shared->registrations.push_back(registration);
        registration->events.push_back(event);
    }
    o->registrations.push_back(registration);
    return kAXErrorSuccess;
}

RunLoopSource* observerGetRunLoopSource(Ref observer) {
    if (observer == nullptr || observer->kind != Kind::Observer) return nullptr;
    return &mutableObject(observer)->source;
}

RunLoop* runLoopGetCurrent() {
    static RunLoop loop;  // the main thread's GLib context is the only run loop
    return &loop;
}

void runLoopAddSource(RunLoop*, RunLoopSource* source) {
    if (source == nullptr || source->attached != nullptr) return;
    listenToInput();
    GSource* gsource = g_source_new(&deliveryFuncs, sizeof(DeliverySource));
    auto* delivery = reinterpret_cast<DeliverySource*>(gsource);
    delivery->observer = source->observer;
    g_source_attach(gsource, nullptr);
    source->attached = delivery;
}

void runLoopRemoveSource(RunLoop*, RunLoopSource* source) {
    if (source == nullptr) return;
    removeFromLoop(source->observer);
}

void runMainRunLoop() {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
}

void dispatchAsyncMain(Task task) {
    // Safe from any thread, and wakes the main context. Ahead of everything the bus delivers, so
    // the end of input is served right after the handler that is running, not after a backlog of
    // events.
    handover::handed();
    g_idle_add_full(G_PRIORITY_HIGH, runMainTask, new Task(task), nullptr);
}

void dispatchAsyncUtility(Task task) { std::thread(task).detach(); }

bool waitUnlessDispatched(std::uint32_t milliseconds) { return handover::wait(milliseconds); }

TimerId addMainLoopTimer(std::uint32_t milliseconds, Task task) {
    auto* timer = new MainTimer{0, task};
    timer->id = g_timeout_add_full(G_PRIORITY_DEFAULT, milliseconds, runTimer, timer, deleteTimer);
    liveTimers().insert(timer->id);
    return timer->id;
}

void removeMainLoopTimer(TimerId timer) {
    if (liveTimers().erase(timer) != 0) g_source_remove(static_cast<guint>(timer));
}

void addInputReleaseObserver(Task handler) { releaseHandler = handler; }

}  // namespace sw::platform
