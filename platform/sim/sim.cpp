#include "platform/sim/sim.h"

#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

namespace sw::platform {

struct RunLoop {};

struct RunLoopSource {
    Object* observer = nullptr;
};

struct Object {
    sim::Kind kind = sim::Kind::Number;
    int id = 0;
    int references = 1;
    ProcessId pid = 0;        // elements, applications, observers
    int element = 0;          // elements: 0 for the application element
    std::string text;         // strings
    int valueType = 0;        // accessibility values
    Rect rect;                // accessibility values of type rectangle
    ObserverCallback callback = nullptr;
    std::map<std::string, void*> registered;  // observers: notification -> context
    RunLoopSource source;
    bool sourceInRunLoop = false;
};

}  // namespace sw::platform

namespace sw::sim {
namespace {

using platform::Object;
using platform::Ref;

constexpr int kValueTypePoint = 1, kValueTypeSize = 2, kValueTypeRange = 4;

struct Application {
    std::optional<std::string> bundle;
    std::deque<std::optional<std::string>> bundleAnswers;
    Answer focused = Answer::failure(kAXErrorNoValue);
    AXError createCode = platform::kAXErrorSuccess;
    bool createReturnsObserver = true;
    std::map<std::string, AXError> registerCodes;
};

struct ElementAnswers {
    ProcessId pid = 0;
    Answer selectedText = Answer::of(Text{""});
    Answer selectedRange = Answer::of(RangeValue{0, 0});
    Answer bounds = Answer::failure(kAXErrorNoValue);
    Answer markerRange = Answer::failure(kAXErrorAttributeUnsupported);
    Answer markerString = Answer::failure(kAXErrorAttributeUnsupported);
    Answer markerBounds = Answer::failure(kAXErrorAttributeUnsupported);
};

struct Desktop {
    bool trusted = true;
    std::map<ProcessId, Application> applications;
    std::optional<ProcessId> frontmost;
    std::map<int, ElementAnswers> elements;
    int nextElement = 1;
    std::vector<platform::Task> activationHandlers;

    int nextObjectId = 1;
    std::array<int, static_cast<int>(Kind::Count)> live{};
    std::set<Object*> observers;  // live observers, for delivery
    int totalQueries = 0;
    std::map<std::string, int, std::less<>> queries;
    std::vector<std::string> calls;

    // The main loop is the only part touched from other threads.
    std::mutex loopMutex;
    std::condition_variable loopWake;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> tasks;
    bool stopRequested = false;
};

// Never destroyed: objects held in process-wide state may be released during exit.
Desktop& desktop() {
    static Desktop* d = new Desktop;
    return *d;
}

const char* kindName(Kind kind) {
    static constexpr const char* names[] = {"element", "application", "observer", "string", "value",
                                            "number", "marker range"};
    return names[static_cast<int>(kind)];
}

std::string label(Ref object) {
    if (object == nullptr) return "null";
    return std::string(1, kindName(object->kind)[0]) + std::to_string(object->id);
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

Object* objectFor(const Value& value, ProcessId pid) {
    return std::visit(
        [pid](const auto& v) -> Object* {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, Text>) {
                Object* o = newObject(Kind::String);
                o->text = v.text;
                return o;
            } else if constexpr (std::is_same_v<V, ElementRef>) {
                Object* o = newObject(Kind::Element);
                o->pid = pid;
                o->element = v.element;
                return o;
            } else if constexpr (std::is_same_v<V, NumberValue>) {
                return newObject(Kind::Number);
            } else if constexpr (std::is_same_v<V, MarkerRange>) {
                return newObject(Kind::MarkerRange);
            } else {
                Object* o = newObject(Kind::AXValue);
                if constexpr (std::is_same_v<V, RectValue>) {
                    o->valueType = platform::kAXValueTypeCGRect;
                    o->rect = v.rect;
                } else if constexpr (std::is_same_v<V, PointValue>) {
                    o->valueType = kValueTypePoint;
                } else if constexpr (std::is_same_v<V, SizeValue>) {
                    o->valueType = kValueTypeSize;
                } else {
                    o->valueType = kValueTypeRange;
                }
                return o;
            }
        },
        value);
}

AXError answer(const Answer& a, ProcessId pid, platform::Owned& out) {
    if (a.value) out.reset(objectFor(*a.value, pid));
    return a.code;
}

void waitIfHeld();

void countQuery(const char* attribute) {
    waitIfHeld();
    Desktop& d = desktop();
    ++d.totalQueries;
    const std::string_view name(attribute);
    auto found = d.queries.find(name);
    if (found == d.queries.end()) found = d.queries.emplace(std::string(name), 0).first;
    ++found->second;
}

void enqueue(std::chrono::steady_clock::time_point due, std::function<void()> task) {
    Desktop& d = desktop();
    {
        std::lock_guard lock(d.loopMutex);
        d.tasks.emplace(due, std::move(task));
    }
    d.loopWake.notify_one();
}

// Takes the next task that is due, or waits for one when `wait` is set. Empty when there is none
// (or the loop was asked to stop).
std::function<void()> nextTask(bool wait) {
    Desktop& d = desktop();
    std::unique_lock lock(d.loopMutex);
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (!d.tasks.empty() && d.tasks.begin()->first <= now) {
            std::function<void()> task = std::move(d.tasks.begin()->second);
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

ElementAnswers* elementAnswers(Ref element) {
    auto found = desktop().elements.find(element->element);
    return found == desktop().elements.end() ? nullptr : &found->second;
}

}  // namespace

// ---- Setting up --------------------------------------------------------------------------------

void reset() {
    Desktop& d = desktop();
    d.trusted = true;
    d.applications.clear();
    d.frontmost.reset();
    d.elements.clear();
    d.activationHandlers.clear();
    d.totalQueries = 0;
    d.queries.clear();
    d.calls.clear();
    std::lock_guard lock(d.loopMutex);
    d.tasks.clear();
    d.stopRequested = false;
}

void setTrusted(bool trusted) { desktop().trusted = trusted; }

void addApplication(ProcessId pid, std::optional<std::string> bundleIdentifier) {
    desktop().applications[pid].bundle = std::move(bundleIdentifier);
}

void queueBundleAnswers(ProcessId pid, std::vector<std::optional<std::string>> answers) {
    auto& queue = desktop().applications[pid].bundleAnswers;
    queue.insert(queue.end(), answers.begin(), answers.end());
}

void setFrontmost(std::optional<ProcessId> pid) { desktop().frontmost = pid; }

void activate(std::optional<ProcessId> pid) {
    setFrontmost(pid);
    post([] {
        // Copy first: a handler may not add handlers, but keep delivery independent of it.
        const std::vector<platform::Task> handlers = desktop().activationHandlers;
        for (platform::Task handler : handlers) handler();
    });
}

int addElement(ProcessId pid) {
    Desktop& d = desktop();
    const int id = d.nextElement++;
    d.elements[id].pid = pid;
    return id;
}

void setFocused(ProcessId pid, Answer a) { desktop().applications[pid].focused = std::move(a); }
void setSelectedText(int element, Answer a) { desktop().elements[element].selectedText = std::move(a); }
void setSelectedRange(int element, Answer a) { desktop().elements[element].selectedRange = std::move(a); }
void setBounds(int element, Answer a) { desktop().elements[element].bounds = std::move(a); }

int selectText(ProcessId pid, std::string text, std::optional<Rect> bounds) {
    const int element = addElement(pid);
    const long length = static_cast<long>(text.size());
    setFocused(pid, Answer::of(ElementRef{element}));
    setSelectedText(element, Answer::of(Text{std::move(text)}));
    setSelectedRange(element, Answer::of(RangeValue{0, length}));
    setBounds(element, bounds ? Answer::of(RectValue{*bounds}) : Answer::failure(kAXErrorNoValue));
    return element;
}

void setSelectedMarkerRange(int element, Answer a) { desktop().elements[element].markerRange = std::move(a); }
void setStringForMarkerRange(int element, Answer a) { desktop().elements[element].markerString = std::move(a); }
void setBoundsForMarkerRange(int element, Answer a) { desktop().elements[element].markerBounds = std::move(a); }

int selectPageText(ProcessId pid, std::string text, std::optional<Rect> bounds) {
    const int element = addElement(pid);
    setFocused(pid, Answer::of(ElementRef{element}));
    setSelectedText(element, Answer::of(Text{""}));
    setSelectedMarkerRange(element, Answer::of(MarkerRange{}));
    setStringForMarkerRange(element, Answer::of(Text{std::move(text)}));
    setBoundsForMarkerRange(element,
                            bounds ? Answer::of(RectValue{*bounds}) : Answer::failure(kAXErrorNoValue));
    return element;
}

void setObserverCreateResult(ProcessId pid, AXError code, bool returnsObserver) {
    Application& app = desktop().applications[pid];
    app.createCode = code;
    app.createReturnsObserver = returnsObserver;
}

void setAddNotificationResult(ProcessId pid, const std::string& notification, AXError code) {
    desktop().applications[pid].registerCodes[notification] = code;
}

void postNotification(ProcessId pid, const std::string& notification) {
    post([pid, notification] {
        Desktop& d = desktop();
        // Collect first: a callback may tear its observer down. Each delivery holds its observer.
        std::vector<Object*> targets;
        for (Object* observer : d.observers) {
            if (observer->pid == pid && observer->sourceInRunLoop &&
                observer->registered.contains(notification)) {
                ++observer->references;
                targets.push_back(observer);
            }
        }
        for (Object* observer : targets) {
            platform::Owned held = platform::Owned::adopt(observer);
            if (!observer->sourceInRunLoop) continue;  // removed by an earlier delivery
            platform::Owned element = platform::createApplicationElement(pid);
            Object* name = newObject(Kind::String);
            name->text = notification;
            platform::Owned nameHeld = platform::Owned::adopt(name);
            observer->callback(observer, element.get(), name,
                               observer->registered.at(notification));
        }
    });
}

// ---- The main loop -------------------------------------------------------------------------------

void schedule(std::chrono::milliseconds delay, std::function<void()> task) {
    enqueue(std::chrono::steady_clock::now() + delay, std::move(task));
}

void post(std::function<void()> task) {
    // Due "now": runs after everything already due, in the order posted.
    enqueue(std::chrono::steady_clock::now(), std::move(task));
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
int sourcesInRunLoop() {
    int n = 0;
    for (Object* observer : desktop().observers) n += observer->sourceInRunLoop ? 1 : 0;
    return n;
}
const std::vector<std::string>& calls() { return desktop().calls; }
void clearCalls() { desktop().calls.clear(); }

// ---- Holding an evaluation open ------------------------------------------------------------------

namespace {
struct Hold {
    std::mutex mutex;
    std::condition_variable released;
    bool armed = false, open = false;
};
Hold& hold() {
    static Hold* h = new Hold;
    return *h;
}
void waitIfHeld() {
    Hold& h = hold();
    std::unique_lock lock(h.mutex);
    if (!std::exchange(h.armed, false)) return;
    h.released.wait_for(lock, std::chrono::seconds(10), [&h] { return h.open; });
}
}  // namespace

void holdNextQuery() {
    std::lock_guard lock(hold().mutex);
    hold().armed = true;
    hold().open = false;
}

void releaseHold() {
    {
        std::lock_guard lock(hold().mutex);
        hold().open = true;
    }
    hold().released.notify_all();
}

}  // namespace sw::sim

// ---- The platform operations ----------------------------------------------------------------------

namespace sw::platform {

using sim::desktop;
using sim::Kind;

void release(Ref object) noexcept {
    auto* o = const_cast<Object*>(object);
    if (--o->references > 0) return;
    sim::Desktop& d = desktop();
    if (o->kind == Kind::Observer || (o->kind == Kind::Element && o->element == 0)) {
        d.calls.push_back(std::string("release ") + sim::kindName(o->kind) + " " + sim::label(o));
    }
    --d.live[static_cast<int>(o->kind)];
    d.observers.erase(o);
    delete o;
}

bool isProcessTrusted() { return desktop().trusted; }

Owned createApplicationElement(ProcessId pid) {
    Object* o = sim::newObject(Kind::Element);
    o->pid = pid;
    desktop().calls.push_back("createApplicationElement " + std::to_string(pid) + " -> " +
                              sim::label(o));
    return Owned::adopt(o);
}

AXError copyAttributeValue(Ref element, const char* attribute, Owned& value) {
    sim::countQuery(attribute);
    value.reset();
    if (element == nullptr || element->kind != Kind::Element) return sim::kAXErrorIllegalArgument;
    const std::string_view name(attribute);
    if (element->element == 0) {
        auto app = desktop().applications.find(element->pid);
        if (app == desktop().applications.end()) return platform::kAXErrorInvalidUIElement;
        if (name == "AXFocusedUIElement") return sim::answer(app->second.focused, element->pid, value);
        return sim::kAXErrorAttributeUnsupported;
    }
    sim::ElementAnswers* answers = sim::elementAnswers(element);
    if (answers == nullptr) return platform::kAXErrorInvalidUIElement;  // the element went away
    if (name == "AXSelectedText") return sim::answer(answers->selectedText, element->pid, value);
    if (name == "AXSelectedTextRange") return sim::answer(answers->selectedRange, element->pid, value);
    if (name == "AXSelectedTextMarkerRange") return sim::answer(answers->markerRange, element->pid, value);
    return sim::kAXErrorAttributeUnsupported;
}

AXError copyParameterizedAttributeValue(Ref element, const char* attribute, Ref parameter,
                                        Owned& value) {
    sim::countQuery(attribute);
    value.reset();
    if (element == nullptr || element->kind != Kind::Element) return sim::kAXErrorIllegalArgument;
    const std::string_view name(attribute);
    const bool byMarkers = name == "AXStringForTextMarkerRange" || name == "AXBoundsForTextMarkerRange";
    if (!byMarkers && name != "AXBoundsForRange") return sim::kAXErrorAttributeUnsupported;
    // Each takes its own kind of range: a text-marker range, or an accessibility value of type range.
    const bool fits = parameter != nullptr &&
                      (byMarkers ? parameter->kind == Kind::MarkerRange
                                 : parameter->kind == Kind::AXValue &&
                                       parameter->valueType == sim::kValueTypeRange);
    if (!fits) return sim::kAXErrorIllegalArgument;
    sim::ElementAnswers* answers = sim::elementAnswers(element);
    if (answers == nullptr) return platform::kAXErrorInvalidUIElement;
    const sim::Answer& a = name == "AXBoundsForRange"             ? answers->bounds
                           : name == "AXStringForTextMarkerRange" ? answers->markerString
                                                                  : answers->markerBounds;
    return sim::answer(a, element->pid, value);
}

TypeID getTypeID(Ref object) { return static_cast<TypeID>(object->kind) + 1; }
TypeID elementTypeID() { return static_cast<TypeID>(Kind::Element) + 1; }
TypeID textMarkerRangeTypeID() { return static_cast<TypeID>(Kind::MarkerRange) + 1; }
TypeID textMarkerTypeID() { return static_cast<TypeID>(Kind::Count) + 1; }

bool isString(Ref value) { return value->kind == Kind::String; }
std::string stringValue(Ref value) { return isString(value) ? value->text : std::string(); }

int valueGetType(Ref value) { return value->kind == Kind::AXValue ? value->valueType : 0; }

bool valueGetRect(Ref value, Rect& rect) {
    if (valueGetType(value) != kAXValueTypeCGRect) return false;
    rect = value->rect;
    return true;
}

bool valueGetPoint(Ref, Point&) { return false; }
bool valueGetSize(Ref, Size&) { return false; }
std::size_t arrayCount(Ref) { return 0; }
Owned arrayItem(Ref, std::size_t) { return {}; }

AXError observerCreate(ProcessId pid, ObserverCallback callback, Owned& observer) {
    sim::Desktop& d = desktop();
    const sim::Application& app = d.applications[pid];
    observer.reset();
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
    const sim::Application& app = d.applications[o->pid];
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
    sim::post(task);
    sim::releaseHold();
}

void dispatchAsyncUtility(Task task) { std::thread(task).detach(); }

Owned frontmostApplication() {
    sim::Desktop& d = desktop();
    if (!d.frontmost || !d.applications.contains(*d.frontmost)) return {};
    Object* o = sim::newObject(Kind::Application);
    o->pid = *d.frontmost;
    return Owned::adopt(o);
}

std::optional<std::string> bundleIdentifier(Ref application) {
    auto found = desktop().applications.find(application->pid);
    if (found == desktop().applications.end()) return std::nullopt;
    sim::Application& app = found->second;
    if (!app.bundleAnswers.empty()) {
        std::optional<std::string> next = std::move(app.bundleAnswers.front());
        app.bundleAnswers.pop_front();
        return next;
    }
    return app.bundle;
}

ProcessId processIdentifier(Ref application) { return application->pid; }

void addActivationObserver(Task handler) { desktop().activationHandlers.push_back(handler); }

}  // namespace sw::platform
