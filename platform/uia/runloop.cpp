// The main loop, observers, and released mouse buttons and keys on Windows.
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
        HWND page = nullptr;  // the page window whose fragment root it is registered on
    };
    std::vector<Registration> registrations;  // main thread only
    // The browser window whose selection events are heard, and the hook that tells of its new page
    // windows (Chromium only); main thread only.
    HWND window = nullptr;
    HWINEVENTHOOK pageHook = nullptr;
};

}  // namespace sw::platform

namespace sw::platform::uia {

// Wakes and hears a page window that appeared while its browser is watched.
void followPageWindow(const std::shared_ptr<ObserverState>& state, HWND page);

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

// The observer whose source is in the run loop, if any (main thread only).
std::weak_ptr<ObserverState>& watching() {
    static auto* w = new std::weak_ptr<ObserverState>;
    return *w;
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

// ---- Released mouse buttons and keys -------------------------------------------------------
//
// Chromium raises no selection event when a page's selection becomes none (no anchor and no focus
// left: a click on something that cannot be selected), and none at all for a page whose fragment
// root UI Automation has not advised yet, so a release while such a browser is in front is handed
// to the core's follow-up series. Releases come as raw input to a message-only window of a thread
// of its own (RIDEV_INPUTSINK: in the background too): the system posts them once it has handled
// the input, so nothing the user does waits on the watcher, even when it is stopped or busy. A
// low-level hook would instead be called for every event before the system goes on with it.
// Which key was released is never read.

constexpr UINT kListenOn = WM_APP + 1;
constexpr UINT kListenOff = WM_APP + 2;

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

bool released(const RAWINPUT& input) {
    constexpr USHORT kButtonsUp = RI_MOUSE_LEFT_BUTTON_UP | RI_MOUSE_RIGHT_BUTTON_UP |
                                  RI_MOUSE_MIDDLE_BUTTON_UP | RI_MOUSE_BUTTON_4_UP |
                                  RI_MOUSE_BUTTON_5_UP;
    if (input.header.dwType == RIM_TYPEMOUSE) return (input.data.mouse.usButtonFlags & kButtonsUp) != 0;
    return input.header.dwType == RIM_TYPEKEYBOARD && (input.data.keyboard.Flags & RI_KEY_BREAK) != 0;
}

LRESULT CALLBACK onInput(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_INPUT) {
        RAWINPUT input{};
        UINT size = sizeof input;
        if (GetRawInputData(reinterpret_cast<HRAWINPUT>(l), RID_INPUT, &input, &size,
                            sizeof(RAWINPUTHEADER)) != static_cast<UINT>(-1) &&
            released(input)) {
            postToMain(onRelease);
        }
    }
    return DefWindowProcW(window, message, w, l);
}

// Mouse and keyboard (generic desktop page, usages 2 and 6) to `window`, or no longer.
void registerRawInput(HWND window, bool on) {
    RAWINPUTDEVICE devices[2] = {{0x01, 0x02, 0, nullptr}, {0x01, 0x06, 0, nullptr}};
    for (RAWINPUTDEVICE& device : devices) {
        device.dwFlags = on ? RIDEV_INPUTSINK : RIDEV_REMOVE;
        device.hwndTarget = on ? window : nullptr;
    }
    RegisterRawInputDevices(devices, 2, sizeof(RAWINPUTDEVICE));
}

void listenerThread() {
    WNDCLASSW type{};
    type.lpfnWndProc = onInput;
    type.hInstance = GetModuleHandleW(nullptr);
    type.lpszClassName = L"selection-watcher releases";
    RegisterClassW(&type);
    HWND window = CreateWindowExW(0, type.lpszClassName, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, type.hInstance, nullptr);
    MSG message;
    PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // makes the queue
    {
        std::lock_guard lock(listener().mutex);
        listener().thread = GetCurrentThreadId();
    }
    listener().ready.notify_all();
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == nullptr && (message.message == kListenOn || message.message == kListenOff)) {
            if (window != nullptr) registerRawInput(window, message.message == kListenOn);
            continue;
        }
        DispatchMessageW(&message);
    }
}

// ---- New page windows ------------------------------------------------------------------------
//
// Chromium makes a page window for every new tab and cross-site navigation, and raises events for
// a page only once UI Automation has told that page's fragment root that a client listens
// (ui/accessibility/platform/browser_accessibility_manager_win.cc, FireUiaAccessibilityEvent:
// HasEventListenerForEvent; counted per fragment root, ax_fragment_root_win.h). So while a
// Chromium browser is watched, a page window of its that is made or shown is woken and gets the
// selection handler too. The WinEvent comes out of context, on the main thread's message loop,
// some time after the window was made; the handler is added as a task of its own.

void CALLBACK onPageWindow(HWINEVENTHOOK hook, DWORD, HWND window, LONG object, LONG child, DWORD,
                           DWORD) {
    if (object != OBJID_WINDOW || child != CHILDID_SELF || window == nullptr || !isPageWindow(window)) {
        return;
    }
    postToMain([hook, window] {
        const std::shared_ptr<ObserverState> state = watching().lock();
        if (state && state->pageHook == hook && state->delivering.load()) followPageWindow(state, window);
    });
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
        std::thread(listenerThread).detach();
        s.ready.wait(lock, [&s] { return s.thread != 0; });
    }
    PostThreadMessageW(s.thread, on ? kListenOn : kListenOff, 0, 0);
}

// Whether the watched browser needs releases heard and its page windows followed: Firefox raises
// a selection event for every change of its selection, clears included
// (accessible/base/SelectionManager.cpp), Chromium not.
bool clearsSilently(ProcessId pid) {
    const std::optional<std::string> bundle = bundleOfProcess(pid);
    return !bundle || *bundle != "org.mozilla.firefox";
}

void removeHandler(const ObserverState::Registration& registration) {
    com::IUIAutomation* a = automation();
    if (a == nullptr) return;
    if (registration.event == 0) {
        a->RemoveFocusChangedEventHandler(static_cast<com::IUIAutomationFocusChangedEventHandler*>(
            static_cast<FocusHandler*>(registration.handler.get())));
    } else {
        a->RemoveAutomationEventHandler(registration.event, registration.element.get(),
                                        static_cast<com::IUIAutomationEventHandler*>(
                                            static_cast<SelectionHandler*>(registration.handler.get())));
    }
}

// Hears the selection events of `element` and everything in it.
HRESULT addSelectionHandler(const std::shared_ptr<ObserverState>& state, Element element,
                            const std::string& name, void* context, HWND page) {
    ObserverState::Registration registration{name, context, com::UIA_Text_TextSelectionChangedEventId,
                                             std::move(element), {}, page};
    auto* handler = new SelectionHandler(state, name, context);
    registration.handler = ComRef<IUnknown>(static_cast<com::IUIAutomationEventHandler*>(handler));
    const HRESULT hr = automation()->AddAutomationEventHandler(
        registration.event, registration.element.get(), com::TreeScope_Subtree, nullptr, handler);
    if (SUCCEEDED(hr)) state->registrations.push_back(std::move(registration));
    return hr;
}

HRESULT hearPage(const std::shared_ptr<ObserverState>& state, HWND page, const std::string& name,
                 void* context) {
    Element root;
    HRESULT hr = automation()->ElementFromHandle(page, root.put());
    if (SUCCEEDED(hr) && !root) hr = com::UIA_E_ELEMENTNOTAVAILABLE;
    return SUCCEEDED(hr) ? addSelectionHandler(state, std::move(root), name, context, page) : hr;
}

void followPageWindow(const std::shared_ptr<ObserverState>& state, HWND page) {
    // Those of page windows that are gone go first: the system may give a handle out again.
    std::erase_if(state->registrations, [](const ObserverState::Registration& registration) {
        if (registration.page == nullptr || IsWindow(registration.page)) return false;
        removeHandler(registration);
        return true;
    });
    const ObserverState::Registration* selection = nullptr;
    for (const ObserverState::Registration& registration : state->registrations) {
        if (registration.page == page) return;  // heard already
        if (registration.event != 0 && registration.page == nullptr) selection = &registration;
    }
    if (selection == nullptr || GetAncestor(page, GA_ROOT) != state->window || !isShown(page)) {
        return;
    }
    // A page that is busy now is asked again when it is next shown.
    if (wakePageWindow(page) == kAXErrorCannotComplete) return;
    const std::string name = selection->notification;
    hearPage(state, page, name, selection->context);
}

// Ends what an observer's source in the run loop started.
void stopWatching(ObserverState& state) {
    if (!state.delivering.exchange(false)) return;
    listenForReleases(false);
    if (state.pageHook != nullptr) UnhookWinEvent(std::exchange(state.pageHook, nullptr));
    watching().reset();
}

void destroyObserver(Object* observer) {
    ObserverState& state = *observer->observer;
    state.alive = false;
    stopWatching(state);
    for (const ObserverState::Registration& registration : state.registrations) removeHandler(registration);
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

    if (name == "AXFocusedUIElementChanged") {
        // With the process id of the new focus cached in each event.
        ObserverState::Registration registration{name, context, 0, {}, {}, nullptr};
        ComRef<com::IUIAutomationCacheRequest> cache;
        HRESULT hr = a->CreateCacheRequest(cache.put());
        if (SUCCEEDED(hr)) hr = cache->AddProperty(com::UIA_ProcessIdPropertyId);
        auto* handler = new FocusHandler(state, name, context);
        registration.handler = ComRef<IUnknown>(static_cast<com::IUIAutomationFocusChangedEventHandler*>(handler));
        if (SUCCEEDED(hr)) hr = a->AddFocusChangedEventHandler(cache.get(), handler);
        if (FAILED(hr)) return errorFor(hr);
        state->registrations.push_back(std::move(registration));
        return kAXErrorSuccess;
    }
    if (name != "AXSelectedTextChanged") return kAXErrorNotificationUnsupported;
    // Raised on the element where the selection ends, its text field, or the document (Chromium),
    // or the enclosing text container (Firefox): anywhere in the window. Chromium's shown pages are
    // woken first and heard on their own fragment roots too, which is what tells Chromium that a
    // client listens there. A registration that runs out undoes this call's others, so that asking
    // again starts clean.
    if (element->kind == Kind::Element) {
        const HRESULT hr = addSelectionHandler(state, Element::share(element->element.get()), name,
                                               context, nullptr);
        return FAILED(hr) ? errorFor(hr) : kAXErrorSuccess;
    }
    const std::vector<HWND> pages = pageWindowsOf(element->window);
    for (HWND page : pages) {
        if (wakePageWindow(page) == kAXErrorCannotComplete) return kAXErrorCannotComplete;
    }
    Element window;
    HRESULT hr = element->window == nullptr ? E_FAIL : a->ElementFromHandle(element->window, window.put());
    if (SUCCEEDED(hr) && !window) return kAXErrorInvalidUIElement;
    const std::size_t before = state->registrations.size();
    if (SUCCEEDED(hr)) hr = addSelectionHandler(state, std::move(window), name, context, nullptr);
    for (std::size_t i = 0; i < pages.size() && SUCCEEDED(hr); ++i) {
        hr = hearPage(state, pages[i], name, context);
    }
    if (FAILED(hr)) {
        for (std::size_t i = before; i < state->registrations.size(); ++i) {
            removeHandler(state->registrations[i]);
        }
        state->registrations.resize(before);
        return errorFor(hr);
    }
    state->window = element->window;
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
    const std::shared_ptr<ObserverState>& state = source->observer->observer;
    if (state->delivering.exchange(true)) return;
    watching() = state;
    if (!clearsSilently(state->pid)) return;
    listenForReleases(true);
    // Out of context, for the browser's process only: new and shown windows (page windows among
    // them), called on this thread from its message loop.
    state->pageHook = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_SHOW, nullptr, onPageWindow,
                                      static_cast<DWORD>(state->pid), 0, WINEVENT_OUTOFCONTEXT);
}

void runLoopRemoveSource(RunLoop*, RunLoopSource* source) {
    if (source != nullptr && source->observer != nullptr) stopWatching(*source->observer->observer);
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
