// Where a page's selection is looked for and how its rectangle is found when the browser measures
// none, query by query, with nothing left alive. Which answers make a selection at all is the fuzz
// oracle's (tests/fuzz), which the soak runs; the engines' answers are tests/browsers_test.cpp's.
#include <cmath>
#include <functional>
#include <limits>
#include <sstream>

#include "reporting/snapshot.h"
#include "tests/support.h"

namespace sw::test {
namespace {

constexpr platform::ProcessId kBrowser = 201;
using sim::Answer;
const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
const Answer busy = Answer::failure(sim::kAXErrorCannotComplete);
Answer rect(double width, double height, double x = 0, double y = 0) {
    return Answer::of(sim::RectValue{{x, y, width, height}});
}

class SnapshotTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::addApplication(kBrowser, "com.google.Chrome");
        currentAXApp = platform::createApplicationElement(kBrowser);
        page = sim::selectPageText(kBrowser, "in page", platform::Rect{1, 2, 3, 4});
    }
    // The snapshot of `element` in focus as "text x,y,wxh #n" (the rectangle left out when absent;
    // n questions for the bounds of a range), or "? #n" when the application did not answer.
    // `attached`: as first asked after an attach.
    std::string snapshot(int element, bool attached = true) {
        if (attached) boundsMayComeLater = true;
        sim::setFocused(kBrowser, Answer::of(sim::ElementRef{element}));
        const auto questions = [] {
            return sim::queryCount("AXBoundsForRange") + sim::queryCount("AXBoundsForTextMarkerRange");
        };
        const int before = questions();
        const SelectionInfo s = currentSelectionInfo();
        EXPECT_EQ(sim::liveObjects(), 1) << "only the watched application element may stay alive";
        std::ostringstream at;
        if (auto b = s.bounds) at << ' ' << b->x << ',' << b->y << ',' << b->width << 'x' << b->height;
        return (s.unanswered ? "?" : s.text + at.str()) + " #" + std::to_string(questions() - before);
    }
    int page = 0;
};

// Bounds without area, none at all, or bounds that miss an end's element give way to the frames of
// the elements at the range's ends (their union on one line; as wide as the web area above over
// several); a missing answer or one without area is asked again, a busy application nothing more.
TEST_F(SnapshotTest, RectangleFromTheEndsOfTheRange) {
    const int start = sim::addElement(kBrowser), end = sim::addElement(kBrowser);
    sim::setSelectedMarkerRange(page, Answer::of(sim::MarkerRange{start, end}));
    const auto frame = [](int e, Answer a) { sim::setAttribute(e, "AXFrame", a); };
    // On one line, the end left of the start (right to left), the start by its position and size.
    frame(start, Answer::failure(sim::kAXErrorAttributeUnsupported));
    sim::setAttribute(start, "AXPosition", Answer::of(sim::PointValue{100, 12}));
    sim::setAttribute(start, "AXSize", Answer::of(sim::SizeValue{10, 18}));
    frame(end, rect(40, 22, 20, 10));
    const auto asked = [&](Answer bounds, bool attached = true) {
        sim::setBoundsForMarkerRange(page, bounds);
        return snapshot(page, attached);
    };
    const std::pair<Answer, const char*> answers[] = {
        {Answer::empty(), "3"}, {Answer::failure(sim::kAXErrorFailure), "3"},
        {Answer::failure(sim::kAXErrorNoValue), "3"}, {Answer{sim::kAXErrorFailure, sim::RectValue{{1, 2, 3, 4}}}, "3"},
        {rect(-1, 3), "1"}, {rect(3, 0), "3"}, {rect(nan, 5), "1"}, {rect(5, inf), "1"},
        {Answer::failure(sim::kAXErrorIllegalArgument), "1"}, {rect(40, 40, 100, 12), "1"}};
    for (const auto& [bounds, questions] : answers) {
        EXPECT_EQ(asked(bounds), std::string("in page 20,10,90x22 #") + questions);
    }
    EXPECT_EQ(asked(rect(81, 4, 25, 11)), "in page 25,11,81x4 #1") << "reaches into both ends";
    EXPECT_EQ(asked(Answer::empty(), false), "in page 20,10,90x22 #3") << "a usable answer keeps the re-asks";
    EXPECT_EQ(asked(rect(3, 0), false), "in page 20,10,90x22 #1") << "re-asked after re-asks found no area";
    // Each change below stands for the rows after it too.
    const std::function<void()> endsThatFail[] = {
        [&] { frame(start, rect(50, 20, 10, 10)), frame(end, rect(30, 20, 20, 40)); },  // two lines, no web area
        [&] { frame(start, Answer::empty()), sim::setAttribute(start, "AXSize", Answer::of(sim::SizeValue{0, 18})); },
        [&] { frame(start, rect(50, 20, nan, 10)); }};
    for (const auto& change : endsThatFail) {
        change();
        EXPECT_EQ(asked(Answer::empty()), "in page #3");
    }
    const int ends = sim::queryCount("AXUIElementForTextMarker");
    EXPECT_EQ(asked(busy), "in page #1");
    EXPECT_EQ(sim::queryCount("AXUIElementForTextMarker"), ends) << "asked after a busy answer";
}

// A text control, known by its role, is read by its selected text and range even where a marker
// range would answer; without a usable rectangle for the range it gives its own frame. An element
// of no role (systems without marker ranges) gets no frame.
TEST_F(SnapshotTest, TextControlRectangle) {
    const struct {
        const char* role;
        Answer bounds;
        const char* snapshot;
    } rows[] = {{"AXTextField", rect(7, 0), "word 5,6,7x8 #3"}, {"AXSearchField", rect(2, 3, 4, 5), "word 4,5,2x3 #1"},
                {"AXComboBox", busy, "word #1"}, {"AXRole?", Answer::failure(sim::kAXErrorNoValue), "word #3"}};
    for (const auto& row : rows) {
        const int field = sim::selectText(kBrowser, "word");
        if (std::string(row.role) != "AXRole?") {
            sim::setAttribute(field, "AXRole", Answer::of(sim::Text{row.role}));
            sim::setSelectedMarkerRange(field, Answer::of(sim::MarkerRange{field, field}));
        }
        sim::setBounds(field, row.bounds);
        sim::setAttribute(field, "AXFrame", rect(7, 8, 5, 6));
        EXPECT_EQ(snapshot(field), row.snapshot) << row.role;
    }
}

// With no selection of its own, the focus (a link, a group) leads to the nearest web area above it,
// 32 parents up at most and never beyond a window; a busy answer on the way leaves it unknown.
TEST_F(SnapshotTest, SelectionOfTheWebAreaAboveTheFocus) {
    sim::setAttribute(page, "AXRole", Answer::of(sim::Text{"AXWebArea"}));
    const struct {
        int depth;            // parents between the focus and the web area
        const char* between;  // their role
        Answer top;           // what the last of them answers for its parent
        const char* snapshot;
    } rows[] = {{0, "AXGroup", Answer::of(sim::ElementRef{page}), "in page 1,2,3x4 #1"},
                {31, "AXGroup", Answer::of(sim::ElementRef{page}), "in page 1,2,3x4 #1"},
                {32, "AXGroup", Answer::of(sim::ElementRef{page}), " #0"},
                {2, "AXWindow", Answer::of(sim::ElementRef{page}), " #0"},
                {2, "AXGroup", busy, "? #0"}};
    for (const auto& row : rows) {
        const int focus = sim::addElement(kBrowser);
        int below = focus;
        for (int i = 0; i < row.depth; ++i) {
            const int parent = sim::addElement(kBrowser);
            sim::setAttribute(parent, "AXRole", Answer::of(sim::Text{row.between}));
            sim::setAttribute(below, "AXParent", Answer::of(sim::ElementRef{parent}));
            below = parent;
        }
        sim::setAttribute(below, "AXParent", row.top);
        EXPECT_EQ(snapshot(focus), row.snapshot) << row.depth;
    }
    const int frame = sim::addElement(kBrowser);  // a web area in focus answers for itself only
    sim::setAttribute(frame, "AXRole", Answer::of(sim::Text{"AXWebArea"}));
    sim::setAttribute(frame, "AXParent", Answer::of(sim::ElementRef{page}));
    EXPECT_EQ(snapshot(frame), " #0");
}

}  // namespace
}  // namespace sw::test
