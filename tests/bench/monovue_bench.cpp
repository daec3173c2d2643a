// One display frame of monovue, natively: the code-6 refresh work (service
// 40 on the two module-level variables) and all 28 element routines (4 N1
// needles, 4 bounded EGT needles, 18 text routines, 2 icon routines), with
// the same runtime arithmetic the module runs. Every allocation made while
// frames run is counted (malloc and friends are interposed below; operator
// new goes through malloc): the routines must make none.
//
//   build/native/tests/native/gauge_bench --benchmark_filter=Monovue
#include <benchmark/benchmark.h>

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "gaugert/forms.h"
#include "monovue/routines.h"

// ---- allocation counter -----------------------------------------------------------

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
bool gCounting = false;
uint64_t gAllocations = 0;
inline void count() {
    if (gCounting) ++gAllocations;
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
    count();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
    count();
    return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
    count();
    return __libc_realloc(p, n);
}
void* memalign(size_t a, size_t n) {
    count();
    return __libc_memalign(a, n);
}
void* aligned_alloc(size_t a, size_t n) {
    count();
    return __libc_memalign(a, n);
}
int posix_memalign(void** out, size_t a, size_t n) {
    count();
    *out = __libc_memalign(a, n);
    return *out ? 0 : 12;
}
void free(void* p) { __libc_free(p); }
}

namespace {

using gaugert::kTextCapacity;
using gaugert::TextForm;

// ---- the frame ---------------------------------------------------------------------

// A module-level variable as the runtime keeps it: the host refreshes the
// cached value through service 40.
struct Var {
    uint32_t id;
    double value;
};

// The host's side of service 40, out of line as it is across the boundary.
struct Host {
    double values[1024];
};
Host gHost;

__attribute__((noinline)) void refreshModuleVar(Var* v) { v->value = gHost.values[v->id]; }

struct Readout {
    const TextForm* form;
    uint32_t var;
};

// Elements 3, 5, 7, 9, 11, 13, 15, 17, 18 .. 27.
const Readout kReadouts[18] = {
    {&monovue::kN1Text, 624},  {&monovue::kEgtText, 567}, {&monovue::kN1Text, 643},
    {&monovue::kEgtText, 577}, {&monovue::kN1Text, 662},  {&monovue::kEgtText, 587},
    {&monovue::kN1Text, 681},  {&monovue::kEgtText, 597}, {&monovue::kN2Text, 625},
    {&monovue::kN2Text, 644},  {&monovue::kN2Text, 663},  {&monovue::kN2Text, 682},
    {&monovue::kFfText, 638},  {&monovue::kFfText, 657},  {&monovue::kFfText, 676},
    {&monovue::kFfText, 695},  {&monovue::kFobText, 791}, {&monovue::kFlapsText, 907},
};
const uint32_t kN1Vars[4] = {624, 643, 662, 681};
const uint32_t kEgtVars[4] = {567, 577, 587, 597};
const gaugert::Bounds* const kEgtBounds[4] = {&monovue::kEgtNeedle1, &monovue::kEgtNeedle2,
                                              &monovue::kEgtNeedle3, &monovue::kEgtNeedle4};

struct Frame {
    Var refreshList[2] = {{324, 0}, {325, 0}};
    char text[18][kTextCapacity];
    double values[28];
};

// One frame: code 6, then every element routine, each reading its
// element's cached variable value (here straight from the host table, as
// the host refreshes element variables itself before calling).
__attribute__((noinline)) void frame(Frame& f) {
    for (Var& v : f.refreshList) refreshModuleVar(&v);
    int n = 0;
    for (int e = 0; e < 4; ++e) f.values[n++] = gaugert::passThrough(gHost.values[kN1Vars[e]]);
    for (int e = 0; e < 4; ++e) f.values[n++] = gaugert::bounded(gHost.values[kEgtVars[e]], *kEgtBounds[e]);
    for (int r = 0; r < 18; ++r)
        f.values[n++] = gaugert::runTextForm(gHost.values[kReadouts[r].var], *kReadouts[r].form, f.text[r]);
    f.values[n++] = monovue::parkingBrakeState(gHost.values[323]);
    f.values[n++] = monovue::spoilerState(f.refreshList[0].value, f.refreshList[1].value);
}

// Host values of a running aircraft, different every frame.
void setHostValues(std::mt19937& rng, bool hostile) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    auto set = [&](uint32_t id, double lo, double hi) { gHost.values[id] = lo + (hi - lo) * u(rng); };
    for (uint32_t id : kN1Vars) set(id, 20, 104);
    for (uint32_t id : kEgtVars) set(id, 900, 2100);
    for (uint32_t id : {625u, 644u, 663u, 682u}) set(id, 50, 105);
    for (uint32_t id : {638u, 657u, 676u, 695u}) set(id, 500, 30000);
    set(791, 1000, 600000);
    set(907, 0, 40);
    set(323, -1, 1);
    set(324, -1, 1);
    set(325, 0, 16383);
    if (hostile) {
        const double specials[] = {3e38, -3e38, DBL_MAX, -std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::quiet_NaN(), -0.0, FLT_MAX, 1e-40};
        int k = 0;
        for (const Readout& r : kReadouts) gHost.values[r.var] = specials[k++ % 8];
    }
}

// Frames rotate through this many host value sets.
constexpr int kSets = 64;

std::vector<Host> valueSets(uint32_t seed, bool hostile) {
    std::mt19937 rng(seed);
    std::vector<Host> sets(kSets);
    for (Host& h : sets) {
        setHostValues(rng, hostile);
        h = gHost;
    }
    return sets;
}

void runFrames(benchmark::State& state, bool hostile) {
    const std::vector<Host> sets = valueSets(42, hostile);
    Frame f;
    // The counter sees an allocation...
    gAllocations = 0;
    gCounting = true;
    delete new (std::nothrow) int(1);
    gCounting = false;
    if (gAllocations != 1) state.SkipWithError("the allocation counter does not count");
    // ...and counts none over frames of every value set.
    gAllocations = 0;
    gCounting = true;
    for (int i = 0; i < 4 * kSets; ++i) {
        gHost = sets[i % kSets];
        frame(f);
    }
    gCounting = false;
    const uint64_t allocations = gAllocations;
    if (allocations != 0) state.SkipWithError("the frame allocated");

    int i = 0;
    for (auto _ : state) {
        state.PauseTiming();
        gHost = sets[i++ % kSets];
        state.ResumeTiming();
        frame(f);
        benchmark::DoNotOptimize(f);
        benchmark::ClobberMemory();
    }
    state.counters["allocations_per_frame"] = static_cast<double>(allocations) / (4 * kSets);
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
        // The values the frame reads: 2 + 4 + 4 + 18 + 1.
        for (uint32_t id : {323u, 324u, 325u, 624u, 643u, 662u, 681u, 567u, 577u, 587u, 597u, 625u, 644u,
                            663u, 682u, 638u, 657u, 676u, 695u, 791u, 907u})
            gHost.values[id] = h.values[id];
        frame(f);
        benchmark::DoNotOptimize(f);
        benchmark::ClobberMemory();
    }
}

void BM_TextRoutine(benchmark::State& state) {
    char buf[kTextCapacity];
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
