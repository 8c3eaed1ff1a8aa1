#include "watch/observer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "reporting/evaluator.h"
#include "reporting/output.h"
#include "reporting/snapshot.h"
#include "reporting/state.h"
#include "watch/followup.h"

namespace sw {
namespace {

// Registered in this order on every new observer.
constexpr const char* kNotifications[] = {"AXFocusedUIElementChanged", "AXSelectedTextChanged"};
constexpr unsigned kAllNotifications = (1u << std::size(kNotifications)) - 1;

// Registrations that ran out of time are made again after these waits, doubling up to the last,
// for as long as the observer stays; once they are all made, nothing more is scheduled.
constexpr std::uint32_t kFirstRetryMilliseconds = 250;
constexpr std::uint32_t kLastRetryMilliseconds = 4000;

// A second observer, for the process that answers for the watched browser's pages when that is
// not the browser's own (Safari's pages answer from their WebContent process, and post their
// notifications there). Main thread only; the handles, as the first observer's, are never
// destroyed, so the exit releases nothing.
struct PageProcess {
    platform::ProcessId pid = 0;  // 0: none followed
    platform::Owned& observer = *new platform::Owned;
    platform::Owned& application = *new platform::Owned;
};
PageProcess page;

// The watched process, and the registrations still to be made again (bits of kNotifications),
// of the first observer and of the page process's.
platform::ProcessId watchedPid = 0;
unsigned missingOfBrowser = 0, missingOfPage = 0;
platform::TimerId retryTimer = 0;
std::uint32_t retryDelay = 0;

// Makes the registrations `wanted` (bits of kNotifications) and gives back those the application
// did not answer in time. Other failures are reported and not made again; a time-out is reported
// only on the first attempt.
unsigned registerNotifications(platform::Ref observer, platform::Ref application, unsigned wanted,
                               bool firstAttempt) {
    unsigned missing = 0;
    for (std::size_t i = 0; i < std::size(kNotifications); ++i) {
        if ((wanted & (1u << i)) == 0) continue;
        const platform::AXError result =
            platform::observerAddNotification(observer, application, kNotifications[i], nullptr);
        if (result == platform::kAXErrorCannotComplete) missing |= 1u << i;
        if (result != platform::kAXErrorSuccess &&
            result != platform::kAXErrorNotificationAlreadyRegistered &&
            (firstAttempt || result != platform::kAXErrorCannotComplete)) {
            logErr(std::string("AXObserverAddNotification ") + kNotifications[i] + " failed: " +
                   std::to_string(result));
        }
    }
    return missing;
}

void retryRegistrations();

void scheduleRetry() {
    if (retryTimer != 0 || (missingOfBrowser | missingOfPage) == 0) return;
    retryDelay = retryDelay == 0 ? kFirstRetryMilliseconds
                                 : std::min(retryDelay * 2, kLastRetryMilliseconds);
    retryTimer = platform::addMainLoopTimer(retryDelay, retryRegistrations);
}

void retryRegistrations() {
    retryTimer = 0;
    if (currentObserver && missingOfBrowser != 0) {
        missingOfBrowser =
            registerNotifications(currentObserver.get(), currentAXApp.get(), missingOfBrowser, false);
    }
    if (page.observer && missingOfPage != 0) {
        missingOfPage =
            registerNotifications(page.observer.get(), page.application.get(), missingOfPage, false);
    }
    if ((missingOfBrowser | missingOfPage) != 0) {
        scheduleRetry();
        return;
    }
    // Whatever changed while nothing was heard is looked at once.
    retryDelay = 0;
    evaluateAndEmit();
}

void stopRetrying() {
    platform::removeMainLoopTimer(retryTimer);
    retryTimer = 0;
    retryDelay = 0;
    missingOfBrowser = missingOfPage = 0;
}

// An observer for `pid`, or none after a diagnostic. Access taken away ends the process, as at
// start.
platform::Owned createObserver(platform::ProcessId pid) {
    platform::Owned observer;
    const platform::AXError created = platform::observerCreate(pid, axCallback, observer);
    if (created == platform::kAXErrorAPIDisabled) exitAccessDenied();
    if (created != platform::kAXErrorSuccess || !observer) {
        logErr("AXObserverCreate failed: " + std::to_string(created));
        return {};
    }
    return observer;
}

void dropPageProcess() {
    if (page.observer) {
        platform::runLoopRemoveSource(platform::runLoopGetCurrent(),
                                      platform::observerGetRunLoopSource(page.observer.get()));
    }
    page.observer.reset();
    page.application.reset();
    page.pid = 0;
    missingOfPage = 0;
}

// Whether a page of the watched browser was seen to answer from the browser's own process (every
// browser but Safari): then a focus notification needs no look at where the focus lies.
bool pagesInBrowserProcess = false;

void notePage(platform::Ref page) {
    if (platform::elementGetPid(page) == watchedPid) pagesInBrowserProcess = true;
}

// Follows the process that answers for `focused` when it is another than the watched browser's:
// its notifications reach only an observer of that process. One such process at a time.
void followPageProcess(platform::Ref focused) {
    const platform::ProcessId pid = platform::elementGetPid(focused);
    if (pid == 0 || pid == watchedPid || pid == page.pid || !currentObserver) return;
    dropPageProcess();
    platform::Owned observer = createObserver(pid);
    if (!observer) return;
    page.observer = std::move(observer);
    page.application = platform::createApplicationElement(pid);
    page.pid = pid;
    missingOfPage =
        registerNotifications(page.observer.get(), page.application.get(), kAllNotifications, true);
    platform::runLoopAddSource(platform::runLoopGetCurrent(),
                               platform::observerGetRunLoopSource(page.observer.get()));
    scheduleRetry();
}

// How many accessibility calls one walk of a window may make, once per attach. A browser window
// with its tab strip, toolbar and bookmarks bar takes about twenty.
constexpr int kWalkCalls = 200;

// Reads the elements of the window largest first, by "AXSize": of each, its role, then its
// children and their sizes. A browser's page fills most of its window, so the page's container
// and its ancestors come before every tab, button and bookmark. The walk ends at a web area, or at
// the first element without children: being the largest such, it is the page's container before
// its page tree exists, whose role, once read, is what turns Chromium's page tree on when its
// activation refinements are. A busy application is asked nothing more. The process of a web area
// found is followed, as that of a focus in the page would be.
void walkToPage(platform::Owned window) {
    struct Candidate {
        double area;
        std::size_t order;  // of finding, so that equal sizes go in the window's order
        platform::Owned element;
    };
    const auto smaller = [](const Candidate& a, const Candidate& b) {
        return a.area < b.area || (a.area == b.area && a.order > b.order);
    };
    std::vector<Candidate> heap;
    heap.push_back({0, 0, std::move(window)});
    std::size_t found = 1;
    int calls = 0;
    const auto ask = [&calls](platform::Ref element, const char* attribute, platform::Owned& value) {
        ++calls;
        return platform::copyAttributeValue(element, attribute, value) != platform::kAXErrorCannotComplete;
    };
    while (!heap.empty() && calls < kWalkCalls) {
        std::pop_heap(heap.begin(), heap.end(), smaller);
        const platform::Owned element = std::move(heap.back().element);
        heap.pop_back();
        bool busy = false;
        ++calls;
        if (isWebArea(element.get(), busy)) {
            notePage(element.get());
            return followPageProcess(element.get());
        }
        if (busy) return;
        platform::Owned children;
        if (!ask(element.get(), "AXChildren", children)) return;
        const std::size_t count = children ? platform::arrayCount(children.get()) : 0;
        if (count == 0) return;  // the largest element without children
        for (std::size_t i = 0; i < count && calls < kWalkCalls; ++i) {
            platform::Owned child =
                asElement(platform::kAXErrorSuccess, platform::arrayItem(children.get(), i));
            if (!child) continue;
            platform::Owned value;
            if (!ask(child.get(), "AXSize", value)) return;
            platform::Size size;
            const bool sized = value && platform::valueGetSize(value.get(), size) &&
                               std::isfinite(size.width) && std::isfinite(size.height) &&
                               size.width > 0 && size.height > 0;
            heap.push_back({sized ? size.width * size.height : 0, found++, std::move(child)});
            std::push_heap(heap.begin(), heap.end(), smaller);
        }
    }
}

// Browsers build the accessibility tree of their pages only once a client reads from them. Reading
// the application's role (done first, by the caller) wakes Chromium's and Firefox's; Chromium with
// its activation refinements waits for the role of the page's container, which the walk of the
// window reads unless the focus already lies in a page. Nothing is written into the application,
// and a question it cannot complete (busy or hung) ends the reading.
void wakePage(platform::Ref application) {
    platform::Owned value;
    platform::AXError code = platform::copyAttributeValue(application, "AXFocusedWindow", value);
    platform::Owned window = asElement(code, std::move(value));
    if (!window) return;  // no window to look into (the Linux desktop answers none, asking nothing)
    code = platform::copyAttributeValue(application, "AXFocusedUIElement", value);
    if (code == platform::kAXErrorCannotComplete) return;
    if (platform::Owned focused = asElement(code, std::move(value))) {
        followPageProcess(focused.get());
        bool busy = false;
        if (isWebArea(focused.get(), busy)) return notePage(focused.get());
        if (busy) return;
        if (platform::Owned area = webAreaAbove(focused.get(), busy)) return notePage(area.get());
        if (busy) return;
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
    stopRetrying();
    dropPageProcess();
    if (currentObserver) {
        platform::runLoopRemoveSource(platform::runLoopGetCurrent(),
                                      platform::observerGetRunLoopSource(currentObserver.get()));
    }
    currentObserver.reset();
    currentAXApp.reset();
    watchedPid = 0;
    pagesInBrowserProcess = false;
}

void attachObserver(platform::ProcessId forPid) {
    // Always start afresh, even for the process already watched.
    tearDownObserver();

    platform::Owned application = platform::createApplicationElement(forPid);
    platform::Owned observer = createObserver(forPid);
    if (!observer) return;  // both handles are released here; nothing is watched

    currentObserver = std::move(observer);
    currentAXApp = std::move(application);
    watchedPid = forPid;
    boundsMayComeLater = true;

    // A busy application may let a registration run out of time: it is made again later.
    missingOfBrowser =
        registerNotifications(currentObserver.get(), currentAXApp.get(), kAllNotifications, true);
    // Added even when no registration succeeded: the observer stays in place either way.
    platform::runLoopAddSource(platform::runLoopGetCurrent(),
                               platform::observerGetRunLoopSource(currentObserver.get()));
    scheduleRetry();

    // The wake-up read: the application's role (its answer is not needed), then the page. An
    // application that cannot complete it is asked nothing more here.
    platform::Owned role;
    const platform::AXError read = platform::copyAttributeValue(currentAXApp.get(), "AXRole", role);
    role.reset();
    if (read != platform::kAXErrorCannotComplete) wakePage(currentAXApp.get());
}

void axCallback(platform::Ref observer, platform::Ref, platform::Ref notification, void*) {
    // The focus may have moved into a page of another process (a tab of its own): follow it.
    // Systems that do not tell an element's process, and browsers whose pages answer from their
    // own, have nothing to follow and are not asked.
    if (observer == currentObserver.get() && !pagesInBrowserProcess && notification != nullptr &&
        platform::stringValue(notification) == kNotifications[0] &&
        platform::elementGetPid(currentAXApp.get()) != 0) {
        platform::Owned focused;
        const platform::AXError code =
            platform::copyAttributeValue(currentAXApp.get(), "AXFocusedUIElement", focused);
        if (platform::Owned element = asElement(code, std::move(focused))) followPageProcess(element.get());
    }
    evaluateAndEmit();
}

}  // namespace sw
