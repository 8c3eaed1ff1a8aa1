// What a wait on the main thread needs to know to give way to the exit: whether a task has been
// handed to the main thread from another thread and has not run yet. Shared by the backends'
// dispatchAsyncMain (which calls handed() before queueing the task and ran() after running it) and
// their waitUnlessDispatched (which is wait()).
#pragma once

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <mutex>

namespace sw::platform::handover {

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    int waiting = 0;  // tasks handed over and not yet run
};

inline State& state() {
    static auto* s = new State;  // never destroyed: the exit may run while a worker still hands over
    return *s;
}

inline void handed() {
    State& s = state();
    {
        std::lock_guard lock(s.mutex);
        ++s.waiting;
    }
    s.changed.notify_all();
}

inline void ran() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    --s.waiting;
}

// True once `milliseconds` have passed with nothing handed over; false at once when something is.
inline bool wait(std::uint32_t milliseconds) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    // Only a check: a wait for no time would still sleep the kernel's timer slack (50 µs).
    if (milliseconds == 0) return s.waiting == 0;
    return !s.changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                               [&s] { return s.waiting > 0; });
}

}  // namespace sw::platform::handover
