// A long run in one process: 100,000 activation cycles across every allowed browser and some other
// applications, with selection changes and now and then an observer that cannot be created or
// registered. Built with the address sanitizer, whose leak check runs when the program ends; the
// test itself checks that no event is lost or doubled and that no platform object outlives its use.
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "reporting/state.h"
#include "tests/support.h"
#include "watch/observer.h"

namespace sw::test {
namespace {

constexpr long kCycles = 100000;

struct App {
    platform::ProcessId pid;
    std::optional<std::string> bundle;
    bool browser;
    int element = 0;
};

class Soak : public SimTest {};

TEST_F(Soak, HundredThousandActivationCycles) {
    std::vector<App> apps;
    platform::ProcessId pid = 1000;
    for (const std::string& bundle : ALLOWED_BUNDLES) apps.push_back({++pid, bundle, true});
    apps.push_back({++pid, "com.apple.TextEdit", false});
    apps.push_back({++pid, std::nullopt, false});
    apps.push_back({++pid, "com.apple.safari", false});  // differs from Safari in case only
    for (App& app : apps) {
        sim::addApplication(app.pid, app.bundle);
        app.element = sim::addElement(app.pid);
        sim::setFocused(app.pid, sim::Answer::of(sim::ElementRef{app.element}));
    }
    const std::array<std::string, 3> texts{"", "soak selection", " "};
    const std::array<sim::Answer, 4> bounds{
        sim::Answer::failure(sim::kAXErrorNoValue),
        sim::Answer::of(sim::RectValue{{12.5, 40.2, 300.7, 18.4}}),
        sim::Answer::of(sim::RectValue{{-1920.4, -7.5, 80.0, 20.0}}),
        sim::Answer::of(sim::RectValue{{0, 0, std::nan(""), 20.0}}),
    };

    Capture out(1), err(2);
    const auto started = std::chrono::steady_clock::now();
    platform::addActivationObserver(handleFrontmostChange);
    handleFrontmostChange();  // nothing in front: the first event, cleared

    // The model: what the flag must be after each evaluation, and how many lines that gives.
    bool flag = false;
    long expectedEvents = 1, expectedDiagnostics = 0, maxLive = 0;
    std::uint64_t seed = 88172645463325252ull;
    auto next = [&seed] {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        return seed;
    };
    auto expect = [&](bool now) {
        if (now != flag) ++expectedEvents;
        flag = now;
    };

    for (long cycle = 0; cycle < kCycles; ++cycle) {
        const std::uint64_t r = next();
        const std::size_t pick = r % (apps.size() + 1);
        const App* app = pick < apps.size() ? &apps[pick] : nullptr;  // else nothing in front
        bool attached = false, delivered = false;
        if (app != nullptr) {
            const bool createFails = (r >> 8) % 97 == 0;
            const bool registerFails = (r >> 16) % 89 == 0;
            sim::setObserverCreateResult(app->pid, createFails ? sim::kAXErrorCannotComplete : 0);
            sim::setAddNotificationResult(app->pid, "AXSelectedTextChanged",
                                          registerFails ? sim::kAXErrorFailure : 0);
            sim::setSelectedText(app->element, sim::Answer::of(sim::Text{texts[(r >> 24) % 3]}));
            sim::setBounds(app->element, bounds[(r >> 28) % 4]);
            attached = app->browser && !createFails;
            delivered = attached && !registerFails;
            if (app->browser) expectedDiagnostics += createFails || registerFails ? 1 : 0;
        }
        sim::activate(app ? std::optional(app->pid) : std::nullopt);
        sim::runUntilIdle();
        expect(attached && !texts[(r >> 24) % 3].empty());

        if (app != nullptr && app->browser) {
            const std::string& text = texts[(r >> 32) % 3];
            sim::setSelectedText(app->element, sim::Answer::of(sim::Text{text}));
            sim::postNotification(app->pid, "AXSelectedTextChanged");
            const bool focusMoved = (r >> 40) % 4 == 0;
            if (focusMoved) sim::postNotification(app->pid, "AXFocusedUIElementChanged");
            sim::runUntilIdle();
            if (delivered || (attached && focusMoved)) expect(!text.empty());
        }
        maxLive = std::max<long>(maxLive, sim::liveObjects());
        if (cycle % 1024 == 0) sim::clearCalls();
    }
    const long liveAtEnd = sim::liveObjects();
    const bool attachedAtEnd = static_cast<bool>(currentObserver);
    tearDownObserver();
    const long liveAfterTeardown = sim::liveObjects();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::vector<std::string> diagnostics = lines(err.stop());
    const std::vector<std::string> events = checkedEvents(out.stop());

    long present = 0;
    std::optional<bool> previous;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const bool selected = parse(events[i])["selection"].get<bool>();
        present += selected ? 1 : 0;
        if (previous == selected) {
            ADD_FAILURE() << "line " << i << " repeats the flag: " << events[i];
            break;
        }
        previous = selected;
    }
    EXPECT_EQ(static_cast<long>(events.size()), expectedEvents) << "events lost or doubled";
    EXPECT_EQ(lastEmitted, flag);
    EXPECT_EQ(static_cast<long>(diagnostics.size()), expectedDiagnostics);
    for (const std::string& line : diagnostics) {
        EXPECT_TRUE(line == "AXObserverCreate failed: -25204" ||
                    line == "AXObserverAddNotification AXSelectedTextChanged failed: -25200")
            << line;
    }
    EXPECT_LE(maxLive, 2) << "more than the watched browser's observer and element alive";
    EXPECT_EQ(liveAtEnd, attachedAtEnd ? 2 : 0);
    EXPECT_EQ(liveAfterTeardown, 0);

    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
#ifdef __APPLE__
    const long peakMiB = usage.ru_maxrss >> 20;  // bytes there, KiB on Linux
#else
    const long peakMiB = usage.ru_maxrss >> 10;
#endif
    std::printf(
        "soak: %ld cycles in %.1f s, %zu events (%ld present, %zu cleared), %zu diagnostics, "
        "%d accessibility queries, at most %ld objects alive, %ld at the end, %ld after teardown, "
        "peak RSS %ld MiB\n",
        kCycles, seconds, events.size(), present, events.size() - present, diagnostics.size(),
        sim::queryCount(), maxLive, liveAtEnd, liveAfterTeardown, peakMiB);
}

}  // namespace
}  // namespace sw::test
