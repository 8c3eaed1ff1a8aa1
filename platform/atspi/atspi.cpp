// The platform operations on a Linux desktop, over AT-SPI2 and the GLib main loop.
//
// The accessibility attributes the core asks for are answered from AT-SPI: the focused element is
// found in the application's active window, the selected text and its rectangle are read from the
// text objects that hold the selection. Observers are AT-SPI event listeners whose events wait in a
// GLib source of their own, so they are delivered on the main loop only while that source is in it.
// The frontmost application is followed through window activation events.
#include <dbus/dbus.h>

#include <atomic>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/atspi/identity.h"
#include "platform/atspi/internal.h"

namespace sw::platform {

struct RunLoop {};

struct DeliverySource;

struct RunLoopSource {
    Object* observer = nullptr;
    DeliverySource* attached = nullptr;  // the GSource while the source is in the run loop
};

enum class Kind { Element, Application, Observer, String, Value };

struct Registration;

struct Object {
    explicit Object(Kind k) : kind(k) {}
    Kind kind;
    std::atomic<int> references{1};

    // Elements: an accessible, or for an application element the process, resolved on demand.
    // Applications (as the workspace sees them): process and identifier.
    mutable atspi::Accessible accessible;
    ProcessId pid = 0;
    bool applicationElement = false;
    std::optional<std::string> bundle;

    // A focused element answers its selected text, range and rectangle in one snapshot, right
    // after one another: the selection resolved for the text is kept for the other two, which
    // saves the browser a second and third walk through the same objects.
    mutable std::vector<std::pair<int, int>> selectedRanges;
    mutable std::optional<atspi::Selection> selection;

    std::string text;  // strings

    int valueType = 0;                        // values
    Rect rect;                                // rectangle values
    std::vector<std::pair<int, int>> ranges;  // range values: the selected ranges of an element

    // Observers.
    ObserverCallback callback = nullptr;
    std::vector<Registration*> registrations;
    RunLoopSource source;
    struct Pending {
        const Registration* registration;
        atspi::Accessible element;
    };
    std::deque<Pending> pending;
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

Object* newObject(Kind kind) { return new Object(kind); }

Owned stringObject(std::string text) {
    Object* o = newObject(Kind::String);
    o->text = std::move(text);
    return Owned::adopt(o);
}

Owned elementObject(Accessible accessible) {
    Object* o = newObject(Kind::Element);
    o->pid = processOf(accessible.get());
    o->accessible = std::move(accessible);
    return Owned::adopt(o);
}

Object* mutableObject(Ref object) { return const_cast<Object*>(object); }

// ---- Observer delivery ---------------------------------------------------------------------------

void clearPending(Object* observer) { observer->pending.clear(); }

void removeFromLoop(Object* observer);

}  // namespace
}  // namespace sw::platform::atspi

namespace sw::platform {

// A GLib source that is ready while its observer has events waiting.
struct DeliverySource {
    GSource base;
    Object* observer;
};

}  // namespace sw::platform

namespace sw::platform::atspi {
namespace {

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
    clearPending(observer);
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

void destroy(Object* o) {
    if (o->kind == Kind::Observer) {
        removeFromLoop(o);
        for (Registration* registration : o->registrations) unregister(registration);
    }
    delete o;
}

// ---- The workspace ---------------------------------------------------------------------------

struct Workspace {
    bool started = false;
    Accessible frontmost;  // the application whose window is active
    Accessible activeWindow;  // that window, as the activation reported it
    ProcessId frontmostPid = 0;
    std::optional<std::string> frontmostBundle;
    std::vector<Task> handlers;
    AtspiEventListener* listener = nullptr;
};

// Never destroyed: process-wide owned values may be released while the process exits.
Workspace& workspace() {
    static Workspace* w = new Workspace;
    return *w;
}

std::optional<std::string> identify(AtspiAccessible* application, ProcessId pid) {
    // An application's name and executable do not change while it runs, and its bus name is
    // never reused: ask once per application, not on every activation.
    static auto* known = new std::map<std::string, std::optional<std::string>>;
    const AtspiApplication* app = ATSPI_OBJECT(application)->app;
    const std::string busName = app != nullptr && app->bus_name != nullptr ? app->bus_name : "";
    if (!busName.empty()) {
        if (auto found = known->find(busName); found != known->end()) return found->second;
    }
    gchar* name = atspi_accessible_get_name(application, nullptr);
    std::optional<std::string> bundle = bundleForIdentity(name ? name : "", executableBaseName(pid));
    g_free(name);
    if (!busName.empty()) known->emplace(busName, bundle);
    return bundle;
}

void setFrontmost(Accessible application, Accessible window = {}) {
    Workspace& w = workspace();
    w.frontmost = std::move(application);
    w.activeWindow = std::move(window);
    w.frontmostPid = w.frontmost ? processOf(w.frontmost.get()) : 0;
    w.frontmostBundle = w.frontmost ? identify(w.frontmost.get(), w.frontmostPid) : std::nullopt;
}

gboolean runActivationHandlers(gpointer) {
    // Copied first: a handler may not add handlers, but delivery need not depend on that.
    const std::vector<Task> handlers = workspace().handlers;
    for (Task handler : handlers) handler();
    return G_SOURCE_REMOVE;
}

void onWindowEvent(AtspiEvent* event, void*) {
    Workspace& w = workspace();
    if (event->source != nullptr) {
        AtspiApplication* app = ATSPI_OBJECT(event->source)->app;
        if (g_str_equal(event->type, "window:activate")) {
            // The application's root is known locally once it has been seen; asking for it walks
            // up the window's parents, one round trip each.
            Accessible application = app != nullptr && app->root != nullptr
                                         ? Accessible::share(app->root)
                                         : Accessible(atspi_accessible_get_application(
                                               event->source, nullptr));
            setFrontmost(std::move(application), Accessible::share(event->source));
        } else if (app != nullptr && w.frontmost && app == ATSPI_OBJECT(w.frontmost.get())->app) {
            // Switching to an application that is not accessible only shows as this deactivation.
            setFrontmost({});
        }
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
    // Served from the main loop like every other handler, never from inside this dispatch.
    // At default priority: an idle source would wait behind every other event the bus delivers.
    if (!w.handlers.empty()) {
        g_idle_add_full(G_PRIORITY_DEFAULT, runActivationHandlers, nullptr, nullptr);
    }
}

Accessible activeWindow(AtspiAccessible* application) {
    const int windows = atspi_accessible_get_child_count(application, nullptr);
    for (int k = 0; k < windows; ++k) {
        Accessible window(atspi_accessible_get_child_at_index(application, k, nullptr));
        if (window && hasState(window.get(), ATSPI_STATE_ACTIVE)) return window;
    }
    return {};
}

// The application whose top-level window carries the active state, scanned once at start.
void scanForActiveApplication() {
    Accessible desktop(atspi_get_desktop(0));
    if (!desktop) return;
    const int apps = atspi_accessible_get_child_count(desktop.get(), nullptr);
    for (int i = 0; i < apps; ++i) {
        Accessible app(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
        if (!app) continue;
        if (Accessible window = activeWindow(app.get())) {
            setFrontmost(std::move(app), std::move(window));
            return;
        }
    }
}

void startWorkspace() {
    Workspace& w = workspace();
    if (w.started) return;
    w.started = true;
    atspi_init();
    // Listen first, then scan, so that no activation falls in between.
    w.listener = atspi_event_listener_new(onWindowEvent, nullptr, nullptr);
    atspi_event_listener_register(w.listener, "window:activate", nullptr);
    atspi_event_listener_register(w.listener, "window:deactivate", nullptr);
    scanForActiveApplication();
}

Accessible applicationForPid(ProcessId pid) {
    Workspace& w = workspace();
    if (w.frontmost && w.frontmostPid == pid) return Accessible::share(w.frontmost.get());
    Accessible desktop(atspi_get_desktop(0));
    if (!desktop) return {};
    const int apps = atspi_accessible_get_child_count(desktop.get(), nullptr);
    for (int i = 0; i < apps; ++i) {
        Accessible app(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
        if (app && processOf(app.get()) == pid) return app;
    }
    return {};
}

// ---- Attributes ------------------------------------------------------------------------------

AXError focusedElement(const Object* app, Owned& value) {
    if (!app->accessible) app->accessible = applicationForPid(app->pid);
    if (!app->accessible) return kAXErrorCannotComplete;
    // The window the activation named, while it is still the front one; otherwise a fresh look.
    const Workspace& w = workspace();
    Accessible window = w.activeWindow && w.frontmostPid == app->pid &&
                                hasState(w.activeWindow.get(), ATSPI_STATE_ACTIVE)
                            ? Accessible::share(w.activeWindow.get())
                            : activeWindow(app->accessible.get());
    if (!window) return kAXErrorNoValue;
    Accessible focused = focusedDescendant(window.get());
    if (!focused) return kAXErrorNoValue;
    value = elementObject(std::move(focused));
    return kAXErrorSuccess;
}

AXError selectedText(const Object* element, Owned& value) {
    AtspiAccessible* accessible = element->accessible.get();
    if (!GRef<AtspiText>(atspi_accessible_get_text_iface(accessible))) return kAXErrorAttributeUnsupported;
    element->selectedRanges = selectedRanges(accessible);
    element->selection = resolveSelection(accessible, element->selectedRanges);
    value = stringObject(element->selection->text);
    return kAXErrorSuccess;
}

AXError selectedRange(const Object* element, Owned& value) {
    std::vector<std::pair<int, int>> ranges =
        element->selection ? element->selectedRanges : selectedRanges(element->accessible.get());
    if (ranges.empty()) return kAXErrorNoValue;
    Object* o = newObject(Kind::Value);
    o->valueType = kValueTypeRange;
    o->ranges = std::move(ranges);
    value = Owned::adopt(o);
    return kAXErrorSuccess;
}

AXError boundsForRange(const Object* element, const Object* range, Owned& value) {
    if (range == nullptr || range->kind != Kind::Value || range->valueType != kValueTypeRange) {
        return kAXErrorIllegalArgument;
    }
    if (!element->selection || element->selectedRanges != range->ranges) {
        element->selectedRanges = range->ranges;
        element->selection = resolveSelection(element->accessible.get(), range->ranges);
    }
    std::optional<Rect> rect = measureRuns(element->selection->runs);
    if (!rect) return kAXErrorNoValue;
    Object* o = newObject(Kind::Value);
    o->valueType = kAXValueTypeCGRect;
    o->rect = *rect;
    value = Owned::adopt(o);
    return kAXErrorSuccess;
}

// Events that stand for each notification the core registers.
std::vector<const char*> eventsFor(std::string_view notification) {
    if (notification == "AXFocusedUIElementChanged") return {"object:state-changed:focused"};
    // A browser clearing a selection may only move the caret.
    if (notification == "AXSelectedTextChanged") {
        return {"object:text-selection-changed", "object:text-caret-moved"};
    }
    return {};
}

gboolean runMainTask(gpointer data) {
    Task task = *static_cast<Task*>(data);
    delete static_cast<Task*>(data);
    task();
    return G_SOURCE_REMOVE;
}

// Whether the session's accessibility bus says accessibility is on. Asked over a private
// connection of libdbus, which libatspi already brings along, and closed again.
bool accessibilityEnabled() {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
    if (bus == nullptr) {
        dbus_error_free(&error);
        return false;
    }
    dbus_connection_set_exit_on_disconnect(bus, FALSE);
    bool enabled = false;
    DBusMessage* request = dbus_message_new_method_call(
        "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get");
    const char* interface = "org.a11y.Status";
    const char* property = "IsEnabled";
    if (request != nullptr &&
        dbus_message_append_args(request, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING,
                                 &property, DBUS_TYPE_INVALID)) {
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, request, 5000, &error);
        DBusMessageIter iter, variant;
        if (reply != nullptr && dbus_message_iter_init(reply, &iter) &&
            dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_VARIANT) {
            dbus_message_iter_recurse(&iter, &variant);
            if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_BOOLEAN) {
                dbus_bool_t value = FALSE;
                dbus_message_iter_get_basic(&variant, &value);
                enabled = value != FALSE;
            }
        }
        if (reply != nullptr) dbus_message_unref(reply);
    }
    if (request != nullptr) dbus_message_unref(request);
    dbus_error_free(&error);
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
    return enabled;
}

}  // namespace
}  // namespace sw::platform::atspi

// ---- The platform operations ---------------------------------------------------------------------

namespace sw::platform {

using namespace atspi;

void release(Ref object) noexcept {
    Object* o = mutableObject(object);
    if (o->references.fetch_sub(1) == 1) destroy(o);
}

bool isProcessTrusted() {
    if (!accessibilityEnabled()) return false;
    // The registry must answer too: it is what lists the applications.
    if (atspi_init() > 1) return false;
    Accessible desktop(atspi_get_desktop(0));
    if (!desktop) return false;
    GError* error = nullptr;
    atspi_accessible_get_child_count(desktop.get(), &error);
    const bool answered = error == nullptr;
    g_clear_error(&error);
    return answered;
}

Owned createApplicationElement(ProcessId pid) {
    Object* o = newObject(Kind::Element);
    o->pid = pid;
    o->applicationElement = true;
    return Owned::adopt(o);
}

AXError copyAttributeValue(Ref element, const char* attribute, Owned& value) {
    value.reset();
    if (element == nullptr || element->kind != Kind::Element || attribute == nullptr) {
        return kAXErrorIllegalArgument;
    }
    const std::string_view name = attribute;
    if (element->applicationElement) {
        if (name == "AXFocusedUIElement") return focusedElement(element, value);
        return kAXErrorAttributeUnsupported;
    }
    if (name == "AXSelectedText") return selectedText(element, value);
    if (name == "AXSelectedTextRange") return selectedRange(element, value);
    return kAXErrorAttributeUnsupported;
}

AXError copyParameterizedAttributeValue(Ref element, const char* attribute, Ref parameter,
                                        Owned& value) {
    value.reset();
    if (element == nullptr || element->kind != Kind::Element || element->applicationElement ||
        attribute == nullptr) {
        return kAXErrorIllegalArgument;
    }
    if (std::string_view(attribute) != "AXBoundsForRange") return kAXErrorAttributeUnsupported;
    return boundsForRange(element, parameter, value);
}

AXError setAttributeValue(Ref element, const char* attribute, bool) {
    if (element == nullptr || element->kind != Kind::Element || attribute == nullptr) {
        return kAXErrorIllegalArgument;
    }
    return kAXErrorAttributeUnsupported;
}

TypeID getTypeID(Ref object) { return object == nullptr ? 0 : static_cast<TypeID>(object->kind) + 1; }
TypeID elementTypeID() { return static_cast<TypeID>(Kind::Element) + 1; }
// No AT-SPI answer is a text-marker range: an identifier no object carries.
TypeID textMarkerRangeTypeID() { return static_cast<TypeID>(Kind::Value) + 2; }

bool isString(Ref value) { return value != nullptr && value->kind == Kind::String; }
std::string stringValue(Ref value) { return isString(value) ? value->text : std::string(); }

int valueGetType(Ref value) {
    return value != nullptr && value->kind == Kind::Value ? value->valueType : 0;
}

bool valueGetRect(Ref value, Rect& rect) {
    if (valueGetType(value) != kAXValueTypeCGRect) return false;
    rect = value->rect;
    return true;
}

AXError observerCreate(ProcessId pid, ObserverCallback callback, Owned& observer) {
    observer.reset();
    if (callback == nullptr) return kAXErrorIllegalArgument;
    startWorkspace();
    Object* o = newObject(Kind::Observer);
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
    // Safe from any thread, and wakes the main context.
    g_idle_add_full(G_PRIORITY_DEFAULT, runMainTask, new Task(task), nullptr);
}

void dispatchAsyncUtility(Task task) { std::thread(task).detach(); }

Owned frontmostApplication() {
    startWorkspace();
    Workspace& w = workspace();
    if (!w.frontmost) return {};
    Object* o = newObject(Kind::Application);
    o->pid = w.frontmostPid;
    o->bundle = w.frontmostBundle;
    return Owned::adopt(o);
}

std::optional<std::string> bundleIdentifier(Ref application) {
    if (application == nullptr || application->kind != Kind::Application) return std::nullopt;
    return application->bundle;
}

ProcessId processIdentifier(Ref application) {
    return application == nullptr ? 0 : application->pid;
}

void addActivationObserver(Task handler) {
    startWorkspace();
    workspace().handlers.push_back(handler);
}

}  // namespace sw::platform
