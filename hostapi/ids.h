// The numbers both sides of the module boundary use, free of any record or
// pointer so that native code (the gauges' pure logic and its tests) can
// include them too: element kinds and image flags, mouse entry types, event
// masks and cursors, and the simulation's variable and key event ids that a
// gauge and the host's simulation model share.
#pragma once

#include <cstdint>

namespace hostapi {

enum ElementKind : uint32_t {
    kStaticImage = 0,
    kNeedle = 1,
    kString = 2,
    kSlider = 3,
    kIcon = 4,
};

enum : uint32_t {
    kNoBitmap = 0xFFFFFFFFu,            // resource id of every string element
    kImageFlagsBackground = 0x00000001,  // 610 root background
    kImageFlagsMoving = 0x00000003,      // 610 icons and sliders
    kImageFlagsToggled = 0x00000007,     // 610 static image toggled at run time
    kImageFlagsGenerated = 0x00000083,   // every element of a version-800 gauge
    kImageFlagHidden = 0x40000000,       // set at run time: the element is not drawn
};

enum MouseRectType : uint32_t {
    kMouseEnd = 0,          // ends the list
    kMouseParent = 1,       // opens a region
    kMouseChild = 2,        // active rectangle
    kMouseEndParent = 3,    // closes the innermost open parent
};

enum : uint32_t {
    kCursorNone = 0xFFFFFFFFu,
    kCursorHand = 5,                   // every child rectangle
    kMouseClick = 0x20000000u,         // click rectangles
    kMouseDragLever = 0x00800000u,     // lever rectangles
};

// Simulation ids that a gauge uses and the host's simulation model knows.
namespace sim {

// The lights panel's switches: each key event toggles its variable.
enum : uint32_t {
    kVarStab = 620,
    kVarPositionSteady = 619,
    kVarPositionStrobe = 11,
    kVarAntiCollision = 368,
    kVarWing = 621,
    kEventStab = 66376,
    kEventPositionSteady = 66379,
    kEventPositionStrobe = 65560,
    kEventAntiCollision = 66239,
    kEventWing = 66378,
};

struct Toggle {
    uint32_t event, var;
};
inline constexpr Toggle kToggles[] = {
    {kEventStab, kVarStab},                       // STAB
    {kEventPositionSteady, kVarPositionSteady},   // POSITION STEADY
    {kEventPositionStrobe, kVarPositionStrobe},   // POSITION STROBE
    {kEventAntiCollision, kVarAntiCollision},     // ANTI COLLISION
    {kEventWing, kVarWing},                       // WING
};

// The four throttles: each key event sets its engine's throttle variable to
// the event's parameter (ids step by 1 and by 35).
enum : uint32_t {
    kEventThrottle1 = 65820, kEventThrottle2 = 65821, kEventThrottle3 = 65822, kEventThrottle4 = 65823,
    kVarThrottle1 = 128, kVarThrottle2 = 163, kVarThrottle3 = 198, kVarThrottle4 = 233,
};
inline constexpr uint32_t kThrottleSet[4] = {kEventThrottle1, kEventThrottle2, kEventThrottle3, kEventThrottle4};
inline constexpr uint32_t kThrottleVar[4] = {kVarThrottle1, kVarThrottle2, kVarThrottle3, kVarThrottle4};

// The brake selector: one position up or down per event, within 0 to 5.
enum : uint32_t {
    kBrakeSelectorUp = 66298,
    kBrakeSelectorDown = 66299,
};
inline constexpr int kBrakeSelectorTop = 5;

}  // namespace sim

}  // namespace hostapi
