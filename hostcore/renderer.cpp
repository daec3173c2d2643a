#include "renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace gaugehost {

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
    // Only pixels within the turned bitmap's bounding box (a pixel wider
    // all round) can take one of its pixels.
    double lx = 0, hx = 0, ly = 0, hy = 0;
    const double us[2] = {0.0, double(b.width)}, ws[2] = {-b.height / 2.0, b.height / 2.0};
    for (int i = 0; i < 4; ++i) {
        const double u = us[i & 1], w = ws[i >> 1];
        const double dx = u * cs - w * sn, dy = u * sn + w * cs;
        lx = i ? std::min(lx, dx) : dx;
        hx = i ? std::max(hx, dx) : dx;
        ly = i ? std::min(ly, dy) : dy;
        hy = i ? std::max(hy, dy) : dy;
    }
    const int r = b.width + b.height + 1;
    const int xa = std::max(e.x - r, int(std::floor(px + lx)) - 1), xb = std::min(e.x + r, int(std::ceil(px + hx)) + 1);
    const int ya = std::max(e.y - r, int(std::floor(py + ly)) - 1), yb = std::min(e.y + r, int(std::ceil(py + hy)) + 1);
    for (int y = ya; y <= yb; ++y) {
        if (y < 0 || y >= c.height) continue;
        for (int x = xa; x <= xb; ++x) {
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
    for (auto& [key, font] : fonts_)
        if (font) DeleteObject(font);
    if (dib_) DeleteObject(dib_);
    if (dc_) DeleteDC(dc_);
}

Picture Renderer::begin(const ModuleImage& m, const Gauge& g) {
    Picture c;
    const Bitmap* bg = g.elements.empty() ? nullptr : m.bitmap(g.elements[0].bitmap);
    if (!bg || !bg->problem.empty())
        throw ModuleError("element 1 (root): background bitmap " +
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
// the text colour (a COLORREF). Only the box's pixels go through the GDI
// surface: nothing outside it can change.
void Renderer::drawText(Picture& p, const Element& e, const std::string& text) {
    if (text.empty() || e.boxW == 0 || e.boxH == 0) return;
    const int x0 = std::max(0, e.x), y0 = std::max(0, e.y);
    const int x1 = int(std::min<int64_t>(p.width, int64_t(e.x) + e.boxW));
    const int y1 = int(std::min<int64_t>(p.height, int64_t(e.y) + e.boxH));
    if (x0 >= x1 || y0 >= y1) return;
    if (!dc_ || dibW_ != p.width || dibH_ != p.height) {
        if (dib_) DeleteObject(dib_);
        if (!dc_) dc_ = CreateCompatibleDC(nullptr);
        BITMAPINFO bi = {};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = p.width;
        bi.bmiHeader.biHeight = -p.height;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        dib_ = CreateDIBSection(dc_, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (!dib_) throw HostFault("cannot create a drawing surface for text");
        SelectObject(dc_, dib_);
        dibBits_ = static_cast<uint32_t*>(bits);
        dibW_ = p.width;
        dibH_ = p.height;
    }
    GdiFlush();
    const size_t row = size_t(x1 - x0) * 4;
    for (int y = y0; y < y1; ++y) std::memcpy(dibBits_ + size_t(y) * p.width + x0, &p.px[size_t(y) * p.width + x0], row);
    const int height = std::max<int>(1, int(e.boxH));
    const std::string face = e.font.empty() ? "Arial" : e.font;
    HFONT& font = fonts_[{height, int(e.fontWeight), face}];
    if (!font)
        font = CreateFontA(height, 0, 0, 0, int(e.fontWeight), 0, 0, 0, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY, DEFAULT_PITCH, face.c_str());
    HGDIOBJ old = SelectObject(dc_, font);
    SetBkMode(dc_, TRANSPARENT);
    SetTextColor(dc_, COLORREF(e.colour[2] & 0x00FFFFFF));
    RECT box = {e.x, e.y, e.x + int(e.boxW), e.y + int(e.boxH)};
    DrawTextA(dc_, text.c_str(), int(text.size()), &box, DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
    GdiFlush();
    SelectObject(dc_, old);
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) p.px[size_t(y) * p.width + x] = dibBits_[size_t(y) * p.width + x] & 0x00FFFFFF;
}

}  // namespace gaugehost
