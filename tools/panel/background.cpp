// The example panel's background (docs/panel/panel.bmp): a grey instrument
// panel with a recessed slot and a placard for each of the four gauges, and
// a screw in each corner. The slots are where docs/panel/panel.cfg places
// the gauges; the two must agree.
#include <algorithm>
#include <string>

#include "../../bmpgen/canvas.h"

namespace {

using bmpgen::Canvas;
using bmpgen::Rgb;

constexpr int kWidth = 552, kHeight = 300;

struct Slot {
    int x, y, w, h;
    const char* placard;
};
// monovue, lumivane, quadrel (drawn at 150 wide), wheelgard.
constexpr Slot kSlots[] = {
    {16, 40, 210, 225, "ENGINE INDICATION"},
    {246, 40, 290, 109, "EXTERIOR LIGHTS"},
    {246, 172, 150, 111, "THROTTLE"},
    {426, 172, 100, 115, "GEAR / BRAKES"},
};

constexpr Rgb kTop{70, 75, 82}, kBottom{50, 54, 60};
constexpr Rgb kEdgeDark{24, 26, 29}, kEdgeLight{96, 101, 108};
constexpr Rgb kRecess{16, 17, 19}, kRecessRim{36, 39, 43};
constexpr Rgb kPlate{34, 37, 41}, kInk{226, 229, 233};
constexpr Rgb kScrew{128, 133, 140}, kScrewRim{84, 88, 94}, kSlotInk{40, 42, 46};

Rgb mix(Rgb a, Rgb b, double t) {
    auto m = [t](uint8_t x, uint8_t y) { return uint8_t(x + (y - x) * t + 0.5); };
    return {m(a.r, b.r), m(a.g, b.g), m(a.b, b.b)};
}

void screw(Canvas& c, int cx, int cy) {
    c.disc(cx, cy, 5.5, kScrewRim);
    c.disc(cx, cy, 4.5, kScrew);
    c.line(cx - 3, cy + 3, cx + 3, cy - 3, kSlotInk);
}

std::vector<bmpgen::Bitmap> draw() {
    Canvas c(kWidth, kHeight, kTop);
    for (int y = 0; y < kHeight; ++y) c.hline(0, kWidth - 1, y, mix(kTop, kBottom, double(y) / (kHeight - 1)));
    // A bevelled edge round the whole panel.
    c.frame(0, 0, kWidth - 1, kHeight - 1, kEdgeDark);
    c.hline(1, kWidth - 2, 1, kEdgeLight);
    c.vline(1, 1, kHeight - 2, kEdgeLight);
    for (const Slot& s : kSlots) {
        // The recess: a dark rim three pixels round the gauge, lit on its
        // lower and right edges.
        c.fill(s.x - 3, s.y - 3, s.x + s.w + 2, s.y + s.h + 2, kRecessRim);
        c.fill(s.x - 2, s.y - 2, s.x + s.w + 1, s.y + s.h + 1, kRecess);
        c.hline(s.x - 3, s.x + s.w + 2, s.y + s.h + 3, kEdgeLight);
        c.vline(s.x + s.w + 3, s.y - 3, s.y + s.h + 3, kEdgeLight);
        // The placard above it.
        const int tw = Canvas::textWidth(s.placard, bmpgen::kFont5x7, 2);
        const int px = s.x + (s.w - tw) / 2;
        c.fill(px - 5, s.y - 17, px + tw + 4, s.y - 6, kPlate);
        c.text(px, s.y - 15, s.placard, kInk, bmpgen::kFont5x7, 2);
    }
    for (int x : {9, kWidth - 10})
        for (int y : {9, kHeight - 10}) screw(c, x, y);
    return {{"panel.bmp", 8, c}};
}

const bmpgen::Registration kRegistration("panel", draw);

}  // namespace
