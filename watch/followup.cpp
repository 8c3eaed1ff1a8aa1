#include "watch/followup.h"

#include <chrono>
#include <cstdint>
#include <iterator>

#include "platform/platform.h"
#include "reporting/evaluator.h"
#include "reporting/state.h"

namespace sw {
namespace {

using Clock = std::chrono::steady_clock;

// From the release on; then nothing until the next release, so an idle user wakes nothing.
constexpr std::chrono::milliseconds kFollowUps[] = {std::chrono::milliseconds(0),
                                                    std::chrono::milliseconds(100),
                                                    std::chrono::milliseconds(400),
                                                    std::chrono::milliseconds(1000)};

// Main thread only.
struct Series {
    Clock::time_point released;
    std::size_t next = 0;           // the follow-up the pending timer runs
    platform::TimerId pending = 0;  // 0 when none is scheduled
    std::uint64_t evaluationsAtRelease = 0;
};
Series series;

void scheduleNext();

void onFollowUp() {
    series.pending = 0;
    // The look at once is made already when a notification brought an evaluation after the release.
    const bool covered = series.next == 0 && evaluationsBegun() != series.evaluationsAtRelease;
    ++series.next;
    scheduleNext();  // first: the evaluation may take a while, the times count from the release
    if (!covered) evaluateAndEmit();
}

void scheduleNext() {
    if (series.next >= std::size(kFollowUps)) return;
    const auto due = series.released + kFollowUps[series.next];
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
    const auto milliseconds = static_cast<std::uint32_t>(left.count() > 0 ? left.count() : 0);
    series.pending = platform::addMainLoopTimer(milliseconds, onFollowUp);
}

}  // namespace

void handleInputRelease() {
    if (!currentObserver) return;  // nothing watched: a stray release from the backend
    endFollowUps();
    series.released = Clock::now();
    series.evaluationsAtRelease = evaluationsBegun();
    series.next = 0;
    scheduleNext();
}

void endFollowUps() {
    platform::removeMainLoopTimer(series.pending);
    series.pending = 0;
    series.next = std::size(kFollowUps);
}

}  // namespace sw
