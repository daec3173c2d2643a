// Bitmaps of the engine display, 24 bits per pixel.
#include "../bmpgen/canvas.h"

namespace {

using bmpgen::Canvas;
using bmpgen::Rgb;

constexpr Rgb kYellow{255, 255, 0};
constexpr Rgb kGround{32, 32, 32};

Canvas background() { return Canvas(210, 225, kGround); }

Canvas n1Needle() { return Canvas(18, 1, kYellow); }

Canvas egtNeedle() {
    Canvas c(18, 1, bmpgen::kBlack);
    c.hline(10, 17, 0, kYellow);
    return c;
}

Canvas legend(const char* text) {
    Canvas c(80, 9, bmpgen::kBlack);
    if (text != nullptr) c.text(1, 1, text, kYellow);
    return c;
}

std::vector<bmpgen::Bitmap> draw() {
    std::vector<bmpgen::Bitmap> b;
    b.push_back({"background.bmp", 24, background()});
    for (int e = 1; e <= 4; ++e) {
        b.push_back({"n1_needle_" + std::to_string(e) + ".bmp", 24, n1Needle()});
        b.push_back({"egt_needle_" + std::to_string(e) + ".bmp", 24, egtNeedle()});
    }
    b.push_back({"parking_brake_blank.bmp", 24, legend(nullptr)});
    b.push_back({"parking_brake_set.bmp", 24, legend("PARKING BRAKE SET")});
    b.push_back({"spoilers_blank.bmp", 24, legend(nullptr)});
    b.push_back({"spoilers_armed.bmp", 24, legend("SPOILERS ARMED")});
    b.push_back({"spoilers_deployed.bmp", 24, legend("SPOILERS DEPLOYED")});
    return b;
}

const bmpgen::Registration kRegistration("monovue", draw);

}  // namespace
