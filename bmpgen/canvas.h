// A small RGB drawing surface and the BMP encoders used to produce every
// gauge bitmap from reviewable drawing code. Coordinates: x right, y down,
// (0, 0) the top-left pixel; rectangles are given by inclusive corners.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "font.h"

namespace bmpgen {

struct Rgb {
    uint8_t r, g, b;
    friend bool operator==(Rgb a, Rgb b) { return a.r == b.r && a.g == b.g && a.b == b.b; }
    friend bool operator!=(Rgb a, Rgb b) { return !(a == b); }
};

constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kWhite{255, 255, 255};

class Canvas {
public:
    Canvas(int width, int height, Rgb fill);

    int width() const { return width_; }
    int height() const { return height_; }
    Rgb at(int x, int y) const { return pixels_[y * width_ + x]; }

    // Every drawing call clips to the canvas.
    void set(int x, int y, Rgb c);
    void fill(int x0, int y0, int x1, int y1, Rgb c);
    void frame(int x0, int y0, int x1, int y1, Rgb c);  // one pixel wide
    void hline(int x0, int x1, int y, Rgb c) { fill(x0, y, x1, y, c); }
    void vline(int x, int y0, int y1, Rgb c) { fill(x, y0, x, y1, c); }
    void line(int x0, int y0, int x1, int y1, Rgb c);
    // Arc of the circle centred at (cx, cy) with the given radius, from
    // angle a0 to a1 in degrees (0 = right, 90 = up), `thickness` pixels.
    void arc(double cx, double cy, double radius, double a0, double a1, Rgb c, double thickness = 1.0);
    void disc(double cx, double cy, double radius, Rgb c);
    // Text in one of the project's pixel fonts, `gap` blank columns between
    // letters; returns the x after the text. A character the font does not
    // have is an error.
    int text(int x, int y, const std::string& s, Rgb c, const Font& font = kFont5x7, int gap = 1);
    // The same, centred on column `cx`.
    int textCentred(int cx, int y, const std::string& s, Rgb c, const Font& font = kFont5x7);
    // From the first letter's left column to the last letter's right column.
    static int textWidth(const std::string& s, const Font& font = kFont5x7, int gap = 1);

private:
    int width_, height_;
    std::vector<Rgb> pixels_;
};

// Uncompressed BMP files (BITMAPFILEHEADER + BITMAPINFOHEADER), bottom-up rows
// padded to 4 bytes.
std::vector<uint8_t> encodeBmp24(const Canvas& c);
// 8 bits per pixel with a palette of the canvas's colours: `first` colours
// take the first palette entries in order, the others follow as first seen
// in row order from the top. At most 256 colours.
std::vector<uint8_t> encodeBmp8(const Canvas& c, const std::vector<Rgb>& first = {kBlack});

// One bitmap of a module: the file name its resource script names, the bit
// depth (8 or 24) and the picture.
struct Bitmap {
    std::string file;
    int bitsPerPixel;
    Canvas canvas;
};

typedef std::vector<Bitmap> (*ModuleBitmaps)();

// Each module's bitmaps.cpp registers its drawing function under the module
// name with a static Registration.
struct Registration {
    Registration(const char* module, ModuleBitmaps draw);
};

struct RegisteredModule {
    const char* module;
    ModuleBitmaps draw;
};
const std::vector<RegisteredModule>& registeredModules();

}  // namespace bmpgen
