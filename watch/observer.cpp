#include "watch/observer.h"

#include <string>

#include "reporting/evaluator.h"
#include "reporting/output.h"
#include "reporting/state.h"

namespace sw {
namespace {

// Registered in this order on every new observer.
constexpr const char* kNotifications[] = {"AXFocusedUIElementChanged", "AXSelectedTextChanged"};

}  // namespace

void handleFrontmostChange() {
    platform::Owned front = platform::frontmostApplication();
    if (front && isAllowedBrowser(platform::bundleIdentifier(front.get()))) {
        attachObserver(platform::processIdentifier(front.get()));
    } else {
        tearDownObserver();
    }
    evaluateAndEmit();
}

void tearDownObserver() {
    if (currentObserver) {
        platform::runLoopRemoveSource(platform::runLoopGetCurrent(),
                                      platform::observerGetRunLoopSource(currentObserver.get()));
    }
    currentObserver.reset();
    currentAXApp.reset();
}

void attachObserver(platform::ProcessId forPid) {
    // Always start afresh, even for the process already watched.
    tearDownObserver();

    platform::Owned application = platform::createApplicationElement(forPid);
    platform::Owned observer;
    const platform::AXError created = platform::observerCreate(forPid, axCallback, observer);
    if (created != platform::kAXErrorSuccess || !observer) {
        logErr("AXObserverCreate failed: " + std::to_string(created));
        return;  // both handles are released here; nothing is watched
    }

    currentObserver = std::move(observer);
    currentAXApp = std::move(application);

    for (const char* name : kNotifications) {
        const platform::AXError result = platform::observerAddNotification(
            currentObserver.get(), currentAXApp.get(), name, nullptr);
        if (result != platform::kAXErrorSuccess &&
            result != platform::kAXErrorNotificationAlreadyRegistered) {
            logErr(std::string("AXObserverAddNotification ") + name + " failed: " +
                   std::to_string(result));
        }
    }
    // Added even when no registration succeeded: the observer stays in place either way.
    platform::runLoopAddSource(platform::runLoopGetCurrent(),
                               platform::observerGetRunLoopSource(currentObserver.get()));

    // Browsers build the accessibility tree of their pages only once a client reads from them:
    // reading the application's role is what wakes Chromium's and Firefox's. A read, never a
    // write; the answer itself is not needed.
    platform::Owned role;
    platform::copyAttributeValue(currentAXApp.get(), "AXRole", role);
}

void axCallback(platform::Ref, platform::Ref, platform::Ref, void*) { evaluateAndEmit(); }

}  // namespace sw
