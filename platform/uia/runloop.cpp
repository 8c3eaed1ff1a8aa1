// The main loop, observers and released mouse buttons on Windows.
//
// The main thread waits on its message queue (which serves the foreground WinEvent hook) and on an
// event that other threads set when they hand it a task. UI Automation calls its event handlers on
// threads of its own; they only hand a delivery to the main thread, which passes it to the
// observer's callback if the observer is still there and its source still in the run loop. Handlers
// are added and removed on the main thread, never inside a handler, and one that UI Automation
// still calls after its removal finds its observer gone and does nothing.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/uia/internal.h"

namespace sw::platform {

// What an observer's event handlers share with the main thread. The handlers hold it, not the
// observer, so it outlives the observer for as long as UI Automation keeps them.
struct ObserverState {
    std::atomic<bool> alive{true};       // false once the observer is gone (main thread writes)
    std::atomic<bool> delivering{false};  // its source is in the run loop (main thread writes)
    Object* observer = nullptr;           // valid while alive; read on the main thread only
    ProcessId pid = 0;
    ObserverCallback callback = nullptr;

    struct Registration {
        std::string notification;
        void* context = nullptr;
        uia::com::EVENTID event = 0;  // 0: the focus handler
        uia::Element element;
        uia::ComRef<IUnknown> handler;
    };
    std::vector<Registration> registrations;  // main thread only
};

}  // namespace sw::platform

namespace sw::platform::uia {
namespace {

using Clock = std::chrono::steady_clock;

struct Loop {
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
    HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset

    // Tasks handed over by dispatchAsyncMain that have not run yet, for waitUnlessDispatched.
    int dispatched = 0;
    std::condition_variable dispatchedChanged;

    // Main thread only.
    TimerId lastTimer = 0;
    std::map<TimerId, std::pair<Clock::time_point, Task>> timers;
    std::vector<Task> releaseHandlers;
};

// Never destroyed: another thread may still hand over a task while the process exits.
Loop& loop() {
    static auto* l = new Loop;
    return *l;
}

std::function<void()> nextTask() {
    Loop& l = loop();
    std::lock_guard lock(l.mutex);
    if (l.tasks.empty()) return {};
    std::function<void()> task = std::move(l.tasks.front());
    l.tasks.pop_front();
    return task;
}

// Runs the earliest timer if it is due (then 0: tasks handed over meanwhile go first), or says how
// long until it is due (INFINITE: no timer). Timers due together run in the order they were added.
DWORD runDueTimer() {
    Loop& l = loop();
    if (l.timers.empty()) return INFINITE;
    auto next = l.timers.begin();
    for (auto it = l.timers.begin(); it != l.timers.end(); ++it) {
        if (it->second.first < next->second.first) next = it;
    }
    const auto now = Clock::now();
    if (next->second.first > now) {
        return static_cast<DWORD>(
            std::chrono::ceil<std::chrono::milliseconds>(next->second.first - now).count());
    }
    const Task task = next->second.second;
    l.timers.erase(next);
    task();
    return 0;
}

// ---- Event handlers of UI Automation -----------------------------------------------------------

// Hands one notification to the observer on the main thread.
void deliver(const std::shared_ptr<ObserverState>& state, const std::string& notification,
             void* context, com::IUIAutomationElement* sender) {
    if (!state->delivering.load()) return;
    auto element = std::make_shared<Element>(Element::share(sender));
    postToMain([state, notification, context, element] {
        if (!state->alive.load() || !state->delivering.load()) return;
        Object* observer = state->observer;
        // The callback may drop the observer (another application came to the front).
        ++observer->references;
        const Owned held = Owned::adopt(observer);
        Owned changed = *element ? elementObject(std::move(*element)) : Owned();
        Owned name = stringObject(notification);
        state->callback(observer, changed.get(), name.get(), context);
    });
}

// The COM object UI Automation calls: reference counting and interface lookup; the two handlers
// below add what they do with an event.
template <typename Interface, const GUID& iid>
class Handler : public Interface {
public:
    Handler(std::shared_ptr<ObserverState> state, std::string notification, void* context)
        : state_(std::move(state)), notification_(std::move(notification)), context_(context) {}
    virtual ~Handler() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

protected:
    std::shared_ptr<ObserverState> state_;
    std::string notification_;
    void* context_;

private:
    std::atomic<ULONG> references_{1};
};

class SelectionHandler final
    : public Handler<com::IUIAutomationEventHandler, com::IID_IUIAutomationEventHandler> {
public:
    using Handler::Handler;
    HRESULT STDMETHODCALLTYPE HandleAutomationEvent(com::IUIAutomationElement* sender,
                                                    com::EVENTID) override {
        deliver(state_, notification_, context_, sender);
        return S_OK;
    }
};

class FocusHandler final : public Handler<com::IUIAutomationFocusChangedEventHandler,
                                          com::IID_IUIAutomationFocusChangedEventHandler> {
public:
    using Handler::Handler;
    HRESULT STDMETHODCALLTYPE HandleFocusChangedEvent(com::IUIAutomationElement* sender) override {
        // The focus handler hears every application: only the watched process's focus counts. Its
        // process id comes with the event (cached), so this asks nothing across processes.
        int pid = 0;
        if (sender == nullptr || FAILED(sender->get_CachedProcessId(&pid)) ||
            pid != state_->pid) {
            return S_OK;
        }
        deliver(state_, notification_, context_, sender);
        return S_OK;
    }
};

// ---- Released mouse buttons --------------------------------------------------------------------
//
// Chromium raises no selection event when a page's selection becomes none (no anchor and no focus
// left: a click on something that cannot be selected), so a release while such a browser is in
// front is handed to the core's follow-up series. The low-level hook lives on a thread of its own
// whose only work is its message loop: a hook on the main thread would stall every mouse movement
// of the desktop while a slow browser holds the main thread in a UI Automation call. Buttons only:
// a keyboard hook is what key loggers install, and every clear by a key moves the caret, which
// both engines announce.

constexpr UINT kHookOn = WM_APP + 1;
constexpr UINT kHookOff = WM_APP + 2;

struct Listener {
    std::mutex mutex;
    std::condition_variable ready;
    DWORD thread = 0;
    bool wanted = false;  // main thread only
};

Listener& listener() {
    static auto* l = new Listener;
    return *l;
}

void onRelease() {
    const std::vector<Task> handlers = loop().releaseHandlers;
    for (Task handler : handlers) handler();
}

LRESULT CALLBACK onMouse(int code, WPARAM message, LPARAM data) {
    if (code == HC_ACTION && (message == WM_LBUTTONUP || message == WM_RBUTTONUP ||
                              message == WM_MBUTTONUP || message == WM_XBUTTONUP)) {
        postToMain(onRelease);
    }
    return CallNextHookEx(nullptr, code, message, data);
}

void hookThread() {
    MSG message;
    PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // makes the queue
    {
        std::lock_guard lock(listener().mutex);
        listener().thread = GetCurrentThreadId();
    }
    listener().ready.notify_all();
    HHOOK hook = nullptr;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == kHookOn && hook == nullptr) {
            hook = SetWindowsHookExW(WH_MOUSE_LL, onMouse, GetModuleHandleW(nullptr), 0);
        } else if (message.message == kHookOff && hook != nullptr) {
            UnhookWindowsHookEx(hook);
            hook = nullptr;
        }
        DispatchMessageW(&message);
    }
}

}  // namespace

void postToMain(std::function<void()> task) {
    Loop& l = loop();
    {
        std::lock_guard lock(l.mutex);
        l.tasks.push_back(std::move(task));
    }
    SetEvent(l.wake);
}

void listenForReleases(bool on) {
    Listener& s = listener();
    on = on && !loop().releaseHandlers.empty();
    if (on == s.wanted) return;
    s.wanted = on;
    std::unique_lock lock(s.mutex);
    if (s.thread == 0) {
        if (!on) return;
        std::thread(hookThread).detach();
        s.ready.wait(lock, [&s] { return s.thread != 0; });
    }
    PostThreadMessageW(s.thread, on ? kHookOn : kHookOff, 0, 0);
}

// Whether the watched browser needs the release hook: Firefox raises a selection event for every
// change of its selection, clears included (accessible/base/SelectionManager.cpp), Chromium not.
bool clearsSilently(ProcessId pid) {
    const std::optional<std::string> bundle = bundleOfProcess(pid);
    return !bundle || *bundle != "org.mozilla.firefox";
}

void destroyObserver(Object* observer) {
    ObserverState& state = *observer->observer;
    state.alive = false;
    if (state.delivering.exchange(false)) listenForReleases(false);
    com::IUIAutomation* a = automation();
    for (ObserverState::Registration& registration : state.registrations) {
        if (a == nullptr) break;
        if (registration.event == 0) {
            a->RemoveFocusChangedEventHandler(
                static_cast<com::IUIAutomationFocusChangedEventHandler*>(
                    static_cast<FocusHandler*>(registration.handler.get())));
        } else {
            a->RemoveAutomationEventHandler(
                registration.event, registration.element.get(),
                static_cast<com::IUIAutomationEventHandler*>(
                    static_cast<SelectionHandler*>(registration.handler.get())));
        }
    }
    state.registrations.clear();
}

}  // namespace sw::platform::uia

namespace sw::platform {

using namespace uia;

AXError observerCreate(ProcessId pid, ObserverCallback callback, Owned& observer) {
    observer.reset();
    if (callback == nullptr) return kAXErrorIllegalArgument;
    if (automation() == nullptr) return kAXErrorAPIDisabled;
    auto* o = new Object(Kind::Observer);
    o->pid = pid;
    o->observer = std::make_shared<ObserverState>();
    o->observer->observer = o;
    o->observer->pid = pid;
    o->observer->callback = callback;
    o->source.observer = o;
    observer = Owned::adopt(o);
    return kAXErrorSuccess;
}

AXError observerAddNotification(Ref observer, Ref element, const char* notification,
                                void* context) {
    if (observer == nullptr || observer->kind != Kind::Observer || element == nullptr ||
        notification == nullptr ||
        (element->kind != Kind::ApplicationElement && element->kind != Kind::Element)) {
        return kAXErrorIllegalArgument;
    }
    com::IUIAutomation* a = automation();
    if (a == nullptr) return kAXErrorAPIDisabled;
    const std::shared_ptr<ObserverState>& state = mutableObject(observer)->observer;
    const std::string name = notification;
    for (const ObserverState::Registration& existing : state->registrations) {
        if (existing.notification == name) return kAXErrorNotificationAlreadyRegistered;
    }

    ObserverState::Registration registration{name, context, 0, {}, {}};
    HRESULT hr = E_FAIL;
    if (name == "AXFocusedUIElementChanged") {
        // With the process id of the new focus cached in each event.
        ComRef<com::IUIAutomationCacheRequest> cache;
        hr = a->CreateCacheRequest(cache.put());
        if (SUCCEEDED(hr)) hr = cache->AddProperty(com::UIA_ProcessIdPropertyId);
        auto* handler = new FocusHandler(state, name, context);
        registration.handler = ComRef<IUnknown>(static_cast<com::IUIAutomationFocusChangedEventHandler*>(handler));
        if (SUCCEEDED(hr)) hr = a->AddFocusChangedEventHandler(cache.get(), handler);
    } else if (name == "AXSelectedTextChanged") {
        // Raised on the element where the selection ends, its text field, or the document
        // (Chromium), or the enclosing text container (Firefox): anywhere in the window.
        if (element->kind == Kind::ApplicationElement) {
            if (element->window != nullptr) {
                hr = a->ElementFromHandle(element->window, registration.element.put());
            }
        } else {
            registration.element = Element::share(element->element.get());
            hr = S_OK;
        }
        if (!registration.element) return SUCCEEDED(hr) ? kAXErrorInvalidUIElement : errorFor(hr);
        registration.event = com::UIA_Text_TextSelectionChangedEventId;
        auto* handler = new SelectionHandler(state, name, context);
        registration.handler = ComRef<IUnknown>(static_cast<com::IUIAutomationEventHandler*>(handler));
        hr = a->AddAutomationEventHandler(registration.event, registration.element.get(),
                                          com::TreeScope_Subtree, nullptr, handler);
    } else {
        return kAXErrorNotificationUnsupported;
    }
    if (FAILED(hr)) return errorFor(hr);
    state->registrations.push_back(std::move(registration));
    return kAXErrorSuccess;
}

RunLoopSource* observerGetRunLoopSource(Ref observer) {
    if (observer == nullptr || observer->kind != Kind::Observer) return nullptr;
    return &mutableObject(observer)->source;
}

RunLoop* runLoopGetCurrent() {
    static RunLoop mainLoop;  // the main thread's loop is the only one
    return &mainLoop;
}

void runLoopAddSource(RunLoop*, RunLoopSource* source) {
    if (source == nullptr || source->observer == nullptr) return;
    ObserverState& state = *source->observer->observer;
    if (state.delivering.exchange(true)) return;
    listenForReleases(clearsSilently(state.pid));
}

void runLoopRemoveSource(RunLoop*, RunLoopSource* source) {
    if (source == nullptr || source->observer == nullptr) return;
    if (source->observer->observer->delivering.exchange(false)) listenForReleases(false);
}

void runMainRunLoop() {
    Loop& l = loop();
    for (;;) {
        while (std::function<void()> task = nextTask()) task();
        const DWORD wait = runDueTimer();
        if (wait == 0) continue;
        MsgWaitForMultipleObjectsEx(1, &l.wake, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) return;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

void dispatchAsyncMain(Task task) {
    if (task == nullptr) return;
    Loop& l = loop();
    {
        std::lock_guard lock(l.mutex);
        ++l.dispatched;
    }
    l.dispatchedChanged.notify_all();
    postToMain([task] {
        {
            Loop& inner = loop();
            std::lock_guard lock(inner.mutex);
            --inner.dispatched;
        }
        task();
    });
}

void dispatchAsyncUtility(Task task) {
    if (task != nullptr) std::thread(task).detach();
}

TimerId addMainLoopTimer(std::uint32_t milliseconds, Task task) {
    Loop& l = loop();
    const TimerId id = ++l.lastTimer;
    l.timers.emplace(id, std::make_pair(Clock::now() + std::chrono::milliseconds(milliseconds), task));
    return id;
}

void removeMainLoopTimer(TimerId timer) { loop().timers.erase(timer); }

void addInputReleaseObserver(Task handler) {
    if (handler != nullptr) loop().releaseHandlers.push_back(handler);
}

bool waitUnlessDispatched(std::uint32_t milliseconds) {
    Loop& l = loop();
    std::unique_lock lock(l.mutex);
    return !l.dispatchedChanged.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                         [&l] { return l.dispatched > 0; });
}

}  // namespace sw::platform
