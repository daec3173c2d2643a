// Bitmaps of the lights panel, 8 bits per pixel with a palette. Black
// (palette index 0) is what the host leaves transparent.
//
// Both faces carry the same labels, in cool white on the plain face and in
// warm white on the lit face, which also rings each switch. The switches sit
// at y 39 to 81; their labels above, OFF over each switch, ON under it, and
// STROBE and STEADY under the two POSITION switches, which share one
// POSITION, OFF and ON label.
#include "../bmpgen/canvas.h"

namespace {

using bmpgen::Canvas;
using bmpgen::Rgb;

constexpr int kFaceW = 290, kFaceH = 109;
constexpr int kSwitchW = 35, kSwitchH = 43, kSwitchY = 39;

constexpr Rgb kCoolWhite{241, 242, 238};
constexpr Rgb kWarmWhite{253, 254, 227};
constexpr Rgb kRing{190, 190, 170};
constexpr Rgb kNut{110, 110, 110};
constexpr Rgb kNutRim{170, 170, 170};
constexpr Rgb kLever{215, 215, 215};
constexpr Rgb kLeverShade{140, 140, 140};

// One label, centred on column `cx`, top row `y`.
struct Label {
    const char* text;
    int cx;
    int y;
};

// Switch centres, left to right: STAB, STROBE, STEADY, ANTI COLLISION, WING.
constexpr int kCentres[5] = {2 + 17, 54 + 17, 108 + 17, 175 + 17, 245 + 17};
constexpr int kPositionCx = (54 + 108 + kSwitchW) / 2;  // between the two POSITION switches

constexpr Label kLabels[] = {
    {"STAB", kCentres[0], 5},
    {"POSITION", kPositionCx, 5},
    {"ANTI", kCentres[3], 5},
    {"COLLISION", kCentres[3], 14},
    {"WING", kCentres[4], 5},
    {"OFF", kCentres[0], 28},   // over each switch
    {"OFF", kPositionCx, 28},
    {"OFF", kCentres[3], 28},
    {"OFF", kCentres[4], 28},
    {"ON", kCentres[0], 86},    // under each switch
    {"ON", kPositionCx, 86},
    {"ON", kCentres[3], 86},
    {"ON", kCentres[4], 86},
    {"STROBE", kCentres[1], 97},
    {"STEADY", kCentres[2], 97},
};

Canvas face(Rgb ink, bool lit) {
    Canvas c(kFaceW, kFaceH, bmpgen::kBlack);
    for (const Label& l : kLabels) c.textCentred(l.cx, l.y, l.text, ink);
    if (lit) {
        for (int cx : kCentres) c.arc(cx - 0.5, kSwitchY + kSwitchH / 2.0 - 0.5, 21.5, 0, 360, kRing, 1.5);
    }
    return c;
}

// A toggle switch seen from the front: a round nut in the middle and the
// lever from it towards OFF (up) or ON (down).
Canvas lever(bool down) {
    Canvas c(kSwitchW, kSwitchH, bmpgen::kBlack);
    const double cx = kSwitchW / 2.0 - 0.5, cy = kSwitchH / 2.0 - 0.5;  // (17, 21)
    c.disc(cx, cy, 9, kNutRim);
    c.disc(cx, cy, 7, kNut);
    const int tipY = down ? kSwitchH - 6 : 5;
    const int from = down ? 21 : tipY, to = down ? tipY : 21;
    c.fill(15, from, 19, to, kLever);
    c.vline(19, from, to, kLeverShade);
    c.disc(cx, tipY, 4, kLever);  // the rounded knob at its end
    return c;
}

std::vector<bmpgen::Bitmap> draw() {
    return {
        {"plain_face.bmp", 8, face(kCoolWhite, false)},
        {"lit_face.bmp", 8, face(kWarmWhite, true)},
        {"lever_up.bmp", 8, lever(false)},
        {"lever_down.bmp", 8, lever(true)},
    };
}

const bmpgen::Registration kRegistration("lumivane", draw);

}  // namespace
