// Bitmaps of the gear and brakes panel, 24 bits per pixel.
//
// A gear lamp is two framed fields of 22 x 11, TRAN over DOWN; a brake
// button is a white-rimmed pair of fields, the upper one blank, the lower one
// reading ON. Unlit legends and frames are a dark grey on a lighter grey; a
// lit field draws its legend and frame in the lamp colour. Each lamp of the
// panel has bitmaps of its own, identical between lamps of one kind.
#include <string>

#include "../bmpgen/canvas.h"

namespace {

using bmpgen::Canvas;
using bmpgen::Rgb;

constexpr Rgb kGround{51, 51, 51};
constexpr Rgb kUnlit{32, 32, 32};
constexpr Rgb kTransitRed{255, 0, 0};
constexpr Rgb kDownGreen{0, 204, 0};
constexpr Rgb kOnBlue{0, 0, 255};

// Four letters of the 5 x 7 font are 23 pixels wide with their usual
// spacing; inside a 22-pixel field with its frame only 20 are free, so the
// gear legends are set letter against letter.
void tightLegend(Canvas& c, int x, int y, const char* legend, Rgb colour) {
    c.text(x, y, legend, colour, bmpgen::kFont5x7, 0);
}

enum class Gear { kDark, kTransit, kDown };

Canvas gearLamp(Gear state) {
    Canvas c(22, 22, kGround);
    const Rgb upper = state == Gear::kTransit ? kTransitRed : kUnlit;
    const Rgb lower = state == Gear::kDown ? kDownGreen : kUnlit;
    c.frame(0, 0, 21, 10, upper);   // rows 0-10
    tightLegend(c, 1, 2, "TRAN", upper);
    c.frame(0, 11, 21, 21, lower);  // rows 11-21
    tightLegend(c, 1, 13, "DOWN", lower);
    return c;
}

Canvas brakeButton(bool lit) {
    Canvas c(24, 24, kGround);
    const Rgb lower = lit ? kOnBlue : kUnlit;
    c.frame(0, 0, 23, 23, bmpgen::kWhite);
    c.frame(1, 1, 22, 11, kUnlit);   // upper field, blank
    c.frame(1, 12, 22, 22, lower);   // lower field
    c.text(6, 14, "ON", lower);      // 11 of the field's 20 inner columns
    return c;
}

std::vector<bmpgen::Bitmap> draw() {
    std::vector<bmpgen::Bitmap> out;
    out.push_back({"background.bmp", 24, Canvas(100, 115, bmpgen::kBlack)});
    // In the resource script's order: the two left lamps, the two right, the
    // centre; each dark, in transit, down.
    for (const char* lamp : {"gear_left_outer", "gear_left_inner", "gear_right_inner",
                             "gear_right_outer", "gear_centre"}) {
        out.push_back({std::string(lamp) + "_dark.bmp", 24, gearLamp(Gear::kDark)});
        out.push_back({std::string(lamp) + "_tran.bmp", 24, gearLamp(Gear::kTransit)});
        out.push_back({std::string(lamp) + "_down.bmp", 24, gearLamp(Gear::kDown)});
    }
    for (const char* button : {"brake_left", "brake_middle", "brake_right"}) {
        out.push_back({std::string(button) + "_dark.bmp", 24, brakeButton(false)});
        out.push_back({std::string(button) + "_on.bmp", 24, brakeButton(true)});
    }
    return out;
}

const bmpgen::Registration kRegistration("wheelgard", draw);

}  // namespace
