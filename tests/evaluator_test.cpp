// What the evaluator makes of the numbers it is given and of the second read of the identifier;
// which browsers count and when it reports are checked by the soak and fuzz programs.
#include <cmath>
#include <limits>

#include "reporting/evaluator.h"
#include "reporting/state.h"
#include "tests/support.h"

namespace sw::test {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using EvaluatorTest = SimTest;

TEST_F(EvaluatorTest, RoundsHalvesAwayFromZeroWithinInt64) {
    const std::pair<double, std::optional<std::int64_t>> cases[] = {
        {2.5, 3}, {-2.5, -3}, {0.49, 0}, {-0.5, -1}, {10.5, 11}, {-3.5, -4}, {100.4, 100},
        {0.49999999999999994, 0},  // floor(x + 0.5) would give 1
        {4503599627370497.0, 4503599627370497}, {-9223372036854775808.0, INT64_MIN},
        {9223372036854775808.0, std::nullopt}, {-9223372036854777856.0, std::nullopt},
        {kNaN, std::nullopt}, {kInf, std::nullopt}, {-kInf, std::nullopt}};
    for (const auto& [value, rounded] : cases) EXPECT_EQ(roundToInt64(value), rounded) << value;
}

TEST_F(EvaluatorTest, BoundsNeedIntegersAndArea) {
    const std::pair<platform::Rect, std::optional<Bounds>> cases[] = {
        {{10.5, -3.5, 100.4, 20.6}, Bounds{{"x", 11}, {"y", -4}, {"width", 100}, {"height", 21}}},
        {{-1e18, 0, 0.5, 1e18}, Bounds{{"x", -1000000000000000000}, {"y", 0}, {"width", 1},
                                       {"height", 1000000000000000000}}},
        {{1, 1, 100, 0.3}, std::nullopt}, {{1, 1, 0.49, 7}, std::nullopt},
        {{kNaN, 0, 1, 1}, std::nullopt},  {{0, kInf, 1, 1}, std::nullopt},
        {{1e19, 0, 1, 1}, std::nullopt},  {{0, 0, 1e300, 1}, std::nullopt}};
    for (const auto& [rect, bounds] : cases) EXPECT_EQ(boundsMember(rect), bounds) << rect.x << "," << rect.width;
}

TEST_F(EvaluatorTest, AppIsReadAgainAtTheTransition) {
    sim::addApplication(101, "org.mozilla.firefox");
    currentAXApp = platform::createApplicationElement(101);
    sim::setFrontmost(101);
    sim::selectText(101, "word");
    sim::queueBundleAnswers(101, {"org.mozilla.firefox", std::nullopt});
    EXPECT_EQ(eventsOf(evaluateAndEmit), std::vector<std::string>{R"({"app":"","selection":true})"});
}

}  // namespace
}  // namespace sw::test
