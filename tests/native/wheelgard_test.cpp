// The gear and brakes panel's logic: the gear lamp rule and the key events
// of every button click and of the synchronisation.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "wheelgard/lamps.h"
#include "wheelgard/selector.h"

namespace {

using namespace wheelgard;

struct GearCase {
    const char* name;
    double extension;
    int32_t state;
};

const GearCase kGearCases[] = {
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

TEST(GearLamp, StateFromExtension) {
    for (const GearCase& c : kGearCases) EXPECT_EQ(gearLamp(c.extension), c.state) << c.name;
}

struct ClickCase {
    int32_t selection;
    int32_t button;
    uint32_t eventId;
    int32_t count;
    int32_t after;
};

// The simulator's key events: brake selector one position up, one down.
constexpr uint32_t kUp = 66298, kDown = 66299;

// Every selection that can occur against every button.
const ClickCase kClickCases[] = {
    // before the first synchronisation: as from 1
    {0, 2, kUp, 1, 2},
    {0, 3, kUp, 2, 3},
    {0, 5, kUp, 4, 5},
    // synchronised, no button lit
    {1, 2, kUp, 1, 2},
    {1, 3, kUp, 2, 3},
    {1, 5, kUp, 4, 5},
    // left lit
    {2, 2, kDown, 1, 1},
    {2, 3, kUp, 1, 3},
    {2, 5, kUp, 3, 5},  // passes 4
    // middle lit
    {3, 2, kDown, 1, 2},
    {3, 3, kDown, 2, 1},
    {3, 5, kUp, 2, 5},
    // right lit
    {5, 2, kDown, 3, 2},
    {5, 3, kDown, 2, 3},
    {5, 5, kDown, 4, 1},
};

TEST(BrakeButton, KeyEventsAndSelectionForEveryRow) {
    for (const ClickCase& c : kClickCases) {
        const ButtonClick click = brakeButtonClick(c.selection, c.button);
        SCOPED_TRACE("selection " + std::to_string(c.selection) + ", button " + std::to_string(c.button));
        EXPECT_EQ(click.steps.eventId, c.eventId);
        EXPECT_EQ(click.steps.count, c.count);
        EXPECT_EQ(click.selection, c.after);
    }
}

// The simulator's selector as the gauge relies on it: one position per
// event, held at 0 from below. Its top is not known; 9 is well above 5.
struct SimulatedSelector {
    int32_t position;
    void apply(KeySteps s) {
        for (int32_t i = 0; i < s.count; ++i) {
            if (s.eventId == kUp && position < 9) ++position;
            if (s.eventId == kDown && position > 0) --position;
        }
    }
};

TEST(BrakeSelector, SynchronisationAndClicksKeepTheSimulatorInStep) {
    for (int32_t start = 0; start <= 5; ++start) {
        SCOPED_TRACE("simulator starting at " + std::to_string(start));
        SimulatedSelector sim{start};
        for (KeySteps s : kSynchronisation) sim.apply(s);
        int32_t selection = kSelectionAfterSynchronisation;
        ASSERT_EQ(sim.position, selection);
        // Every pair of clicks from every selection reached.
        for (int32_t first : {2, 3, 5})
            for (int32_t second : {2, 3, 5, 2, 5, 3, 3}) {
                for (int32_t button : {first, second}) {
                    const ButtonClick click = brakeButtonClick(selection, button);
                    sim.apply(click.steps);
                    selection = click.selection;
                    ASSERT_EQ(sim.position, selection) << "after button " << button;
                    ASSERT_NE(selection, 4);
                }
            }
    }
}

}  // namespace
