// The cost of one evaluation that reports, beside the bare write and flush of the same line: the
// watcher's own work on top of the unavoidable system call should stay small.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "platform/sim/sim.h"
#include "reporting/evaluator.h"
#include "reporting/state.h"

namespace {

constexpr sw::platform::ProcessId kBrowser = 1;

// Points standard output at a pipe that a thread drains, for the life of one benchmark.
class DrainedStdout {
public:
    DrainedStdout() {
        std::fflush(stdout);
        int fds[2];
        if (::pipe(fds) != 0) std::abort();
        saved_ = ::dup(1);
        ::dup2(fds[1], 1);
        ::close(fds[1]);
        reader_ = std::thread([fd = fds[0]] {
            char buffer[65536];
            while (::read(fd, buffer, sizeof buffer) > 0) {
            }
            ::close(fd);
        });
    }
    ~DrainedStdout() {
        std::fflush(stdout);
        ::dup2(saved_, 1);  // closes the last write end: the reader sees the end
        ::close(saved_);
        reader_.join();
    }

private:
    int saved_ = -1;
    std::thread reader_;
};

void EvaluateAndEmitToggling(benchmark::State& state) {
    sw::sim::reset();
    sw::sim::addApplication(kBrowser, "org.mozilla.firefox");
    sw::sim::setFrontmost(kBrowser);
    const int element = sw::sim::selectText(kBrowser, "word", sw::platform::Rect{10.5, -3.5, 100.4, 20.6});
    sw::currentAXApp = sw::platform::createApplicationElement(kBrowser);
    sw::lastEmitted = false;
    const sw::sim::Answer selected = sw::sim::Answer::of(sw::sim::Text{"word"});
    const sw::sim::Answer empty = sw::sim::Answer::of(sw::sim::Text{""});
    DrainedStdout drain;
    bool select = true;
    for (auto _ : state) {
        sw::sim::setSelectedText(element, select ? selected : empty);
        sw::evaluateAndEmit();
        select = !select;
    }
    sw::currentAXApp.reset();
}
BENCHMARK(EvaluateAndEmitToggling);

void BareWriteAndFlush(benchmark::State& state) {
    const char* lines[] = {
        "{\"app\":\"org.mozilla.firefox\",\"bounds\":{\"height\":21,\"width\":100,\"x\":11,\"y\":-4},"
        "\"selection\":true}\n",
        "{\"selection\":false}\n"};
    DrainedStdout drain;
    int which = 0;
    for (auto _ : state) {
        std::fputs(lines[which], stdout);
        std::fflush(stdout);
        which ^= 1;
    }
}
BENCHMARK(BareWriteAndFlush);

}  // namespace

BENCHMARK_MAIN();
