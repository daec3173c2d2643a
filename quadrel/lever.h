// Lever setting from the pointer height: the arithmetic of the throttle
// quadrant's drag handlers, free of any host record so it can be tested
// natively.
#pragma once

#include <cstdint>

namespace quadrel {

constexpr int32_t kSettingFull = 16384;     // pointer at the top edge
constexpr int32_t kSettingReverse = -4096;  // pointer at the bottom edge

// Setting for a pointer at height `pointerY` (gauge pixels from the top) on a
// background drawn `drawnHeight` pixels high. The idle line, where the
// setting is 0, lies 80 % of the way down. `drawnHeight` must be positive.
//
// The product (idle - y) * 16384 is formed in 64 bits and the quotient is
// clamped before it is cut to an integer, so that pointers far outside the
// gauge saturate instead of wrapping. Wherever the 32-bit product and the
// quotient fit 32 bits, the result is the 32-bit arithmetic's to the integer.
int32_t leverSetting(int32_t drawnHeight, int32_t pointerY);

}  // namespace quadrel
