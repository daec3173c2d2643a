// monovue: the engine indication display of a four-engine aircraft, 210 x 225,
// on the generated gauge runtime. Everything it shows is the
// element chain below; the routines are instances of the runtime's forms.
#include "../gaugert/gaugert.h"
#include "routines.h"

using namespace hostapi;

namespace monovue {
namespace {

using gaugert::icon;
using gaugert::needle;
using gaugert::passThroughRoutine;

// Module-level variables, refreshed by service code 6 in this order.
enum : uint32_t { kVarSpoilersArmed = 324, kVarSpoilerPosition = 325 };
constinit ModuleVar refreshList[2] = {moduleVar(kVarSpoilersArmed), moduleVar(kVarSpoilerPosition)};

// ---- element routines --------------------------------------------------------

template <const gaugert::TextForm& F>
constexpr ValueRoutine kText = gaugert::textRoutine<F>;
template <const gaugert::Bounds& B>
constexpr ValueRoutine kBounded = gaugert::boundedRoutine<B>;

double GAUGE_CALL parkingBrakeRoutine(ElementHeader* element) {
    return parkingBrakeState(gaugert::source(element));
}

double GAUGE_CALL spoilerRoutine(ElementHeader*) {
    return spoilerState(gaugert::value(refreshList[0]), gaugert::value(refreshList[1]));
}

// ---- readouts ------------------------------------------------------------------

// Every box ends at x = 212, 12 pixels high; yellow Arial.
constexpr gaugert::TextStyle kStyle = {
    212, 12, 0, 0, 0x0000FFFF, "Arial", 500, 1, 0x4240,
};

constexpr gaugert::TextRow readout(int32_t x, int32_t y, uint32_t var, ValueRoutine routine) {
    return gaugert::text(x, y, var, kStyle, routine);
}

// ---- the element chain, in drawing order ------------------------------------------

constinit gaugert::Chain chain{
    /*  1 */ gaugert::image(256, 0, 0),
    // Engine 1
    /*  2 */ needle(4352, 26, 29, 624, {{0, 13, 43}, {60, 13, 17}, {100, 38, 17}}, passThroughRoutine),
    /*  3 */ readout(24, 36, 624, kText<kN1Text>),
    /*  4 */ needle(4608, 26, 70, 567, {{500, 8, 70}, {1700, 38, 57}}, kBounded<kEgtNeedle1>),
    /*  5 */ readout(20, 71, 567, kText<kEgtText>),
    // Engine 2
    /*  6 */ needle(4864, 73, 29, 643, {{0, 61, 42}, {60, 61, 17}, {100, 85, 16}}, passThroughRoutine),
    /*  7 */ readout(71, 36, 643, kText<kN1Text>),
    /*  8 */ needle(5120, 73, 70, 577, {{500, 54, 70}, {1700, 87, 56}}, kBounded<kEgtNeedle2>),
    /*  9 */ readout(67, 71, 577, kText<kEgtText>),
    // Engine 3
    /* 10 */ needle(5376, 135, 29, 662, {{0, 122, 43}, {60, 122, 16}, {100, 147, 16}}, passThroughRoutine),
    /* 11 */ readout(133, 36, 662, kText<kN1Text>),
    /* 12 */ needle(5632, 135, 70, 587, {{500, 115, 71}, {1700, 148, 57}}, kBounded<kEgtNeedle3>),
    /* 13 */ readout(129, 71, 587, kText<kEgtText>),
    // Engine 4
    /* 14 */ needle(5888, 182, 29, 681, {{0, 169, 44}, {60, 169, 17}, {100, 194, 17}}, passThroughRoutine),
    /* 15 */ readout(180, 36, 681, kText<kN1Text>),
    /* 16 */ needle(6144, 182, 70, 597, {{500, 163, 70}, {1700, 195, 56}}, kBounded<kEgtNeedle4>),
    /* 17 */ readout(176, 71, 597, kText<kEgtText>),
    // N2, engines 1 to 4
    /* 18 */ readout(16, 92, 625, kText<kN2Text>),
    /* 19 */ readout(64, 92, 644, kText<kN2Text>),
    /* 20 */ readout(126, 92, 663, kText<kN2Text>),
    /* 21 */ readout(174, 92, 682, kText<kN2Text>),
    // Fuel flow, engines 1 to 4
    /* 22 */ readout(16, 112, 638, kText<kFfText>),
    /* 23 */ readout(62, 112, 657, kText<kFfText>),
    /* 24 */ readout(125, 112, 676, kText<kFfText>),
    /* 25 */ readout(174, 112, 695, kText<kFfText>),
    // Fuel on board, flaps
    /* 26 */ readout(39, 133, 791, kText<kFobText>),
    /* 27 */ readout(160, 155, 907, kText<kFlapsText>),
    // Legends: parking brake (2 images), spoilers (3 images, no variable)
    /* 28 */ icon(6400, 15, 156, 323, 2, parkingBrakeRoutine),
    /* 29 */ icon(8192, 15, 173, 0, 3, spoilerRoutine),
};

// No active area: the framing entries only.
constinit MouseRect mouseList[3] = {mouseParent(0, 0, 0, 0), mouseEndParent(), mouseEnd()};

}  // namespace
}  // namespace monovue

constinit gaugert::GaugeRecords gaugert::gauge = gaugert::records(
    "monovue", monovue::chain.root(), monovue::mouseList, gaugert::gaugeCallback<monovue::refreshList>);
