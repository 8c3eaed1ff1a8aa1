// The simulated workspace: the applications, which one is in front, activation notifications, and
// how creating and registering observers turns out for each.
#include <cstdlib>
#include <thread>

#include "platform/sim/internal.h"

namespace sw::sim {

void reset() {
    Desktop& d = desktop();
    d.trusted = true;
    d.listenEventAccess = false;
    d.messagingTimeout = kDefaultMessagingTimeout;
    d.applications.clear();
    d.frontmost.reset();
    d.elements.clear();
    d.activationHandlers.clear();
    d.totalQueries = 0;
    d.queries.clear();
    d.calls.clear();
    resetModels();
    resetLoop();
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

void setHung(ProcessId pid, bool hung) { desktop().applications[pid].hung = hung; }

AXError waitIfHung(ProcessId pid) {
    auto app = desktop().applications.find(pid);
    if (app == desktop().applications.end() || !app->second.hung) return platform::kAXErrorSuccess;
    std::this_thread::sleep_for(std::chrono::duration<float>(desktop().messagingTimeout));
    return kAXErrorCannotComplete;
}

void setObserverCreateResult(ProcessId pid, AXError code, bool returnsObserver) {
    Application& app = desktop().applications[pid];
    app.createCode = code;
    app.createReturnsObserver = returnsObserver;
}

void setAddNotificationResult(ProcessId pid, const std::string& notification, AXError code, bool once) {
    Application& app = desktop().applications[pid];
    (once ? app.registerOnce : app.registerCodes)[notification] = code;
}

}  // namespace sw::sim

namespace sw::platform {

using sim::desktop;

bool isProcessTrusted() { return desktop().trusted; }

AXError setMessagingTimeout(float seconds) {
    if (!(seconds >= 0)) return kAXErrorIllegalArgument;
    desktop().messagingTimeout = seconds == 0 ? sim::kDefaultMessagingTimeout : seconds;  // 0: the default
    return kAXErrorSuccess;
}

Owned frontmostApplication() {
    sim::Desktop& d = desktop();
    if (!d.frontmost || !d.applications.contains(*d.frontmost)) return {};
    Object* o = sim::newObject(sim::Kind::Application);
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

void addActivationObserver(Task handler) {
    // Set up by main after every static object of the watcher's exists: from the exit on, which
    // runs this first, a release of what the watcher holds is a fault (release aborts).
    static const bool marked = std::atexit([] { desktop().exiting = true; }) == 0;
    (void)marked;
    desktop().activationHandlers.push_back(handler);
}

}  // namespace sw::platform
