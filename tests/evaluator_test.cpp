// When the evaluator reports, and what a present event holds.
#include <cmath>
#include <limits>

#include "reporting/evaluator.h"
#include "reporting/state.h"
#include "tests/support.h"

namespace sw::test {
namespace {

constexpr platform::ProcessId kFirefox = 101, kSafari = 102, kEditor = 103, kNoBundle = 104;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class EvaluatorTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::addApplication(kFirefox, "org.mozilla.firefox");
        sim::addApplication(kSafari, "com.apple.Safari");
        sim::addApplication(kEditor, "com.apple.TextEdit");
        sim::addApplication(kNoBundle, std::nullopt);
    }
    // Watches `pid` the way the observer would, and brings it to the front.
    void watch(platform::ProcessId pid) {
        currentAXApp = platform::createApplicationElement(pid);
        sim::setFrontmost(pid);
    }
    std::vector<std::string> evaluate(int times = 1) {
        return eventsOf([times] {
            for (int i = 0; i < times; ++i) evaluateAndEmit();
        });
    }
};

TEST_F(EvaluatorTest, ReportsOnlyChangesOfTheFlag) {
    watch(kFirefox);
    EXPECT_EQ(evaluate(3), std::vector<std::string>{R"({"selection":false})"});
    EXPECT_EQ(lastEmitted, false);

    sim::selectText(kFirefox, "one", platform::Rect{1, 2, 3, 4});
    EXPECT_EQ(evaluate(3), std::vector<std::string>{
        R"({"app":"org.mozilla.firefox","bounds":{"height":4,"width":3,"x":1,"y":2},"selection":true})"});

    // Another word, another rectangle, even another allowed browser in front: still selected.
    sim::selectText(kFirefox, "two words", platform::Rect{50, 60, 70, 80});
    sim::setFrontmost(kSafari);
    EXPECT_TRUE(evaluate().empty());

    sim::selectText(kFirefox, "");
    EXPECT_EQ(evaluate(2), std::vector<std::string>{R"({"selection":false})"});
}

TEST_F(EvaluatorTest, FirstEvaluationAlwaysReports) {
    for (std::optional<platform::ProcessId> front :
         {std::optional<platform::ProcessId>(kFirefox), std::optional(kEditor), std::optional(kNoBundle),
          std::optional<platform::ProcessId>()}) {
        lastEmitted.reset();
        sim::setFrontmost(front);
        EXPECT_EQ(evaluate(), std::vector<std::string>{R"({"selection":false})"});
    }
    lastEmitted.reset();
    watch(kFirefox);
    sim::selectText(kFirefox, " ");  // whitespace is text
    const auto events = evaluate();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], R"({"app":"org.mozilla.firefox","selection":true})");
}

TEST_F(EvaluatorTest, LeavingTheBrowsersClearsOnceWithoutQuerying) {
    watch(kFirefox);
    sim::selectText(kFirefox, "word", platform::Rect{1, 1, 1, 1});
    evaluate();
    const int queries = sim::queryCount();
    for (auto other : {kEditor, kNoBundle}) {
        sim::setFrontmost(other);
        evaluate();
    }
    sim::setFrontmost(std::nullopt);
    EXPECT_TRUE(evaluate().empty());
    EXPECT_EQ(sim::queryCount(), queries) << "no snapshot outside the browsers";

    sim::setFrontmost(kFirefox);
    EXPECT_EQ(evaluate().size(), 1u);
    sim::setFrontmost(kEditor);
    EXPECT_EQ(evaluate(2), std::vector<std::string>{R"({"selection":false})"});
}

TEST_F(EvaluatorTest, AppIsReadAgainAndMayBeEmpty) {
    watch(kFirefox);
    sim::selectText(kFirefox, "word");
    sim::queueBundleAnswers(kFirefox, {"org.mozilla.firefox", std::nullopt});
    EXPECT_EQ(evaluate(), std::vector<std::string>{R"({"app":"","selection":true})"});
}

TEST_F(EvaluatorTest, BundleIdentifiersMatchExactly) {
    EXPECT_TRUE(isAllowedBrowser("company.thebrowser.Browser"));
    for (const char* near : {"com.apple.safari", "ORG.MOZILLA.FIREFOX", "com.google.Chrome ", "",
                             "com.google.Chrome.dev", "org.mozilla"}) {
        EXPECT_FALSE(isAllowedBrowser(std::string(near))) << near;
    }
    EXPECT_FALSE(isAllowedBrowser(std::nullopt));
    EXPECT_EQ(ALLOWED_BUNDLES.size(), 7u);
}

TEST_F(EvaluatorTest, RoundsHalvesAwayFromZero) {
    watch(kFirefox);
    sim::selectText(kFirefox, "word", platform::Rect{10.5, -3.5, 100.4, 20.6});
    EXPECT_EQ(evaluate(), std::vector<std::string>{
        R"({"app":"org.mozilla.firefox","bounds":{"height":21,"width":100,"x":11,"y":-4},"selection":true})"});

    EXPECT_EQ(roundToInt64(2.5), 3);
    EXPECT_EQ(roundToInt64(-2.5), -3);
    EXPECT_EQ(roundToInt64(0.49), 0);
    EXPECT_EQ(roundToInt64(-0.5), -1);
    EXPECT_EQ(roundToInt64(0.49999999999999994), 0);  // naive floor(x + 0.5) gives 1
    EXPECT_EQ(roundToInt64(-9223372036854775808.0), INT64_MIN);
    EXPECT_FALSE(roundToInt64(9223372036854775808.0));  // 2^63
    EXPECT_FALSE(roundToInt64(-9223372036854777856.0));  // next double below -2^63
    EXPECT_FALSE(roundToInt64(kNaN));
    EXPECT_FALSE(roundToInt64(-kInf));
}

TEST_F(EvaluatorTest, RectangleWithoutIntegerFormOrAreaIsLeftOut) {
    // Origins are not checked by the snapshot, so they reach the conversion as they are; an extent
    // under half a unit passes the snapshot but rounds to nothing.
    for (platform::Rect rect : {platform::Rect{kNaN, 0, 1, 1}, platform::Rect{0, kInf, 1, 1},
                                platform::Rect{1e19, 0, 1, 1}, platform::Rect{0, 0, 1e300, 1},
                                platform::Rect{-1e19, 0, 1, 1}, platform::Rect{1, 1, 100, 0.3},
                                platform::Rect{1, 1, 0.49, 7}}) {
        lastEmitted = false;
        watch(kFirefox);
        sim::selectText(kFirefox, "word", rect);
        EXPECT_EQ(evaluate(), std::vector<std::string>{R"({"app":"org.mozilla.firefox","selection":true})"})
            << rect.x << " " << rect.y << " " << rect.width;
    }
}

}  // namespace
}  // namespace sw::test
