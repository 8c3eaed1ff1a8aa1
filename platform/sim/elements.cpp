// Elements and values of the simulated desktop: what each attribute of an element answers, the
// objects handed out for the answers (each a fresh reference, counted until released), and the
// counters tests read.
#include <cstdlib>
#include <string_view>

#include "platform/sim/internal.h"

namespace sw::sim {
namespace {

Object* objectFor(const Value& value, ProcessId pid) {
    return std::visit(
        [pid](const auto& v) -> Object* {
            using V = std::decay_t<decltype(v)>;
            Object* o = nullptr;
            if constexpr (std::is_same_v<V, Text>) {
                o = newObject(Kind::String);
                o->text = v.text;
            } else if constexpr (std::is_same_v<V, ElementRef>) {
                o = newObject(Kind::Element);
                o->element = v.element;
                // An element belongs to its own process, which may not be the asker's.
                if (auto e = desktop().elements.find(v.element);
                    e != desktop().elements.end() && e->second.ownProcess) {
                    o->pid = e->second.pid;
                    return o;
                }
            } else if constexpr (std::is_same_v<V, NumberValue>) {
                o = newObject(Kind::Number);
            } else if constexpr (std::is_same_v<V, MarkerRange>) {
                o = newObject(Kind::MarkerRange);
                o->start = v.start;
                o->end = v.end;
            } else if constexpr (std::is_same_v<V, Marker>) {
                o = newObject(Kind::Marker);
                o->element = v.element;
            } else if constexpr (std::is_same_v<V, ArrayValue>) {
                o = newObject(Kind::Array);
                o->items = v.items;
            } else {
                o = newObject(Kind::AXValue);
                if constexpr (std::is_same_v<V, RectValue>) {
                    o->valueType = platform::kAXValueTypeCGRect;
                    o->rect = v.rect;
                } else if constexpr (std::is_same_v<V, PointValue>) {
                    o->valueType = platform::kAXValueTypeCGPoint;
                    o->rect = {v.x, v.y, 0, 0};
                } else if constexpr (std::is_same_v<V, SizeValue>) {
                    o->valueType = platform::kAXValueTypeCGSize;
                    o->rect = {0, 0, v.width, v.height};
                } else {
                    o->valueType = kValueTypeRange;
                }
            }
            o->pid = pid;
            return o;
        },
        value);
}

AXError answer(const Answer& a, ProcessId pid, platform::Owned& out) {
    if (a.value) out.reset(objectFor(*a.value, pid));
    return a.code;
}

// The parameter each parameterised attribute takes.
std::optional<Kind> parameterKind(std::string_view name) {
    if (name == "AXBoundsForRange") return Kind::AXValue;
    if (name == "AXUIElementForTextMarker") return Kind::Marker;
    if (name == "AXStringForTextMarkerRange" || name == "AXBoundsForTextMarkerRange" ||
        name.ends_with("TextMarkerForTextMarkerRange")) {  // the ends of a range, where asked for
        return Kind::MarkerRange;
    }
    return std::nullopt;
}

// What an element answers when it was told nothing for the attribute: a text element with nothing
// selected, and the element of a marker as the marker holds it.
Answer answerOf(const Element& element, std::string_view name, Ref parameter) {
    if (auto told = element.answers.find(name); told != element.answers.end()) return told->second;
    if (name == "AXSelectedText") return Answer::of(Text{""});
    if (name == "AXSelectedTextRange") return Answer::of(RangeValue{0, 0});
    if (name == "AXBoundsForRange") return Answer::failure(kAXErrorNoValue);
    if (name != "AXUIElementForTextMarker") return Answer::failure(kAXErrorAttributeUnsupported);
    if (parameter == nullptr || parameter->element == 0) return Answer::failure(kAXErrorNoValue);
    return Answer::of(ElementRef{parameter->element});
}

}  // namespace

Desktop& desktop() {
    static Desktop* d = new Desktop;
    return *d;
}

const char* kindName(Kind kind) {
    static constexpr const char* names[] = {"element", "application", "observer", "string", "value",
                                            "number",  "marker range", "marker",  "array"};
    return names[static_cast<int>(kind)];
}

std::string label(Ref object) {
    if (object == nullptr) return "null";
    // Appended rather than concatenated: g++ 12 at -O2 misjudges the latter (-Werror=restrict).
    std::string text(1, kindName(object->kind)[0]);
    return text.append(std::to_string(object->id));
}

Object* newObject(Kind kind) {
    Desktop& d = desktop();
    auto* object = new Object;
    object->kind = kind;
    object->id = d.nextObjectId++;
    ++d.live[static_cast<int>(kind)];
    if (kind == Kind::Observer) d.observers.insert(object);
    return object;
}

void countQuery(const char* attribute) {
    waitIfHeld();
    Desktop& d = desktop();
    ++d.totalQueries;
    const std::string_view name(attribute);
    auto found = d.queries.find(name);
    if (found == d.queries.end()) found = d.queries.emplace(std::string(name), 0).first;
    ++found->second;
}

// ---- Setting up --------------------------------------------------------------------------------

int addElement(ProcessId pid) {
    Desktop& d = desktop();
    const int id = d.nextElement++;
    d.elements[id].pid = pid;
    return id;
}

void setAttribute(int element, const std::string& attribute, Answer a) {
    desktop().elements[element].answers[attribute] = std::move(a);
}

void setFocused(ProcessId pid, Answer a) { desktop().applications[pid].focused = std::move(a); }
void setFocusedWindow(ProcessId pid, Answer a) { desktop().applications[pid].focusedWindow = std::move(a); }
void setSelectedText(int element, Answer a) { setAttribute(element, "AXSelectedText", std::move(a)); }
void setSelectedRange(int element, Answer a) { setAttribute(element, "AXSelectedTextRange", std::move(a)); }
void setBounds(int element, Answer a) { setAttribute(element, "AXBoundsForRange", std::move(a)); }
void setSelectedMarkerRange(int element, Answer a) {
    setAttribute(element, "AXSelectedTextMarkerRange", std::move(a));
}
void setStringForMarkerRange(int element, Answer a) {
    setAttribute(element, "AXStringForTextMarkerRange", std::move(a));
}
void setBoundsForMarkerRange(int element, Answer a) {
    setAttribute(element, "AXBoundsForTextMarkerRange", std::move(a));
}

int selectText(ProcessId pid, std::string text, std::optional<Rect> bounds) {
    const int element = addElement(pid);
    const long length = static_cast<long>(text.size());
    setFocused(pid, Answer::of(ElementRef{element}));
    setSelectedText(element, Answer::of(Text{std::move(text)}));
    setSelectedRange(element, Answer::of(RangeValue{0, length}));
    setBounds(element, bounds ? Answer::of(RectValue{*bounds}) : Answer::failure(kAXErrorNoValue));
    return element;
}

int selectPageText(ProcessId pid, std::string text, std::optional<Rect> bounds) {
    const int element = addElement(pid);
    setFocused(pid, Answer::of(ElementRef{element}));
    setSelectedMarkerRange(element, Answer::of(MarkerRange{}));
    setStringForMarkerRange(element, Answer::of(Text{std::move(text)}));
    setBoundsForMarkerRange(element,
                            bounds ? Answer::of(RectValue{*bounds}) : Answer::failure(kAXErrorNoValue));
    return element;
}

// ---- Counters ------------------------------------------------------------------------------------

int queryCount() { return desktop().totalQueries; }
int queryCount(const std::string& attribute) {
    auto found = desktop().queries.find(attribute);
    return found == desktop().queries.end() ? 0 : found->second;
}
int liveObjects() {
    int total = 0;
    for (int n : desktop().live) total += n;
    return total;
}
int liveObjects(Kind kind) { return desktop().live[static_cast<int>(kind)]; }
const std::vector<std::string>& calls() { return desktop().calls; }
void clearCalls() { desktop().calls.clear(); }

}  // namespace sw::sim

// ---- The platform operations ----------------------------------------------------------------------

namespace sw::platform {

using sim::desktop;
using sim::Kind;

void release(Ref object) noexcept {
    auto* o = const_cast<Object*>(object);
    sim::Desktop& d = desktop();
    if (d.exiting) std::abort();  // the exit must leave what the watcher holds alone
    if (--o->references > 0) return;
    if (o->kind == Kind::Observer || (o->kind == Kind::Element && o->element == 0)) {
        d.calls.push_back(std::string("release ") + sim::kindName(o->kind) + " " + sim::label(o));
    }
    --d.live[static_cast<int>(o->kind)];
    d.observers.erase(o);
    delete o;
}

Owned createApplicationElement(ProcessId pid) {
    Object* o = sim::newObject(Kind::Element);
    o->pid = pid;
    desktop().calls.push_back("createApplicationElement " + std::to_string(pid) + " -> " +
                              sim::label(o));
    return Owned::adopt(o);
}

ProcessId elementGetPid(Ref element) {
    return element != nullptr && element->kind == Kind::Element ? element->pid : 0;
}

AXError copyAttributeValue(Ref element, const char* attribute, Owned& value) {
    sim::countQuery(attribute);
    value.reset();
    if (!desktop().trusted) return kAXErrorAPIDisabled;
    if (element == nullptr || element->kind != Kind::Element) return sim::kAXErrorIllegalArgument;
    const std::string_view name(attribute);
    sim::Desktop& d = desktop();
    if (element->element == 0) {
        auto app = d.applications.find(element->pid);
        if (app == d.applications.end()) return kAXErrorInvalidUIElement;
        d.calls.push_back("read " + sim::label(element) + " " + attribute);
        if (const AXError hung = sim::waitIfHung(element->pid)) return hung;
        if (auto modelled = sim::modelAnswer(element->pid, 0, name, nullptr)) {
            return sim::answer(*modelled, element->pid, value);
        }
        if (name == "AXFocusedUIElement") return sim::answer(app->second.focused, element->pid, value);
        if (name == "AXFocusedWindow") return sim::answer(app->second.focusedWindow, element->pid, value);
        if (name == "AXRole") return sim::answer(sim::Answer::of(sim::Text{"AXApplication"}), element->pid, value);
        return sim::kAXErrorAttributeUnsupported;
    }
    auto found = d.elements.find(element->element);
    if (found == d.elements.end()) return kAXErrorInvalidUIElement;  // the element went away
    if (const AXError hung = sim::waitIfHung(element->pid)) return hung;
    if (auto refused = sim::modelRefusal(element->pid, element->element, name, false)) return *refused;
    if (sim::parameterKind(name)) return sim::kAXErrorAttributeUnsupported;
    std::optional<sim::Answer> a = sim::modelAnswer(element->pid, element->element, name, nullptr);
    return sim::answer(a ? *a : sim::answerOf(found->second, name, nullptr), element->pid, value);
}

AXError copyParameterizedAttributeValue(Ref element, const char* attribute, Ref parameter,
                                        Owned& value) {
    sim::countQuery(attribute);
    value.reset();
    if (!desktop().trusted) return kAXErrorAPIDisabled;
    if (element == nullptr || element->kind != Kind::Element) return sim::kAXErrorIllegalArgument;
    const std::string_view name(attribute);
    if (const AXError hung = sim::waitIfHung(element->pid)) return hung;
    if (auto refused = sim::modelRefusal(element->pid, element->element, name, true)) return *refused;
    const std::optional<Kind> takes = sim::parameterKind(name);
    if (!takes) return sim::kAXErrorAttributeUnsupported;
    const bool fits = parameter != nullptr && parameter->kind == *takes &&
                      (*takes != Kind::AXValue || parameter->valueType == sim::kValueTypeRange);
    if (!fits) return sim::kAXErrorIllegalArgument;
    auto found = desktop().elements.find(element->element);
    if (element->element == 0 || found == desktop().elements.end()) return kAXErrorInvalidUIElement;
    std::optional<sim::Answer> a = sim::modelAnswer(element->pid, element->element, name, parameter);
    return sim::answer(a ? *a : sim::answerOf(found->second, name, parameter), element->pid, value);
}

TypeID getTypeID(Ref object) { return static_cast<TypeID>(object->kind) + 1; }
TypeID elementTypeID() { return static_cast<TypeID>(Kind::Element) + 1; }
TypeID textMarkerRangeTypeID() { return static_cast<TypeID>(Kind::MarkerRange) + 1; }
TypeID textMarkerTypeID() { return static_cast<TypeID>(Kind::Marker) + 1; }

namespace {
Owned markerAt(Ref range, bool start) {
    if (range == nullptr || range->kind != Kind::MarkerRange) return {};
    Object* o = sim::newObject(Kind::Marker);
    o->pid = range->pid;
    o->element = start ? range->start : range->end;
    return Owned::adopt(o);
}
}  // namespace

// Local, as on the host: no query is made or counted.
Owned textMarkerRangeCopyStartMarker(Ref range) { return markerAt(range, true); }
Owned textMarkerRangeCopyEndMarker(Ref range) { return markerAt(range, false); }

bool isString(Ref value) { return value->kind == Kind::String; }
std::string stringValue(Ref value) { return isString(value) ? value->text : std::string(); }

int valueGetType(Ref value) { return value->kind == Kind::AXValue ? value->valueType : 0; }

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

std::size_t arrayCount(Ref value) { return value->kind == Kind::Array ? value->items.size() : 0; }

Owned arrayItem(Ref array, std::size_t index) {
    if (index >= arrayCount(array)) return {};
    const int item = array->items[index];
    Object* o = sim::newObject(item < 0 ? Kind::Number : Kind::Element);
    auto element = desktop().elements.find(item);
    o->pid = element != desktop().elements.end() && element->second.ownProcess ? element->second.pid
                                                                               : array->pid;
    o->element = item < 0 ? 0 : item;
    return Owned::adopt(o);
}

}  // namespace sw::platform
