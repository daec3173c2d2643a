#include "renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace gh {

namespace {

void blit(Picture& c, const Bitmap& b, int x0, int y0, bool opaque) {
    for (int y = 0; y < b.height; ++y) {
        const int cy = y0 + y;
        if (cy < 0 || cy >= c.height) continue;
        for (int x = 0; x < b.width; ++x) {
            const int cx = x0 + x;
            if (cx < 0 || cx >= c.width) continue;
            const uint32_t p = b.at(x, y);
            if (opaque || p != 0) c.px[size_t(cy) * c.width + cx] = p;
        }
    }
}

int roundPixel(double v) {
    if (!std::isfinite(v)) return 0;
    v = std::clamp(v, -1e6, 1e6);
    return int(std::lround(v));
}

// The bitmap's left edge, vertical middle, sits on the pivot and its x axis
// points at the target.
void drawNeedle(Picture& c, const Bitmap& b, const Element& e, double tx, double ty) {
    const double px = e.x + 0.5, py = e.y + 0.5;
    const double ang = std::atan2(ty + 0.5 - py, tx + 0.5 - px);
    const double cs = std::cos(ang), sn = std::sin(ang);
    const int r = b.width + b.height + 1;
    for (int y = e.y - r; y <= e.y + r; ++y) {
        if (y < 0 || y >= c.height) continue;
        for (int x = e.x - r; x <= e.x + r; ++x) {
            if (x < 0 || x >= c.width) continue;
            const double dx = x + 0.5 - px, dy = y + 0.5 - py;
            const double u = dx * cs + dy * sn, w = -dx * sn + dy * cs + b.height / 2.0;
            const int sx = int(std::floor(u)), sy = int(std::floor(w));
            if (sx < 0 || sx >= b.width || sy < 0 || sy >= b.height) continue;
            const uint32_t p = b.at(sx, sy);
            if (p != 0) c.px[size_t(y) * c.width + x] = p;
        }
    }
}

}  // namespace

Picture scaled(const Picture& c, int scale) {
    if (scale == 1) return c;
    Picture s;
    s.width = c.width * scale;
    s.height = c.height * scale;
    s.px.resize(size_t(s.width) * s.height);
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) s.px[size_t(y) * s.width + x] = c.at(x / scale, y / scale);
    return s;
}

void needleTarget(const std::vector<NeedlePoint>& points, double value, double& tx, double& ty) {
    tx = points.front().x;
    ty = points.front().y;
    if (std::isnan(value) || !(value > points.front().value)) return;
    if (value >= points.back().value) {
        tx = points.back().x;
        ty = points.back().y;
        return;
    }
    for (size_t i = 1; i < points.size(); ++i) {
        const NeedlePoint& p0 = points[i - 1];
        const NeedlePoint& p1 = points[i];
        if (value >= p0.value && value < p1.value) {
            const double t = (value - p0.value) / (p1.value - p0.value);
            tx = p0.x + t * (p1.x - p0.x);
            ty = p0.y + t * (p1.y - p0.y);
            return;
        }
    }
}

Renderer::~Renderer() {
    if (dib_) DeleteObject(dib_);
    if (dc_) DeleteDC(dc_);
}

Picture Renderer::begin(const ModuleImage& m, const Gauge& g) {
    Picture c;
    const Bitmap* bg = g.elements.empty() ? nullptr : m.bitmap(g.elements[0].bitmap);
    if (!bg || !bg->problem.empty())
        throw HostError("element 1 (root): background bitmap " +
                        std::to_string(g.elements.empty() ? 0 : g.elements[0].bitmap) +
                        (bg ? " cannot be drawn: " + bg->problem : " is not a resource of the module"));
    c.width = bg->width;
    c.height = bg->height;
    c.px.assign(size_t(c.width) * c.height, 0);
    return c;
}

void Renderer::draw(Picture& c, const ModuleImage& m, const Element& e, bool root, double value, double xValue,
                    const std::string& text, std::vector<std::string>& warnings) {
    auto need = [&](uint32_t id) -> const Bitmap* {
        const Bitmap* b = m.bitmap(id);
        if (!b || !b->problem.empty()) {
            warnings.push_back(e.label + ": bitmap " + std::to_string(id) +
                               (b ? " cannot be drawn: " + b->problem : " is not a resource of the module"));
            return nullptr;
        }
        return b;
    };
    switch (e.kind) {
        case hostapi::kStaticImage:
            if (const Bitmap* b = need(e.bitmap)) blit(c, *b, e.x, e.y, root);
            break;
        case hostapi::kIcon: {
            // Image k is the k-th bitmap resource at or above the first id.
            double v = value;
            if (!std::isfinite(v) || v < 0) v = 0;
            const uint32_t k = uint32_t(std::min<double>(std::floor(v), e.imageCount - 1));
            auto it = m.bitmaps().lower_bound(e.bitmap);
            for (uint32_t i = 0; i < k && it != m.bitmaps().end(); ++i) ++it;
            if (it == m.bitmaps().end()) {
                warnings.push_back(e.label + ": image " + std::to_string(k) + " of icon " + std::to_string(e.bitmap) +
                                   " has no bitmap resource");
                break;
            }
            if (const Bitmap* b = need(it->first)) blit(c, *b, e.x, e.y, root);
            break;
        }
        case hostapi::kSlider:
            if (const Bitmap* b = need(e.bitmap))
                blit(c, *b, e.x + roundPixel(xValue * e.xScale), e.y + roundPixel(value * e.yScale), root);
            break;
        case hostapi::kNeedle: {
            const Bitmap* b = need(e.bitmap);
            if (!b || e.points.empty()) break;
            double tx = 0, ty = 0;
            needleTarget(e.points, value, tx, ty);
            drawNeedle(c, *b, e, tx, ty);
            break;
        }
        case hostapi::kString:
            drawText(c, e, text);
            break;
        default:
            break;
    }
}

// The box's height is the font's cell height (ascent plus descent); the text
// starts at the box's top-left and is clipped to the box. Colour word 3 is
// the text colour (a COLORREF).
void Renderer::drawText(Picture& c, const Element& e, const std::string& text) {
    if (text.empty() || e.boxW == 0 || e.boxH == 0) return;
    if (!dc_ || dibW_ != c.width || dibH_ != c.height) {
        if (dib_) DeleteObject(dib_);
        if (!dc_) dc_ = CreateCompatibleDC(nullptr);
        BITMAPINFO bi = {};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = c.width;
        bi.bmiHeader.biHeight = -c.height;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        dib_ = CreateDIBSection(dc_, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (!dib_) throw HostError("cannot create a drawing surface for text");
        SelectObject(dc_, dib_);
        dibBits_ = static_cast<uint32_t*>(bits);
        dibW_ = c.width;
        dibH_ = c.height;
    }
    GdiFlush();
    std::memcpy(dibBits_, c.px.data(), c.px.size() * 4);
    const int height = std::max<int>(1, int(e.boxH));
    HFONT font = CreateFontA(height, 0, 0, 0, int(e.fontWeight), 0, 0, 0, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY, DEFAULT_PITCH,
                             e.font.empty() ? "Arial" : e.font.c_str());
    HGDIOBJ old = SelectObject(dc_, font);
    SetBkMode(dc_, TRANSPARENT);
    SetTextColor(dc_, COLORREF(e.colour[2] & 0x00FFFFFF));
    RECT box = {e.x, e.y, e.x + int(e.boxW), e.y + int(e.boxH)};
    DrawTextA(dc_, text.c_str(), int(text.size()), &box, DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
    GdiFlush();
    SelectObject(dc_, old);
    DeleteObject(font);
    for (size_t i = 0; i < c.px.size(); ++i) c.px[i] = dibBits_[i] & 0x00FFFFFF;
}

}  // namespace gh
