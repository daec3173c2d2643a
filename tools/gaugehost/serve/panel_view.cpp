#include "panel_view.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "hostcore/dib.h"
#include "hostcore/errors.h"
#include "hostcore/text.h"
#include "../panel/syntax.h"

namespace gaugehost {

namespace {

bool isFile(const std::string& path) {
    const DWORD a = GetFileAttributesW(widen(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool isFolder(const std::string& path) {
    const DWORD a = GetFileAttributesW(widen(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The folder of a file as given ("docs/panel" for "docs/panel/panel.cfg",
// "." for "panel.cfg").
std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string joined(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder == ".") return name;
    const char last = folder.back();
    return folder + (last == '/' || last == '\\' ? "" : "/") + name;
}

Picture filled(int width, int height, uint32_t colour) {
    Picture p;
    p.width = width;
    p.height = height;
    p.px.assign(size_t(width) * size_t(height), colour);
    return p;
}

// The window of the file to draw: by number or ident, or the first visible.
const panel::Window* chooseWindow(const panel::PanelFile& file, const std::string& path, const std::string& wanted) {
    const auto& windows = file.windows();
    if (windows.empty()) throw InputError(path + ": no [WindowNN] section");
    if (wanted.empty()) {
        for (const panel::Window& w : windows)
            if (w.visible.value_or(true)) return &w;
        return &windows.front();
    }
    const bool number = !wanted.empty() && wanted.find_first_not_of("0123456789") == std::string::npos &&
                        wanted.size() < 6;
    for (const panel::Window& w : windows) {
        if (number && w.number == std::stoi(wanted)) return &w;
        if (w.ident && panel::lower(*w.ident) == panel::lower(wanted)) return &w;
    }
    std::string have;
    for (const panel::Window& w : windows)
        have += (have.empty() ? "" : ", ") + std::to_string(w.number) + (w.ident ? " (" + *w.ident + ")" : "");
    throw InputError(path + ": no window " + wanted + " (the windows: " + have + ")");
}

}  // namespace

std::string fileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string stemOf(const std::string& file) {
    const size_t dot = file.rfind('.');
    return dot == std::string::npos || dot == 0 ? file : file.substr(0, dot);
}

std::optional<std::string> otherGauge(const std::string& path, const std::string& holds, const std::string& wanted) {
    if (panel::lower(holds) == panel::lower(wanted)) return std::nullopt;
    return fileNameOf(path) + " holds gauge '" + holds + "', not '" + wanted + "'";
}

void PlacedGauge::sizeFor(int ownWidth, int ownHeight, int& w, int& h) const {
    panel::Gauge g;
    g.width = width;
    g.height = height;
    const panel::Size s = g.sizeFor({ownWidth, ownHeight});
    w = s.width;
    h = s.height;
}

void PlacedGauge::placeholderSize(int& w, int& h) const {
    w = width.value_or(100);
    h = height.value_or(width.value_or(100));
}

std::string readPanelBytes(const std::string& path) {
    std::string why;
    std::optional<std::string> bytes = readFileBytes(path, why);
    if (!bytes) throw InputError("cannot read " + path + ": " + why);
    return std::move(*bytes);
}

std::string gaugeId(int window, const std::string& key) {
    return window == 0 ? key : "w" + std::to_string(window) + "." + key;
}

std::vector<std::string> moduleFolders(const std::string& panelPath, const std::vector<std::string>& gaugeFolders) {
    std::vector<std::string> out{folderOf(panelPath)};
    for (const std::string& f : gaugeFolders)
        if (std::find(out.begin(), out.end(), f) == out.end()) out.push_back(f);
    return out;
}

std::optional<std::string> findModule(const std::vector<std::string>& folders, const std::string& module) {
    for (const std::string& f : folders) {
        const std::string candidate = joined(f, module + ".gau");
        if (isFile(candidate)) return candidate;
    }
    return std::nullopt;
}

std::vector<std::string> modulesIn(const std::vector<std::string>& folders) {
    std::map<std::string, std::string> byName;   // lower-case name -> path
    for (const std::string& f : folders) {
        WIN32_FIND_DATAW found;
        HANDLE h = FindFirstFileW(widen(joined(f, "*.gau")).c_str(), &found);
        if (h == INVALID_HANDLE_VALUE) continue;
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            const std::string name = narrow(found.cFileName);
            // "*.gau" also finds "x.gauge" through short names: the name must end so.
            if (name.size() < 5 || panel::lower(name.substr(name.size() - 4)) != ".gau") continue;
            byName.emplace(panel::lower(stemOf(name)), joined(f, name));
        } while (FindNextFileW(h, &found));
        FindClose(h);
    }
    std::vector<std::string> out;
    for (auto& [name, path] : byName) out.push_back(std::move(path));
    return out;
}

namespace {

// A window as drawn: its size and background, or (with `problems`) the
// error that keeps it from being drawn, which is thrown otherwise.
PanelWindow windowView(const panel::PanelFile& file, const panel::Window& w, const std::string& folder, bool problems) {
    // The background: its bitmap (read here, so that a window that is not
    // drawn may lack one), at the window's size.
    panel::Bitmap bitmap;
    Bitmap pixels;
    std::string why;
    if (w.file) {
        std::string relative = *w.file;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        bitmap.shown = joined(folder, relative);
        if (const std::optional<std::string> b = readFileBytes(bitmap.shown, why)) {
            decodeBmpFile(*b, pixels);
            if (pixels.problem.empty()) bitmap.size = panel::Size{pixels.width, pixels.height};
            else bitmap.failure = "cannot be read: " + pixels.problem;
        } else {
            bitmap.failure = isFile(bitmap.shown) ? "cannot be read: " + why : "is missing";
        }
    }
    PanelWindow window;
    window.number = w.number;
    window.title = w.title.value_or("");
    window.ident = w.ident.value_or("");
    window.visible = w.visible.value_or(true);
    const panel::WindowSize size = file.drawnSize(w, bitmap);
    if (size.problem) {
        if (!problems) throw InputError(size.problem->text());
        window.problem = size.problem->text();
        const bool sized = w.sizeMm && w.sizeMm->height && w.sizeMm->width <= panel::kMaxSize &&
                           *w.sizeMm->height <= panel::kMaxSize;
        window.width = sized ? w.sizeMm->width : 400;
        window.height = sized ? *w.sizeMm->height : 300;
        window.background = filled(window.width, window.height, 0x2A0F0F);
        return window;
    }
    window.width = size.size.width;
    window.height = size.size.height;
    if (bitmap.size) {
        Picture p;
        p.width = pixels.width;
        p.height = pixels.height;
        p.px = std::move(pixels.pixels);
        window.background = resized(p, window.width, window.height);
    } else {
        const panel::Rgb c = w.background.value_or(panel::Rgb{});
        window.background = filled(window.width, window.height, uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | uint32_t(c.b));
    }
    return window;
}

}  // namespace

std::vector<PlacedGauge> placeGauges(const panel::PanelFile& file, const std::string& path,
                                     const std::vector<int>& windows, const PanelOptions& options,
                                     std::vector<std::string>* notes) {
    // The modules: in the panel's folder, then in each folder given.
    panel::ModuleLookup lookup;
    lookup.searched = moduleFolders(path, options.gaugeFolders);
    lookup.find = [&](const std::string& module) { return findModule(lookup.searched, module); };
    lookup.gaugeProblem = options.gaugeProblem;
    std::vector<PlacedGauge> out;
    for (const int number : windows) {
        const panel::Window* w = file.window(number);
        if (!w) continue;
        const panel::ModuleResolution found = file.resolveModules(*w, lookup);
        for (const panel::Diagnostic& d : found.warnings) {
            if (options.strict) throw InputError(d.text());
            if (notes) notes->push_back("gaugehost: warning: " + d.text());
        }
        for (const panel::Gauge& g : w->gauges) {
            PlacedGauge p;
            p.key = gaugeId(w->number, g.key);
            p.number = g.number;
            p.module = g.module;
            p.gauge = g.gauge;
            p.x = g.x;
            p.y = g.y;
            p.width = g.width;
            p.height = g.height;
            p.where = path + ":" + std::to_string(g.line);
            p.window = w->number;
            if (const std::string* module = found.pathOf(g)) {
                wchar_t full[MAX_PATH * 4];
                p.path = GetFullPathNameW(widen(*module).c_str(), MAX_PATH * 4, full, nullptr) ? narrow(full) : *module;
            } else {
                for (const panel::Diagnostic& d : found.warnings)
                    if (d.line == g.line) p.problem = d.message;
            }
            out.push_back(std::move(p));
        }
    }
    return out;
}

PanelView panelView(const panel::PanelFile& file, const std::string& path, const PanelOptions& options) {
    PanelView view;
    view.path = path;
    for (const panel::Diagnostic& d : file.diagnostics()) {
        if (d.level == panel::Level::Error) throw InputError(d.text());
        view.notes.push_back("gaugehost: note: " + d.text());
    }
    const std::string folder = folderOf(path);
    std::vector<int> numbers;
    if (options.everyWindow) {
        if (file.windows().empty()) throw InputError(path + ": no [WindowNN] section");
        for (const panel::Window& w : file.windows()) {
            view.windows.push_back(windowView(file, w, folder, true));
            numbers.push_back(w.number);
        }
    } else {
        const panel::Window& w = *chooseWindow(file, path, options.window);
        view.windows.push_back(windowView(file, w, folder, false));
        numbers.push_back(w.number);
    }
    view.gauges = placeGauges(file, path, numbers, options, &view.notes);
    return view;
}

PanelView readPanelView(const std::string& path, const PanelOptions& options) {
    return panelView(panel::PanelFile::parse(readPanelBytes(path), path), path, options);
}

PanelView modulesView(const std::vector<std::string>& paths) {
    PanelView v;
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string& p = paths[i];
        if (!isFile(p)) throw InputError("cannot open " + p);
        PlacedGauge g;
        char key[16];
        std::snprintf(key, sizeof key, "gauge%02u", unsigned(i));
        g.key = key;
        g.number = int(i);
        g.module = stemOf(fileNameOf(p));
        wchar_t full[MAX_PATH * 4];
        g.path = GetFullPathNameW(widen(p).c_str(), MAX_PATH * 4, full, nullptr) ? narrow(full) : p;
        g.where = p;
        v.gauges.push_back(std::move(g));
    }
    return v;
}

Defaults defaultFolders() {
    auto at = [](const std::string& folder) -> std::optional<Defaults> {
        if (isFolder(folder + "\\dist") && isFile(folder + "\\docs\\panel\\panel.cfg"))
            return Defaults{folder + "\\dist", folder + "\\docs\\panel\\panel.cfg"};
        if (isFolder(folder + "\\Gauges") && isFile(folder + "\\Panel\\panel.cfg"))
            return Defaults{folder + "\\Gauges", folder + "\\Panel\\panel.cfg"};
        return std::nullopt;
    };
    // Shown relative to the current folder when they lie in it.
    wchar_t current[MAX_PATH * 4] = {};
    GetCurrentDirectoryW(MAX_PATH * 4 - 1, current);
    const std::string here = narrow(current);
    auto relative = [&](Defaults d) {
        for (std::string* p : {&d.gauges, &d.panel})
            if (p->size() > here.size() && panel::lower(p->substr(0, here.size())) == panel::lower(here) && (*p)[here.size()] == '\\')
                *p = p->substr(here.size() + 1);
        return d;
    };
    wchar_t self[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH * 4 - 1);
    std::string folder = narrow(self);
    for (int up = 0; up < 6; ++up) {
        const size_t slash = folder.find_last_of("/\\");
        if (slash == std::string::npos) break;
        folder.resize(slash);
        if (const std::optional<Defaults> d = at(folder)) return relative(*d);
    }
    if (const std::optional<Defaults> d = at(here)) return relative(*d);
    return {};
}

// ---- pictures --------------------------------------------------------------------------

namespace {

// Weights of a triangle filter from `src` samples to `dst` samples along
// one axis: for each output sample, the first input sample and its weights.
struct Taps {
    std::vector<int> first;
    std::vector<std::vector<double>> weights;
};

Taps taps(int src, int dst) {
    Taps t;
    const double scale = double(src) / dst;
    const double support = std::max(1.0, scale);   // wider when shrinking: every input counts
    for (int i = 0; i < dst; ++i) {
        const double centre = (i + 0.5) * scale;
        const int lo = std::max(0, int(std::floor(centre - support)));
        const int hi = std::min(src - 1, int(std::ceil(centre + support)));
        std::vector<double> w;
        double sum = 0;
        for (int j = lo; j <= hi; ++j) {
            const double d = std::abs((j + 0.5 - centre) / support);
            const double v = d < 1 ? 1 - d : 0;
            w.push_back(v);
            sum += v;
        }
        if (sum <= 0) {
            w.assign(w.size(), 0);
            w[std::min<size_t>(w.size() - 1, size_t(std::clamp(int(centre), lo, hi) - lo))] = 1;
            sum = 1;
        }
        for (double& v : w) v /= sum;
        t.first.push_back(lo);
        t.weights.push_back(std::move(w));
    }
    return t;
}

}  // namespace

Picture resized(const Picture& p, int width, int height) {
    if (p.width == width && p.height == height) return p;
    Picture out;
    out.width = width;
    out.height = height;
    out.px.resize(size_t(width) * size_t(height));
    if (p.width <= 0 || p.height <= 0) return out;
    if (width % p.width == 0 && height % p.height == 0) {
        // Whole multiples stay crisp, as render --scale draws them.
        const int kx = width / p.width, ky = height / p.height;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) out.px[size_t(y) * width + x] = p.at(x / kx, y / ky);
        return out;
    }
    const Taps tx = taps(p.width, width), ty = taps(p.height, height);
    // Rows first, into channels of doubles, then columns.
    std::vector<double> mid(size_t(width) * p.height * 3);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < width; ++x) {
            double c[3] = {0, 0, 0};
            for (size_t k = 0; k < tx.weights[x].size(); ++k) {
                const uint32_t v = p.at(tx.first[x] + int(k), y);
                const double w = tx.weights[x][k];
                c[0] += w * double((v >> 16) & 0xFF);
                c[1] += w * double((v >> 8) & 0xFF);
                c[2] += w * double(v & 0xFF);
            }
            std::copy(c, c + 3, &mid[(size_t(y) * width + x) * 3]);
        }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double c[3] = {0, 0, 0};
            for (size_t k = 0; k < ty.weights[y].size(); ++k) {
                const double* m = &mid[(size_t(ty.first[y] + int(k)) * width + x) * 3];
                const double w = ty.weights[y][k];
                for (int i = 0; i < 3; ++i) c[i] += w * m[i];
            }
            uint32_t v = 0;
            for (int i = 0; i < 3; ++i) v = v << 8 | uint32_t(std::clamp(std::lround(c[i]), 0L, 255L));
            out.px[size_t(y) * width + x] = v;
        }
    return out;
}

void paste(Picture& dst, const Picture& src, int x, int y) {
    for (int sy = 0; sy < src.height; ++sy) {
        const int dy = y + sy;
        if (dy < 0 || dy >= dst.height) continue;
        for (int sx = 0; sx < src.width; ++sx) {
            const int dx = x + sx;
            if (dx >= 0 && dx < dst.width) dst.px[size_t(dy) * dst.width + dx] = src.at(sx, sy);
        }
    }
}

Picture placeholder(int width, int height, const std::string& name) {
    constexpr uint32_t kBack = 0x303030, kHatch = 0x7A5A20, kBorder = 0xE0B040, kLabel = 0x000000;
    Picture p = filled(width, height, kBack);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool border = x == 0 || y == 0 || x == width - 1 || y == height - 1;
            if (border) p.px[size_t(y) * width + x] = kBorder;
            else if ((x + y) % 8 < 2) p.px[size_t(y) * width + x] = kHatch;
        }
    if (name.empty() || width < 8 || height < 8) return p;
    // The name, in the system's small font on a dark label, drawn by GDI
    // into a copy of the box and cut at its border.
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;   // top-down rows, as Picture's
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP dib = dc ? CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
    if (!dib || !bits) {
        if (dib) DeleteObject(dib);
        if (dc) DeleteDC(dc);
        return p;   // no label where GDI has no room: the hatched box alone
    }
    uint32_t* px = static_cast<uint32_t*>(bits);
    std::copy(p.px.begin(), p.px.end(), px);
    HGDIOBJ oldBitmap = SelectObject(dc, dib);
    HGDIOBJ oldFont = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    const std::wstring text = widen(name);
    RECT measure{0, 0, 0, 0};
    DrawTextW(dc, text.c_str(), int(text.size()), &measure, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    RECT label{3, 3, std::min<LONG>(width - 1, 3 + measure.right + 6), std::min<LONG>(height - 1, 3 + measure.bottom + 2)};
    HBRUSH brush = CreateSolidBrush(RGB(kLabel >> 16, (kLabel >> 8) & 0xFF, kLabel & 0xFF));
    FillRect(dc, &label, brush);
    DeleteObject(brush);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(kBorder >> 16, (kBorder >> 8) & 0xFF, kBorder & 0xFF));
    RECT inside{label.left + 3, label.top + 1, label.right, label.bottom};
    DrawTextW(dc, text.c_str(), int(text.size()), &inside, DT_SINGLELINE | DT_NOPREFIX);
    GdiFlush();
    for (size_t i = 0; i < p.px.size(); ++i) p.px[i] = px[i] & 0xFFFFFF;
    SelectObject(dc, oldFont);
    SelectObject(dc, oldBitmap);
    DeleteObject(dib);
    DeleteDC(dc);
    return p;
}

}  // namespace gaugehost
