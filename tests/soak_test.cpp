// A long run in one process: the fuzz target's program (tests/fuzz) as one schedule of 100,000
// activation cycles, each with random answers from the desktop (observers that cannot be created
// or registered, odd values, the page's tree), a selection in a control or a page and its
// notification, and a last activation whose report is checked against the desktop's answers.
// Every rule holds after every operation; the address sanitizer's leak check runs when the program
// ends.
#include "tests/fuzz/fuzz_selection.cpp"

#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <random>

namespace sw::fuzz {
namespace {

constexpr long kCycles = 100000;


TEST(Soak, HundredThousandActivationCycles) {
    const auto started = std::chrono::steady_clock::now();
    std::mt19937 random(20261206);
    // One operation: its code, the operands given, random bytes for the rest.
    const auto run = [&random](Op op, std::initializer_list<std::uint8_t> operands = {}) {
        std::uint8_t bytes[40] = {op};
        std::copy(operands.begin(), operands.end(), bytes + 1);
        for (std::size_t i = 1 + operands.size(); i < sizeof bytes; ++i) bytes[i] = random() & 0xFF;
        Reader in{bytes, bytes + sizeof bytes};
        runOperation(in);
    };
    LLVMFuzzerInitialize(nullptr, nullptr);
    beginProgram();
    run(kRun);  // the watcher starts with nothing in front
    for (long cycle = 0; cycle < kCycles; ++cycle) {
        for (int i = random() % 3; i > 0; --i) {  // answers that mostly succeed
            constexpr Op answers[] = {kFront, kCreate, kRegister, kFocus, kText, kRange, kBounds, kTree, kWindow};
            const auto pick = static_cast<std::uint8_t>(random() % kAppCount);
            const auto code = static_cast<std::uint8_t>(random() % 8 == 0 ? random() : 0);
            const Op op = answers[random() % std::size(answers)];
            if (op == kTree) run(op, {pick});  // any attribute of the page's tree, any answer
            else run(op, {pick, code, code, code});
        }
        // One of the applications, a process the workspace does not know, or none.
        const auto app = static_cast<std::uint8_t>(random() % (kAppCount + 2));
        run(kActivate, {app});
        run(kRun);
        // A page's selection, like a control's, comes with its rectangle, and the marker answers
        // never with bounds: a missing rectangle would be asked again after real waits.
        const Op select = random() % 2 ? kSelect : kSelectPage;
        run(select, {app, static_cast<std::uint8_t>(random()), 0});
        run(kMarkers, {static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random() % 2)});
        run(kNotify, {app, static_cast<std::uint8_t>(random() % 2)});
        run(kRun);
        run(kSettle);
    }
    endProgram();
    EXPECT_EQ(state.settled, kCycles);

    std::printf("soak: %ld cycles in %.1f s, %ld events (%ld present), %ld diagnostics\n", kCycles,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                state.lines, state.present, state.diagnostics);
}

}  // namespace
}  // namespace sw::fuzz
