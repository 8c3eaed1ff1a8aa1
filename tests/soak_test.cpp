// A long run in one process: 100,000 activation cycles, each with random answers from the desktop
// (observers that cannot be created or registered, odd values), a selection change and its
// notification, and a last activation whose report is checked against the desktop's answers. The
// rules of tests/program.h hold after every operation; the address sanitizer's leak check runs when
// the program ends.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <random>

#include "tests/program.h"

namespace sw::test {
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
        Reader in(bytes, sizeof bytes);
        runOperation(in);
    };
    initPrograms();
    beginProgram();
    for (long cycle = 0; cycle < kCycles; ++cycle) {
        for (int i = random() % 3; i > 0; --i) {
            constexpr Op answers[] = {kFront, kCreate, kRegister, kFocus, kText, kRange, kBounds};
            const auto pick = static_cast<std::uint8_t>(random() % 7);
            const auto code = static_cast<std::uint8_t>(random() % 8 == 0 ? random() : 0);
            run(answers[random() % std::size(answers)], {pick, code, 0, code});  // mostly success
        }
        // One of the ten applications, a process the workspace does not know, or none.
        const auto app = static_cast<std::uint8_t>(random() % 12);
        run(kActivate, {app});
        run(kRun);
        run(kSelect, {app});
        run(kNotify, {app, static_cast<std::uint8_t>(random() % 2)});
        run(kRun);
        run(kSettle);
    }
    const Figures figures = endProgram();
    EXPECT_EQ(figures.settled, kCycles);
    EXPECT_LE(figures.mostAlive, 2) << "more than the watched browser's observer and element";

    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("soak: %ld cycles, %ld operations in %.1f s, %ld events (%ld present), "
                "%ld diagnostics, at most %ld objects alive, peak RSS %ld MiB\n",
                kCycles, figures.operations,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                figures.lines, figures.present, figures.diagnostics, figures.mostAlive,
#ifdef __APPLE__
                usage.ru_maxrss >> 20);  // bytes there, KiB on Linux
#else
                usage.ru_maxrss >> 10);
#endif
}

}  // namespace
}  // namespace sw::test
