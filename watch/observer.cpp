#include "watch/observer.h"

#include <deque>
#include <string>
#include <utility>

#include "reporting/evaluator.h"
#include "reporting/output.h"
#include "reporting/snapshot.h"
#include "reporting/state.h"
#include "watch/followup.h"

namespace sw {
namespace {

// Registered in this order on every new observer.
constexpr const char* kNotifications[] = {"AXFocusedUIElementChanged", "AXSelectedTextChanged"};

// How much of a window is walked looking for its page, once per attach.
constexpr int kWalkLevels = 8;
constexpr std::size_t kWalkElements = 200;

// Reads the role (and, while going down, the children) of each element of the window breadth
// first, until a web area or a bound is reached. Reading the role of the page's container is what
// turns Chromium's page tree on when its activation refinements are.
void walkToPage(platform::Owned window) {
    std::deque<std::pair<platform::Owned, int>> queue;  // elements to read, with their level
    queue.emplace_back(std::move(window), 0);
    std::size_t queued = 1;
    for (; !queue.empty(); queue.pop_front()) {
        const platform::Ref element = queue.front().first.get();
        const int level = queue.front().second;
        bool busy = false;
        if (isWebArea(element, busy) || busy) return;
        if (level + 1 == kWalkLevels) continue;
        platform::Owned children;
        if (platform::copyAttributeValue(element, "AXChildren", children) ==
            platform::kAXErrorCannotComplete) {
            return;
        }
        const std::size_t count = children ? platform::arrayCount(children.get()) : 0;
        for (std::size_t i = 0; i < count && queued < kWalkElements; ++i) {
            platform::Owned child =
                asElement(platform::kAXErrorSuccess, platform::arrayItem(children.get(), i));
            if (!child) continue;
            queue.emplace_back(std::move(child), level + 1);
            ++queued;
        }
    }
}

// Browsers build the accessibility tree of their pages only once a client reads from them. Reading
// the application's role (done first, by the caller) wakes Chromium's and Firefox's; Chromium with
// its activation refinements waits for the role of the page's container, which the walk of the
// window reads unless the focus already lies in a page. Nothing is written into the application.
void wakePage(platform::Ref application) {
    platform::Owned value;
    platform::AXError code = platform::copyAttributeValue(application, "AXFocusedWindow", value);
    platform::Owned window = asElement(code, std::move(value));
    if (!window) return;  // no window to look into (the Linux desktop answers none, asking nothing)
    code = platform::copyAttributeValue(application, "AXFocusedUIElement", value);
    if (platform::Owned focused = asElement(code, std::move(value))) {
        bool busy = false;
        if (isWebArea(focused.get(), busy) || busy) return;
        if (webAreaAbove(focused.get(), busy) || busy) return;
    }
    walkToPage(std::move(window));
}

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
    endFollowUps();  // the releases it heard are of no more interest
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

    // The wake-up read: the application's role (its answer is not needed), then the page.
    platform::Owned role;
    platform::copyAttributeValue(currentAXApp.get(), "AXRole", role);
    role.reset();
    wakePage(currentAXApp.get());
}

void axCallback(platform::Ref, platform::Ref, platform::Ref, void*) { evaluateAndEmit(); }

}  // namespace sw
