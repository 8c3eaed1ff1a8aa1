// The chain of queries behind one snapshot: what each failing link gives, and that nothing after it
// is asked and nothing is left alive.
#include <limits>

#include "reporting/snapshot.h"
#include "reporting/state.h"
#include "tests/support.h"

namespace sw::test {
namespace {

constexpr platform::ProcessId kBrowser = 201;
using sim::Answer;

class SnapshotTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::addApplication(kBrowser, "com.google.Chrome");
        currentAXApp = platform::createApplicationElement(kBrowser);
        element = sim::selectText(kBrowser, "selected", platform::Rect{-5, -6, 7, 8});
    }
    SelectionInfo snapshot() {
        SelectionInfo info = currentSelectionInfo();
        EXPECT_EQ(sim::liveObjects(), 1) << "only the watched application element may stay alive";
        if (info.text.empty()) {
            EXPECT_FALSE(info.bounds);
        }
        return info;
    }
    int element = 0;
};

TEST_F(SnapshotTest, WholeChainReturnsTextAndRectangleUnchanged) {
    const SelectionInfo info = snapshot();
    EXPECT_EQ(info.text, "selected");
    ASSERT_TRUE(info.bounds);
    EXPECT_EQ(info.bounds->x, -5);
    EXPECT_EQ(info.bounds->height, 8);
    EXPECT_EQ(sim::queryCount(), 4);
}

TEST_F(SnapshotTest, NoWatchedApplicationMakesNoQuery) {
    currentAXApp.reset();
    const SelectionInfo info = currentSelectionInfo();
    EXPECT_TRUE(info.text.empty());
    EXPECT_EQ(sim::queryCount(), 0);
    EXPECT_EQ(sim::liveObjects(), 0);
}

TEST_F(SnapshotTest, FocusedElementLinkFails) {
    for (Answer focused : {Answer::failure(sim::kAXErrorCannotComplete), Answer::empty(),
                           Answer::of(sim::Text{"not an element"}), Answer::of(sim::NumberValue{3}),
                           Answer::of(sim::RectValue{{1, 1, 1, 1}})}) {
        sim::setFocused(kBrowser, focused);
        EXPECT_TRUE(snapshot().text.empty());
    }
    EXPECT_EQ(sim::queryCount("AXSelectedText"), 0);
}

TEST_F(SnapshotTest, SelectedTextLinkFailsOrIsEmpty) {
    for (Answer text : {Answer::failure(sim::kAXErrorAttributeUnsupported), Answer::empty(),
                        Answer::of(sim::NumberValue{1}), Answer::of(sim::ElementRef{element}),
                        Answer::of(sim::Text{""}),
                        // a failing call that still hands back a value counts as failing
                        Answer{sim::kAXErrorFailure, sim::Text{"stale"}}}) {
        sim::setSelectedText(element, text);
        EXPECT_TRUE(snapshot().text.empty());
    }
    EXPECT_EQ(sim::queryCount("AXSelectedTextRange"), 0);
    EXPECT_EQ(sim::queryCount("AXBoundsForRange"), 0);
}

TEST_F(SnapshotTest, RangeOrBoundsFailureKeepsTheText) {
    sim::setSelectedRange(element, Answer::failure(sim::kAXErrorNoValue));
    SelectionInfo info = snapshot();
    EXPECT_EQ(info.text, "selected");
    EXPECT_FALSE(info.bounds);
    EXPECT_EQ(sim::queryCount("AXBoundsForRange"), 0);

    sim::setSelectedRange(element, Answer::of(sim::RangeValue{0, 8}));
    for (Answer bounds : {Answer::failure(sim::kAXErrorCannotComplete), Answer::empty(),
                          Answer::of(sim::PointValue{1, 2}), Answer::of(sim::SizeValue{3, 4}),
                          Answer::of(sim::RangeValue{0, 1}), Answer::of(sim::NumberValue{5}),
                          Answer::of(sim::Text{"rect"})}) {
        sim::setBounds(element, bounds);
        info = snapshot();
        EXPECT_EQ(info.text, "selected");
        EXPECT_FALSE(info.bounds);
    }
}

TEST_F(SnapshotTest, RectangleNeedsPositiveFiniteExtent) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (platform::Rect bad : {platform::Rect{0, 0, 0, 5}, platform::Rect{0, 0, 5, 0},
                               platform::Rect{0, 0, -1, 5}, platform::Rect{0, 0, 5, -0.5},
                               platform::Rect{0, 0, nan, 5}, platform::Rect{0, 0, 5, inf},
                               platform::Rect{0, 0, -inf, 5}}) {
        sim::setBounds(element, Answer::of(sim::RectValue{bad}));
        EXPECT_FALSE(snapshot().bounds) << bad.width << "x" << bad.height;
    }
    // The origin is not judged here.
    sim::setBounds(element, Answer::of(sim::RectValue{{nan, -1e300, 1e-300, 1e300}}));
    EXPECT_TRUE(snapshot().bounds);
}

}  // namespace
}  // namespace sw::test
