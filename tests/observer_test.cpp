// What the observer says when it cannot follow a browser, and how often it evaluates. The order of
// making and releasing observers is checked by the soak and fuzz programs.
#include "reporting/state.h"
#include "tests/support.h"
#include "watch/observer.h"

namespace sw::test {
namespace {

constexpr platform::ProcessId kFirefox = 301, kChrome = 302;

class ObserverTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::addApplication(kFirefox, "org.mozilla.firefox");
        sim::addApplication(kChrome, "com.google.Chrome");
        platform::addActivationObserver(handleFrontmostChange);
    }
    static void activate(platform::ProcessId pid) {
        eventsOf([pid] {
            sim::activate(pid);
            sim::runUntilIdle();
        });
    }
};

TEST_F(ObserverTest, FailuresAreReportedOnce) {
    struct Case {
        platform::AXError create;
        bool returnsObserver;
        platform::AXError focusChanged, textChanged;
        const char* diagnostics;
    };
    const Case cases[] = {
        {0, true, -25211, 0, "AXObserverAddNotification AXFocusedUIElementChanged failed: -25211\n"},
        {0, true, -25209, 7, "AXObserverAddNotification AXSelectedTextChanged failed: 7\n"},
        {0, true, -25200, -25201,
         "AXObserverAddNotification AXFocusedUIElementChanged failed: -25200\n"
         "AXObserverAddNotification AXSelectedTextChanged failed: -25201\n"},
        {-25204, false, 0, 0, "AXObserverCreate failed: -25204\n"},
        {-25200, true, 0, 0, "AXObserverCreate failed: -25200\n"},
        {0, false, 0, 0, "AXObserverCreate failed: 0\n"},
    };
    for (const Case& c : cases) {
        sim::setObserverCreateResult(kChrome, c.create, c.returnsObserver);
        sim::setAddNotificationResult(kChrome, "AXFocusedUIElementChanged", c.focusChanged);
        sim::setAddNotificationResult(kChrome, "AXSelectedTextChanged", c.textChanged);
        activate(kFirefox);
        Capture err(2);
        activate(kChrome);
        EXPECT_EQ(err.stop(), c.diagnostics);
        const int watched = c.create == 0 && c.returnsObserver ? 1 : 0;
        EXPECT_EQ(sim::sourcesInRunLoop(), watched) << c.diagnostics;
        EXPECT_EQ(sim::liveObjects(), 2 * watched) << c.diagnostics;
    }
}

TEST_F(ObserverTest, EachDeliveredNotificationEvaluatesOnce) {
    activate(kFirefox);
    const int before = sim::queryCount("AXFocusedUIElement");
    sim::postNotification(kFirefox, "AXSelectedTextChanged");
    sim::postNotification(kFirefox, "AXFocusedUIElementChanged");
    sim::postNotification(kFirefox, "AXValueChanged");        // not registered
    sim::postNotification(kChrome, "AXSelectedTextChanged");  // another process
    eventsOf(sim::runUntilIdle);
    EXPECT_EQ(sim::queryCount("AXFocusedUIElement"), before + 2);
}

}  // namespace
}  // namespace sw::test
