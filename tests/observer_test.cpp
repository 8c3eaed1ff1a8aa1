// Following the frontmost application with one observer at a time.
#include <algorithm>

#include "reporting/state.h"
#include "tests/support.h"
#include "watch/observer.h"

namespace sw::test {
namespace {

constexpr platform::ProcessId kFirefox = 301, kChrome = 302, kEditor = 303;

class ObserverTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::addApplication(kFirefox, "org.mozilla.firefox");
        sim::addApplication(kChrome, "com.google.Chrome");
        sim::addApplication(kEditor, "com.apple.TextEdit");
        platform::addActivationObserver(handleFrontmostChange);
    }
    std::vector<std::string> activate(std::optional<platform::ProcessId> pid) {
        return eventsOf([pid] {
            sim::activate(pid);
            sim::runUntilIdle();
        });
    }
    static std::size_t position(const std::string& call) {
        const auto& calls = sim::calls();
        const auto found = std::find(calls.begin(), calls.end(), call);
        EXPECT_NE(found, calls.end()) << "missing call: " << call;
        return static_cast<std::size_t>(found - calls.begin());
    }
    static long callsStartingWith(std::string_view prefix) {
        return std::count_if(sim::calls().begin(), sim::calls().end(),
                             [prefix](const std::string& c) { return c.starts_with(prefix); });
    }
    // The label of the observer made last, as the creation log names it ("-> o7").
    static std::string observerLabel() {
        for (auto it = sim::calls().rbegin(); it != sim::calls().rend(); ++it) {
            if (it->rfind("observerCreate", 0) == 0) return it->substr(it->find("-> ") + 3);
        }
        return "none";
    }
};

TEST_F(ObserverTest, SwitchingBrowsersReleasesTheFirstBeforeCreatingTheSecond) {
    activate(kFirefox);
    const std::string first = observerLabel();
    sim::clearCalls();
    activate(kChrome);
    const std::string second = observerLabel();
    EXPECT_NE(first, second);
    EXPECT_LT(position("runLoopRemoveSource " + first), position("release observer " + first));
    EXPECT_LT(position("release observer " + first), position("observerCreate 302 -> " + second));
    EXPECT_EQ(sim::liveObjects(sim::Kind::Observer), 1);
    EXPECT_EQ(sim::liveObjects(sim::Kind::Element), 1);
    EXPECT_EQ(sim::sourcesInRunLoop(), 1);
}

TEST_F(ObserverTest, ReactivatingTheSameBrowserBuildsAFreshObserver) {
    activate(kFirefox);
    const std::string first = observerLabel();
    activate(kFirefox);
    EXPECT_NE(observerLabel(), first);
    EXPECT_LT(position("release observer " + first), position("observerCreate 301 -> " + observerLabel()));
    EXPECT_EQ(callsStartingWith("observerAddNotification "), 4);
    EXPECT_EQ(callsStartingWith("setAttributeValue "), 2) << "one write per attach, and no other";
    EXPECT_EQ(sim::liveObjects(), 2);  // the observer and its application element
}

TEST_F(ObserverTest, RegistersBothNotificationsInOrderOnTheApplicationElement) {
    activate(kFirefox);
    const auto& calls = sim::calls();
    const auto created = std::find_if(calls.begin(), calls.end(),
                                      [](auto& c) { return c.rfind("observerCreate", 0) == 0; });
    ASSERT_NE(created, calls.end());
    const std::string element = calls[0].substr(calls[0].find("-> ") + 3);  // createApplicationElement
    EXPECT_EQ(*(created + 1), "setAttributeValue " + element + " AXManualAccessibility true");
    EXPECT_EQ(*(created + 2), "observerAddNotification " + observerLabel() + " " + element +
                                  " AXFocusedUIElementChanged");
    EXPECT_EQ(*(created + 3), "observerAddNotification " + observerLabel() + " " + element +
                                  " AXSelectedTextChanged");
    EXPECT_EQ(*(created + 4), "runLoopAddSource " + observerLabel());
}

TEST_F(ObserverTest, NonBrowserDropsTheObserverAndClearsOnce) {
    sim::selectText(kFirefox, "word", platform::Rect{1, 2, 3, 4});
    EXPECT_EQ(activate(kFirefox).size(), 1u);
    EXPECT_EQ(activate(kEditor), std::vector<std::string>{R"({"selection":false})"});
    EXPECT_EQ(sim::liveObjects(), 0);
    EXPECT_EQ(sim::sourcesInRunLoop(), 0);
    EXPECT_TRUE(activate(std::nullopt).empty());
}

TEST_F(ObserverTest, FailedRegistrationsAreReportedAndTheSourceStillAdded) {
    sim::setAddNotificationResult(kFirefox, "AXFocusedUIElementChanged", sim::kAXErrorAPIDisabled);
    Capture err(2);
    activate(kFirefox);
    EXPECT_EQ(err.stop(), "AXObserverAddNotification AXFocusedUIElementChanged failed: -25211\n");
    EXPECT_EQ(sim::sourcesInRunLoop(), 1);

    sim::setAddNotificationResult(kFirefox, "AXSelectedTextChanged", 7);
    sim::setAddNotificationResult(kFirefox, "AXFocusedUIElementChanged",
                                  platform::kAXErrorNotificationAlreadyRegistered);
    Capture err2(2);
    activate(kFirefox);
    EXPECT_EQ(err2.stop(), "AXObserverAddNotification AXSelectedTextChanged failed: 7\n");
    EXPECT_EQ(sim::sourcesInRunLoop(), 1);
    EXPECT_TRUE(currentObserver && currentAXApp);
}

TEST_F(ObserverTest, FailedCreationLeavesNothingWatched) {
    struct Case { platform::AXError code; bool returns; const char* line; };
    for (Case c : {Case{sim::kAXErrorCannotComplete, false, "AXObserverCreate failed: -25204\n"},
                   Case{sim::kAXErrorFailure, true, "AXObserverCreate failed: -25200\n"},
                   Case{platform::kAXErrorSuccess, false, "AXObserverCreate failed: 0\n"}}) {
        sim::setObserverCreateResult(kChrome, c.code, c.returns);
        activate(kFirefox);
        ASSERT_TRUE(currentObserver);
        Capture err(2);
        activate(kChrome);
        EXPECT_EQ(err.stop(), c.line);
        EXPECT_FALSE(currentObserver);
        EXPECT_FALSE(currentAXApp);
        EXPECT_EQ(sim::liveObjects(), 0);
        const int queries = sim::queryCount();
        eventsOf([] { sim::runUntilIdle(); });
        activate(kChrome);  // tried again on the next activation, still failing
        EXPECT_EQ(sim::queryCount(), queries) << "nothing watched, nothing queried";
    }
    EXPECT_EQ(callsStartingWith("setAttributeValue "), 3) << "nothing written where not watched";
}

TEST_F(ObserverTest, EachDeliveredNotificationEvaluatesOnce) {
    activate(kFirefox);
    const int before = sim::queryCount("AXFocusedUIElement");
    sim::postNotification(kFirefox, "AXSelectedTextChanged");
    sim::postNotification(kFirefox, "AXFocusedUIElementChanged");
    sim::postNotification(kFirefox, "AXValueChanged");     // not registered
    sim::postNotification(kChrome, "AXSelectedTextChanged");  // another process
    eventsOf([] { sim::runUntilIdle(); });
    EXPECT_EQ(sim::queryCount("AXFocusedUIElement"), before + 2);

    activate(kEditor);
    sim::postNotification(kFirefox, "AXSelectedTextChanged");  // observer gone
    eventsOf([] { sim::runUntilIdle(); });
    EXPECT_EQ(sim::queryCount("AXFocusedUIElement"), before + 2);
}

TEST_F(ObserverTest, SelectionFollowsNotificationsThroughTheWholeChain) {
    std::vector<std::string> events = activate(kFirefox);
    events.push_back("--");
    const auto step = [&](std::string text) {
        sim::selectText(kFirefox, std::move(text), platform::Rect{10, 20, 30, 40});
        sim::postNotification(kFirefox, "AXSelectedTextChanged");
        for (auto& e : eventsOf([] { sim::runUntilIdle(); })) events.push_back(e);
    };
    step("a");
    step("ab");
    step("");
    step("b");
    EXPECT_EQ(events, (std::vector<std::string>{
        R"({"selection":false})", "--",
        R"({"app":"org.mozilla.firefox","bounds":{"height":40,"width":30,"x":10,"y":20},"selection":true})",
        R"({"selection":false})",
        R"({"app":"org.mozilla.firefox","bounds":{"height":40,"width":30,"x":10,"y":20},"selection":true})"}));
}

}  // namespace
}  // namespace sw::test
