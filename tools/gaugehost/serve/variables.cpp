#include "variables.h"

namespace gaugehost {

namespace {

struct Known {
    uint32_t id;
    const char* name;
    double min, max, step;
};

// The variables our gauges read, as a panel maker knows them.
constexpr Known kKnown[] = {
    {10, "panel lighting on", 0, 1, 1},
    {753, "panel light level", 0, 1, 0.01},
    {620, "STAB light switch", 0, 1, 1},
    {11, "POSITION STROBE switch", 0, 1, 1},
    {619, "POSITION STEADY switch", 0, 1, 1},
    {368, "ANTI COLLISION switch", 0, 1, 1},
    {621, "WING light switch", 0, 1, 1},
    {128, "throttle 1", -4096, 16384, 1},
    {163, "throttle 2", -4096, 16384, 1},
    {198, "throttle 3", -4096, 16384, 1},
    {233, "throttle 4", -4096, 16384, 1},
    {624, "N1 engine 1 (%)", 0, 110, 0.1},
    {643, "N1 engine 2 (%)", 0, 110, 0.1},
    {662, "N1 engine 3 (%)", 0, 110, 0.1},
    {681, "N1 engine 4 (%)", 0, 110, 0.1},
    {567, "EGT engine 1 (\u00b0R)", 0, 2200, 1},
    {577, "EGT engine 2 (\u00b0R)", 0, 2200, 1},
    {587, "EGT engine 3 (\u00b0R)", 0, 2200, 1},
    {597, "EGT engine 4 (\u00b0R)", 0, 2200, 1},
    {625, "N2 engine 1 (%)", 0, 110, 0.1},
    {644, "N2 engine 2 (%)", 0, 110, 0.1},
    {663, "N2 engine 3 (%)", 0, 110, 0.1},
    {682, "N2 engine 4 (%)", 0, 110, 0.1},
    {638, "fuel flow engine 1", 0, 60000, 10},
    {657, "fuel flow engine 2", 0, 60000, 10},
    {676, "fuel flow engine 3", 0, 60000, 10},
    {695, "fuel flow engine 4", 0, 60000, 10},
    {791, "fuel on board", 0, 150000, 10},
    {907, "flaps", 0, 40, 1},
    {323, "parking brake", 0, 1, 1},
    {324, "spoilers armed", 0, 1, 1},
    {325, "spoiler position", 0, 16384, 1},
    {332, "centre gear extension", 0, 16384, 1},
    {333, "left gear extension", 0, 16384, 1},
    {334, "right gear extension", 0, 16384, 1},
};

}  // namespace

Control describeVariable(uint32_t id, const std::optional<ElementRange>& range) {
    for (const Known& k : kKnown)
        if (k.id == id) return {k.name, k.min, k.max, k.step};
    const std::string name = "variable " + std::to_string(id);
    if (range && range->max > range->min)
        return {name, range->min, range->max, range->step > 0 ? range->step : (range->max - range->min) / 1000};
    return {name, 0, 100, 0.1};
}

}  // namespace gaugehost
