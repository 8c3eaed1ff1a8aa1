// Accessibility elements and values over UI Automation.
//
// The attributes the core asks for are answered from UI Automation: an application element is a
// process and its top-level window; its focused element is UI Automation's focused element when
// that lies in the process; the selected text, its range and its rectangle come from the Text
// pattern of the nearest element that has one (text.cpp). Roles are control types: a document is a
// web area, a window a window.
#include <cmath>
#include <string>
#include <string_view>

#include "platform/uia/internal.h"

namespace sw::platform::uia {
namespace {

// The value type code of the selected ranges, as on macOS.
constexpr int kValueTypeRange = 4;

struct Client {
    bool tried = false;
    ComRef<com::IUIAutomation> automation;
};

// Never destroyed: nothing of UI Automation is released while the process exits.
Client& client() {
    static auto* c = new Client;
    return *c;
}

// Screen pixels in every answer, whatever the monitor's scale: per-monitor awareness (v2, or the
// first version on Windows 8.1). Asked through GetProcAddress so that the executable still starts
// where neither exists.
void becomeDpiAware() {
    using ContextFunction = BOOL(WINAPI*)(HANDLE);
    if (HMODULE user32 = GetModuleHandleW(L"user32.dll")) {
        auto setContext = reinterpret_cast<ContextFunction>(
            reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
        if (setContext != nullptr && setContext(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)))) {
            return;  // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2
        }
    }
    using AwarenessFunction = HRESULT(WINAPI*)(int);
    if (HMODULE shcore = LoadLibraryW(L"shcore.dll")) {
        auto setAwareness = reinterpret_cast<AwarenessFunction>(
            reinterpret_cast<void*>(GetProcAddress(shcore, "SetProcessDpiAwareness")));
        if (setAwareness != nullptr) setAwareness(2);  // PROCESS_PER_MONITOR_DPI_AWARE
    }
}

Element windowElement(const Object* app) {
    Element window;
    com::IUIAutomation* a = automation();
    if (a == nullptr || app->window == nullptr) return window;
    a->ElementFromHandle(app->window, window.put());
    return window;
}

Owned valueObject(int type) {
    auto* o = new Object(Kind::Value);
    o->valueType = type;
    return Owned::adopt(o);
}

AXError applicationRole(const Object* app, Owned& value) {
    for (HWND page : pageWindowsOf(app->window)) {
        if (wakePageWindow(page) == kAXErrorCannotComplete) return kAXErrorCannotComplete;
    }
    value = stringObject("AXApplication");
    return kAXErrorSuccess;
}

AXError focusedElement(const Object* app, Owned& value) {
    com::IUIAutomation* a = automation();
    if (a == nullptr) return kAXErrorAPIDisabled;
    Element focused;
    HRESULT hr = a->GetFocusedElement(focused.put());
    if (FAILED(hr) || !focused) return FAILED(hr) ? errorFor(hr) : kAXErrorNoValue;
    int pid = 0;
    hr = focused->get_CurrentProcessId(&pid);
    if (FAILED(hr)) return errorFor(hr);
    // The focus lies in another application (the watched one is no longer in front).
    if (pid != app->pid) return kAXErrorNoValue;
    value = elementObject(std::move(focused));
    return kAXErrorSuccess;
}

AXError role(const Object* element, Owned& value) {
    int type = 0;
    const HRESULT hr = element->element->get_CurrentControlType(&type);
    if (FAILED(hr)) return errorFor(hr);
    switch (type) {
        case com::UIA_DocumentControlTypeId: value = stringObject("AXWebArea"); break;
        case com::UIA_WindowControlTypeId: value = stringObject("AXWindow"); break;
        case com::UIA_EditControlTypeId: value = stringObject("AXTextField"); break;
        default: value = stringObject("AXGroup"); break;
    }
    return kAXErrorSuccess;
}

AXError parent(const Object* element, Owned& value) {
    com::IUIAutomation* a = automation();
    ComRef<com::IUIAutomationTreeWalker> walker;
    if (a == nullptr || FAILED(a->get_ControlViewWalker(walker.put())) || !walker) return kAXErrorFailure;
    Element found;
    const HRESULT hr = walker->GetParentElement(element->element.get(), found.put());
    if (FAILED(hr)) return errorFor(hr);
    if (!found) return kAXErrorNoValue;
    value = elementObject(std::move(found));
    return kAXErrorSuccess;
}

AXError children(const Object* element, Owned& value) {
    com::IUIAutomation* a = automation();
    ComRef<com::IUIAutomationCondition> condition;
    if (a == nullptr || FAILED(a->get_ControlViewCondition(condition.put())) || !condition) {
        return kAXErrorFailure;
    }
    auto* o = new Object(Kind::Array);
    Owned held = Owned::adopt(o);
    const HRESULT hr =
        element->element->FindAll(com::TreeScope_Children, condition.get(), o->array.put());
    if (FAILED(hr)) return errorFor(hr);
    value = std::move(held);
    return kAXErrorSuccess;
}

// The frame, position or size of an element (`type`), all from its bounding rectangle: the walk to
// a page goes by size.
AXError bounds(const Object* element, int type, Owned& value) {
    RECT r{};
    const HRESULT hr = element->element->get_CurrentBoundingRectangle(&r);
    if (FAILED(hr)) return errorFor(hr);
    value = valueObject(type);
    mutableObject(value.get())->rect = {double(r.left), double(r.top), double(r.right - r.left),
                                        double(r.bottom - r.top)};
    return kAXErrorSuccess;
}

AXError selectedText(const Object* element, Owned& value) {
    std::vector<TextRange> ranges;
    std::string text;
    const AXError code = selectionOf(element->element.get(), ranges, text);
    if (code != kAXErrorSuccess) return code;
    element->ranges = std::move(ranges);
    value = stringObject(std::move(text));
    return kAXErrorSuccess;
}

AXError selectedRange(const Object* element, Owned& value) {
    std::vector<TextRange> ranges;
    if (element->ranges) {
        for (const TextRange& range : *element->ranges) ranges.push_back(TextRange::share(range.get()));
    } else {
        std::string text;
        const AXError code = selectionOf(element->element.get(), ranges, text);
        if (code != kAXErrorSuccess) return code;
    }
    if (ranges.empty()) return kAXErrorNoValue;
    value = valueObject(kValueTypeRange);
    mutableObject(value.get())->valueRanges = std::move(ranges);
    return kAXErrorSuccess;
}

}  // namespace

void replaceAutomation(com::IUIAutomation* automation) {
    Client& c = client();
    c.tried = true;
    c.automation = ComRef<com::IUIAutomation>::share(automation);
}

com::IUIAutomation* automation() {
    Client& c = client();
    if (c.tried) return c.automation.get();
    c.tried = true;
    // UI Automation is called from the main thread, which joins the multithreaded apartment and
    // owns no window, as Microsoft asks of clients; event handlers run on UI Automation's threads.
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(init) && init != RPC_E_CHANGED_MODE) return nullptr;
    // The Windows 8 class first, whose time-outs can be set; then the original one.
    ComRef<com::IUIAutomation2> second;
    if (SUCCEEDED(CoCreateInstance(com::CLSID_CUIAutomation8, nullptr, CLSCTX_INPROC_SERVER,
                                   com::IID_IUIAutomation2, reinterpret_cast<void**>(second.put()))) &&
        second) {
        second->put_ConnectionTimeout(kConnectionTimeoutMilliseconds);
        second->put_TransactionTimeout(kTransactionTimeoutMilliseconds);
        c.automation = ComRef<com::IUIAutomation>(second.get());
        second.get()->AddRef();
        return c.automation.get();
    }
    CoCreateInstance(com::CLSID_CUIAutomation, nullptr, CLSCTX_INPROC_SERVER, com::IID_IUIAutomation,
                     reinterpret_cast<void**>(c.automation.put()));
    return c.automation.get();
}

AXError errorFor(HRESULT result) {
    constexpr HRESULT kTimeout = static_cast<HRESULT>(0x800705B4);  // ERROR_TIMEOUT
    constexpr HRESULT kServerUnavailable = static_cast<HRESULT>(0x800706BA);  // RPC_S_SERVER_UNAVAILABLE
    if (SUCCEEDED(result)) return kAXErrorSuccess;
    switch (result) {
        case com::UIA_E_TIMEOUT:
        case RPC_E_CALL_REJECTED:
        case RPC_E_SERVERCALL_RETRYLATER:
        case kTimeout:
            return kAXErrorCannotComplete;  // busy or hung: asked again at the next event
        case com::UIA_E_ELEMENTNOTAVAILABLE:
        case RPC_E_DISCONNECTED:
        case CO_E_OBJNOTCONNECTED:
        case kServerUnavailable:
            return kAXErrorInvalidUIElement;  // gone
        case E_NOTIMPL:
        case E_NOINTERFACE:
        case com::UIA_E_NOTSUPPORTED:
            return kAXErrorAttributeUnsupported;
        case E_INVALIDARG:
            return kAXErrorIllegalArgument;
        case E_ACCESSDENIED:
            // An elevated application, out of reach of this process: nothing to read there. Not
            // "API disabled", which would end the watcher as if its own access were gone.
            return kAXErrorFailure;
        default:
            return kAXErrorFailure;
    }
}

Owned stringObject(std::string text) {
    auto* o = new Object(Kind::String);
    o->text = std::move(text);
    return Owned::adopt(o);
}

Owned elementObject(Element element) {
    auto* o = new Object(Kind::Element);
    o->element = std::move(element);
    return Owned::adopt(o);
}

}  // namespace sw::platform::uia

namespace sw::platform {

using namespace uia;

bool isProcessTrusted() {
    becomeDpiAware();
    if (automation() != nullptr) return true;
    writeData(fileHandleWithStandardError(),
              "UI Automation cannot be created: run it in the signed-in user's desktop session\n");
    return false;
}

Owned createApplicationElement(ProcessId pid) {
    auto* o = new Object(Kind::ApplicationElement);
    o->pid = pid;
    o->window = windowOf(pid);
    return Owned::adopt(o);
}

// Events of every element come through the one client-side handler: nothing to follow elsewhere.
ProcessId elementGetPid(Ref) { return 0; }

AXError copyAttributeValue(Ref element, const char* attribute, Owned& value) {
    value.reset();
    if (element == nullptr || attribute == nullptr ||
        (element->kind != Kind::Element && element->kind != Kind::ApplicationElement)) {
        return kAXErrorIllegalArgument;
    }
    if (automation() == nullptr) return kAXErrorAPIDisabled;
    const std::string_view name = attribute;
    if (element->kind == Kind::ApplicationElement) {
        if (name == "AXRole") return applicationRole(element, value);
        if (name == "AXFocusedUIElement") return focusedElement(element, value);
        if (name == "AXFocusedWindow") {
            Element window = windowElement(element);
            if (!window) return kAXErrorNoValue;
            value = elementObject(std::move(window));
            return kAXErrorSuccess;
        }
        return kAXErrorAttributeUnsupported;
    }
    if (!element->element) return kAXErrorInvalidUIElement;
    if (name == "AXSelectedText") return selectedText(element, value);
    if (name == "AXSelectedTextRange") return selectedRange(element, value);
    if (name == "AXRole") return role(element, value);
    if (name == "AXParent") return parent(element, value);
    if (name == "AXChildren") return children(element, value);
    if (name == "AXFrame") return bounds(element, kAXValueTypeCGRect, value);
    if (name == "AXPosition") return bounds(element, kAXValueTypeCGPoint, value);
    if (name == "AXSize") return bounds(element, kAXValueTypeCGSize, value);
    return kAXErrorAttributeUnsupported;
}

AXError copyParameterizedAttributeValue(Ref element, const char* attribute, Ref parameter,
                                        Owned& value) {
    value.reset();
    if (element == nullptr || element->kind != Kind::Element || attribute == nullptr) {
        return kAXErrorIllegalArgument;
    }
    if (std::string_view(attribute) != "AXBoundsForRange") return kAXErrorAttributeUnsupported;
    if (parameter == nullptr || parameter->kind != Kind::Value || parameter->valueType != 4) {
        return kAXErrorIllegalArgument;
    }
    AXError code = kAXErrorSuccess;
    const std::optional<Rect> rect = boundsOf(parameter->valueRanges, code);
    if (code != kAXErrorSuccess) return code;
    if (!rect) return kAXErrorNoValue;
    value = valueObject(kAXValueTypeCGRect);
    mutableObject(value.get())->rect = *rect;
    return kAXErrorSuccess;
}

void release(Ref object) noexcept {
    Object* o = mutableObject(object);
    if (o->references.fetch_sub(1) != 1) return;
    if (o->kind == Kind::Observer) destroyObserver(o);
    delete o;
}

TypeID getTypeID(Ref object) {
    if (object == nullptr) return 0;
    // An application element is an element like any other, as on macOS.
    if (object->kind == Kind::ApplicationElement) return elementTypeID();
    return static_cast<TypeID>(object->kind) + 1;
}
TypeID elementTypeID() { return static_cast<TypeID>(Kind::Element) + 1; }
// UI Automation answers no text markers: identifiers that no object carries.
TypeID textMarkerRangeTypeID() { return static_cast<TypeID>(Kind::Array) + 2; }
TypeID textMarkerTypeID() { return static_cast<TypeID>(Kind::Array) + 3; }

AXError setMessagingTimeout(float seconds) {
    if (!(seconds >= 0)) return kAXErrorIllegalArgument;
    ComRef<com::IUIAutomation2> second;
    com::IUIAutomation* a = automation();
    if (a == nullptr) return kAXErrorAPIDisabled;
    // Only the Windows 8 class has time-outs; the original one keeps the system's.
    if (FAILED(a->QueryInterface(com::IID_IUIAutomation2, reinterpret_cast<void**>(second.put()))) ||
        !second) {
        return kAXErrorFailure;
    }
    const DWORD connection = seconds == 0 ? kConnectionTimeoutMilliseconds
                                          : static_cast<DWORD>(std::ceil(seconds * 1000.0f));
    const DWORD transaction = seconds == 0 ? kTransactionTimeoutMilliseconds : connection;
    if (FAILED(second->put_ConnectionTimeout(connection)) ||
        FAILED(second->put_TransactionTimeout(transaction))) {
        return kAXErrorFailure;
    }
    return kAXErrorSuccess;
}

// UI Automation has no text markers.
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

bool valueGetPoint(Ref value, Point& point) {
    if (valueGetType(value) != kAXValueTypeCGPoint) return false;
    point = {value->rect.x, value->rect.y};
    return true;
}

bool valueGetSize(Ref value, Size& size) {
    if (valueGetType(value) != kAXValueTypeCGSize) return false;
    size = {value->rect.width, value->rect.height};
    return true;
}

std::size_t arrayCount(Ref value) {
    if (value == nullptr || value->kind != Kind::Array || !value->array) return 0;
    int length = 0;
    if (FAILED(value->array->get_Length(&length)) || length < 0) return 0;
    return static_cast<std::size_t>(length);
}

Owned arrayItem(Ref array, std::size_t index) {
    if (index >= arrayCount(array)) return {};
    Element item;
    if (FAILED(array->array->GetElement(static_cast<int>(index), item.put())) || !item) return {};
    return elementObject(std::move(item));
}

}  // namespace sw::platform
