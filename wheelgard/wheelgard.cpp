// wheelgard: the gear and brakes panel, 100 x 115. Five three-state gear
// lamps follow the extension of the left, right and centre gear; three lit
// push-buttons step the simulator's brake selector to positions 2, 3 and 5
// by single key events. The selector is never read back: the gauge keeps
// its own record of it, `BrakeSelection`, and drives the simulator's
// selector to position 1 on the first service code 10 after load.
#include "../hostapi/elements.h"
#include "../hostapi/gauge_module.h"
#include "../hostapi/panel_services.h"
#include "lamps.h"
#include "selector.h"

namespace {

// Gear extension variables, in refresh order.
enum : uint32_t { kVarGearLeft = 333, kVarGearRight = 334, kVarGearCentre = 332 };
enum RefreshSlot : int { kRefreshLeft = 0, kRefreshRight = 1, kRefreshCentre = 2, kRefreshCount = 3 };

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
    kIconModeGenerated = 3,
    kGearLampImages = 3,   // dark, TRAN, DOWN
    kBrakeLampImages = 2,  // dark, ON
};

// Service codes the gauge acts on.
enum : int32_t { kCodeRefresh = 6, kCodeStart = 10 };

}  // namespace

extern "C" {
extern ImportTable gImportTable;
extern Linkage gLinkage;
}

namespace wheelgard {

// The brake selector position the gauge holds the simulator to be in: 0 at
// load, 1 from the first synchronisation on, then 1, 2, 3 or 5. Shared by
// every instance of the gauge in this module.
constinit int32_t BrakeSelection = kSelectionUnsynchronised;

extern GaugeHeader800 gauge;
extern char gaugeName[32];
extern ElementHeader* rootSlot;
extern StaticImageElement800 background;
extern IconElement800 icons[8];
extern ElementHeader* chainLinks[8][2];
extern FailureEntry failureLists[9];
extern ModuleVar refreshList[kRefreshCount];
extern MouseRect mouseList[6];

}  // namespace wheelgard

namespace {

using namespace wheelgard;

// Set by the first service code 10, never cleared.
constinit int32_t gStarted = 0;

void sendSteps(KeySteps steps) {
    for (int32_t i = 0; i < steps.count; ++i) hostapi::sendKeyEvent(gImportTable, steps.eventId, 0);
}

// ---- value routines: the element's address is not needed --------------------

// Gear lamp from the gear's extension as the last refresh left it.
template <RefreshSlot Gear>
double GAUGE_CALL gearLampValue(ElementHeader* /*element*/) {
    return gearLamp(refreshList[Gear].value);
}

template <int32_t Position>
double GAUGE_CALL brakeLampValue(ElementHeader* /*element*/) {
    return brakeLamp(BrakeSelection, Position);
}

// ---- brake buttons ----------------------------------------------------------

template <int32_t Position>
int32_t GAUGE_CALL brakeButton(const MousePoint* /*point*/, uint32_t /*eventFlags*/) {
    const ButtonClick click = brakeButtonClick(BrakeSelection, Position);
    sendSteps(click.steps);
    BrakeSelection = click.selection;
    return 0;
}

// ---- service codes ----------------------------------------------------------

// Brings the simulator's selector to 1, where the gauge now holds it.
void synchronise() {
    BrakeSelection = kSelectionAfterSynchronisation;
    for (KeySteps steps : kSynchronisation) sendSteps(steps);
}

void GAUGE_CALL gaugeCallback(uint32_t /*hostArg*/, int32_t serviceCode, uint32_t /*extra*/) {
    switch (serviceCode) {
        case kCodeRefresh:
            for (ModuleVar& var : refreshList) hostapi::refreshModuleVar(gImportTable, &var);
            break;
        case kCodeStart:
            if (gStarted == 0) {
                gStarted = 1;
                synchronise();
            }
            break;
        default:
            break;
    }
}

}  // namespace

// ---- records ----------------------------------------------------------------

extern "C" {

constinit ImportTable gImportTable = {kImportId, nullptr, {0, 0}};

constinit Linkage gLinkage = {
    kModuleId, hostapi::moduleStart, hostapi::moduleStop, 0, 0, kLinkageVersion800,
    {&wheelgard::gauge.header, nullptr},
};

}  // extern "C"

namespace wheelgard {

constinit char gaugeName[32] = "wheelgard";

constinit GaugeHeader800 gauge = {
    {
        kHeaderVersion800, gaugeName, &rootSlot,
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
        0, kGaugeSizeValue, {}, mouseList, gaugeCallback,
    },
    {},
};

constinit ElementHeader* rootSlot = &background.base.header;

constinit FailureEntry failureLists[9] = {};

// Element n's only child is element n + 1.
constinit ElementHeader* chainLinks[8][2] = {
    {&icons[0].base.header, nullptr}, {&icons[1].base.header, nullptr},
    {&icons[2].base.header, nullptr}, {&icons[3].base.header, nullptr},
    {&icons[4].base.header, nullptr}, {&icons[5].base.header, nullptr},
    {&icons[6].base.header, nullptr}, {&icons[7].base.header, nullptr},
};

constinit StaticImageElement800 background = {
    {
        elementHeader(kStaticImage, kBitmapBackground, 0, 0, &gauge.header, chainLinks[0],
                      &failureLists[0], kImageFlagsGenerated),
        nullptr, {},
    },
    {},
};

// Icon number n of the chain (2 to 9); the last has no child.
#define ICON(n, bitmap, x, y, images, routine)                                              \
    IconElement800 {                                                                        \
        {                                                                                   \
            elementHeader(kIcon, bitmap, x, y, &gauge.header, n < 9 ? chainLinks[n - 1] : nullptr, \
                          &failureLists[n - 1], kImageFlagsGenerated),                      \
            moduleVar(0), 0, kIconModeGenerated, {}, images, {},                            \
        },                                                                                  \
        routine, 0,                                                                         \
    }

constinit IconElement800 icons[8] = {
    ICON(2, kBitmapGearLeftOuter, 3, 25, kGearLampImages, gearLampValue<kRefreshLeft>),
    ICON(3, kBitmapGearLeftInner, 27, 35, kGearLampImages, gearLampValue<kRefreshLeft>),
    ICON(4, kBitmapGearRightInner, 51, 35, kGearLampImages, gearLampValue<kRefreshRight>),
    ICON(5, kBitmapGearRightOuter, 75, 25, kGearLampImages, gearLampValue<kRefreshRight>),
    ICON(6, kBitmapGearCentre, 39, 5, kGearLampImages, gearLampValue<kRefreshCentre>),
    ICON(7, kBitmapBrakeLeft, 8, 91, kBrakeLampImages, brakeLampValue<kPositionLeft>),
    ICON(8, kBitmapBrakeMiddle, 35, 91, kBrakeLampImages, brakeLampValue<kPositionMiddle>),
    ICON(9, kBitmapBrakeRight, 69, 91, kBrakeLampImages, brakeLampValue<kPositionRight>),
};
#undef ICON

// Refreshed in this order at every service code 6.
constinit ModuleVar refreshList[kRefreshCount] = {
    moduleVar(kVarGearLeft),    // lamps 2 and 3
    moduleVar(kVarGearRight),   // lamps 4 and 5
    moduleVar(kVarGearCentre),  // lamp 6
};

// Each button's box begins 2 pixels right of and below its lamp.
constinit MouseRect mouseList[6] = {
    mouseParent(0, 0, 0, 0),
    mouseChild(10, 93, 19, 21, kMouseClick, brakeButton<kPositionLeft>),
    mouseChild(37, 93, 20, 20, kMouseClick, brakeButton<kPositionMiddle>),
    mouseChild(71, 93, 20, 20, kMouseClick, brakeButton<kPositionRight>),
    mouseEndParent(),
    mouseEnd(),
};

}  // namespace wheelgard
