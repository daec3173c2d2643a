#include "canvas.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>


namespace bmpgen {

Canvas::Canvas(int width, int height, Rgb fill)
    : width_(width), height_(height), pixels_(static_cast<size_t>(width) * height, fill) {}

void Canvas::set(int x, int y, Rgb c) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    pixels_[y * width_ + x] = c;
}

void Canvas::fill(int x0, int y0, int x1, int y1, Rgb c) {
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) set(x, y, c);
}

void Canvas::frame(int x0, int y0, int x1, int y1, Rgb c) {
    hline(x0, x1, y0, c);
    hline(x0, x1, y1, c);
    vline(x0, y0, y1, c);
    vline(x1, y0, y1, c);
}

void Canvas::line(int x0, int y0, int x1, int y1, Rgb c) {
    const int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
    const int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    for (;;) {
        set(x0, y0, c);
        if (x0 == x1 && y0 == y1) break;
        const int e2 = 2 * err;
        if (e2 >= dy) { err += dy; x0 += sx; }
        if (e2 <= dx) { err += dx; y0 += sy; }
    }
}

void Canvas::arc(double cx, double cy, double radius, double a0, double a1, Rgb c,
                 double thickness) {
    const double pi = 3.14159265358979323846;
    const int x0 = static_cast<int>(std::floor(cx - radius - thickness));
    const int x1 = static_cast<int>(std::ceil(cx + radius + thickness));
    const int y0 = static_cast<int>(std::floor(cy - radius - thickness));
    const int y1 = static_cast<int>(std::ceil(cy + radius + thickness));
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
            const double dx = x - cx, dy = cy - y;  // y up for angles
            const double d = std::sqrt(dx * dx + dy * dy);
            if (std::fabs(d - radius) > thickness / 2.0) continue;
            double a = std::atan2(dy, dx) * 180.0 / pi;
            if (a < a0) a += 360.0;
            if (a < a0 - 1e-9 || a > a1 + 1e-9) {
                a -= 360.0;
                if (a < a0 - 1e-9 || a > a1 + 1e-9) continue;
            }
            set(x, y, c);
        }
    }
}

void Canvas::disc(double cx, double cy, double radius, Rgb c) {
    for (int y = static_cast<int>(cy - radius) - 1; y <= static_cast<int>(cy + radius) + 1; ++y)
        for (int x = static_cast<int>(cx - radius) - 1; x <= static_cast<int>(cx + radius) + 1; ++x)
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius) set(x, y, c);
}

namespace {
const Glyph& glyphOf(const Font& font, char ch) {
    const Glyph* g = font.find(ch);
    if (g == nullptr) throw std::runtime_error(std::string("no glyph for '") + ch + "'");
    return *g;
}
}  // namespace

int Canvas::text(int x, int y, const std::string& s, Rgb c, const Font& font, int gap) {
    for (char ch : s) {
        const Glyph& g = glyphOf(font, ch);
        for (int r = 0; r < font.height; ++r)
            for (int col = 0; col < g.width(); ++col)
                if (g.rows[r][col] == '#') set(x + col, y + r, c);
        x += g.width() + gap;
    }
    return x;
}

int Canvas::textCentred(int cx, int y, const std::string& s, Rgb c, const Font& font) {
    return text(cx - textWidth(s, font) / 2, y, s, c, font);
}

int Canvas::textWidth(const std::string& s, const Font& font, int gap) {
    int w = 0;
    for (char ch : s) w += glyphOf(font, ch).width() + gap;
    return s.empty() ? 0 : w - gap;
}

namespace {

void put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(x & 0xFF);
    v.push_back((x >> 8) & 0xFF);
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

std::vector<uint8_t> headers(const Canvas& c, int bpp, uint32_t paletteEntries) {
    const uint32_t stride = ((c.width() * bpp + 31) / 32) * 4;
    const uint32_t offBits = 14 + 40 + paletteEntries * 4;
    std::vector<uint8_t> v;
    v.push_back('B');
    v.push_back('M');
    put32(v, offBits + stride * c.height());  // file size
    put32(v, 0);                              // reserved
    put32(v, offBits);
    put32(v, 40);  // BITMAPINFOHEADER
    put32(v, c.width());
    put32(v, c.height());  // positive: bottom-up rows
    put16(v, 1);           // planes
    put16(v, bpp);
    put32(v, 0);  // BI_RGB: uncompressed
    put32(v, stride * c.height());
    put32(v, 2835);  // 72 dpi
    put32(v, 2835);
    put32(v, paletteEntries);
    put32(v, 0);
    return v;
}

}  // namespace

std::vector<uint8_t> encodeBmp24(const Canvas& c) {
    std::vector<uint8_t> v = headers(c, 24, 0);
    const int pad = (4 - (c.width() * 3) % 4) % 4;
    for (int y = c.height() - 1; y >= 0; --y) {
        for (int x = 0; x < c.width(); ++x) {
            const Rgb p = c.at(x, y);
            v.push_back(p.b);
            v.push_back(p.g);
            v.push_back(p.r);
        }
        for (int i = 0; i < pad; ++i) v.push_back(0);
    }
    return v;
}

std::vector<uint8_t> encodeBmp8(const Canvas& c, const std::vector<Rgb>& first) {
    std::vector<Rgb> palette = first;
    auto indexOf = [&palette](Rgb p) -> int {
        for (size_t i = 0; i < palette.size(); ++i)
            if (palette[i] == p) return static_cast<int>(i);
        return -1;
    };
    for (int y = 0; y < c.height(); ++y)
        for (int x = 0; x < c.width(); ++x)
            if (indexOf(c.at(x, y)) < 0) palette.push_back(c.at(x, y));
    if (palette.size() > 256) throw std::runtime_error("more than 256 colours in an 8-bit bitmap");

    std::vector<uint8_t> v = headers(c, 8, static_cast<uint32_t>(palette.size()));
    for (Rgb p : palette) {
        v.push_back(p.b);
        v.push_back(p.g);
        v.push_back(p.r);
        v.push_back(0);
    }
    const int pad = (4 - c.width() % 4) % 4;
    for (int y = c.height() - 1; y >= 0; --y) {
        for (int x = 0; x < c.width(); ++x) v.push_back(static_cast<uint8_t>(indexOf(c.at(x, y))));
        for (int i = 0; i < pad; ++i) v.push_back(0);
    }
    return v;
}

namespace {
std::vector<RegisteredModule>& registry() {
    static std::vector<RegisteredModule> modules;
    return modules;
}
}  // namespace

Registration::Registration(const char* module, ModuleBitmaps draw) {
    registry().push_back({module, draw});
}

const std::vector<RegisteredModule>& registeredModules() { return registry(); }

}  // namespace bmpgen
