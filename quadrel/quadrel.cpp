// quadrel: a four-lever throttle quadrant, 135 x 100. Each knob is a slider
// that follows its engine's throttle variable; a drag in a lever's column
// sets that throttle from the pointer height through a key event.
#include "../hostapi/elements.h"
#include "../hostapi/gauge_module.h"
#include "../hostapi/import_table.h"
#include "../hostapi/panel_services.h"
#include "../hostapi/sim_ids.h"
#include "lever.h"

using namespace hostapi;
using namespace hostapi::sim;   // the levers' key events and the throttle variables of the knobs

namespace {

// Bitmap resources (8 bits per pixel, palette).
enum : uint32_t {
    kBitmapBackground = 4096,
    kBitmapKnobLeftEnd = 8192,
    kBitmapKnob2 = 12288,
    kBitmapKnob3 = 16384,
    kBitmapKnobRightEnd = 20480,
};

// -15/4096 pixels per unit: setting -4096 draws the knob at y 77, 0 at y 62,
// 16384 at y 2. Exactly representable (0xBF6E000000000000).
constexpr double kKnobYScale = -15.0 / 4096.0;

}  // namespace

extern "C" GaugeRecords610 quadrelRecords;

namespace quadrel {
extern StaticImageElement background;
extern SliderElement knobs[4];
extern ElementHeader* rootSlot[2];
extern ElementHeader* backgroundChildren[5];
extern MouseRect mouseList[9];
}  // namespace quadrel

namespace {

constexpr GaugeHeader* kGauge = &quadrelRecords.header;
ElementHeader* root() { return quadrel::rootSlot[0]; }

// ---- lifecycle: each routine hands the root element to its service --------

void GAUGE_CALL queryRoutine() { hostapi::queryElements(gImportTable, root()); }

void GAUGE_CALL installRoutine(uint32_t hostArg) {
    hostapi::installElements(gImportTable, root(), hostArg);
    // The host filled the background's image record during installation;
    // its drawn width and height sit at +4.
    int32_t* drawnSize = &quadrel::background.image->drawnWidth;
    hostapi::registerMouseRects(gImportTable, quadrel::mouseList, kGauge, drawnSize);
    hostapi::attachMouseRects(gImportTable, quadrel::mouseList, kGauge);
}

void GAUGE_CALL initializeRoutine() { hostapi::initializeElements(gImportTable, root()); }
void GAUGE_CALL updateRoutine() { hostapi::updateElements(gImportTable, root()); }
void GAUGE_CALL generateRoutine(uint32_t hostArg) {
    hostapi::generateElements(gImportTable, root(), hostArg);
}
void GAUGE_CALL drawRoutine() { hostapi::drawElements(gImportTable, root()); }

void GAUGE_CALL killRoutine() {
    hostapi::releaseMouseRects(gImportTable, quadrel::mouseList, kGauge);
    hostapi::releaseElements(gImportTable, root());
}

// ---- lever handlers ---------------------------------------------------------

// Sets the lever absolutely from the pointer height. Before install and
// after kill there is no drawn background to measure against (and a height
// of 0 or less gives no scale): nothing is sent.
template <uint32_t EventId>
int32_t GAUGE_CALL leverHandler(const MousePoint* point, uint32_t /*eventFlags*/) {
    const HostImageRecord* drawn = quadrel::background.image;
    if (drawn == nullptr || drawn->drawnHeight <= 0) return 0;
    hostapi::sendKeyEvent(gImportTable, EventId,
                          quadrel::leverSetting(drawn->drawnHeight, point->y));
    return 0;
}

}  // namespace

// ---- records ----------------------------------------------------------------

extern "C" {

constinit GaugeRecords610 quadrelRecords = hostapi::records610(
    "quadrel", quadrel::rootSlot,
    {queryRoutine, installRoutine, initializeRoutine, updateRoutine, generateRoutine, drawRoutine,
     killRoutine},
    quadrelRecords);

}  // extern "C"
GAUGE_EXPORT_LINKAGE_610(quadrelRecords);

namespace quadrel {

constinit ElementHeader* rootSlot[2] = {&background.header, nullptr};

constinit StaticImageElement background = {
    elementHeader(kStaticImage, kBitmapBackground, 0, 0, kGauge, backgroundChildren, nullptr,
                  kImageFlagsBackground),
    nullptr, {},
};

constinit ElementHeader* backgroundChildren[5] = {
    &knobs[0].header, &knobs[1].header, &knobs[2].header, &knobs[3].header, nullptr,
};

// One knob per lever, left to right; only the y axis moves.
#define KNOB(bitmap, x, yVarId)                                                          \
    SliderElement {                                                                      \
        elementHeader(kSlider, bitmap, x, 62, kGauge, nullptr, nullptr, kImageFlagsMoving), \
        nullptr, moduleVar(0), 0, 0.0, moduleVar(yVarId), 0, kKnobYScale, {}              \
    }

constinit SliderElement knobs[4] = {
    KNOB(kBitmapKnobLeftEnd, 0, kVarThrottle1),    // lever 1: rounded left end
    KNOB(kBitmapKnob2, 35, kVarThrottle2),         // lever 2: straight section
    KNOB(kBitmapKnob3, 70, kVarThrottle3),         // lever 3: straight section
    KNOB(kBitmapKnobRightEnd, 105, kVarThrottle4), // lever 4: rounded right end
};
#undef KNOB

// Each lever's column spans the gauge's height over its knob's x range.
constinit MouseRect mouseList[9] = {
    mouseParent(0, 0, 0, 0),
    mouseParent(0, 0, 135, 100, 42024),   // the whole quadrant, with its help text
    mouseChild(0, 0, 30, 100, kMouseDragLever, leverHandler<kEventThrottle1>),
    mouseChild(35, 0, 30, 100, kMouseDragLever, leverHandler<kEventThrottle2>),
    mouseChild(70, 0, 30, 100, kMouseDragLever, leverHandler<kEventThrottle3>),
    mouseChild(105, 0, 30, 100, kMouseDragLever, leverHandler<kEventThrottle4>),
    mouseEndParent(),                     // closes the quadrant
    mouseEndParent(),                     // closes the outer parent
    mouseEnd(),
};

}  // namespace quadrel
