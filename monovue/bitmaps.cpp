// Bitmaps of the engine display, 24 bits per pixel.
//
// The background carries everything that does not move: per engine an N1
// dial and an EGT dial (white arcs about the needles' pivots with a red arc
// at the upper right and light-grey readout frames below the pivots), the
// legends of the centre column, the dashes of the N2 and FF rows, the fuel
// and flap legends, two rules and a divider. The host draws the needles and
// the readouts over it.
//
// Legends use two small pixel fonts of this file: 5 rows high on the
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
#include <cstring>
#include <stdexcept>
#include <string>

#include "../bmpgen/canvas.h"

namespace {

using bmpgen::Canvas;
using bmpgen::Rgb;

constexpr Rgb kGround{32, 32, 32};
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kLightGrey{204, 204, 204};
constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kYellow{255, 255, 0};

// ---- small fonts ---------------------------------------------------------------

// Every row of a glyph has the glyph's width; '#' is ink.
struct Glyph {
    char c;
    const char* rows[7];
    int width() const { return static_cast<int>(std::strlen(rows[0])); }
};

// clang-format off
const Glyph kSmall[] = {  // 5 rows, 1 to 4 columns
    {'F', {"###", "#  ", "## ", "#  ", "#  "}},
    {'O', {"###", "# #", "# #", "# #", "###"}},
    {'B', {"## ", "# #", "## ", "# #", "## "}},
    {'K', {"# #", "# #", "## ", "# #", "# #"}},
    {'G', {" ###", "#   ", "# ##", "#  #", " ###"}},
    {'L', {"#  ", "#  ", "#  ", "#  ", "###"}},
    {'A', {" ## ", "#  #", "####", "#  #", "#  #"}},
    {'P', {"###", "# #", "###", "#  ", "#  "}},
    {'S', {" ###", "#   ", " ## ", "   #", "### "}},
    {'N', {"###", "# #", "# #", "# #", "# #"}},
    {'M', {"# #", "###", "###", "# #", "# #"}},
    {'2', {"###", "  #", "###", "#  ", "###"}},
    {'6', {"###", "#  ", "###", "# #", "###"}},
    {'1', {" # ", "## ", " # ", " # ", "###"}},
    {'0', {"###", "# #", "# #", "# #", "###"}},
    {'%', {"# #", "  #", " # ", "#  ", "# #"}},
    {'/', {"  #", "  #", " # ", "#  ", "#  "}},
    {':', {" ", "#", " ", "#", " "}},
};
const Glyph kCondensed[] = {  // 3 x 7
    {'A', {" # ", "# #", "# #", "###", "# #", "# #", "# #"}},
    {'B', {"## ", "# #", "# #", "## ", "# #", "# #", "## "}},
    {'D', {"## ", "# #", "# #", "# #", "# #", "# #", "## "}},
    {'E', {"###", "#  ", "#  ", "## ", "#  ", "#  ", "###"}},
    {'G', {" ##", "#  ", "#  ", "# #", "# #", "# #", " ##"}},
    {'I', {"###", " # ", " # ", " # ", " # ", " # ", "###"}},
    {'K', {"# #", "# #", "## ", "#  ", "## ", "# #", "# #"}},
    {'L', {"#  ", "#  ", "#  ", "#  ", "#  ", "#  ", "###"}},
    {'M', {"# #", "###", "###", "# #", "# #", "# #", "# #"}},
    {'N', {"# #", "# #", "###", "###", "# #", "# #", "# #"}},
    {'O', {" # ", "# #", "# #", "# #", "# #", "# #", " # "}},
    {'P', {"## ", "# #", "# #", "## ", "#  ", "#  ", "#  "}},
    {'R', {"## ", "# #", "# #", "## ", "# #", "# #", "# #"}},
    {'S', {" ##", "#  ", "#  ", " # ", "  #", "  #", "## "}},
    {'T', {"###", " # ", " # ", " # ", " # ", " # ", " # "}},
    {'Y', {"# #", "# #", "# #", " # ", " # ", " # ", " # "}},
};
// clang-format on

template <size_t N>
const Glyph& glyph(const Glyph (&font)[N], char ch) {
    for (const Glyph& candidate : font)
        if (candidate.c == ch) return candidate;
    throw std::runtime_error(std::string("no small glyph for '") + ch + "'");
}

constexpr int kSpaceWidth = 3;  // a space is a blank glyph of 3 columns

// Width of `s` in `font`, from the first glyph's left column to the last
// glyph's right column.
template <size_t N>
int smallWidth(const std::string& s, const Glyph (&font)[N]) {
    int w = 0;
    for (char ch : s) w += (ch == ' ' ? kSpaceWidth : glyph(font, ch).width()) + 1;
    return s.empty() ? 0 : w - 1;
}

// Draws `s` with glyphs of `rows` rows, one blank column between characters;
// returns the x after it.
template <size_t N>
int smallText(Canvas& c, int x, int y, const std::string& s, Rgb colour, const Glyph (&font)[N],
              int rows) {
    for (char ch : s) {
        if (ch == ' ') {
            x += kSpaceWidth + 1;
            continue;
        }
        const Glyph& g = glyph(font, ch);
        for (int r = 0; r < rows; ++r)
            for (int col = 0; col < g.width(); ++col)
                if (g.rows[r][col] == '#') c.set(x + col, y + r, colour);
        x += g.width() + 1;
    }
    return x;
}

void small(Canvas& c, int x, int y, const std::string& s, Rgb colour) {
    smallText(c, x, y, s, colour, kSmall, 5);
}
// Centred on column `cx`.
void smallCentred(Canvas& c, int cx, int y, const std::string& s, Rgb colour) {
    small(c, cx - smallWidth(s, kSmall) / 2, y, s, colour);
}
void textCentred(Canvas& c, int cx, int y, const std::string& s, Rgb colour) {
    c.text(cx - Canvas::textWidth(s) / 2, y, s, colour);
}

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
    small(c, px - 10, py - 11, "6", kWhite);
    small(c, px + 5, py - 11, "10", kWhite);
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
    textCentred(c, kCentre, 20, "N1", kWhite);
    textCentred(c, kCentre, 29, "%", kWhite);
    textCentred(c, kCentre, 55, "EGT", kWhite);
    textCentred(c, kCentre, 64, "\xB0" "C", kWhite);
    smallCentred(c, kCentre, 92, "N2", kWhite);
    smallCentred(c, kCentre, 99, "%", kWhite);
    smallCentred(c, kCentre, 112, "FF", kWhite);
    smallCentred(c, kCentre, 119, "KG/M", kWhite);
    // The N2 and FF rows: dashes between the outer readouts.
    for (int y : {97, 117}) {
        c.hline(44, 55, y, kWhite);
        c.hline(153, 164, y, kWhite);
    }

    // Fuel on board, with its unit after the readout.
    small(c, 18, 137, "FOB:", kWhite);
    small(c, 74, 137, "KG", kWhite);

    // Rules below the engine rows, the divider between the legends (left)
    // and the flaps (right).
    c.hline(10, 112, 149, kLightGrey);
    c.hline(126, 199, 149, kLightGrey);
    c.vline(119, 154, 219, kLightGrey);
    small(c, 129, 159, "FLAPS:", kWhite);
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
    smallText(c, 1, 1, text, kYellow, kCondensed, 7);
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
