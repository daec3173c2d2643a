#include "host.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "guard.h"

namespace gh {

namespace {

Host* gHost = nullptr;
constexpr uint32_t kTextCapacity = 256;   // bytes a value routine may write, NUL included
constexpr uint32_t kPage = 4096;          // the buffer's page: capacity, then guard bytes
constexpr uint8_t kGuardByte = 0xCD;
static_assert(kTextCapacity < kPage, "the guard bytes follow the capacity on the same page");

int serviceArgs(unsigned slot) {
    switch (slot) {
        case 24: case 26: case 27: case 29: case 31: case 38: case 40: return 1;
        case 25: case 28: case 33: case 34: case 36: return 2;
        case 32: return 3;
        default: return -1;
    }
}

template <unsigned S> uint32_t __stdcall svc1(uint32_t a) {
    const uint32_t v[1] = {a};
    gHost->service(S, v);
    return 0;
}
template <unsigned S> uint32_t __stdcall svc2(uint32_t a, uint32_t b) {
    const uint32_t v[2] = {a, b};
    gHost->service(S, v);
    return 0;
}
template <unsigned S> uint32_t __stdcall svc3(uint32_t a, uint32_t b, uint32_t c) {
    const uint32_t v[3] = {a, b, c};
    gHost->service(S, v);
    return 0;
}
// A slot the host does not provide: its argument count is unknown, so the
// call cannot return safely; the module call is abandoned.
template <unsigned S> uint32_t __stdcall svcUnknown() {
    abortModuleCall("module called panel service slot " + std::to_string(S) + ", which this host does not provide");
}

template <unsigned S> void* slotFunction() {
    switch (serviceArgs(S)) {
        case 1: return reinterpret_cast<void*>(&svc1<S>);
        case 2: return reinterpret_cast<void*>(&svc2<S>);
        case 3: return reinterpret_cast<void*>(&svc3<S>);
        default: return reinterpret_cast<void*>(&svcUnknown<S>);
    }
}
template <size_t... I> void fill(void** t, std::index_sequence<I...>) { ((t[I] = slotFunction<I>()), ...); }

void** serviceTable() {
    static void* table[64];
    static bool filled = false;
    if (!filled) {
        fill(table, std::make_index_sequence<64>());
        filled = true;
    }
    return table;
}

std::string num(double v) {
    char b[64];
    std::snprintf(b, sizeof b, "%.10g", v);
    return b;
}

}  // namespace

const char* serviceName(unsigned slot) {
    switch (slot) {
        case 24: return "queryElements";
        case 25: return "installElements";
        case 26: return "initializeElements";
        case 27: return "updateElements";
        case 28: return "generateElements";
        case 29: return "drawElements";
        case 31: return "releaseElements";
        case 32: return "registerMouseRects";
        case 33: return "attachMouseRects";
        case 34: return "releaseMouseRects";
        case 36: return "sendKeyEvent";
        case 38: return "initializeModuleVar";
        case 40: return "refreshModuleVar";
        default: return "?";
    }
}

Host::Host(Module& m, Gauge& g, int scaleFactor, bool log) : scale(scaleFactor), m_(m), g_(g), log_(log) {
    gHost = this;
}

Host::~Host() {
    if (dib_) DeleteObject(dib_);
    if (dc_) DeleteDC(dc_);
    if (gHost == this) gHost = nullptr;
}

std::string Host::off(uint32_t a) const {
    if (a >= m_.base() && a - m_.base() < m_.size()) return "+" + hex(a - m_.base());
    return hex(a);
}

void Host::logLine(const std::string& s) const {
    if (log_) std::printf("    %s\n", s.c_str());
}

double Host::var(uint32_t id) const {
    auto it = vars.find(id);
    return it == vars.end() ? 0.0 : it->second;
}

void Host::setVar(uint32_t id, double v, const char* why) {
    vars[id] = v;
    if (why) logLine(std::string(why) + ": var " + std::to_string(id) + " = " + num(v));
}

int Host::elementAt(uint32_t addr) const {
    for (size_t i = 0; i < g_.elements.size(); ++i)
        if (g_.elements[i].addr == addr) return int(i);
    return -1;
}

std::string Host::varName(uint32_t addr) const {
    return "var " + std::to_string(m_.u32(addr, "ModuleVar")) + " at " + off(addr);
}

// ---- the simulation's side of key events --------------------------------------

void Host::keyEvent(uint32_t id, int32_t param) {
    keys.push_back({id, param});
    static const std::pair<uint32_t, uint32_t> toggles[] = {
        {66376, 620}, {66379, 619}, {65560, 11}, {66239, 368}, {66378, 621}};
    for (auto [ev, v] : toggles)
        if (id == ev) return setVar(v, var(v) != 0.0 ? 0.0 : 1.0, "key event toggles");
    if (id >= 65820 && id <= 65823) return setVar(128 + 35 * (id - 65820), param, "key event sets throttle");
    if (id == 66298 || id == 66299) {
        const int before = brakeSelector;
        brakeSelector = std::clamp(brakeSelector + (id == 66298 ? 1 : -1), 0, 5);
        logLine("key event moves brake selector " + std::string(id == 66298 ? "up" : "down") + ": " +
                std::to_string(before) + " -> " + std::to_string(brakeSelector));
        return;
    }
    logLine("key event " + std::to_string(id) + " has no effect in this host's simulation");
}

// ---- services ---------------------------------------------------------------------

void Host::service(unsigned slot, const uint32_t* a) {
    std::string failure;
    try {
        std::string line = "service " + std::to_string(slot) + " " + serviceName(slot) + "(";
        const int n = serviceArgs(slot);
        for (int i = 0; i < n; ++i) {
            const bool isAddr = (slot != 36) && !(i == 1 && (slot == 25 || slot == 28));
            std::string arg = isAddr ? off(a[i]) : slot == 36 && i == 1 ? std::to_string(int32_t(a[i]))
                                                                        : std::to_string(a[i]);
            if (slot == 32 && i == 2) {
                // The host's own record: name it rather than print an address that changes run to run.
                const uint32_t rec = g_.elements.empty() ? 0 : m_.u32(g_.elements[0].addr + 0x3C, "root element");
                if (rec && a[i] == rec + 4) arg = "drawn size of the background";
            }
            line += (i ? ", " : "") + arg;
        }
        line += ")";
        auto element = [&](uint32_t p) {
            const int e = elementAt(p);
            if (e < 0) throw HostError(std::string(serviceName(slot)) + ": " + off(p) + " is not an element of the gauge");
            return e;
        };
        auto moduleVar = [&](uint32_t p) {
            m_.requireWritable(p, 28, std::string(serviceName(slot)) + ": ModuleVar");
            if (std::find(moduleVars.begin(), moduleVars.end(), p) == moduleVars.end()) moduleVars.push_back(p);
        };
        switch (slot) {
            case 24: case 26: case 28: case 29:
                element(a[0]);
                logLine(line);
                break;
            case 25:
                element(a[0]);
                logLine(line);
                installElements();
                break;
            case 27:
                logLine(line);
                refreshElementVars(element(a[0]));
                break;
            case 31:
                element(a[0]);
                logLine(line);
                releaseElements();
                break;
            case 32: {
                logLine(line);
                if (a[1] != g_.header) throw HostError("registerMouseRects: " + off(a[1]) + " is not the gauge's header");
                mouseList_ = readMouseList(m_, a[0]);
                mouseListAddr_ = a[0];
                const uint32_t want = g_.elements.empty() ? 0 : m_.u32(g_.elements[0].addr + 0x3C, "root element");
                if (want == 0 || a[2] != want + 4)
                    warnings.push_back("registerMouseRects: the size argument " + off(a[2]) +
                                       " is not the drawn width/height of the installed background");
                break;
            }
            case 33:
                logLine(line);
                if (a[0] != mouseListAddr_) throw HostError("attachMouseRects: the list was not registered");
                mouseActive_ = true;
                break;
            case 34:
                logLine(line);
                mouseActive_ = false;
                break;
            case 36:
                logLine(line);
                keyEvent(a[0], int32_t(a[1]));
                break;
            case 38:
                moduleVar(a[0]);
                logLine(line + " " + varName(a[0]));
                break;
            case 40: {
                moduleVar(a[0]);
                const uint32_t id = m_.u32(a[0], "ModuleVar");
                m_.put64(a[0] + 0x0C, var(id), "refreshModuleVar: ModuleVar");
                logLine(line + " var " + std::to_string(id) + " = " + num(var(id)));
                break;
            }
            default:
                throw HostError("unknown service " + std::to_string(slot));
        }
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!failure.empty()) abortModuleCall(failure);
}

// ---- installation -----------------------------------------------------------------

void Host::installElements() {
    records_.clear();
    textBuffers_.clear();
    for (size_t i = 0; i < g_.elements.size(); ++i) {
        const Element& e = g_.elements[i];
        if (e.kind == kStatic || e.kind == kSlider) {
            const Bitmap* b = m_.bitmap(e.bitmap);
            auto r = std::make_unique<ImageRecord>();
            r->host00 = 0;
            r->w = b ? b->width * scale : 0;
            r->h = b ? b->height * scale : 0;
            m_.put32(e.addr + 0x3C, uint32_t(uintptr_t(r.get())), e.label + " image record");
            records_.push_back(std::move(r));
        } else if (e.kind == kString) {
            auto buf = std::make_unique<TextBuffer>();
            m_.put32(e.addr + 0xB8, uint32_t(uintptr_t(buf->data())), e.label + " text buffer");
            textBuffers_[int(i)] = std::move(buf);
        }
    }
    if (g_.elements.empty() || m_.u32(g_.elements[0].addr + 0x3C, "root") == 0 || !m_.bitmap(g_.elements[0].bitmap))
        warnings.push_back("the background bitmap " + std::to_string(g_.elements.empty() ? 0 : g_.elements[0].bitmap) +
                           " is missing");
}

Host::TextBuffer::TextBuffer() {
    void* p = VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD old = 0;
    if (!p || !VirtualProtect(static_cast<char*>(p) + kPage, kPage, PAGE_NOACCESS, &old)) {
        if (p) VirtualFree(p, 0, MEM_RELEASE);
        throw HostError("cannot reserve a text buffer (error " + std::to_string(GetLastError()) + ")");
    }
    base_ = static_cast<char*>(p);
    std::memset(base_, kGuardByte, kPage);
    base_[0] = 0;
}

Host::TextBuffer::~TextBuffer() { VirtualFree(base_, 0, MEM_RELEASE); }

bool Host::TextBuffer::guardIntact() const {
    for (uint32_t i = kTextCapacity; i < kPage; ++i)
        if (uint8_t(base_[i]) != kGuardByte) return false;
    return true;
}

void Host::releaseElements() {
    for (const Element& e : g_.elements) {
        if (e.kind == kStatic || e.kind == kSlider) m_.put32(e.addr + 0x3C, 0, e.label);
    }
}

void Host::refreshElementVars(int from) {
    // The element and everything below it (drawing order is depth first).
    const int depth = g_.elements[from].depth;
    for (size_t i = size_t(from); i < g_.elements.size(); ++i) {
        if (int(i) != from && g_.elements[i].depth <= depth) break;
        const Element& e = g_.elements[i];
        for (const Var* v : {&e.var, &e.xVar}) {
            if (v->addr == 0) continue;
            const uint32_t id = m_.u32(v->addr, e.label + " variable");
            if (id != 0) m_.put64(v->addr + 0x0C, var(id), e.label + " variable");
        }
    }
}

// ---- lifecycle -------------------------------------------------------------------

void Host::start() {
    m_.put32(g_.importTable + 4, uint32_t(uintptr_t(serviceTable())), "ImportTable +0x4");
    logLine("ImportTable +0x4 <- panel services");
    if (g_.moduleStart) guardedCall("module start routine", g_.moduleStart, {});
    if (g_.version == 610) {
        if (g_.routines[1]) guardedCall("installRoutine", g_.routines[1], {0});
        if (g_.routines[2]) guardedCall("initializeRoutine", g_.routines[2], {});
    } else {
        installElements();
        logLine("host installs " + std::to_string(g_.elements.size()) + " elements");
        if (g_.mouseListPtr) {
            mouseList_ = readMouseList(m_, g_.mouseListPtr);
            mouseListAddr_ = g_.mouseListPtr;
            mouseActive_ = true;
            logLine("host attaches the mouse list at " + off(g_.mouseListPtr) + " (" +
                    std::to_string(mouseList_.size()) + " entries)");
        }
        logLine("GaugeCallback(10)");
        guardedCall("GaugeCallback code 10", g_.callback, {g_.header, 10, 0});
    }
    started = true;
}

void Host::frame() {
    if (g_.version == 610) {
        if (g_.routines[3]) guardedCall("updateRoutine", g_.routines[3], {});
        if (g_.routines[4]) guardedCall("generateRoutine", g_.routines[4], {0});
        if (g_.routines[5]) guardedCall("drawRoutine", g_.routines[5], {});
    } else {
        logLine("GaugeCallback(6)");
        guardedCall("GaugeCallback code 6", g_.callback, {g_.header, 6, 0});
        refreshElementVars(0);
    }
}

void Host::stop() {
    if (!started) return;
    started = false;
    if (g_.version == 610) {
        if (g_.routines[6]) guardedCall("killRoutine", g_.routines[6], {});
    } else {
        mouseActive_ = false;
        releaseElements();
        logLine("host releases the mouse list and the elements");
    }
    if (g_.moduleStop) guardedCall("module stop routine", g_.moduleStop, {});
    if (mouseActive_) warnings.push_back("the mouse list was still attached after killRoutine");
}

// ---- mouse -------------------------------------------------------------------------

bool Host::mouse(int32_t x, int32_t y, uint32_t event) {
    const char* what = event == kMaskClick ? "click" : "drag";
    if (!mouseActive_) {
        logLine(std::string(what) + " (" + std::to_string(x) + ", " + std::to_string(y) + "): no mouse list attached");
        return false;
    }
    // Rectangles are in gauge pixels; the point is in pixels as drawn.
    const int32_t gx = int32_t(std::floor(double(x) / scale)), gy = int32_t(std::floor(double(y) / scale));
    auto inside = [&](const MouseEntry& e) {
        return int64_t(gx) >= e.x && int64_t(gx) < int64_t(e.x) + e.w && int64_t(gy) >= e.y &&
               int64_t(gy) < int64_t(e.y) + e.h;
    };
    for (size_t i = 0; i < mouseList_.size(); ++i) {
        const MouseEntry& e = mouseList_[i];
        if (e.type != 2 || !(e.mask & event) || e.handler == 0 || !inside(e)) continue;
        // Every enclosing parent with an area must hold the point too; a
        // parent of zero size only groups its entries.
        bool ok = true;
        for (int p = e.parent; p >= 0; p = mouseList_[p].parent) {
            const MouseEntry& pe = mouseList_[p];
            if (pe.w != 0 && pe.h != 0 && !inside(pe)) ok = false;
        }
        if (!ok) continue;
        logLine(std::string(what) + " (" + std::to_string(x) + ", " + std::to_string(y) + ") hits mouse entry " +
                std::to_string(i + 1) + " (" + std::to_string(e.x) + ", " + std::to_string(e.y) + ", " +
                std::to_string(e.w) + ", " + std::to_string(e.h) + "), handler " + off(e.handler));
        static int32_t point[2];
        point[0] = x;
        point[1] = y;
        const CallResult r = guardedCall("mouse handler of entry " + std::to_string(i + 1), e.handler,
                                         {uint32_t(uintptr_t(point)), event});
        if (r.eax != 0) logLine("handler returned " + std::to_string(int32_t(r.eax)));
        return true;
    }
    logLine(std::string(what) + " (" + std::to_string(x) + ", " + std::to_string(y) + ") hits no rectangle");
    return false;
}

// ---- drawing ----------------------------------------------------------------------

double Host::elementValue(const Element& e) {
    if (e.routine) {
        const std::string what = e.label + " value routine";
        const double v = guardedCall(what, e.routine, {e.addr}, true).st0;
        if (e.kind == kString) {
            auto it = textBuffers_.find(int(&e - g_.elements.data()));
            if (it != textBuffers_.end() && !it->second->guardIntact())
                throw HostError(what + " wrote past the end of its " + std::to_string(kTextCapacity) +
                                "-byte text buffer");
        }
        return v;
    }
    if (e.kind == kSlider || e.var.addr == 0) return 0.0;
    return m_.f64(e.var.addr + 0x0C, e.label + " variable");
}

namespace {

void blit(Canvas& c, const Bitmap& b, int x0, int y0, bool opaque) {
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

}  // namespace

void Host::drawElement(Canvas& c, const Element& e, double value) {
    const bool root = &e == &g_.elements[0];
    auto need = [&](uint32_t id) -> const Bitmap* {
        const Bitmap* b = m_.bitmap(id);
        if (!b || !b->problem.empty()) {
            warnings.push_back(e.label + ": bitmap " + std::to_string(id) +
                               (b ? " cannot be drawn: " + b->problem : " is not a resource of the module"));
            return nullptr;
        }
        return b;
    };
    switch (e.kind) {
        case kStatic:
            if (const Bitmap* b = need(e.bitmap)) blit(c, *b, e.x, e.y, root);
            break;
        case kIcon: {
            // Image k is the k-th bitmap resource at or above the first id.
            double v = value;
            if (!std::isfinite(v) || v < 0) v = 0;
            const uint32_t k = uint32_t(std::min<double>(std::floor(v), e.imageCount - 1));
            auto it = m_.bitmaps().lower_bound(e.bitmap);
            for (uint32_t i = 0; i < k && it != m_.bitmaps().end(); ++i) ++it;
            if (it == m_.bitmaps().end()) {
                warnings.push_back(e.label + ": image " + std::to_string(k) + " of icon " + std::to_string(e.bitmap) +
                                   " has no bitmap resource");
                break;
            }
            if (const Bitmap* b = need(it->first)) blit(c, *b, e.x, e.y, root);
            break;
        }
        case kSlider: {
            const double xv = e.xVar.id ? m_.f64(e.xVar.addr + 0x0C, e.label) : 0.0;
            const double yv = e.var.id ? m_.f64(e.var.addr + 0x0C, e.label) : 0.0;
            if (const Bitmap* b = need(e.bitmap))
                blit(c, *b, e.x + roundPixel(xv * e.xScale), e.y + roundPixel(yv * e.yScale), root);
            break;
        }
        case kNeedle: {
            const Bitmap* b = need(e.bitmap);
            if (!b || e.points.empty()) break;
            // Target point interpolated from the table; outside it, the
            // nearest end entry.
            double tx = e.points.front().x, ty = e.points.front().y;
            if (!std::isnan(value) && value > e.points.front().value) {
                if (value >= e.points.back().value) {
                    tx = e.points.back().x;
                    ty = e.points.back().y;
                } else {
                    for (size_t i = 1; i < e.points.size(); ++i) {
                        const Point& p0 = e.points[i - 1];
                        const Point& p1 = e.points[i];
                        if (value >= p0.value && value < p1.value) {
                            const double t = (value - p0.value) / (p1.value - p0.value);
                            tx = p0.x + t * (p1.x - p0.x);
                            ty = p0.y + t * (p1.y - p0.y);
                            break;
                        }
                    }
                }
            }
            const double px = e.x + 0.5, py = e.y + 0.5;
            const double ang = std::atan2(ty + 0.5 - py, tx + 0.5 - px);
            const double cs = std::cos(ang), sn = std::sin(ang);
            const int r = b->width + b->height + 1;
            // The bitmap's left edge, vertical middle, sits on the pivot and
            // its x axis points at the target.
            for (int y = e.y - r; y <= e.y + r; ++y) {
                if (y < 0 || y >= c.height) continue;
                for (int x = e.x - r; x <= e.x + r; ++x) {
                    if (x < 0 || x >= c.width) continue;
                    const double dx = x + 0.5 - px, dy = y + 0.5 - py;
                    const double u = dx * cs + dy * sn, w = -dx * sn + dy * cs + b->height / 2.0;
                    const int sx = int(std::floor(u)), sy = int(std::floor(w));
                    if (sx < 0 || sx >= b->width || sy < 0 || sy >= b->height) continue;
                    const uint32_t p = b->at(sx, sy);
                    if (p != 0) c.px[size_t(y) * c.width + x] = p;
                }
            }
            break;
        }
        case kString:
            drawString(c, e);
            break;
        default:
            break;
    }
}

void Host::drawString(Canvas& c, const Element& e) {
    auto it = textBuffers_.find(int(&e - g_.elements.data()));
    if (it == textBuffers_.end()) return;
    const std::string text(it->second->data(), strnlen(it->second->data(), kTextCapacity));
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
    // The box's height is the font's cell height (ascent plus descent); the
    // text starts at the box's top-left. Colour word 3 is the text colour
    // (a COLORREF).
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

Canvas Host::compose() {
    Canvas c;
    const Bitmap* bg = g_.elements.empty() ? nullptr : m_.bitmap(g_.elements[0].bitmap);
    if (!bg || !bg->problem.empty())
        throw HostError("element 1 (root): background bitmap " + std::to_string(g_.elements[0].bitmap) +
                        (bg ? " cannot be drawn: " + bg->problem : " is not a resource of the module"));
    c.width = bg->width;
    c.height = bg->height;
    c.px.assign(size_t(c.width) * c.height, 0);
    for (const Element& e : g_.elements) {
        // Bit 30 hides the element itself; its children are still drawn.
        const uint32_t flags = m_.u32(e.addr + 0x30, e.label);
        const double v = elementValue(e);
        if (flags & kHidden) continue;
        // Module code may have scribbled over host memory before this; the
        // watchdog covers the drawing too.
        watchBegin("drawing " + e.label);
        drawElement(c, e, v);
        watchEnd();
    }
    return c;
}

Canvas Host::scaled(const Canvas& c) const {
    if (scale == 1) return c;
    Canvas s;
    s.width = c.width * scale;
    s.height = c.height * scale;
    s.px.resize(size_t(s.width) * s.height);
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) s.px[size_t(y) * s.width + x] = c.at(x / scale, y / scale);
    return s;
}

}  // namespace gh
