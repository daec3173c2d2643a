// One display frame of monovue, natively: the code-6 refresh work (service
// 40 on the two module-level variables) and all 28 element routines (4 N1
// needles, 4 bounded EGT needles, 18 text routines, 2 icon routines), with
// the same runtime arithmetic the module runs. Shared by the benchmark and
// the native test that counts the frame's allocations.
#pragma once

#include <cfloat>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "gaugert/forms.h"
#include "monovue/routines.h"

namespace monovue_frame {

// A module-level variable as the runtime keeps it: the host refreshes the
// cached value through service 40.
struct Var {
    uint32_t id;
    double value;
};

// The host's simulation variables, by id.
struct Host {
    double values[1024];
};
inline Host gHost;

// The host's side of service 40, out of line as it is across the boundary.
__attribute__((noinline)) inline void refreshModuleVar(Var* v) { v->value = gHost.values[v->id]; }

struct Readout {
    const gaugert::TextForm* form;
    uint32_t var;
};

// Elements 3, 5, 7, 9, 11, 13, 15, 17, 18 .. 27.
inline const Readout kReadouts[18] = {
    {&monovue::kN1Text, 624},  {&monovue::kEgtText, 567}, {&monovue::kN1Text, 643},
    {&monovue::kEgtText, 577}, {&monovue::kN1Text, 662},  {&monovue::kEgtText, 587},
    {&monovue::kN1Text, 681},  {&monovue::kEgtText, 597}, {&monovue::kN2Text, 625},
    {&monovue::kN2Text, 644},  {&monovue::kN2Text, 663},  {&monovue::kN2Text, 682},
    {&monovue::kFfText, 638},  {&monovue::kFfText, 657},  {&monovue::kFfText, 676},
    {&monovue::kFfText, 695},  {&monovue::kFobText, 791}, {&monovue::kFlapsText, 907},
};
inline const uint32_t kN1Vars[4] = {624, 643, 662, 681};
inline const uint32_t kEgtVars[4] = {567, 577, 587, 597};
inline const gaugert::Bounds* const kEgtBounds[4] = {&monovue::kEgtNeedle1, &monovue::kEgtNeedle2,
                                                     &monovue::kEgtNeedle3, &monovue::kEgtNeedle4};
// Every variable a frame reads: 2 + 4 + 4 + 18 + 1.
inline const uint32_t kFrameVars[21] = {323, 324, 325, 624, 643, 662, 681, 567, 577, 587, 597,
                                        625, 644, 663, 682, 638, 657, 676, 695, 791, 907};

struct Frame {
    Var refreshList[2] = {{324, 0}, {325, 0}};
    char text[18][gaugert::kReadoutCapacity];
    double values[28];
};

// One frame: code 6, then every element routine, each reading its
// element's cached variable value (here straight from the host table, as
// the host refreshes element variables itself before calling).
__attribute__((noinline)) inline void frame(Frame& f) {
    for (Var& v : f.refreshList) refreshModuleVar(&v);
    int n = 0;
    for (int e = 0; e < 4; ++e) f.values[n++] = gaugert::passThrough(gHost.values[kN1Vars[e]]);
    for (int e = 0; e < 4; ++e) f.values[n++] = gaugert::bounded(gHost.values[kEgtVars[e]], *kEgtBounds[e]);
    for (int r = 0; r < 18; ++r)
        f.values[n++] = gaugert::runTextForm(gHost.values[kReadouts[r].var], *kReadouts[r].form, f.text[r]);
    f.values[n++] = monovue::parkingBrakeState(gHost.values[323]);
    f.values[n++] = monovue::spoilerState(f.refreshList[0].value, f.refreshList[1].value);
}

// Host values of a running aircraft; `hostile` puts specials (infinities,
// not-a-number, huge values) into every readout.
inline void setHostValues(std::mt19937& rng, bool hostile) {
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

inline std::vector<Host> valueSets(uint32_t seed, bool hostile) {
    std::mt19937 rng(seed);
    std::vector<Host> sets(kSets);
    for (Host& h : sets) {
        setHostValues(rng, hostile);
        h = gHost;
    }
    return sets;
}

}  // namespace monovue_frame
