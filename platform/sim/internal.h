// What the parts of the simulated desktop share: its objects, the desktop itself, and the calls
// between elements.cpp (elements and values), runloop.cpp (the main loop, observers and their
// deliveries, input), workspace.cpp (applications) and engines.cpp (the browser models).
#pragma once

#include <array>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/sim.h"

namespace sw::platform {

struct RunLoop {};

struct RunLoopSource {
    Object* observer = nullptr;
};

struct Object {
    sim::Kind kind = sim::Kind::Number;
    int id = 0;
    int references = 1;
    ProcessId pid = 0;        // elements, applications, observers, arrays
    int element = 0;          // elements: 0 for the application element; markers: where they lie
    int start = 0, end = 0;   // marker ranges: the elements of their ends
    std::vector<int> items;   // arrays
    std::string text;         // strings
    int valueType = 0;        // accessibility values
    Rect rect;                // accessibility values: a rectangle, a point (x, y), a size (w, h)
    ObserverCallback callback = nullptr;
    std::map<std::string, void*> registered;  // observers: notification -> context
    RunLoopSource source;
    bool sourceInRunLoop = false;
};

}  // namespace sw::platform

namespace sw::sim {

using platform::Object;
using platform::Ref;

constexpr int kValueTypeRange = 4;
// How long a call waits for an application that does not answer, until the process sets a bound.
constexpr float kDefaultMessagingTimeout = 6.0f;

struct Application {
    std::optional<std::string> bundle;
    std::deque<std::optional<std::string>> bundleAnswers;
    Answer focused = Answer::failure(kAXErrorNoValue);
    Answer focusedWindow = Answer::failure(kAXErrorNoValue);
    AXError createCode = platform::kAXErrorSuccess;
    bool createReturnsObserver = true;
    std::map<std::string, AXError> registerCodes;
    std::map<std::string, AXError> registerOnce;  // answered to the next registration only
    bool hung = false;  // answers nothing: every call to it runs into the messaging time-out
};

struct Element {
    ProcessId pid = 0;
    // Reached through another application's elements, it still answers from its own process (a
    // page drawn by a process of its own); otherwise it counts as the asking application's.
    bool ownProcess = false;
    std::map<std::string, Answer, std::less<>> answers;  // by attribute name; see answerOf
};

struct Desktop {
    bool trusted = true;
    bool listenEventAccess = false;
    float messagingTimeout = kDefaultMessagingTimeout;
    std::map<ProcessId, Application> applications;
    std::optional<ProcessId> frontmost;
    std::map<int, Element> elements;
    int nextElement = 1;
    std::vector<platform::Task> activationHandlers;
    std::vector<platform::Task> releaseHandlers;
    bool skipWaits = false;
    bool exiting = false;  // the process's exit has begun

    int nextObjectId = 1;
    std::array<int, static_cast<int>(Kind::Count)> live{};
    std::set<Object*> observers;  // live observers, for delivery
    int totalQueries = 0;
    std::map<std::string, int, std::less<>> queries;
    std::vector<std::string> calls;

    // The main loop is the only part touched from other threads. A task may carry a tag, by which
    // it can be taken back before it runs.
    struct Task {
        std::uint64_t tag = 0;
        std::function<void()> run;
    };
    std::mutex loopMutex;
    std::condition_variable loopWake;
    std::multimap<std::chrono::steady_clock::time_point, Task> tasks;
    bool stopRequested = false;
    platform::TimerId lastTimer = 0;  // never reset: an old id never names a new timer
};

// Never destroyed: objects held in process-wide state may be released during exit.
Desktop& desktop();

Object* newObject(Kind kind);
std::string label(Ref object);
const char* kindName(Kind kind);

// Counts an accessibility query (and waits if one is held, runloop.cpp).
void countQuery(const char* attribute);
void waitIfHeld();
// For a call to an application that answers nothing: waits out the messaging time-out, then
// gives the "cannot complete" it ends with. Success for any other application.
AXError waitIfHung(ProcessId pid);

// What an engine model answers for an attribute that its engine does not implement: the
// unsupported result of a plain or a parameterised attribute. None when the element belongs to no
// model or its engine implements the name.
std::optional<AXError> modelRefusal(ProcessId pid, int element, std::string_view attribute,
                                    bool parameterized);
// Calls the callback of every live observer of `pid` whose source is in the run loop and that is
// registered for `notification`, in one task on the main loop.
void deliver(ProcessId pid, const std::string& notification);
// Queues a task on the main loop, due at `due`, with a tag by which it can be taken back (0: none).
void enqueue(std::chrono::steady_clock::time_point due, std::function<void()> task,
             std::uint64_t tag = 0);
// Empties the main loop, and forgets the input release handlers.
void resetLoop();

// What an engine model answers for an attribute of one of its elements (element 0 is the
// application), or none when the element's own answers stand. May change the model's state, as a
// read changes a real browser's.
std::optional<Answer> modelAnswer(ProcessId pid, int element, std::string_view attribute,
                                  Ref parameter);
void resetModels();

}  // namespace sw::sim
