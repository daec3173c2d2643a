// Bitmaps of the engine display, 24 bits per pixel.
//
// The background carries everything that does not move: per engine an N1
// dial and an EGT dial (white arcs about the needles' pivots with a red arc
// at the upper right and light-grey readout frames below the pivots), the
// legends of the centre column, the dashes of the N2 and FF rows, the fuel
// and flap legends, two rules and a divider. The host draws the needles and
// the readouts over it.
//
// Legends use the project's two small pixel fonts: 5 rows high on the
// background (the fuel and flap legends have 5-pixel-high room, e.g. "FOB:"
// at y 137..141) and 3 x 7 on the 80 x 9 legend icons (17 characters at the
// project's 6-pixel advance would need 101 pixels). The centre column's dial
// legends use the project's 5 x 7 font.
//
// The 5-row font is proportional: most glyphs are 3 columns wide, G, A and S
// 4, the colon 1, with one blank column between glyphs. So the legends span
// exactly the boxes the gauge gives them: "FOB:" x 18..30, "KG" x 74..81,
// "FLAPS:" x 129..151.
#include <cmath>
#include <string>

#include "../bmpgen/canvas.h"

namespace {

using bmpgen::Canvas;
using bmpgen::Rgb;
using bmpgen::kFontCondensed;
using bmpgen::kFontSmall;
using bmpgen::kWhite;

constexpr Rgb kGround{32, 32, 32};
constexpr Rgb kLightGrey{204, 204, 204};
constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kYellow{255, 255, 0};

// ---- background ----------------------------------------------------------------

constexpr int kPivotX[4] = {26, 73, 135, 182};  // needle pivots, engines 1 to 4
constexpr int kN1PivotY = 29, kEgtPivotY = 70;
constexpr double kDialRadius = 19;
constexpr int kCentre = 105;  // centre column, between engines 2 and 3

struct Pixel {
    int x, y;
};
// Where each N1 needle points at value 0, engines 1 to 4: the first entry of
// the needle's point table (monovue.cpp).
constexpr Pixel kN1Zero[4] = {{13, 43}, {61, 42}, {122, 43}, {169, 44}};

// Direction from the pivot (px, py) to `p`, in the arc's degrees (0 right,
// 90 up), from 0 to 360.
double direction(int px, int py, Pixel p) {
    const double pi = 3.14159265358979323846;
    const double a = std::atan2(static_cast<double>(py - p.y), static_cast<double>(p.x - px)) * 180.0 / pi;
    return a < 0 ? a + 360.0 : a;
}

// N1: the white arc runs from value 0 (lower left: it ends in the direction
// of the needle's value-0 point, about 227 to 229 degrees, so that the
// needle at 0 rests on its end) over the top to beyond 100 (upper right); the
// red arc marks the range above 100, inside it. Legends 6 and 10 stand
// inside the arc at 60 and 100.
void n1Dial(Canvas& c, int px, Pixel zero) {
    const int py = kN1PivotY;
    c.arc(px, py, kDialRadius, 33, direction(px, py, zero), kWhite);
    c.arc(px, py, 16.5, 33, 45, kRed, 2.0);
    c.text(px - 10, py - 11, "6", kWhite, kFontSmall);
    c.text(px + 5, py - 11, "10", kWhite, kFontSmall);
    c.frame(px - 6, 35, px + 20, 45, kLightGrey);  // N1 readout frame
}

// EGT: the white arc runs from 500 (left, 180 degrees) to beyond 1700 (upper
// right); the red arc marks the range above 1700.
void egtDial(Canvas& c, int px) {
    const int py = kEgtPivotY;
    c.arc(px, py, kDialRadius, 30, 180, kWhite);
    c.arc(px, py, 16.5, 30, 47, kRed, 2.0);
    c.frame(px - 10, 70, px + 10, 80, kLightGrey);  // EGT readout frame
}

Canvas background() {
    Canvas c(210, 225, kGround);
    for (int e = 0; e < 4; ++e) {
        n1Dial(c, kPivotX[e], kN1Zero[e]);
        egtDial(c, kPivotX[e]);
    }

    // Centre column: what the rows show, and their units.
    c.textCentred(kCentre, 20, "N1", kWhite);
    c.textCentred(kCentre, 29, "%", kWhite);
    c.textCentred(kCentre, 55, "EGT", kWhite);
    c.textCentred(kCentre, 64, "\xB0" "C", kWhite);
    c.textCentred(kCentre, 92, "N2", kWhite, kFontSmall);
    c.textCentred(kCentre, 99, "%", kWhite, kFontSmall);
    c.textCentred(kCentre, 112, "FF", kWhite, kFontSmall);
    c.textCentred(kCentre, 119, "KG/M", kWhite, kFontSmall);
    // The N2 and FF rows: dashes between the outer readouts.
    for (int y : {97, 117}) {
        c.hline(44, 55, y, kWhite);
        c.hline(153, 164, y, kWhite);
    }

    // Fuel on board, with its unit after the readout.
    c.text(18, 137, "FOB:", kWhite, kFontSmall);
    c.text(74, 137, "KG", kWhite, kFontSmall);

    // Rules below the engine rows, the divider between the legends (left)
    // and the flaps (right).
    c.hline(10, 112, 149, kLightGrey);
    c.hline(126, 199, 149, kLightGrey);
    c.vline(119, 154, 219, kLightGrey);
    c.text(129, 159, "FLAPS:", kWhite, kFontSmall);
    return c;
}

// ---- needles and legends ---------------------------------------------------------

// 18 x 1, drawn from the pivot outwards.
Canvas n1Needle() { return Canvas(18, 1, kYellow); }

Canvas egtNeedle() {
    Canvas c(18, 1, bmpgen::kBlack);
    c.hline(10, 17, 0, kYellow);  // black near the pivot, yellow at the tip
    return c;
}

// 80 x 9, black; the legend in yellow from (1, 1).
Canvas legend(const std::string& text) {
    Canvas c(80, 9, bmpgen::kBlack);
    c.text(1, 1, text, kYellow, kFontCondensed);
    return c;
}

std::vector<bmpgen::Bitmap> draw() {
    std::vector<bmpgen::Bitmap> b;
    b.push_back({"background.bmp", 24, background()});
    for (int e = 1; e <= 4; ++e) {
        b.push_back({"n1_needle_" + std::to_string(e) + ".bmp", 24, n1Needle()});
        b.push_back({"egt_needle_" + std::to_string(e) + ".bmp", 24, egtNeedle()});
    }
    b.push_back({"parking_brake_blank.bmp", 24, legend("")});
    b.push_back({"parking_brake_set.bmp", 24, legend("PARKING BRAKE SET")});
    b.push_back({"spoilers_blank.bmp", 24, legend("")});
    b.push_back({"spoilers_armed.bmp", 24, legend("SPOILERS ARMED")});
    b.push_back({"spoilers_deployed.bmp", 24, legend("SPOILERS DEPLOYED")});
    return b;
}

const bmpgen::Registration kRegistration("monovue", draw);

}  // namespace
