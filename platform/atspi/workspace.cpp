// The workspace over AT-SPI2: which application is in front, and what it is.
//
// The frontmost application is followed through window activation events. An application that
// leaves the accessibility bus (it quit or crashed) is seen by its bus name losing its owner; if it
// was in front, no application is in front any more.
#include <dbus/dbus.h>

#include <map>
#include <string>
#include <vector>

#include "platform/atspi/identity.h"
#include "platform/atspi/internal.h"

namespace sw::platform::atspi {
namespace {

struct Workspace {
    bool started = false;
    Accessible frontmost;     // the application whose window is active
    Accessible activeWindow;  // that window, as the activation reported it
    ProcessId frontmostPid = 0;
    std::string frontmostBus;
    std::optional<std::string> frontmostBundle;
    std::vector<Task> handlers;
    AtspiEventListener* listener = nullptr;
    // The latest change seen by an event callback, applied by the next handler run: callbacks make
    // no AT-SPI calls of their own, which would dispatch further events inside them.
    Accessible focused;  // the last accessible that announced gaining the focus
    bool focusConfirmed = false;
    struct Change {
        bool pending = false;
        Accessible application, window;
    } change;
};

// Never destroyed: process-wide owned values may be released while the process exits.
Workspace& workspace() {
    static Workspace* w = new Workspace;
    return *w;
}

std::map<std::string, std::optional<std::string>>& knownIdentities() {
    static auto* known = new std::map<std::string, std::optional<std::string>>;  // by bus name
    return *known;
}

std::optional<std::string> identify(AtspiAccessible* application, ProcessId pid) {
    // An application's name and executable do not change while it runs, and its bus name is
    // never reused: ask once per application, not on every activation.
    auto& known = knownIdentities();
    const std::string busName = busNameOf(application);
    if (!busName.empty()) {
        if (auto found = known.find(busName); found != known.end()) return found->second;
    }
    gchar* name = atspi_accessible_get_name(application, nullptr);
    std::optional<std::string> bundle = bundleForIdentity(name ? name : "", executableBaseName(pid));
    g_free(name);
    if (!busName.empty()) known.emplace(busName, bundle);
    return bundle;
}

void setFrontmost(Accessible application, Accessible window = {}) {
    Workspace& w = workspace();
    w.focusConfirmed = false;
    w.frontmost = std::move(application);
    w.activeWindow = std::move(window);
    w.frontmostPid = w.frontmost ? processOf(w.frontmost.get()) : 0;
    w.frontmostBus = w.frontmost ? busNameOf(w.frontmost.get()) : std::string();
    w.frontmostBundle = w.frontmost ? identify(w.frontmost.get(), w.frontmostPid) : std::nullopt;
}

gboolean runActivationHandlers(gpointer) {
    Workspace& w = workspace();
    if (w.change.pending) {
        Workspace::Change change = std::exchange(w.change, {});
        if (change.window && !change.application) {
            // The application's root is not known locally yet: it is up the window's parents.
            change.application.reset(atspi_accessible_get_application(change.window.get(), nullptr));
        }
        setFrontmost(std::move(change.application), std::move(change.window));
    }
    // Copied first: a handler may not add handlers, but delivery need not depend on that.
    const std::vector<Task> handlers = w.handlers;
    for (Task handler : handlers) handler();
    return G_SOURCE_REMOVE;
}

// Served from the main loop like every other handler, never from inside a bus dispatch (which
// may happen in the middle of an AT-SPI call). At default priority: an idle source would wait
// behind every other event the bus delivers.
void scheduleActivationHandlers() {
    g_idle_add_full(G_PRIORITY_DEFAULT, runActivationHandlers, nullptr, nullptr);
}

// The application in front once the pending change is applied.
AtspiAccessible* upcomingFrontmost() {
    const Workspace& w = workspace();
    return w.change.pending ? w.change.application.get() : w.frontmost.get();
}

void onWindowEvent(AtspiEvent* event, void*) {
    Workspace& w = workspace();
    if (event->source != nullptr) {
        AtspiApplication* app = ATSPI_OBJECT(event->source)->app;
        AtspiAccessible* front = upcomingFrontmost();
        if (g_str_equal(event->type, "window:activate")) {
            // The application's root is known locally once it has been seen.
            w.change = {true, Accessible::share(app != nullptr ? app->root : nullptr),
                        Accessible::share(event->source)};
        } else if (app != nullptr && front != nullptr && app == ATSPI_OBJECT(front)->app) {
            // Switching to an application that is not accessible only shows as this deactivation.
            w.change = {true, {}, {}};
        }
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
    scheduleActivationHandlers();
}

DBusHandlerResult onBusSignal(DBusConnection*, DBusMessage* message, void*) {
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (dbus_message_is_signal(message, "org.freedesktop.DBus", "NameOwnerChanged") &&
        dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING,
                              &oldOwner, DBUS_TYPE_STRING, &newOwner, DBUS_TYPE_INVALID) &&
        *newOwner == '\0') {
        Workspace& w = workspace();
        // What was learnt about the application goes with it. libatspi has the bus send every
        // name's departure to this connection, for its own caches.
        knownIdentities().erase(name);
        forgetBusName(name);
        AtspiAccessible* front = upcomingFrontmost();
        if (front != nullptr && busNameOf(front) == name) {
            w.change = {true, {}, {}};
            scheduleActivationHandlers();
        }
    }
    // Others on this connection (libatspi's own caches) see it too.
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

Accessible findActiveWindow(AtspiAccessible* application) {
    ErrorSink error;
    const int windows = atspi_accessible_get_child_count(application, error.out());
    for (int k = 0; k < windows && !error.failed(); ++k) {
        Accessible window(atspi_accessible_get_child_at_index(application, k, error.out()));
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
        if (Accessible window = findActiveWindow(app.get())) {
            setFrontmost(std::move(app), std::move(window));
            return;
        }
    }
}

}  // namespace

void startWorkspace() {
    Workspace& w = workspace();
    if (w.started) return;
    w.started = true;
    startAtspi();
    if (DBusConnection* connection = atspi_get_a11y_bus()) {
        dbus_connection_add_filter(connection, onBusSignal, nullptr, nullptr);
    }
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

Accessible activeWindowOf(ProcessId pid, AtspiAccessible* application) {
    // The window the last activation named. Activations and deactivations are followed, so with
    // none waiting to be applied it is still the front one; otherwise it is asked.
    const Workspace& w = workspace();
    if (w.activeWindow && w.frontmostPid == pid &&
        (!w.change.pending || hasState(w.activeWindow.get(), ATSPI_STATE_ACTIVE))) {
        return Accessible::share(w.activeWindow.get());
    }
    if (stalled()) return {};  // no further questions for a snapshot the browser is too busy for
    return findActiveWindow(application);
}

void noteFocused(AtspiAccessible* accessible) {
    workspace().focused = Accessible::share(accessible);
    workspace().focusConfirmed = false;
}

void noteFocusLost(AtspiAccessible* accessible) {
    if (accessible == workspace().focused.get()) workspace().focusConfirmed = false;
}

bool focusConfirmed() { return workspace().focusConfirmed; }
void confirmFocus() { workspace().focusConfirmed = true; }

Accessible lastFocused(ProcessId pid) {
    const Workspace& w = workspace();
    return w.focused && processOf(w.focused.get()) == pid ? Accessible::share(w.focused.get())
                                                           : Accessible();
}

ProcessId frontmostProcess() { return workspace().frontmostPid; }
AtspiAccessible* frontmostAccessible() { return workspace().frontmost.get(); }

}  // namespace sw::platform::atspi

namespace sw::platform {

using namespace atspi;

Owned frontmostApplication() {
    startWorkspace();
    Workspace& w = workspace();
    if (!w.frontmost) return {};
    auto* o = new Object(Kind::Application);
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
