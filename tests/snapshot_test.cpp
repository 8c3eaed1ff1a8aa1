// The chain of queries behind one snapshot, through a text control's selected text or a web page's
// text-marker range: what each failing link gives, that nothing after it is asked and nothing is
// left alive.
#include <cmath>
#include <functional>
#include <limits>
#include <sstream>

#include "reporting/snapshot.h"
#include "reporting/state.h"
#include "tests/support.h"

namespace sw::test {
namespace {

constexpr platform::ProcessId kBrowser = 201;
using sim::Answer;
const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
Answer rect(double width, double height, double x = 0, double y = 0) {
    return Answer::of(sim::RectValue{{x, y, width, height}});
}

class SnapshotTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::addApplication(kBrowser, "com.google.Chrome");
        currentAXApp = platform::createApplicationElement(kBrowser);
        // Origins are not judged: neither a huge negative one nor NaN stops a rectangle.
        field = sim::selectText(kBrowser, "selected", platform::Rect{-5, -1e300, 7, 8});
        page = sim::selectPageText(kBrowser, "in page", platform::Rect{nan, 2, 3, 4});
    }
    // The snapshot of `element` in focus as "text x,y,wxh", the rectangle left out when absent.
    std::string snapshot(int element) {
        sim::setFocused(kBrowser, Answer::of(sim::ElementRef{element}));
        const SelectionInfo s = currentSelectionInfo();
        EXPECT_EQ(sim::liveObjects(), 1) << "only the watched application element may stay alive";
        std::ostringstream at;
        if (auto b = s.bounds)
            at << ' ' << b->x << ',' << b->y << ',' << b->width << 'x' << b->height;
        return s.text + at.str();
    }
    int field = 0, page = 0;
};

TEST_F(SnapshotTest, TextControlAndPageGiveTextAndRectangleUnchanged) {
    EXPECT_EQ(snapshot(field), "selected -5,-1e+300,7x8");
    EXPECT_EQ(sim::queryCount(), 4) << "no text-marker query when the selected text is there";
    EXPECT_EQ(snapshot(page), "in page nan,2,3x4");
    EXPECT_EQ(sim::queryCount(), 9);
}

TEST_F(SnapshotTest, FocusedElementLinkFails) {
    for (Answer focused : {Answer::failure(sim::kAXErrorCannotComplete), Answer::empty(),
                           Answer::of(sim::Text{"not an element"}), Answer::of(sim::NumberValue{3}),
                           rect(1, 1)}) {
        sim::setFocused(kBrowser, focused);
        EXPECT_TRUE(currentSelectionInfo().text.empty());
    }
    EXPECT_EQ(sim::queryCount("AXSelectedText"), 0);
    currentAXApp.reset();
    EXPECT_EQ(currentSelectionInfo().text, "");
    EXPECT_EQ(sim::queryCount(), 5) << "nothing asked without a watched application";
}

// Every way the selected text comes out empty leads to the marker range, and only there.
TEST_F(SnapshotTest, EmptySelectedTextTurnsToTheMarkerRange) {
    for (Answer text : {Answer::failure(sim::kAXErrorAttributeUnsupported), Answer::empty(),
                        Answer::of(sim::NumberValue{1}), Answer::of(sim::ElementRef{page}),
                        Answer::of(sim::MarkerRange{}), Answer::of(sim::Text{""}),
                        // a failing call that still hands back a value counts as failing
                        Answer{sim::kAXErrorFailure, sim::Text{"stale"}}}) {
        sim::setSelectedText(field, text);
        sim::setSelectedText(page, text);
        EXPECT_EQ(snapshot(field), "");
        EXPECT_EQ(snapshot(page), "in page nan,2,3x4");
    }
    EXPECT_EQ(sim::queryCount("AXSelectedTextRange") + sim::queryCount("AXBoundsForRange"), 0);
}

TEST_F(SnapshotTest, MarkerRangeOrItsTextFails) {
    const auto range = sim::setSelectedMarkerRange, text = sim::setStringForMarkerRange;
    for (auto [set, answer] : {std::pair{range, Answer::failure(sim::kAXErrorNoValue)},
                               {range, Answer::empty()}, {range, Answer::of(sim::RangeValue{0, 7})},
                               {range, Answer::of(sim::Text{"in page"})},
                               {range, Answer{sim::kAXErrorFailure, sim::MarkerRange{}}},
                               {text, Answer::failure(sim::kAXErrorCannotComplete)},
                               {text, Answer::empty()}, {text, Answer::of(sim::NumberValue{2})},
                               {text, Answer::of(sim::Text{""})},
                               {text, Answer{sim::kAXErrorFailure, sim::Text{"stale"}}}}) {
        set(page, answer);
        EXPECT_EQ(snapshot(page), "");
        page = sim::selectPageText(kBrowser, "in page", platform::Rect{1, 2, 3, 4});
    }
    EXPECT_EQ(sim::queryCount("AXStringForTextMarkerRange"), 5) << "asked only with a marker range";
    EXPECT_EQ(sim::queryCount("AXBoundsForTextMarkerRange"), 0);
}

// Both ways to the rectangle judge it alike; the text stays whenever the rectangle is dropped.
TEST_F(SnapshotTest, RectangleNeedsPositiveFiniteExtent) {
    for (Answer bounds : {Answer::failure(sim::kAXErrorCannotComplete), Answer::empty(),
                          Answer::of(sim::PointValue{1, 2}), Answer::of(sim::SizeValue{3, 4}),
                          Answer::of(sim::RangeValue{0, 1}), Answer::of(sim::NumberValue{5}),
                          Answer::of(sim::Text{"rect"}), Answer::of(sim::MarkerRange{}),
                          Answer{sim::kAXErrorFailure, sim::RectValue{{1, 2, 3, 4}}}, rect(0, 5),
                          rect(5, 0), rect(-1, 5), rect(5, -0.5), rect(nan, 5), rect(5, inf),
                          rect(-inf, 5)}) {
        sim::setBounds(field, bounds);
        sim::setBoundsForMarkerRange(page, bounds);
        EXPECT_EQ(snapshot(field), "selected");
        EXPECT_EQ(snapshot(page), "in page");
    }
    sim::setSelectedRange(field, Answer::failure(sim::kAXErrorNoValue));
    EXPECT_EQ(snapshot(field), "selected");
    EXPECT_EQ(sim::queryCount("AXBoundsForRange"), 16) << "not asked without a range";
}

// "Cannot complete" is a busy application: at any link before the text, the snapshot says it does
// not know, rather than that nothing is selected. Other failures are plain answers.
TEST_F(SnapshotTest, BusyApplicationLeavesTheSelectionUnknown) {
    const Answer busy = Answer::failure(sim::kAXErrorCannotComplete);
    const Answer gone = Answer::failure(platform::kAXErrorInvalidUIElement);
    using Set = void (*)(int, Answer);
    const struct {
        bool inPage;
        Set set;
        Answer answer;
        bool unknown;
    } rows[] = {{false, sim::setSelectedText, busy, true},
                {true, sim::setSelectedMarkerRange, busy, true},
                {true, sim::setStringForMarkerRange, busy, true},
                {false, sim::setSelectedText, gone, false},
                {true, sim::setSelectedMarkerRange, gone, false}};
    for (const auto& row : rows) {
        const int element = row.inPage ? sim::selectPageText(kBrowser, "in page")
                                       : sim::selectText(kBrowser, "selected");
        row.set(element, row.answer);
        const SelectionInfo s = currentSelectionInfo();
        EXPECT_EQ(s.unanswered, row.unknown);
        EXPECT_EQ(s.text, "");
    }
    sim::setFocused(kBrowser, busy);
    EXPECT_TRUE(currentSelectionInfo().unanswered);
}

// Bounds without area, or none at all: the frames of the elements at the range's ends, as wide as
// the web area above them when they lie on different lines; only a missing answer is asked again.
TEST_F(SnapshotTest, RectangleFromTheEndsOfTheRange) {
    const int start = sim::addElement(kBrowser), end = sim::addElement(kBrowser);
    sim::setSelectedMarkerRange(page, Answer::of(sim::MarkerRange{start, end}));
    const auto frame = [](int e, Answer a) { sim::setAttribute(e, "AXFrame", a); };
    const struct {
        Answer bounds;
        std::function<void()> tree;
        const char* snapshot;
        int boundsQuestions;
    } rows[] = {
        // (a union over one line, and one widened to the web area: tests/browsers_test.cpp)
        {Answer::empty(), [&] { frame(start, rect(50, 20, 10, 10)), frame(end, rect(30, 20, 20, 40)); },
         "in page", 3},  // on two lines, and no web area above
        {Answer::failure(sim::kAXErrorFailure),
         [&] {
             frame(start, Answer::failure(sim::kAXErrorAttributeUnsupported));
             sim::setAttribute(start, "AXPosition", Answer::of(sim::PointValue{20, 12}));
             sim::setAttribute(start, "AXSize", Answer::of(sim::SizeValue{5, 18}));
             frame(end, rect(40, 20, 70, 12));
         },
         "in page 20,12,90x20", 3},
        {rect(-1, 3), [&] { sim::setAttribute(start, "AXSize", Answer::of(sim::SizeValue{0, 18})); }, "in page", 1},
        {rect(3, 0), [&] { frame(start, rect(50, 20, nan, 10)); }, "in page", 1},
        {Answer::of(sim::PointValue{1, 2}),
         [&] { frame(start, rect(50, 20)), sim::setAttribute(page, "AXEndTextMarkerForTextMarkerRange", rect(1, 1)); },
         "in page", 1},
        {Answer::failure(sim::kAXErrorIllegalArgument),
         [&] { sim::setAttribute(page, "AXUIElementForTextMarker", Answer::of(sim::Text{"element"})); }, "in page", 1},
        {Answer::failure(sim::kAXErrorCannotComplete), [] {}, "in page", 1},  // busy: nothing more asked
    };
    for (const auto& row : rows) {
        sim::setBoundsForMarkerRange(page, row.bounds);
        row.tree();
        const int asked = sim::queryCount("AXBoundsForTextMarkerRange");
        EXPECT_EQ(snapshot(page), row.snapshot);
        EXPECT_EQ(sim::queryCount("AXBoundsForTextMarkerRange") - asked, row.boundsQuestions) << row.snapshot;
    }
    EXPECT_EQ(sim::queryCount("AXStartTextMarkerForTextMarkerRange"), 6) << "none after a busy answer";
}

// With no selection of its own, the focus (a link, a group) leads to the nearest web area above it,
// 32 parents up at most and never beyond a window; a busy answer on the way leaves it unknown.
TEST_F(SnapshotTest, SelectionOfTheWebAreaAboveTheFocus) {
    const int webArea = sim::selectPageText(kBrowser, "in page", platform::Rect{1, 2, 3, 4});
    sim::setAttribute(webArea, "AXRole", Answer::of(sim::Text{"AXWebArea"}));
    const struct {
        int depth;           // parents between the focus and the web area
        const char* between; // their role
        Answer busyAt;       // answered by the last of them for its parent
        const char* snapshot;
    } rows[] = {{0, "AXGroup", {}, "in page 1,2,3x4"}, {31, "AXGroup", {}, "in page 1,2,3x4"},
                {32, "AXGroup", {}, ""},               {2, "AXWindow", {}, ""},
                {2, "AXGroup", Answer::failure(sim::kAXErrorCannotComplete), "?"}};
    for (const auto& row : rows) {
        const int focus = sim::addElement(kBrowser);
        int below = focus;
        for (int i = 0; i < row.depth; ++i) {
            const int parent = sim::addElement(kBrowser);
            sim::setAttribute(parent, "AXRole", Answer::of(sim::Text{row.between}));
            sim::setAttribute(below, "AXParent", Answer::of(sim::ElementRef{parent}));
            below = parent;
        }
        sim::setAttribute(below, "AXParent", row.busyAt.code ? row.busyAt : Answer::of(sim::ElementRef{webArea}));
        const std::string got = snapshot(focus);
        EXPECT_EQ(currentSelectionInfo().unanswered ? "?" : got, row.snapshot) << row.depth;
    }
    sim::setSelectedMarkerRange(webArea, Answer::failure(sim::kAXErrorNoValue));
    const int parents = sim::queryCount("AXParent");
    EXPECT_EQ(snapshot(webArea), "");
    EXPECT_EQ(sim::queryCount("AXParent"), parents) << "a web area is not asked twice";
}

}  // namespace
}  // namespace sw::test
