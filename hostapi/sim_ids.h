// Simulation ids that more than one side uses: the key events our gauges
// send and the variables they show, where the host's simulation model acts
// on the same ids (a key event changes the variable a gauge reads back).
// Ids that only one gauge uses stay in that gauge.
#pragma once

#include <cstdint>

namespace hostapi::sim {

enum : uint32_t {
    // lumivane's light switches: each key event toggles its light, whose
    // variable reads 0 (off) or 1 (on).
    kEventStabLight = 66376,             // toggles kVarStabLight
    kEventPositionSteadyLight = 66379,   // toggles kVarPositionSteadyLight
    kEventPositionStrobeLight = 65560,   // toggles kVarPositionStrobeLight
    kEventAntiCollisionLight = 66239,    // toggles kVarAntiCollisionLight
    kEventWingLight = 66378,             // toggles kVarWingLight
    kVarStabLight = 620,                 // STAB switch icon
    kVarPositionSteadyLight = 619,       // POSITION STEADY switch icon
    kVarPositionStrobeLight = 11,        // POSITION STROBE switch icon
    kVarAntiCollisionLight = 368,        // ANTI COLLISION switch icon
    kVarWingLight = 621,                 // WING switch icon

    // quadrel's throttles, engines 1 to 4: each key event sets its engine's
    // throttle variable to the event's parameter.
    kEventThrottle1 = 65820,             // sets kVarThrottle1
    kEventThrottle2 = 65821,             // sets kVarThrottle2
    kEventThrottle3 = 65822,             // sets kVarThrottle3
    kEventThrottle4 = 65823,             // sets kVarThrottle4
    kVarThrottle1 = 128,                 // lever 1 knob
    kVarThrottle2 = 163,                 // lever 2 knob
    kVarThrottle3 = 198,                 // lever 3 knob
    kVarThrottle4 = 233,                 // lever 4 knob

    // wheelgard's brake selector, positions 0 to 5, never read back.
    kEventBrakeSelectorUp = 66298,       // one position up
    kEventBrakeSelectorDown = 66299,     // one position down; stays at 0
};

// A key event and the variable it acts on.
struct EventVar {
    uint32_t event;
    uint32_t var;
};

// The five light switches: the event toggles the variable.
inline constexpr EventVar kLightSwitches[5] = {
    {kEventStabLight, kVarStabLight},
    {kEventPositionSteadyLight, kVarPositionSteadyLight},
    {kEventPositionStrobeLight, kVarPositionStrobeLight},
    {kEventAntiCollisionLight, kVarAntiCollisionLight},
    {kEventWingLight, kVarWingLight},
};

// The four throttles, engine 1 first: the event sets the variable to its
// parameter.
inline constexpr EventVar kThrottles[4] = {
    {kEventThrottle1, kVarThrottle1},
    {kEventThrottle2, kVarThrottle2},
    {kEventThrottle3, kVarThrottle3},
    {kEventThrottle4, kVarThrottle4},
};

}  // namespace hostapi::sim
