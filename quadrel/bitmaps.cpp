// Bitmaps of the throttle quadrant, 8 bits per pixel with a palette. Black
// (palette index 0) is what the host leaves transparent on the knobs.
//
// The four knobs together read as one crossbar 135 pixels wide, cut into four
// handles with 5-pixel gaps: the outer two have rounded ends, the inner two
// are straight sections.
#include "../bmpgen/canvas.h"

namespace {

using bmpgen::Canvas;
using bmpgen::Rgb;

constexpr int kKnobW = 30, kKnobH = 18;
constexpr Rgb kGrey{150, 150, 150};
constexpr Rgb kHighlight{210, 210, 210};
constexpr Rgb kShadow{80, 80, 80};

// The handle occupies rows 3 to 14: a highlight on its top row, a shadow on
// its bottom row, grey between.
constexpr int kTop = 3, kBottom = 14;

enum class End { kNone, kLeft, kRight };

Canvas knob(End rounded) {
    Canvas c(kKnobW, kKnobH, bmpgen::kBlack);
    const double radius = (kBottom - kTop + 1) / 2.0;  // 6
    const double cy = kTop + radius - 0.5;
    for (int y = kTop; y <= kBottom; ++y) {
        for (int x = 0; x < kKnobW; ++x) {
            // Distance into the rounded end, if this column lies in it.
            double cx = -1;
            if (rounded == End::kLeft && x < radius) cx = radius - 0.5;
            if (rounded == End::kRight && x >= kKnobW - radius) cx = kKnobW - radius - 0.5;
            if (cx >= 0 && (x - cx) * (x - cx) + (y - cy) * (y - cy) > radius * radius) continue;
            Rgb shade = kGrey;
            if (y <= kTop + 1) shade = kHighlight;
            if (y >= kBottom - 1) shade = kShadow;
            c.set(x, y, shade);
        }
    }
    // A grip line across the middle of the handle.
    for (int x = 0; x < kKnobW; ++x)
        if (c.at(x, 8) != bmpgen::kBlack) c.set(x, 8, kShadow);
    return c;
}

std::vector<bmpgen::Bitmap> draw() {
    return {
        {"background.bmp", 8, Canvas(135, 100, bmpgen::kBlack)},  // all palette index 0
        {"knob_left_end.bmp", 8, knob(End::kLeft)},
        {"knob_2.bmp", 8, knob(End::kNone)},
        {"knob_3.bmp", 8, knob(End::kNone)},
        {"knob_right_end.bmp", 8, knob(End::kRight)},
    };
}

const bmpgen::Registration kRegistration("quadrel", draw);

}  // namespace
