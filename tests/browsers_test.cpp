// The watcher against models of the three browser engines (platform/sim/engines.cpp), each started
// cold: what it writes for what a user does. Chromium runs twice, with and without its activation
// refinements.
#include <array>
#include <string_view>
#include <vector>

#include "tests/support.h"
#include "watch/followup.h"

namespace sw::test {
namespace {

constexpr platform::ProcessId kBrowser = 401, kOther = 402;
using Page = sim::BrowserPage;
using namespace std::chrono_literals;

struct Model {
    const char* name;
    sim::Engine engine;
    bool refinements;
    int column;  // of the expectations below: Chromium, Firefox, WebKit
    const char* app;
};
const Model kModels[] = {{"Chromium", sim::Engine::Chromium, false, 0, "com.google.Chrome"},
                         {"Chromium, refinements on", sim::Engine::Chromium, true, 0, "com.google.Chrome"},
                         {"Firefox", sim::Engine::Firefox, false, 1, "org.mozilla.firefox"},
                         {"WebKit", sim::Engine::WebKit, false, 2, "com.apple.Safari"}};

struct Step {
    void (*act)(const Page&);
    const char* lines;  // by column: P the present line, C the cleared line, - no line
};
struct Scenario {
    const char* name;
    std::array<const char*, 2> bounds;  // of the present line: Chromium's, and the others' (measured)
    std::vector<Step> steps;
    void (*before)(const Page&) = nullptr;       // what the user did before the watcher attached
    std::array<const char*, 3> attach{"C", "C", "C"};  // the lines of the attach, page tree arrived
};

// Over the two paragraphs of the page: Chromium measures no text and answers the second
// paragraph's box, which misses the start, so the elements of the ends, as wide as the page; the
// others measure the text.
void selectTwoLines(const Page& p) {
    sim::selectInPage(kBrowser, p.firstLine, p.secondLine, "one two", {30.4, 101, 350, 42.6});
}
void clickAway(const Page& p) { sim::selectInPage(kBrowser, p.firstLine, p.firstLine, ""); }
void removeSelection(const Page&) { sim::removeSelection(kBrowser); }
const auto kTwoLines = std::array{R"("height":44,"width":1200,"x":0,"y":100)",
                                  R"("height":43,"width":350,"x":30,"y":101)"};

const Scenario kScenarios[] = {
    // Firefox measures only from its second question on.
    {"cold attach, then a first selection over two paragraphs", kTwoLines, {{selectTwoLines, "PPP"}}},
    // Chromium answers the link's box, which misses the start: the union of the two elements.
    {"a word and the link after it, on one line",
     {R"("height":20,"width":480,"x":20,"y":124)", R"("height":18,"width":190,"x":300,"y":125)"},
     {{[](const Page& p) {
           sim::selectInPage(kBrowser, p.secondLine, p.linkText, "word link", {300.4, 125, 190, 18});
       },
       "PPP"}}},
    // Chromium measures nothing in a field: the field's frame.
    {"a word in the page's text area",
     {R"("height":60,"width":300,"x":20,"y":160)", R"("height":18,"width":70,"x":60,"y":161)"},
     {{[](const Page& p) { sim::selectInField(kBrowser, p.textArea, "oscar", {60.4, 161, 70, 18}); }, "PPP"},
      {[](const Page& p) { clickAway(p), sim::releaseMouseButton(); }, "CCC"}}},
    {"a word in the page's text field",
     {R"("height":24,"width":300,"x":20,"y":230)", R"("height":18,"width":64,"x":80,"y":233)"},
     {{[](const Page& p) { sim::selectInField(kBrowser, p.textField, "romeo", {80.4, 233, 64, 18}); }, "PPP"}}},
    // Chromium tells once its page tree has arrived; Gecko never learnt of a selection made
    // before its accessibility started; Safari's page answers at once.
    {"a selection made before the watcher came", kTwoLines, {}, selectTwoLines, {"CP", "C", "P"}},
    // Told by notifications alone: Safari's come from its page's own process.
    {"a selection a page script makes on a timer, no input", kTwoLines,
     {{[](const Page& p) {
           sim::schedule(30ms, [p] { selectTwoLines(p); });
           sim::schedule(60ms, sim::stopMainLoop);
           platform::runMainRunLoop();
       },
       "PPP"}}},
    // A click leaves a caret, which WebKit tells of too.
    {"a click without its release", kTwoLines, {{selectTwoLines, "PPP"}, {clickAway, "CCC"}}},
    {"a selection a script takes away: WebKit tells nothing", kTwoLines,
     {{selectTwoLines, "PPP"}, {removeSelection, "CC-"}, {[](const Page&) { sim::releaseMouseButton(); }, "--C"}}},
    {"a click the page handles after its release", kTwoLines,
     {{selectTwoLines, "PPP"},
      {[](const Page& p) {
           sim::releaseMouseButton();
           sim::schedule(50ms, [p] { clickAway(p); });
           sim::schedule(250ms, sim::stopMainLoop);
           platform::runMainRunLoop();
       },
       "CCC"}}},
    {"key releases count with listen-event access only", kTwoLines,
     {{selectTwoLines, "PPP"},
      {[](const Page& p) { removeSelection(p), sim::releaseKey(); }, "CC-"},
      {[](const Page&) { sim::setListenEventAccess(true), sim::releaseKey(); }, "--C"}}},
    {"focus on a link, the selection elsewhere", kTwoLines,
     {{selectTwoLines, "PPP"}, {[](const Page& p) { sim::focusElement(kBrowser, p.link); }, "---"}}},
    {"a selection in a frame",
     {R"("height":20,"width":300,"x":610,"y":310)", R"("height":18,"width":80,"x":613,"y":311)"},
     {{[](const Page& p) {
           sim::selectInPage(kBrowser, p.frameText, p.frameText, "in frame", {612.5, 311, 80, 18});
       },
       "PPP"}}},
    {"the address bar", {R"("height":20,"width":120,"x":250,"y":44)", R"("height":20,"width":120,"x":250,"y":44)"},
     {{[](const Page& p) {
           sim::setSelectedText(p.addressBar, sim::Answer::of(sim::Text{"example.com"}));
           sim::setSelectedRange(p.addressBar, sim::Answer::of(sim::RangeValue{0, 11}));
           sim::setBounds(p.addressBar, sim::Answer::of(sim::RectValue{{250, 44, 120, 20}}));
           sim::focusElement(kBrowser, p.addressBar);
       },
       "PPP"}}},
    {"switching away and back", kTwoLines,
     {{selectTwoLines, "PPP"},
      {[](const Page&) { sim::activate(kOther); }, "CCC"},
      {[](const Page&) { sim::activate(kBrowser); }, "PPP"}}},
    // The attach walks the window past 30 tabs, a toolbar and 40 bookmarks to the page's container.
    {"the address bar in focus at the attach", kTwoLines, {{selectTwoLines, "PPP"}},
     [](const Page& p) { sim::focusElement(kBrowser, p.addressBar), sim::runUntilIdle(); }},
};

using BrowsersTest = SimTest;
constexpr const char* kCleared = "{\"selection\":false}\n";

// Serves the main loop long enough for Chromium's page tree to arrive.
void settle() {
    sim::schedule(50ms, sim::stopMainLoop);
    platform::runMainRunLoop();
}

// Questions asked only for where a selection lies, not whether there is one.
int rectangleQuestions() {
    int n = 0;
    for (const char* name : {"AXSelectedTextRange", "AXBoundsForRange", "AXBoundsForTextMarkerRange",
                             "AXUIElementForTextMarker", "AXFrame", "AXPosition"}) {
        n += sim::queryCount(name);
    }
    return n;
}

TEST_F(BrowsersTest, ScenariosOnEachEngine) {
    for (const Model& model : kModels) {
        for (const Scenario& scenario : kScenarios) {
            SCOPED_TRACE(std::string(model.name) + ": " + scenario.name);
            SetUp();
            const Page page = sim::addBrowser(kBrowser, model.app, model.engine, model.refinements);
            sim::addApplication(kOther, "com.apple.TextEdit");
            sim::setFrontmost(kBrowser);
            platform::addActivationObserver(handleFrontmostChange);
            platform::addInputReleaseObserver(handleInputRelease);
            const std::string present = std::string(R"({"app":")") + model.app + R"(","bounds":{)" +
                                        scenario.bounds[model.column > 0] + R"(},"selection":true})" "\n";
            const auto lines = [&](std::string_view codes) {
                std::string all;
                for (char code : codes) all += code == 'P' ? present : code == 'C' ? kCleared : "";
                return all;
            };
            if (scenario.before) scenario.before(page);
            int attach = 0;  // questions of the attach and its evaluation: 22, or 49 to 51 with the walk
            EXPECT_EQ(written(1, [&] { handleFrontmostChange(), attach = sim::queryCount(), settle(); }),
                      lines(scenario.attach[model.column]));
            EXPECT_LE(attach, 55);
            for (const Step& step : scenario.steps) {
                const int asked = rectangleQuestions();
                EXPECT_EQ(written(1, [&] { step.act(page), sim::runUntilIdle(); }),
                          lines(std::string_view(&step.lines[model.column], 1)));
                // The rectangle is asked for the present line alone, however often the page is read.
                EXPECT_EQ(rectangleQuestions() > asked, step.lines[model.column] == 'P') << step.lines;
            }
            TearDown();
        }
    }
}

}  // namespace
}  // namespace sw::test
