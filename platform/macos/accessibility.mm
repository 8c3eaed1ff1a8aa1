// Accessibility and CoreFoundation values: elements, attributes, strings, accessibility values and
// observers, each a direct call of ApplicationServices or CoreFoundation.
#include <ApplicationServices/ApplicationServices.h>

#include <string>

#include "platform/macos/bridge.h"

namespace sw::platform {
namespace {

using macos::cf;
using macos::ref;

AXUIElementRef element(Ref object) { return static_cast<AXUIElementRef>(cf(object)); }
AXObserverRef observerRef(Ref object) {
    return reinterpret_cast<AXObserverRef>(const_cast<void*>(cf(object)));
}

// A CFString made from one of the program's attribute or notification names for the length of one
// call. Creating it each time keeps ownership obvious; next to the accessibility call it precedes,
// which is a message to another process, it costs nothing.
class Name {
public:
    explicit Name(const char* name)
        : string_(name == nullptr ? nullptr
                                  : CFStringCreateWithCString(kCFAllocatorDefault, name,
                                                              kCFStringEncodingUTF8)) {}
    ~Name() {
        if (string_ != nullptr) CFRelease(string_);
    }
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    CFStringRef get() const { return string_; }

private:
    CFStringRef string_;
};

// The one observer callback the core registers; AXObserverCreate takes no context, and every
// observer of this process reports to the same function.
ObserverCallback observerCallback = nullptr;

void observerTrampoline(AXObserverRef observer, AXUIElementRef changed, CFStringRef notification,
                        void* context) {
    if (observerCallback == nullptr) return;
    macos::runGuarded(
        [&] { observerCallback(ref(observer), ref(changed), ref(notification), context); });
}

std::string utf8(CFStringRef string) {
    const CFIndex length = CFStringGetLength(string);
    if (length == 0) return {};
    const CFRange all = CFRangeMake(0, length);
    // A loss byte instead of 0: text from another process may hold lone UTF-16 surrogates, which
    // UTF-8 cannot carry. With 0 the conversion would stop there, and a selection made of such
    // characters would read as empty. First pass sizes the result, second fills it.
    constexpr UInt8 lossByte = '?';
    CFIndex needed = 0;
    CFStringGetBytes(string, all, kCFStringEncodingUTF8, lossByte, false, nullptr, 0, &needed);
    std::string text(static_cast<std::size_t>(needed), '\0');
    CFIndex used = 0;
    CFStringGetBytes(string, all, kCFStringEncodingUTF8, lossByte, false,
                     reinterpret_cast<UInt8*>(text.data()), needed, &used);
    text.resize(static_cast<std::size_t>(used));
    return text;
}

}  // namespace

std::string macos::stringFromCF(CFStringRef string) {
    return string == nullptr ? std::string() : utf8(string);
}

void release(Ref object) noexcept {
    if (object != nullptr) CFRelease(cf(object));
}

bool isProcessTrusted() {
    if (AXIsProcessTrusted()) return true;
    // The line on standard output says the same; this says where the grant is given.
    writeData(fileHandleWithStandardError(),
              "no accessibility permission for the application that started this process: grant it "
              "in System Settings > Privacy & Security > Accessibility\n");
    return false;
}

AXError setMessagingTimeout(float seconds) {
    // Set on the system-wide element, the time-out holds for every element of this process; set
    // on one element it would hold for that reference alone, not for the elements read from it.
    AXUIElementRef systemWide = AXUIElementCreateSystemWide();
    if (systemWide == nullptr) return ::kAXErrorFailure;
    const ::AXError code = AXUIElementSetMessagingTimeout(systemWide, seconds);
    CFRelease(systemWide);
    return code;
}

Owned createApplicationElement(ProcessId pid) {
    return Owned::adopt(ref(AXUIElementCreateApplication(pid)));
}

ProcessId elementGetPid(Ref object) {
    pid_t pid = 0;
    if (object == nullptr || CFGetTypeID(cf(object)) != AXUIElementGetTypeID() ||
        AXUIElementGetPid(element(object), &pid) != kAXErrorSuccess) {
        return 0;
    }
    return pid;
}

AXError copyAttributeValue(Ref object, const char* attribute, Owned& value) {
    value.reset();
    const Name name(attribute);
    if (object == nullptr || name.get() == nullptr) return ::kAXErrorIllegalArgument;
    CFTypeRef answer = nullptr;
    const ::AXError code = AXUIElementCopyAttributeValue(element(object), name.get(), &answer);
    value.reset(ref(answer));  // owned whatever the code says
    return code;
}

AXError copyParameterizedAttributeValue(Ref object, const char* attribute, Ref parameter,
                                        Owned& value) {
    value.reset();
    const Name name(attribute);
    if (object == nullptr || parameter == nullptr || name.get() == nullptr) {
        return ::kAXErrorIllegalArgument;
    }
    CFTypeRef answer = nullptr;
    const ::AXError code = AXUIElementCopyParameterizedAttributeValue(element(object), name.get(),
                                                                      cf(parameter), &answer);
    value.reset(ref(answer));
    return code;
}

TypeID getTypeID(Ref object) { return object == nullptr ? 0 : CFGetTypeID(cf(object)); }
TypeID elementTypeID() { return AXUIElementGetTypeID(); }
TypeID textMarkerRangeTypeID() { return AXTextMarkerRangeGetTypeID(); }
TypeID textMarkerTypeID() { return AXTextMarkerGetTypeID(); }

namespace {
// The range's own copy of one end; the functions are local, and defined for marker ranges only.
Owned copyEnd(Ref range, AXTextMarkerRef (*copy)(AXTextMarkerRangeRef)) {
    if (range == nullptr || CFGetTypeID(cf(range)) != AXTextMarkerRangeGetTypeID()) return {};
    return Owned::adopt(ref(copy(static_cast<AXTextMarkerRangeRef>(cf(range)))));
}
}  // namespace

Owned textMarkerRangeCopyStartMarker(Ref range) { return copyEnd(range, AXTextMarkerRangeCopyStartMarker); }
Owned textMarkerRangeCopyEndMarker(Ref range) { return copyEnd(range, AXTextMarkerRangeCopyEndMarker); }

bool isString(Ref value) { return value != nullptr && CFGetTypeID(cf(value)) == CFStringGetTypeID(); }

std::string stringValue(Ref value) {
    return isString(value) ? utf8(static_cast<CFStringRef>(cf(value))) : std::string();
}

int valueGetType(Ref value) {
    // AXValueGetType on anything but an AXValue is undefined; such a value has no type here.
    if (value == nullptr || CFGetTypeID(cf(value)) != AXValueGetTypeID()) return 0;
    return static_cast<int>(AXValueGetType(static_cast<AXValueRef>(cf(value))));
}

namespace {
// The structure an accessibility value of `type` holds, when it holds one of that type.
template <typename T>
bool extractValue(Ref value, ::AXValueType type, T& out) {
    return valueGetType(value) == static_cast<int>(type) &&
           AXValueGetValue(static_cast<AXValueRef>(cf(value)), type, &out);
}
}  // namespace

bool valueGetRect(Ref value, Rect& rect) {
    CGRect extracted;
    if (!extractValue(value, ::kAXValueTypeCGRect, extracted)) return false;
    rect = {extracted.origin.x, extracted.origin.y, extracted.size.width, extracted.size.height};
    return true;
}

bool valueGetPoint(Ref value, Point& point) {
    CGPoint extracted;
    if (!extractValue(value, ::kAXValueTypeCGPoint, extracted)) return false;
    point = {extracted.x, extracted.y};
    return true;
}

bool valueGetSize(Ref value, Size& size) {
    CGSize extracted;
    if (!extractValue(value, ::kAXValueTypeCGSize, extracted)) return false;
    size = {extracted.width, extracted.height};
    return true;
}

std::size_t arrayCount(Ref value) {
    if (value == nullptr || CFGetTypeID(cf(value)) != CFArrayGetTypeID()) return 0;
    return static_cast<std::size_t>(CFArrayGetCount(static_cast<CFArrayRef>(cf(value))));
}

Owned arrayItem(Ref array, std::size_t index) {
    if (index >= arrayCount(array)) return {};
    // The array keeps its items; the caller gets a reference of its own.
    const void* item =
        CFArrayGetValueAtIndex(static_cast<CFArrayRef>(cf(array)), static_cast<CFIndex>(index));
    return item == nullptr ? Owned() : Owned::adopt(ref(CFRetain(item)));
}

AXError observerCreate(ProcessId pid, ObserverCallback callback, Owned& observer) {
    observer.reset();
    observerCallback = callback;
    AXObserverRef created = nullptr;
    const ::AXError code = AXObserverCreate(pid, observerTrampoline, &created);
    observer.reset(ref(created));  // may come back with a failure code too; still ours to release
    return code;
}

AXError observerAddNotification(Ref observer, Ref object, const char* notification, void* context) {
    const Name name(notification);
    if (observer == nullptr || object == nullptr || name.get() == nullptr) {
        return ::kAXErrorIllegalArgument;
    }
    return AXObserverAddNotification(observerRef(observer), element(object), name.get(), context);
}

RunLoopSource* observerGetRunLoopSource(Ref observer) {
    if (observer == nullptr) return nullptr;
    return reinterpret_cast<RunLoopSource*>(AXObserverGetRunLoopSource(observerRef(observer)));
}

}  // namespace sw::platform
