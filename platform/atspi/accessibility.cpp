// Accessibility elements and values over AT-SPI2.
//
// The attributes the core asks for are answered from AT-SPI: the focused element is found in the
// application's active window, the selected text and its rectangle come from the text objects
// that hold the selection. One snapshot asks a bounded number of questions however large the
// selection is: a few characters decide whether anything is selected, and the rectangle is
// measured exactly near both ends and coarsely in between (text.cpp).
#include <dbus/dbus.h>

#include <set>
#include <string>

#include "platform/atspi/internal.h"

namespace sw::platform::atspi {

Owned stringObject(std::string text) {
    auto* o = new Object(Kind::String);
    o->text = std::move(text);
    return Owned::adopt(o);
}

Owned elementObject(Accessible accessible) {
    auto* o = new Object(Kind::Element);
    o->pid = accessible ? processOf(accessible.get()) : 0;
    o->accessible = std::move(accessible);
    return Owned::adopt(o);
}

namespace {

// Applications asked once for their geometry, and once for their attributes, by bus name.
std::set<std::string>& askedForGeometry() {
    static auto* asked = new std::set<std::string>;
    return *asked;
}
std::set<std::string>& askedForAttributes() {
    static auto* asked = new std::set<std::string>;
    return *asked;
}

// Browsers work out where their text lies on the screen only from the first time a client asks,
// and then for the whole page at once, which takes a large page a second or more. Asking once per
// application, as soon as something in it has the focus, has that done before the user selects.
void askForGeometryOnce(AtspiAccessible* focused) {
    const std::string bus = busNameOf(focused);
    if (bus.empty() || !askedForGeometry().insert(bus).second) return;
    ErrorSink error;
    if (GRef<AtspiComponent> component{atspi_accessible_get_component_iface(focused)}) {
        g_free(atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, error.out()));
    }
    if (GRef<AtspiText> text{atspi_accessible_get_text_iface(focused)}) {
        g_free(atspi_text_get_character_extents(text.get(), 0, ATSPI_COORD_TYPE_SCREEN, error.out()));
    }
}

// Whether `accessible` lies in `window`, going up its parents (Chromium's engine answers each
// parent with a round trip). An object stays where it is in the tree, so the last one found inside
// is not walked again.
bool inWindow(AtspiAccessible* accessible, AtspiAccessible* window) {
    static auto* inside = new std::pair<Accessible, Accessible>;
    if (inside->first.get() == accessible && inside->second.get() == window) return true;
    ErrorSink error;
    Accessible parent(atspi_accessible_get_parent(accessible, error.out()));
    for (int depth = 0; parent && depth < 64 && !stalled(); ++depth) {
        if (parent.get() == window) {
            *inside = {Accessible::share(accessible), Accessible::share(window)};
            return true;
        }
        parent.reset(atspi_accessible_get_parent(parent.get(), error.out()));
    }
    return false;
}

// An application that stopped answering in the middle of a question has answered nothing: what
// was read so far may be a half, and "cannot complete" is what a busy application answers.
AXError unlessStalled(AXError code, Owned& value) {
    if (!stalled()) return code;
    value.reset();
    return kAXErrorCannotComplete;
}

AXError focusedElement(const Object* app, Owned& value) {
    if (!app->accessible) app->accessible = applicationForPid(app->pid);
    if (!app->accessible) return kAXErrorInvalidUIElement;
    Accessible window = activeWindowOf(app->pid, app->accessible.get());
    if (stalled()) return kAXErrorCannotComplete;
    if (!window) return kAXErrorNoValue;
    // What last announced the focus, while it still has it and lies in that window: searching
    // the window has the browser walk its whole tree, which for a page of megabytes takes seconds.
    // Asked once after each announcement: a loss of the focus, another gain or an activation is
    // heard, so a focus the browser confirmed stays where it is until then.
    Accessible focused = lastFocused(app->pid);
    if (focused && !focusConfirmed()) {
        const bool hasFocus = hasState(focused.get(), ATSPI_STATE_FOCUSED);
        // What the browser announced before it answered is in what this snapshot reads: with the
        // focus where it was, the events waiting for delivery would only bring the same look again.
        if (hasFocus && lastFocused(app->pid).get() == focused.get()) dropWaitingEvents();
        if (!(hasFocus && inWindow(focused.get(), window.get()))) {
            focused.reset();
        } else if (!stalled()) {
            confirmFocus();
        }
    }
    if (stalled()) return kAXErrorCannotComplete;
    if (!focused) {
        // Searched once: from then on it is what last had the focus, until another announces it.
        focused = focusedDescendant(window.get());
        if (!focused) return kAXErrorNoValue;
        noteFocused(focused.get());
    }
    askForGeometryOnce(focused.get());
    value = elementObject(std::move(focused));
    return kAXErrorSuccess;
}

AXError selectedText(const Object* element, Owned& value) {
    AtspiAccessible* accessible = element->accessible.get();
    if (!GRef<AtspiText>(atspi_accessible_get_text_iface(accessible))) return kAXErrorAttributeUnsupported;
    std::string prefix;
    element->selectedRanges = selectionOf(accessible, &prefix);
    // A browser too busy to answer may have a selection: it is asked again too.
    noteSelectionRead(accessible, stalled() || !prefix.empty());
    value = stringObject(std::move(prefix));
    return kAXErrorSuccess;
}

AXError selectedRange(const Object* element, Owned& value) {
    Ranges ranges = element->selectedRanges ? *element->selectedRanges
                                            : selectionOf(element->accessible.get(), nullptr);
    if (ranges.empty()) return kAXErrorNoValue;
    auto* o = new Object(Kind::Value);
    o->valueType = kValueTypeRange;
    o->ranges = std::move(ranges);
    value = Owned::adopt(o);
    return kAXErrorSuccess;
}

AXError boundsForRange(const Object* element, const Object* range, Owned& value) {
    if (range == nullptr || range->kind != Kind::Value || range->valueType != kValueTypeRange) {
        return kAXErrorIllegalArgument;
    }
    AtspiAccessible* focused = element->accessible.get();
    // A rectangle relative to a window is no place on the screen: none rather than a wrong one, and
    // none in this session at all, so that it is not asked for again.
    if (!extentsOnScreen(focused)) return kAXErrorParameterizedAttributeUnsupported;
    std::optional<Rect> rect = measureExtents(focused, planExtents(focused, range->ranges));
    if (!rect) return kAXErrorNoValue;
    auto* o = new Object(Kind::Value);
    o->valueType = kAXValueTypeCGRect;
    o->rect = *rect;
    value = Owned::adopt(o);
    return kAXErrorSuccess;
}

// Chromium's engine builds the accessibility tree of its pages only once some client asks an
// object for its attributes, which it takes as the sign of a screen reader. One read-only question
// per application is enough, and is the only thing that changes its behaviour.
AXError turnOnPageAccessibility(const Object* app) {
    if (!app->accessible) app->accessible = applicationForPid(app->pid);
    if (!app->accessible) return kAXErrorCannotComplete;
    const std::string bus = busNameOf(app->accessible.get());
    if (bus.empty() || !askedForAttributes().insert(bus).second) return kAXErrorSuccess;
    ErrorSink error;
    GHashTable* attributes = atspi_accessible_get_attributes(app->accessible.get(), error.out());
    if (attributes != nullptr) g_hash_table_unref(attributes);
    return error.failed() ? kAXErrorCannotComplete : kAXErrorSuccess;
}

// The role of an application, which the watcher reads once per attach: what turns the page tree of
// Chromium's engine on, here as on macOS.
AXError applicationRole(const Object* app, Owned& value) {
    const AXError code = turnOnPageAccessibility(app);
    if (code != kAXErrorSuccess) return code;
    auto* o = new Object(Kind::String);
    o->text = "AXApplication";
    value = Owned::adopt(o);
    return kAXErrorSuccess;
}

// Why the watcher cannot start, on standard error: the line on standard output is the same for
// every cause, and each asks for a different fix.
void sayWhyNot(const std::string& cause) {
    writeData(fileHandleWithStandardError(), "no access to the accessibility bus: " + cause + "\n");
}

// Whether the session's accessibility bus says accessibility is on. Asked over a private
// connection of libdbus, which libatspi already brings along, and closed again.
bool accessibilityEnabled() {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
    if (bus == nullptr) {
        sayWhyNot(std::string("no session bus (") + (error.message ? error.message : "") + ")");
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
        if (reply == nullptr) {
            sayWhyNot(std::string("org.a11y.Bus does not answer on the session bus (") +
                      (error.message ? error.message : "") + "): is at-spi2-core installed?");
        } else if (!enabled) {
            sayWhyNot("accessibility is off for this session (org.a11y.Status IsEnabled): turn it "
                      "on, then restart the browsers");
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

void forgetQuestions(const std::string& bus) {
    askedForGeometry().erase(bus);
    askedForAttributes().erase(bus);
}

}  // namespace sw::platform::atspi

namespace sw::platform {

using namespace atspi;

void release(Ref object) noexcept {
    Object* o = mutableObject(object);
    if (o->references.fetch_sub(1) != 1) return;
    if (o->kind == Kind::Observer) destroyObserver(o);
    delete o;
}

bool isProcessTrusted() {
    if (!accessibilityEnabled()) return false;
    // The registry must answer too: it is what lists the applications.
    if (startAtspi() > 1) {
        sayWhyNot("libatspi cannot connect to it");
        return false;
    }
    Accessible desktop(atspi_get_desktop(0));
    GError* error = nullptr;
    if (desktop) atspi_accessible_get_child_count(desktop.get(), &error);
    const bool answered = desktop && error == nullptr;
    if (!answered) {
        sayWhyNot(std::string("the registry (at-spi2-registryd) does not answer (") +
                  (error != nullptr ? error->message : "no desktop") + ")");
    }
    g_clear_error(&error);
    return answered;
}

// libatspi's wait is bounded where it starts (startAtspi, internal.h), by a figure measured against
// real browsers on Linux, where a call that runs out holds on for twice its time-out and only one
// such call is made per snapshot. A shorter bound asked for by the core would turn answers those
// browsers give under load into "cannot complete", so that one stands.
AXError setMessagingTimeout(float) { return kAXErrorSuccess; }

Owned createApplicationElement(ProcessId pid) {
    auto* o = new Object(Kind::Element);
    o->pid = pid;
    o->applicationElement = true;
    return Owned::adopt(o);
}

// A browser's pages answer through the browser's own bus connection: nothing to follow elsewhere.
ProcessId elementGetPid(Ref) { return 0; }

AXError copyAttributeValue(Ref element, const char* attribute, Owned& value) {
    value.reset();
    if (element == nullptr || element->kind != Kind::Element || attribute == nullptr) {
        return kAXErrorIllegalArgument;
    }
    const std::string_view name = attribute;
    if (element->applicationElement) {
        if (name == "AXRole") return applicationRole(element, value);
        if (name != "AXFocusedUIElement") return kAXErrorAttributeUnsupported;
        beginSnapshot();  // every snapshot starts here
        noteLookStarted();
        return unlessStalled(focusedElement(element, value), value);
    }
    if (!element->accessible) return kAXErrorInvalidUIElement;
    if (stalled()) return kAXErrorCannotComplete;
    if (name == "AXSelectedText") return unlessStalled(selectedText(element, value), value);
    if (name == "AXSelectedTextRange") return unlessStalled(selectedRange(element, value), value);
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
    if (!element->accessible) return kAXErrorInvalidUIElement;
    if (stalled()) return kAXErrorCannotComplete;
    return unlessStalled(boundsForRange(element, parameter, value), value);
}

TypeID getTypeID(Ref object) { return object == nullptr ? 0 : static_cast<TypeID>(object->kind) + 1; }
TypeID elementTypeID() { return static_cast<TypeID>(Kind::Element) + 1; }
// No AT-SPI answer is a text-marker range: an identifier no object carries.
TypeID textMarkerRangeTypeID() { return static_cast<TypeID>(Kind::Value) + 2; }
TypeID textMarkerTypeID() { return static_cast<TypeID>(Kind::Value) + 3; }
// AT-SPI has no text markers.
Owned textMarkerRangeCopyStartMarker(Ref) { return {}; }
Owned textMarkerRangeCopyEndMarker(Ref) { return {}; }

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

// AT-SPI answers no point, size or array values: nothing reads as one.
bool valueGetPoint(Ref, Point&) { return false; }
bool valueGetSize(Ref, Size&) { return false; }
std::size_t arrayCount(Ref) { return 0; }
Owned arrayItem(Ref, std::size_t) { return {}; }

}  // namespace sw::platform
