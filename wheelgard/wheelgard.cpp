// wheelgard: the gear and brakes panel, 100 x 115, on the generated gauge
// runtime. Five three-state gear lamps follow the extension of the left,
// right and centre gear; three lit push-buttons step the simulator's brake
// selector to positions 2, 3 and 5 by single key events. The selector is
// never read back: the gauge keeps its own record of it, `BrakeSelection`,
// and drives the simulator's selector to position 1 on the first service
// code 10 after load.
#include "../gaugert/gaugert.h"
#include "lamps.h"
#include "selector.h"

using namespace hostapi;

namespace wheelgard {

// The brake selector position the gauge holds the simulator to be in: 0 at
// load, 1 from the first synchronisation on, then 1, 2, 3 or 5. Shared by
// every instance of the gauge in this module.
constinit int32_t BrakeSelection = kSelectionUnsynchronised;

namespace {

using gaugert::icon;

// Module-level variables: the gear extensions, refreshed by service code 6
// in this order.
enum : uint32_t { kVarGearLeft = 333, kVarGearRight = 334, kVarGearCentre = 332 };
enum RefreshSlot : int { kRefreshLeft = 0, kRefreshRight = 1, kRefreshCentre = 2 };
constinit ModuleVar refreshList[3] = {
    moduleVar(kVarGearLeft),    // lamps 2 and 3
    moduleVar(kVarGearRight),   // lamps 4 and 5
    moduleVar(kVarGearCentre),  // lamp 6
};

// Bitmap resources, 24 bits per pixel; an icon's state k is its id + k.
enum : uint32_t {
    kBitmapBackground = 256,
    kBitmapGearLeftOuter = 5632,
    kBitmapGearLeftInner = 5888,
    kBitmapGearRightInner = 6144,
    kBitmapGearRightOuter = 6400,
    kBitmapGearCentre = 8192,
    kBitmapBrakeLeft = 8448,
    kBitmapBrakeMiddle = 8704,
    kBitmapBrakeRight = 8960,
};
enum : uint32_t {
    kNoVariable = 0,       // the lamps take their state from their routine alone
    kGearLampImages = 3,   // dark, TRAN, DOWN
    kBrakeLampImages = 2,  // dark, ON
};

void sendSteps(KeySteps steps) {
    for (int32_t i = 0; i < steps.count; ++i) gaugert::sendKeyEvent(steps.eventId, 0);
}

// ---- value routines: the element's address is not needed --------------------

// Gear lamp from the gear's extension as the last refresh left it.
template <RefreshSlot Gear>
double GAUGE_CALL gearLampRoutine(ElementHeader* /*element*/) {
    return gearLamp(gaugert::value(refreshList[Gear]));
}

template <int32_t Position>
double GAUGE_CALL brakeLampRoutine(ElementHeader* /*element*/) {
    return brakeLamp(BrakeSelection, Position);
}

// ---- brake buttons: the point and the event flags are not needed -------------

template <int32_t Position>
int32_t GAUGE_CALL brakeButton(const MousePoint* /*point*/, uint32_t /*eventFlags*/) {
    const ButtonClick click = brakeButtonClick(BrakeSelection, Position);
    sendSteps(click.steps);
    BrakeSelection = click.selection;
    return 0;
}

// ---- start action: the first service code 10 ---------------------------------

// Brings the simulator's selector to 1, where the gauge now holds it.
void synchronise() {
    BrakeSelection = kSelectionAfterSynchronisation;
    for (KeySteps steps : kSynchronisation) sendSteps(steps);
}

// ---- the element chain, in drawing order ---------------------------------------

constinit gaugert::Chain chain{
    /* 1 */ gaugert::image(kBitmapBackground, 0, 0),
    // Gear lamps: two left, two right, the centre one on top.
    /* 2 */ icon(kBitmapGearLeftOuter, 3, 25, kNoVariable, kGearLampImages, gearLampRoutine<kRefreshLeft>),
    /* 3 */ icon(kBitmapGearLeftInner, 27, 35, kNoVariable, kGearLampImages, gearLampRoutine<kRefreshLeft>),
    /* 4 */ icon(kBitmapGearRightInner, 51, 35, kNoVariable, kGearLampImages, gearLampRoutine<kRefreshRight>),
    /* 5 */ icon(kBitmapGearRightOuter, 75, 25, kNoVariable, kGearLampImages, gearLampRoutine<kRefreshRight>),
    /* 6 */ icon(kBitmapGearCentre, 39, 5, kNoVariable, kGearLampImages, gearLampRoutine<kRefreshCentre>),
    // Brake buttons along the bottom: positions 2, 3 and 5.
    /* 7 */ icon(kBitmapBrakeLeft, 8, 91, kNoVariable, kBrakeLampImages, brakeLampRoutine<kPositionLeft>),
    /* 8 */ icon(kBitmapBrakeMiddle, 35, 91, kNoVariable, kBrakeLampImages, brakeLampRoutine<kPositionMiddle>),
    /* 9 */ icon(kBitmapBrakeRight, 69, 91, kNoVariable, kBrakeLampImages, brakeLampRoutine<kPositionRight>),
};

// Each button's box begins 2 pixels right of and below its lamp.
constinit MouseRect mouseList[6] = {
    mouseParent(0, 0, 0, 0),
    gaugert::clickRect(10, 93, 19, 21, brakeButton<kPositionLeft>),    // left
    gaugert::clickRect(37, 93, 20, 20, brakeButton<kPositionMiddle>),  // middle
    gaugert::clickRect(71, 93, 20, 20, brakeButton<kPositionRight>),   // right
    mouseEndParent(),
    mouseEnd(),
};

}  // namespace
}  // namespace wheelgard

constinit gaugert::GaugeRecords gaugert::gauge = gaugert::records(
    "wheelgard", wheelgard::chain.root(), wheelgard::mouseList,
    gaugert::gaugeCallback<wheelgard::refreshList, wheelgard::synchronise>);
