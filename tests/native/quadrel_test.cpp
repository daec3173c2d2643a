// The throttle lever arithmetic, as the handlers use it.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "quadrel/lever.h"

namespace {

struct Case {
    const char* name;
    int32_t drawnHeight;
    int32_t y;
    int32_t setting;
};

const Case kCases[] = {
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
    {"H 1: idle line at 0", 1, 0, 0},
    {"H 1: one pixel below", 1, 1, -4096},
    {"far below would wrap to full", 100, 200000, -4096},
    {"far above", 100, -200000, 16384},
    {"lowest int", 100, INT_MIN, 16384},
    {"highest int", 100, INT_MAX, -4096},
    {"huge height", INT_MAX, INT_MAX, -4096},
};

TEST(LeverSetting, Cases) {
    for (const Case& c : kCases)
        EXPECT_EQ(quadrel::leverSetting(c.drawnHeight, c.y), c.setting) << c.name;
}

// The 32-bit arithmetic as first written, for pointers whose product fits.
int32_t reference(int32_t h, int32_t y) {
    const int32_t idle = static_cast<int32_t>(h * 0.8);
    const int32_t n = (idle - y) * 16384;
    int32_t s = static_cast<int32_t>(n / (h * 0.8));
    if (s > 16384) s = 16384;
    if (s < -4096) s = -4096;
    return s;
}

TEST(LeverSetting, EqualsThe32BitArithmeticWhereItDoesNotOverflow) {
    for (int32_t h = 1; h <= 2000; h += 7)
        for (int32_t y = -3 * h; y <= 3 * h; ++y)
            ASSERT_EQ(quadrel::leverSetting(h, y), reference(h, y)) << "H " << h << " y " << y;
}

TEST(LeverSetting, NeverLeavesTheLeverRangeAndFallsAsThePointerDescends) {
    for (int32_t h : {1, 50, 100, 101, 768, 100000}) {
        int32_t previous = INT_MAX;
        for (int64_t y = -5000000; y <= 5000000; y += 997) {
            const int32_t s = quadrel::leverSetting(h, static_cast<int32_t>(y));
            ASSERT_GE(s, -4096);
            ASSERT_LE(s, 16384);
            ASSERT_LE(s, previous) << "H " << h << " y " << y;
            previous = s;
        }
    }
}

}  // namespace
