// Pointer heights and the lever settings they must send, shared by the
// native tests of the arithmetic and the Wine tests of the shipped handlers.
#pragma once

#include <climits>
#include <cstdint>

namespace cases {

struct LeverCase {
    const char* name;
    int32_t drawnHeight;
    int32_t y;
    int32_t setting;
};

// With H = 100 the idle line is y = 80; H = 101 keeps it at 80 (80.8 cut)
// while the divisor stays 80.8.
inline constexpr LeverCase kLeverCases[] = {
    {"idle line", 100, 80, 0},
    {"top edge", 100, 0, 16384},
    {"bottom edge", 100, 100, -4096},
    {"above the gauge saturates", 100, -10, 16384},
    {"below the gauge saturates", 100, 120, -4096},
    {"7987.2 truncates", 100, 41, 7987},
    {"-204.8 truncates toward zero", 100, 81, -204},
    {"half way", 100, 40, 8192},
    {"H 101: idle line at 80", 101, 80, 0},
    {"H 101: divisor 80.8", 101, 0, 16221},
    {"H 200: scaled", 200, 80, 8192},
    {"H 1: idle line at 0", 1, 0, 0},
    {"H 1: one pixel below", 1, 1, -4096},
    // Far outside the gauge the 32-bit product (idle - y) * 16384 would
    // wrap, turning y = 200000 into full throttle: these saturate instead.
    {"far below would wrap to full", 100, 200000, -4096},
    {"far above", 100, -200000, 16384},
    {"lowest int", 100, INT_MIN, 16384},
    {"highest int", 100, INT_MAX, -4096},
    {"huge height: idle line cut below 0.8 H", INT_MAX, 0, 16383},
    {"huge height, pointer at the bottom", INT_MAX, INT_MAX, -4096},
};

}  // namespace cases
