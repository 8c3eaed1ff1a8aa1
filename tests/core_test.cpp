// The core in one process on the simulated desktop: what the writers make of events and long
// lines, the evaluator of numbers, of the second read of the identifier and of a busy browser.
// When events are reported, which browsers count, what diagnostics look like and the order of
// making, registering and releasing observers are checked by the fuzz program that the soak runs
// (tests/fuzz), exact diagnostics by the whole-process tests.
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#endif

#include <algorithm>
#include <limits>
#include <thread>

#include "reporting/evaluator.h"
#include "watch/followup.h"
#include "tests/support.h"

namespace sw::test {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using CoreTest = SimTest;
constexpr const char* kCleared = "{\"selection\":false}\n";
const sim::Answer kBusy = sim::Answer::failure(sim::kAXErrorCannotComplete),
                  kGone = sim::Answer::failure(platform::kAXErrorInvalidUIElement);

TEST_F(CoreTest, EventsAreCompactJsonLinesOrNothing) {
    const std::pair<Event, const char*> cases[] = {
        {{{"selection", true}, {"app", std::string()},
          {"bounds", Bounds{{"x", INT64_MIN}, {"y", INT64_MAX}, {"width", 1}, {"height", 0}}}},
         R"({"app":"","bounds":{"height":0,"width":1,"x":-9223372036854775808,"y":9223372036854775807},"selection":true})"},
        {{{"app", std::string("q\"b\\s/\n\r\t\b\f\x01\x1f\x7f") + "é€😀"}},
         R"({"app":"q\"b\\s/\n\r\t\b\f\u0001\u001f\u007fé€😀"})"},
    };
    for (const auto& [event, json] : cases) EXPECT_EQ(written(1, [&] { emit(event); }), json + std::string("\n"));
    // A lone continuation byte, an overlong form, a UTF-16 surrogate, past U+10FFFF, cut short.
    for (const char* bad : {"\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "ok\xE2\x82"}) {
        EXPECT_EQ(written(1, [&] { emit({{"app", std::string(bad)}}); }), "") << bad;
    }
}

TEST_F(CoreTest, LongLineReachesANonBlockingPipeWhole) {
    int fds[2];
#ifdef _WIN32
    // Windows pipes block; the writer still meets partial writes while the reader sleeps.
    ASSERT_EQ(_pipe(fds, 4096, _O_BINARY), 0);
#else
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
#endif
    const std::string message(200000, 'x');  // partial writes, and EAGAIN while the reader sleeps
    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        char buffer[8192];
        for (int n; (n = static_cast<int>(::read(fds[0], buffer, sizeof buffer))) > 0;) received.append(buffer, n);
    });
    stderrHandle = {fds[1]};
    logErr(message);
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(received, message + "\n");
}

TEST_F(CoreTest, RoundsHalvesAwayFromZeroWithinInt64) {
    const std::pair<double, std::optional<std::int64_t>> cases[] = {
        {2.5, 3}, {-2.5, -3}, {-0.5, -1}, {0.49999999999999994, 0},  // floor(x + 0.5) would give 1
        {4503599627370497.0, 4503599627370497}, {-9223372036854775808.0, INT64_MIN},
        {9223372036854775808.0, std::nullopt}, {-9223372036854777856.0, std::nullopt},
        {kNaN, std::nullopt}, {kInf, std::nullopt}, {-kInf, std::nullopt}};
    for (const auto& [value, rounded] : cases) EXPECT_EQ(roundToInt64(value), rounded) << value;
}

// Firefox (101) in front and watched.
void watchFirefox() {
    sim::addApplication(101, "org.mozilla.firefox");
    currentAXApp = platform::createApplicationElement(101);
    sim::setFrontmost(101);
}

TEST_F(CoreTest, AppIsReadAgainAtTheTransition) {
    watchFirefox();
    sim::selectText(101, "word");
    sim::queueBundleAnswers(101, {"org.mozilla.firefox", std::nullopt});
    EXPECT_EQ(written(1, evaluateAndEmit), "{\"app\":\"\",\"selection\":true}\n");
}

// A browser too busy to answer at any link before the text keeps what was reported of it; other
// failures are answers, and what was reported of another application does not stand for it. The
// first report still goes out.
TEST_F(CoreTest, BusyBrowserKeepsTheReportedState) {
    watchFirefox();
    sim::setFocused(101, kBusy);
    EXPECT_EQ(written(1, evaluateAndEmit), kCleared);
    const struct {
        bool inPage;
        void (*fail)(int element);
        const char* line;
        platform::ProcessId reported = 101;
    } rows[] = {{false, [](int) { sim::setFocused(101, kBusy); }, ""},
                {false, [](int e) { sim::setSelectedText(e, kBusy); }, ""},
                {true, [](int e) { sim::setSelectedMarkerRange(e, kBusy); }, ""},
                {true, [](int e) { sim::setStringForMarkerRange(e, kBusy); }, ""},
                {false, [](int e) { sim::setSelectedText(e, kGone); }, kCleared},
                {true, [](int e) { sim::setSelectedMarkerRange(e, kGone); }, kCleared},
                {false, [](int) { sim::setFocused(101, kBusy); }, kCleared, 102}};
    for (const auto& row : rows) {
        const platform::Rect at{1, 2, 3, 4};
        row.fail(row.inPage ? sim::selectPageText(101, "word", at) : sim::selectText(101, "word", at));
        lastEmitted = true;
        reportedFor = row.reported;
        EXPECT_EQ(written(1, evaluateAndEmit), row.line) << &row - rows;
    }
}

// Six evaluations of a standing selection write one line and ask for its rectangle once, for that
// line; with nothing selected, neither the range nor the rectangle is asked.
TEST_F(CoreTest, RectangleOnlyForThePresentLine) {
    const struct {
        int (*select)(platform::ProcessId, std::string, std::optional<platform::Rect>);
        const char* text;
        int lines, rangeQuestions, boundsQuestions;
    } rows[] = {{sim::selectText, "word", 1, 1, 1}, {sim::selectPageText, "word", 1, 0, 1},
                {sim::selectText, "", 1, 0, 0}, {sim::selectPageText, "", 1, 0, 0}};
    for (const auto& row : rows) {
        sim::reset();
        watchFirefox();
        lastEmitted.reset();
        row.select(101, row.text, platform::Rect{1, 2, 3, 4});
        const std::string out = written(1, [] { for (int i = 0; i < 6; ++i) evaluateAndEmit(); });
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), row.lines) << out;
        EXPECT_EQ(sim::queryCount("AXSelectedTextRange"), row.rangeQuestions) << row.text;
        EXPECT_EQ(sim::queryCount("AXBoundsForRange") + sim::queryCount("AXBoundsForTextMarkerRange"),
                  row.boundsQuestions)
            << row.text;
    }
}

// A release brings an evaluation at once (unless one has run since) and 100, 400 and 1,000 ms
// later; a newer release starts the series again, and the observer's going ends it. Evaluations
// counted by their first question.
TEST_F(CoreTest, ReleasesAreFollowedUpOnce) {
    watchFirefox();
    sim::addApplication(102, "com.apple.TextEdit");
    platform::addActivationObserver(handleFrontmostChange);
    platform::addInputReleaseObserver(handleInputRelease);
    attachObserver(101);
    const int before = sim::queryCount("AXFocusedUIElement");
    std::vector<std::pair<int, int>> seen;  // (ms, evaluations by then)
    const auto probe = [&](int ms) {
        sim::schedule(std::chrono::milliseconds(ms),
                      [&, ms] { seen.emplace_back(ms, sim::queryCount("AXFocusedUIElement") - before); });
    };
    // A notification's evaluation after the release stands for the one at once: evaluations at 0
    // and 100; the ones at 400 and 1000 are dropped.
    sim::postNotification(101, "AXSelectedTextChanged");
    sim::releaseMouseButton();
    sim::schedule(std::chrono::milliseconds(200), sim::releaseMouseButton);  // 200, 300, 600, 1200
    sim::schedule(std::chrono::milliseconds(1500), sim::releaseMouseButton);  // 1500 only:
    sim::schedule(std::chrono::milliseconds(1550), [] { sim::activate(102); });  // the observer goes
    for (int ms : {150, 250, 500, 900, 1100, 1400, 2200}) probe(ms);
    sim::schedule(std::chrono::milliseconds(2300), sim::stopMainLoop);
    (void)written(1, platform::runMainRunLoop);
    const std::vector<std::pair<int, int>> expected = {{150, 2}, {250, 3}, {500, 4}, {900, 5},
                                                       {1100, 5}, {1400, 6}, {2200, 7}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(sim::pendingTasks(), 0);
}

// A registration that runs out of time is made again 250 ms later, then after 500 ms, and so on,
// until it is made or the observer goes; once made, the notifications come through and nothing
// more is scheduled. Registrations counted in the desktop's call log.
TEST_F(CoreTest, RegistrationsThatRunOutAreMadeAgain) {
    sim::addApplication(101, "org.mozilla.firefox");
    sim::addApplication(102, "com.apple.TextEdit");
    sim::setFrontmost(101);
    platform::addActivationObserver(handleFrontmostChange);
    const auto registrations = [] {
        return std::count_if(sim::calls().begin(), sim::calls().end(),
                             [](const std::string& c) { return c.ends_with(" AXSelectedTextChanged"); });
    };
    const auto runFor = [](int ms) {
        sim::schedule(std::chrono::milliseconds(ms), sim::stopMainLoop);
        return written(1, platform::runMainRunLoop);
    };
    sim::setAddNotificationResult(101, "AXSelectedTextChanged", sim::kAXErrorCannotComplete, true);
    EXPECT_EQ(written(2, [] { handleFrontmostChange(); }),
              "AXObserverAddNotification AXSelectedTextChanged failed: -25204\n");
    sim::selectText(101, "word", platform::Rect{1, 2, 3, 4});
    sim::postNotification(101, "AXSelectedTextChanged");  // not heard: not registered yet
    EXPECT_EQ(runFor(200), "");
    EXPECT_EQ(runFor(100), R"({"app":"org.mozilla.firefox","bounds":{"height":4,"width":3,"x":1,"y":2},"selection":true})" "\n");
    sim::selectText(101, "");
    sim::postNotification(101, "AXSelectedTextChanged");
    EXPECT_EQ(runFor(10), kCleared);
    EXPECT_EQ(sim::pendingTasks(), 0);

    sim::setAddNotificationResult(101, "AXSelectedTextChanged", sim::kAXErrorCannotComplete);
    sim::clearCalls();
    std::vector<long> made;  // by 200, 700 and 1,000 ms: at 0, 250 and 750 ms
    for (int ms : {200, 700, 990}) sim::schedule(std::chrono::milliseconds(ms), [&] { made.push_back(registrations()); });
    EXPECT_EQ(written(2, [&] { handleFrontmostChange(), runFor(200), runFor(500), runFor(300); }),
              "AXObserverAddNotification AXSelectedTextChanged failed: -25204\n");
    EXPECT_EQ(made, (std::vector<long>{1, 2, 3}));
    sim::activate(102);
    (void)runFor(10);
    EXPECT_EQ(sim::pendingTasks(), 0);
}

// A question a browser cannot complete at attach ends the attach's reading: a hung browser is
// asked only the wake-up read after its registrations, a busy focus leaves the window unwalked.
TEST_F(CoreTest, CannotCompleteEndsTheAttachsReading) {
    const struct {
        void (*busy)(int window);
        int questions;
    } rows[] = {{[](int) { sim::setHung(101, true); }, 1},
                {[](int) { sim::setFocused(101, kBusy); }, 3},
                {[](int window) { sim::setAttribute(window, "AXRole", kBusy); }, 4}};
    for (const auto& row : rows) {
        SetUp();
        platform::setMessagingTimeout(0.001f);
        sim::addApplication(101, "org.mozilla.firefox");
        const int window = sim::addElement(101);
        sim::setAttribute(window, "AXChildren", sim::Answer::of(sim::ArrayValue{{sim::addElement(101)}}));
        sim::setFocusedWindow(101, sim::Answer::of(sim::ElementRef{window}));
        row.busy(window);
        attachObserver(101);
        EXPECT_EQ(sim::queryCount(), row.questions) << &row - rows;
        TearDown();
    }
}

}  // namespace
}  // namespace sw::test
