// The gear and brakes panel's logic: the gear lamp rule and the key events
// of every button click and of the synchronisation.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tests/cases/wheelgard_cases.h"
#include "wheelgard/lamps.h"
#include "wheelgard/selector.h"

namespace {

using namespace wheelgard;
using cases::ClickCase;
using cases::GearCase;
using cases::kClickCases;
using cases::kGearCases;

TEST(GearLamp, StateFromExtension) {
    for (const GearCase& c : kGearCases) EXPECT_EQ(gearLamp(c.extension), c.state) << c.name;
}

constexpr uint32_t kUp = cases::kSelectorUp, kDown = cases::kSelectorDown;

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
