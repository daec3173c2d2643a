// What the lamps of the gear and brakes panel show: the gear lamp rule and
// the brake button lamps. Free of any host record so it can be tested
// natively.
#pragma once

#include <cstdint>

namespace wheelgard {

// Gear extension above which (strictly) a gear counts as down and locked;
// any extension above 0 up to and including it counts as in transit, so
// exactly 16300.0 is still in transit.
constexpr double kGearDownThreshold = 16300.0;

// Icon states of a gear lamp.
enum GearLamp : int32_t {
    kGearLampDark = 0,
    kGearLampTransit = 1,  // TRAN lit red
    kGearLampDown = 2,     // DOWN lit green
};

// State of a gear lamp for the gear extension `extension`: dark at 0 or
// below, in transit above 0, down above 16300. Both tests are strict, and a
// value that is not a number leaves the lamp dark.
inline GearLamp gearLamp(double extension) {
    GearLamp state = kGearLampDark;
    if (extension > 0.0) state = kGearLampTransit;
    if (extension > kGearDownThreshold) state = kGearLampDown;
    return state;
}

// A brake button lights (state 1) while the selection is its own position.
inline int32_t brakeLamp(int32_t selection, int32_t position) {
    return selection == position ? 1 : 0;
}

}  // namespace wheelgard
