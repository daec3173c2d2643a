// The throttle lever arithmetic, as the handlers use it.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "quadrel/lever.h"
#include "tests/cases/quadrel_lever_cases.h"

namespace {

TEST(LeverSetting, Cases) {
    for (const cases::LeverCase& c : cases::kLeverCases)
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
