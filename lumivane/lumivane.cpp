// lumivane: the exterior lights panel of an airliner, 290 x 109. Five
// two-position switches follow their light variables; a click sends the
// switch's key event and plays the switch sound. A lit face lies over the
// plain face while variables 753 and 10 allow it.
#include "../hostapi/elements.h"
#include "../hostapi/gauge_module.h"
#include "../hostapi/import_table.h"
#include "../hostapi/panel_services.h"
#include "../hostapi/sim_ids.h"
#include "lit_face.h"
#include "sound_platform_win32.h"
#include "sound_player.h"

using namespace hostapi;
using namespace hostapi::sim;   // switch variables (icon sources) and their key events

namespace {

// Module-level variables of the lit face rule.
enum : uint32_t {
    kVarLitFaceSecond = 10,   // non-zero
    kVarLitFaceFirst = 753,   // greater than zero
};

// Bitmap resources (8 bits per pixel, palette). The icons name the lever-up
// image and two states; the lever-down image is 4611.
enum : uint32_t {
    kBitmapPlainFace = 4096,
    kBitmapLitFace = 4099,
    kBitmapLeverUp = 4608,
};

constexpr char kSwitchSound[] = "kolt_toggle_light.wav";

}  // namespace

extern "C" GaugeRecords610 lumivaneRecords;

namespace lumivane {
extern StaticImageElement plainFace;
extern StaticImageElement litFace;
// A switch icon, 0x88 bytes from the next.
struct SwitchIcon {
    IconElement icon;
    uint32_t reserved;
};
static_assert(sizeof(SwitchIcon) == 0x88, "switch icons are 0x88 bytes apart");
extern SwitchIcon switches[5];
extern ElementHeader* rootSlot[2];
extern ElementHeader* plainFaceChildren[2];
extern ElementHeader* litFaceChildren[6];
// A module-level variable, 32 bytes from the next.
struct LitFaceVar {
    ModuleVar var;
    uint32_t reserved;
};
static_assert(sizeof(LitFaceVar) == 32, "module-level variables are 32 bytes apart");
extern LitFaceVar litFaceVars[2];
extern MouseRect mouseList[8];
extern SwitchSoundPlayer soundPlayer;
}  // namespace lumivane

namespace {

constexpr GaugeHeader* kGauge = &lumivaneRecords.header;
ElementHeader* root() { return lumivane::rootSlot[0]; }
ModuleVar& var10() { return lumivane::litFaceVars[0].var; }
ModuleVar& var753() { return lumivane::litFaceVars[1].var; }

// ---- lifecycle: each routine hands the plain face (the root) to its service -

void GAUGE_CALL queryRoutine() { hostapi::queryElements(gImportTable, root()); }

void GAUGE_CALL installRoutine(uint32_t hostArg) {
    hostapi::installElements(gImportTable, root(), hostArg);
    lumivane::soundPlayer.Open();
    // The host filled the plain face's image record during installation;
    // its drawn width and height sit at +4.
    int32_t* drawnSize = &lumivane::plainFace.image->drawnWidth;
    hostapi::registerMouseRects(gImportTable, lumivane::mouseList, kGauge, drawnSize);
    hostapi::attachMouseRects(gImportTable, lumivane::mouseList, kGauge);
}

void GAUGE_CALL initializeRoutine() {
    hostapi::initializeElements(gImportTable, root());
    hostapi::initializeModuleVar(gImportTable, &var10());
    hostapi::initializeModuleVar(gImportTable, &var753());
}

void GAUGE_CALL updateRoutine() {
    hostapi::updateElements(gImportTable, root());
    hostapi::refreshModuleVar(gImportTable, &var10());
    hostapi::refreshModuleVar(gImportTable, &var753());
    uint32_t& flags = lumivane::litFace.header.imageFlags;
    flags = lumivane::litFaceFlags(flags, var753().value, var10().value);
}

void GAUGE_CALL generateRoutine(uint32_t hostArg) {
    hostapi::generateElements(gImportTable, root(), hostArg);
}
void GAUGE_CALL drawRoutine() { hostapi::drawElements(gImportTable, root()); }

void GAUGE_CALL killRoutine() {
    hostapi::releaseMouseRects(gImportTable, lumivane::mouseList, kGauge);
    lumivane::soundPlayer.Close();
    hostapi::releaseElements(gImportTable, root());
}

// ---- click handlers ------------------------------------------------------------

// The same event whatever the switch shows: the simulator toggles the light
// and the icon follows its variable.
template <uint32_t EventId>
int32_t GAUGE_CALL switchHandler(const MousePoint* /*point*/, uint32_t /*eventFlags*/) {
    hostapi::sendKeyEvent(gImportTable, EventId, 0);
    lumivane::soundPlayer.Play(kSwitchSound);
    return 0;
}

}  // namespace

// ---- records ----------------------------------------------------------------

extern "C" {

constinit GaugeRecords610 lumivaneRecords = hostapi::records610(
    "lumivane", lumivane::rootSlot,
    {queryRoutine, installRoutine, initializeRoutine, updateRoutine, generateRoutine, drawRoutine,
     killRoutine},
    lumivaneRecords);

}  // extern "C"
GAUGE_EXPORT_LINKAGE_610(lumivaneRecords);

namespace lumivane {

constinit SwitchSoundPlayer soundPlayer{&kWin32SoundPlatform};

constinit ElementHeader* rootSlot[2] = {&plainFace.header, nullptr};

// Always drawn.
constinit StaticImageElement plainFace = {
    elementHeader(kStaticImage, kBitmapPlainFace, 0, 0, kGauge, plainFaceChildren, nullptr,
                  kImageFlagsBackground),
    nullptr, {},
};

constinit ElementHeader* plainFaceChildren[2] = {&litFace.header, nullptr};

// Drawn over the plain face while the lit face rule allows; the update
// routine sets and clears its hidden bit.
constinit StaticImageElement litFace = {
    elementHeader(kStaticImage, kBitmapLitFace, 0, 0, kGauge, litFaceChildren, nullptr,
                  kImageFlagsToggled),
    nullptr, {},
};

constinit ElementHeader* litFaceChildren[6] = {
    &switches[0].icon.header, &switches[1].icon.header, &switches[2].icon.header,
    &switches[3].icon.header, &switches[4].icon.header, nullptr,
};

// Two-state icon: lever up (0, OFF) or down (1, ON), from its variable.
#define SWITCH(x, varId)                                                                   \
    SwitchIcon {                                                                           \
        {elementHeader(kIcon, kBitmapLeverUp, x, 39, kGauge, nullptr, nullptr, kImageFlagsMoving), \
         moduleVar(varId), 0, 0, {}, 2, {}},                                               \
        0                                                                                  \
    }

constinit SwitchIcon switches[5] = {
    SWITCH(2, kVarStabLight),              // STAB
    SWITCH(108, kVarPositionSteadyLight),  // POSITION STEADY
    SWITCH(54, kVarPositionStrobeLight),   // POSITION STROBE
    SWITCH(175, kVarAntiCollisionLight),   // ANTI COLLISION
    SWITCH(245, kVarWingLight),            // WING
};
#undef SWITCH

// In declaration order, which is the order of every service call on them.
constinit LitFaceVar litFaceVars[2] = {
    {moduleVar(kVarLitFaceSecond), 0},   // 10: must be non-zero
    {moduleVar(kVarLitFaceFirst), 0},    // 753: must be above zero
};

// Each box covers its switch; ANTI COLLISION and WING start one pixel lower.
constinit MouseRect mouseList[8] = {
    mouseParent(0, 0, 0, 0),
    mouseChild(2, 39, 35, 43, kMouseClick, switchHandler<kEventStabLight>),
    mouseChild(108, 39, 35, 43, kMouseClick, switchHandler<kEventPositionSteadyLight>),
    mouseChild(54, 39, 35, 43, kMouseClick, switchHandler<kEventPositionStrobeLight>),
    mouseChild(175, 40, 35, 43, kMouseClick, switchHandler<kEventAntiCollisionLight>),
    mouseChild(245, 40, 35, 43, kMouseClick, switchHandler<kEventWingLight>),
    mouseEndParent(),
    mouseEnd(),
};

}  // namespace lumivane
