#include "watch/observer.h"

#include <algorithm>
#include <cmath>
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

// How many accessibility calls one walk of a window may make, once per attach. A browser window
// with its tab strip, toolbar and bookmarks bar takes about twenty.
constexpr int kWalkCalls = 200;

// Reads the elements of the window largest first, by "AXSize": of each, its role, then its
// children and their sizes. A browser's page fills most of its window, so the page's container
// and its ancestors come before every tab, button and bookmark. The walk ends at a web area, or at
// the first element without children: being the largest such, it is the page's container before
// its page tree exists, whose role, once read, is what turns Chromium's page tree on when its
// activation refinements are. A busy application is asked nothing more.
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
        if (isWebArea(element.get(), busy) || busy) return;
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

    // The wake-up read: the application's role (its answer is not needed), then the page. An
    // application that cannot complete it is asked nothing more here.
    platform::Owned role;
    const platform::AXError read = platform::copyAttributeValue(currentAXApp.get(), "AXRole", role);
    role.reset();
    if (read != platform::kAXErrorCannotComplete) wakePage(currentAXApp.get());
}

void axCallback(platform::Ref, platform::Ref, platform::Ref, void*) { evaluateAndEmit(); }

}  // namespace sw
