// One display frame of monovue, natively (tests/support/monovue_frame.h):
// the code-6 refresh work and all 28 element routines, with the same
// runtime arithmetic the module runs. That a frame allocates nothing is a
// native test (MonovueFrame in tests/native/monovue_frame_test.cpp).
//
//   build/native/tests/native/gauge_bench --benchmark_filter=Monovue
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "tests/support/monovue_frame.h"

namespace {

using namespace monovue_frame;

void runFrames(benchmark::State& state, bool hostile) {
    const std::vector<Host> sets = valueSets(42, hostile);
    Frame f;
    int i = 0;
    for (auto _ : state) {
        state.PauseTiming();
        gHost = sets[i++ % kSets];
        state.ResumeTiming();
        frame(f);
        benchmark::DoNotOptimize(f);
        benchmark::ClobberMemory();
    }
    state.counters["routines_per_frame"] = 28;
}

void BM_MonovueFrame(benchmark::State& state) { runFrames(state, false); }
void BM_MonovueFrameHostileValues(benchmark::State& state) { runFrames(state, true); }

// The same frames without pausing the clock: the host values of each frame
// are taken from a rotating set in place (what the host's refresh does),
// which avoids PauseTiming's own cost in the figure.
void BM_MonovueFrameUnpaused(benchmark::State& state) {
    const std::vector<Host> sets = valueSets(7, false);
    Frame f;
    int i = 0;
    for (auto _ : state) {
        const Host& h = sets[i++ % kSets];
        for (uint32_t id : kFrameVars) gHost.values[id] = h.values[id];
        frame(f);
        benchmark::DoNotOptimize(f);
        benchmark::ClobberMemory();
    }
}

void BM_TextRoutine(benchmark::State& state) {
    char buf[gaugert::kReadoutCapacity];
    double x = 1234.5;
    for (auto _ : state) {
        benchmark::DoNotOptimize(gaugert::runTextForm(x, monovue::kFobText, buf));
        x += 0.25;
    }
}

BENCHMARK(BM_MonovueFrame);
BENCHMARK(BM_MonovueFrameHostileValues);
BENCHMARK(BM_MonovueFrameUnpaused);
BENCHMARK(BM_TextRoutine);

}  // namespace
