// Observers, timers and the run loop over AT-SPI2 and the GLib main loop.
//
// Observers are AT-SPI event listeners whose events wait in a GLib source of their own, so they
// are delivered on the main loop only while that source is in it. A browser may clear a selection
// on a click or a key without telling anybody; a button or key released while a watched browser
// is in front is therefore reported to the core, which looks again.
#include <dbus/dbus.h>

#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "platform/atspi/internal.h"
#include "platform/posix/handover.h"

// Last: Xlib defines words such as None and Status as macros.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <glib-unix.h>

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
    if (observer->bus.empty() && processOf(next.element.get()) != observer->pid) {
        return G_SOURCE_CONTINUE;
    }
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

// Listening to an AT-SPI event costs round trips to the bus and to the registry, several
// milliseconds if each observer listened for itself. So each event kind is listened to through one
// listener, and its events are handed to the registrations that stand for it; events nobody is
// registered for are dropped on arrival. Focus events are heard from every application, for good:
// they say which element to read when a browser comes to the front, and come only when the user
// moves the focus. Text events come with every key typed anywhere (a caret moving in a password
// field included), so they are heard only from the application whose observer is in the run loop,
// and only while it is there.
struct SharedListener {
    AtspiEventListener* listener = nullptr;
    std::vector<Registration*> registrations;
    bool scoped = false;       // heard only from the watched application
    bool registered = false;   // with the registry, for `app` when scoped
    std::string app;           // bus name of that application; empty: every application
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
    if (event->source != nullptr && !gainedFocus) noteFocusLost(event->source);
    if (event->source != nullptr && gainedFocus) {
        if (g_str_has_prefix(event->type, "object:state-changed:focused")) noteFocused(event->source);
        for (Registration* registration : shared->registrations) {
            Object* observer = registration->observer;
            if (observer->source.attached != nullptr && fromWatched(event->source, observer->bus)) {
                observer->pending.push_back({registration, Accessible::share(event->source)});
            }
        }
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

// Text events, heard only from the watched application.
bool scopedEvent(std::string_view event) { return event.substr(0, 12) == "object:text-"; }

bool registerShared(SharedListener& shared, const std::string& event, AtspiAccessible* app) {
    GError* error = nullptr;
    shared.registered = atspi_event_listener_register_with_app(shared.listener, event.c_str(),
                                                               nullptr, app, &error);
    g_clear_error(&error);
    shared.app = shared.registered && app != nullptr ? busNameOf(app) : std::string();
    return shared.registered;
}

// The bus's match rule that libatspi adds for "category:some-name" from one application.
std::string senderRule(std::string_view event, const std::string& bus) {
    const std::size_t colon = event.find(':');
    std::string category(event.substr(0, colon)), member;
    category[0] = g_ascii_toupper(category[0]);
    bool upper = true;
    for (const char c : event.substr(colon + 1)) {
        if (c == '-' || c == ':') {
            upper = true;
            if (c == ':') break;
            continue;
        }
        member += upper ? g_ascii_toupper(c) : c;
        upper = false;
    }
    return "type='signal',interface='org.a11y.atspi.Event." + category + "',member='" + member +
           "',sender='" + bus + "'";
}

void deregisterShared(SharedListener& shared, const std::string& event) {
    if (!std::exchange(shared.registered, false)) return;
    atspi_event_listener_deregister(shared.listener, event.c_str(), nullptr);
    // libatspi takes back the rule it would add for every application, not the one it added for
    // this one: without this the bus would go on sending the application's events, and the rules
    // would pile up with every attach.
    DBusConnection* bus = atspi_get_a11y_bus();
    if (!shared.app.empty() && bus != nullptr) {
        dbus_bus_remove_match(bus, senderRule(event, shared.app).c_str(), nullptr);
    }
    shared.app.clear();
}

// The listener of `event`, made the first time; an event heard from every application is
// registered with the registry at once and for good, a scoped one while an application is watched.
SharedListener* listenTo(const char* event) {
    auto [it, inserted] = sharedListeners().try_emplace(event);
    SharedListener& shared = it->second;
    if (inserted) {
        shared.listener = atspi_event_listener_new(onObserverEvent, &shared, nullptr);
        shared.scoped = scopedEvent(event);
        if (!shared.scoped && !registerShared(shared, it->first, nullptr)) {
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

// The one report of a button or key released while a watched browser is in front.
void onInputReleased() {
    if (releaseHandler != nullptr && watchingFront()) releaseHandler();
}

// ---- Wayland sessions ------------------------------------------------------------------------
//
// In a Wayland session the registry takes no input from the X server, so no button is ever seen,
// and Chrome's engine as a native Wayland client forwards no key either: a click with which it
// clears a selection silently (a whole page selected, for one) would go unseen. So while a
// selection stands in a browser of Chrome's engine in front, it is read again twice a second.
// Firefox announces its own clears, and so do the browser's own controls (the address bar): they
// are not asked again. The reading stops as soon as a look ends anywhere but on a selection in a
// page (no focus, a focus without text, nothing selected), unless the browser was too busy to
// answer; with another application in front nothing wakes up.
constexpr guint kStandingSelectionMilliseconds = 500;
guint standingCheck = 0;
ProcessId standingPid = 0;
bool lastLookSelected = false;  // the last snapshot ended on a selection

gboolean onStandingCheck(gpointer) {
    if (standingPid == 0 || standingPid != frontmostProcess() ||
        !(lastLookSelected || stalled())) {
        standingPid = 0;
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

// ---- Key releases, from the X server ---------------------------------------------------------
//
// The registry holds every key typed until each of its keystroke listeners has answered, and a
// watcher that is stopped or busy answers late: the user's typing would wait on it. The X input
// extension's raw key events are copied to whoever selected them and wait for nobody. They come
// on X11, and under Xwayland while one of its clients has the keyboard (a browser that is an X11
// client). They carry no modifier filter, so every key is heard, AltGr held or not; only releases,
// never their text. One connection for the process, opened the first time a browser is watched;
// the events are selected on the root window only while one is.
struct XKeys {
    bool tried = false;
    Display* display = nullptr;
    int opcode = 0;     // the input extension's major opcode
    guint watch = 0;    // the connection's descriptor in the main loop
    bool broken = false;
};

XKeys& xKeys() {
    static auto* keys = new XKeys;
    return *keys;
}

// Xlib ends the process on a lost connection or a refused request unless told otherwise. A lost
// X server takes key releases away, nothing else.
int ignoreXError(Display*, XErrorEvent*) { return 0; }
int ignoreXIOError(Display*) { return 0; }
void onXConnectionLost(Display*, void*) { xKeys().broken = true; }

gboolean onXEvents(gint, GIOCondition condition, gpointer) {
    XKeys& keys = xKeys();
    bool released = false;
    // Everything waiting is read, then one look: a burst of keys is one change to look at.
    while (!keys.broken && (condition & G_IO_IN) != 0 && XPending(keys.display) > 0) {
        XEvent event;
        XNextEvent(keys.display, &event);
        const XGenericEventCookie& cookie = event.xcookie;
        released |= cookie.type == GenericEvent && cookie.extension == keys.opcode &&
                    cookie.evtype == XI_RawKeyRelease;
    }
    if (released) onInputReleased();
    if (!keys.broken && (condition & (G_IO_HUP | G_IO_ERR)) == 0) return G_SOURCE_CONTINUE;
    keys.broken = true;
    keys.watch = 0;
    return G_SOURCE_REMOVE;
}

bool openXKeys() {
    XKeys& keys = xKeys();
    if (std::exchange(keys.tried, true)) return keys.display != nullptr;
    if (g_getenv("DISPLAY") == nullptr) return false;
    XSetErrorHandler(ignoreXError);
    XSetIOErrorHandler(ignoreXIOError);
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    XSetIOErrorExitHandler(display, onXConnectionLost, nullptr);
    int event = 0, error = 0, major = 2, minor = 1;  // raw events reach any client from 2.1 on
    if (!XQueryExtension(display, "XInputExtension", &keys.opcode, &event, &error) ||
        XIQueryVersion(display, &major, &minor) != Success || major * 100 + minor < 201) {
        XCloseDisplay(display);
        return false;
    }
    keys.display = display;
    keys.watch = g_unix_fd_add(ConnectionNumber(display), G_IO_IN, onXEvents, nullptr);
    return true;
}

void selectKeyReleases(bool on) {
    XKeys& keys = xKeys();
    if ((on && !openXKeys()) || keys.display == nullptr || keys.broken) return;
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    if (on) XISetMask(bits, XI_RawKeyRelease);
    XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
    XISelectEvents(keys.display, DefaultRootWindow(keys.display), &mask, 1);
    XFlush(keys.display);
}

// ---- What is listened to while a browser is watched -------------------------------------------
//
// Buttons, keys and text events reach the watcher only while an observer is in the run loop.
// Only "mouse:button" among the registry's input: it is a signal, sent as it happens, while
// listeners for all mouse events make it poll the pointer. Listening starts right after the
// handler that attached the observer, so the evaluation of the activation and its line come
// first; it stops right after the handler that tore the last one down. Switching between
// browsers, or activating the same one again, keeps it.
struct Input {
    AtspiEventListener* mouse = nullptr;
    bool listening = false;
    guint check = 0;  // the pending look at what is watched
};

Input& input() {
    static auto* state = new Input;
    return *state;
}

std::vector<Object*>& observersInLoop() {
    static auto* observers = new std::vector<Object*>;
    return *observers;
}

void listenToInput() {
    Input& in = input();
    if (std::exchange(in.listening, true)) return;
    if (in.mouse == nullptr) in.mouse = atspi_event_listener_new(onMouseButton, nullptr, nullptr);
    atspi_event_listener_register(in.mouse, "mouse:button", nullptr);
    selectKeyReleases(true);
}

void stopInput() {
    Input& in = input();
    if (!std::exchange(in.listening, false)) return;
    atspi_event_listener_deregister(in.mouse, "mouse:button", nullptr);
    selectKeyReleases(false);
}

// Text events from the application of `observer` only (from every application while that one
// cannot be found by its bus name, rather than none), and input, from now on.
void listenFor(Object* observer) {
    for (auto& [event, shared] : sharedListeners()) {
        if (!shared.scoped || (shared.registered && shared.app == observer->bus)) continue;
        deregisterShared(shared, event);
        registerShared(shared, event, listenedApplication(observer->accessible.get()));
    }
    listenToInput();
}

gboolean onListeningCheck(gpointer) {
    input().check = 0;
    if (!observersInLoop().empty()) {
        listenFor(observersInLoop().back());
        return G_SOURCE_REMOVE;
    }
    for (auto& [event, shared] : sharedListeners()) {
        if (shared.scoped) deregisterShared(shared, event);
    }
    stopInput();
    return G_SOURCE_REMOVE;
}

// Right after the handler that is running, ahead of whatever the bus delivers next.
void checkListeningSoon() {
    if (input().check == 0) {
        input().check = g_idle_add_full(G_PRIORITY_HIGH, onListeningCheck, nullptr, nullptr);
    }
}

void removeFromLoop(Object* observer) {
    DeliverySource* attached = std::exchange(observer->source.attached, nullptr);
    if (attached != nullptr) {
        g_source_destroy(&attached->base);
        g_source_unref(&attached->base);
        std::erase(observersInLoop(), observer);
        checkListeningSoon();
    }
    observer->pending.clear();
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

bool fromWatched(AtspiAccessible* source, const std::string& watched) {
    const std::string bus = busNameOf(source);
    return !bus.empty() && (watched.empty() || bus == watched);
}

AtspiAccessible* listenedApplication(AtspiAccessible* application) {
    return busNameOf(application).empty() ? nullptr : application;
}

void noteLookStarted() { lastLookSelected = false; }

void dropWaitingEvents() {
    for (Object* observer : observersInLoop()) observer->pending.clear();
}

void noteSelectionRead(AtspiAccessible* focused, bool selected) {
    lastLookSelected = selected;
    standingPid = selected && waylandSession() && isChromium(focused) && inPage(focused)
                      ? processOf(focused)
                      : 0;
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
    Object* observer = source->observer;
    // Known now, so that events are told apart without asking the bus; listened to right after
    // the handler that is running, once the evaluation it makes has written its line.
    Accessible app = applicationForPid(observer->pid);
    observer->bus = app ? busNameOf(app.get()) : std::string();
    observer->accessible = std::move(app);
    GSource* gsource = g_source_new(&deliveryFuncs, sizeof(DeliverySource));
    auto* delivery = reinterpret_cast<DeliverySource*>(gsource);
    delivery->observer = observer;
    g_source_attach(gsource, nullptr);
    source->attached = delivery;
    observersInLoop().push_back(observer);
    checkListeningSoon();
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
