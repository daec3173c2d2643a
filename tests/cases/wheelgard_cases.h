// The gear lamp rule and the brake selector's clicks, shared by the native
// tests of the logic and the Wine tests of the shipped value routines and
// handlers.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace cases {

struct GearCase {
    const char* name;
    double extension;
    int32_t state;   // 0 up, 1 in transit, 2 down
};

inline const GearCase kGearCases[] = {
    {"retracted: exactly 0.0", 0.0, 0},
    {"negative zero", -0.0, 0},
    {"negative", -1.0, 0},
    {"most negative", -std::numeric_limits<double>::max(), 0},
    {"negative infinity", -INFINITY, 0},
    {"not a number", std::numeric_limits<double>::quiet_NaN(), 0},
    {"negative not a number", -std::numeric_limits<double>::quiet_NaN(), 0},
    {"smallest positive", std::numeric_limits<double>::denorm_min(), 1},
    {"half way out", 0.5, 1},
    {"exactly 16300.0 is still in transit", 16300.0, 1},
    {"just below the down line", std::nextafter(16300.0, 0.0), 1},
    {"just above the down line", std::nextafter(16300.0, 1e9), 2},
    {"16300.5", 16300.5, 2},
    {"fully down", 16384.0, 2},
    {"infinity", INFINITY, 2},
};

// The simulator's key events: brake selector one position up, one down.
inline constexpr uint32_t kSelectorUp = 66298, kSelectorDown = 66299;

struct ClickCase {
    int32_t selection;   // before the click; 0 before the first synchronisation
    int32_t button;      // the button's position: 2 left, 3 middle, 5 right
    uint32_t eventId;
    int32_t count;       // events sent, all of eventId
    int32_t after;       // selection after the click
};

// Every selection that can occur against every button.
inline constexpr ClickCase kClickCases[] = {
    // before the first synchronisation: as from 1
    {0, 2, kSelectorUp, 1, 2},
    {0, 3, kSelectorUp, 2, 3},
    {0, 5, kSelectorUp, 4, 5},
    // synchronised, no button lit
    {1, 2, kSelectorUp, 1, 2},
    {1, 3, kSelectorUp, 2, 3},
    {1, 5, kSelectorUp, 4, 5},
    // left lit
    {2, 2, kSelectorDown, 1, 1},
    {2, 3, kSelectorUp, 1, 3},
    {2, 5, kSelectorUp, 3, 5},  // passes 4
    // middle lit
    {3, 2, kSelectorDown, 1, 2},
    {3, 3, kSelectorDown, 2, 1},
    {3, 5, kSelectorUp, 2, 5},
    // right lit
    {5, 2, kSelectorDown, 3, 2},
    {5, 3, kSelectorDown, 2, 3},
    {5, 5, kSelectorDown, 4, 1},
};

}  // namespace cases
