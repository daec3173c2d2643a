// Draws a gauge's element tree as the simulator would: bitmaps blitted with
// black transparent (the root opaque), icons by value, sliders moved, needles
// turned toward their point tables, strings drawn with GDI in the element's
// font and colour.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "module_image.h"
#include "records.h"

namespace gaugehost {

// A drawn picture: 0x00RRGGBB pixels, top-down rows.
struct Picture {
    int width = 0, height = 0;
    std::vector<uint32_t> px;
    uint32_t at(int x, int y) const { return px[size_t(y) * width + x]; }
};

// Each pixel of `p` repeated `scale` times in both directions.
Picture scaled(const Picture& p, int scale);

// The target point of a needle for `value`: interpolated from its table,
// the nearest end entry outside it (and the first for a value that is not
// a number).
void needleTarget(const std::vector<NeedlePoint>& points, double value, double& x, double& y);

class Renderer {
public:
    Renderer() = default;
    ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    // A picture of the background's size, black. Throws ModuleError when the
    // root's bitmap cannot be drawn.
    Picture begin(const ModuleImage& m, const Gauge& g);
    // Draws one element with its value (and, for a string, its text).
    // Problems that spoil only this element become `warnings`.
    void draw(Picture& p, const ModuleImage& m, const Element& e, bool root, double value, double xValue,
              const std::string& text, std::vector<std::string>& warnings);

private:
    void drawText(Picture& p, const Element& e, const std::string& text);
    HDC dc_ = nullptr;
    HBITMAP dib_ = nullptr;
    uint32_t* dibBits_ = nullptr;
    int dibW_ = 0, dibH_ = 0;
    std::map<std::tuple<int, int, std::string>, HFONT> fonts_;   // by cell height, weight, face
};

}  // namespace gaugehost
