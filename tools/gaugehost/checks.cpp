#include "checks.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <tuple>

#include "hostapi/flags.h"
#include "hostapi/service_slots.h"
#include "hostcore/gauge_host.h"
#include "hostcore/guard.h"
#include "hostcore/simenv.h"
#include "supervisor.h"

namespace gaugehost {

// ---- what every check shares ------------------------------------------------------

Effort effortOf(int level) {
    switch (level) {
        case 4: return {1000, 1000, 0.0, 1000, 10.0, 0.0};
        case 5: return {5000, 5000, 60.0, 5000, 30.0, 30.0};
        default: return {200, 100, 0.0, 200, 2.0, 0.0};
    }
}

// A DLL found in the system's folder (or an API set the system resolves).
static bool systemDll(const std::string& name, std::wstring* path) {
    std::string lower = name;
    for (char& ch : lower) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    if (lower.rfind("api-ms-win-", 0) == 0 || lower.rfind("ext-ms-", 0) == 0) {
        if (path) *path = widen(name);
        return true;
    }
    wchar_t sys[MAX_PATH] = {};
    GetSystemDirectoryW(sys, MAX_PATH);
    const std::wstring p = std::wstring(sys) + L"\\" + widen(name);
    if (path) *path = p;
    return GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {

// The simulator's process around a module: the system libraries the module
// imports are already loaded there (the simulator uses them itself), and a
// module that plays sounds meets a DirectSound device of the simulator's
// own. Both stay for the worker's life, so that loading the module again
// and again measures the module, not the first load of a system library
// (which, under Wine, leaves handles behind on every unload of some).
void simulatorProcess(const Gauge& g) {
    bool sound = false;
    for (const std::string& dll : g.importedDlls) {
        if (!systemDll(dll, nullptr)) continue;
        HMODULE h = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, widen(dll).c_str(), &h);
        std::string lower = dll;
        for (char& ch : lower) ch = char(std::tolower(static_cast<unsigned char>(ch)));
        sound = sound || lower == "dsound.dll";
    }
    // Its fonts: the first text a process draws loads them, which under
    // emulation takes seconds that belong to no module call.
    static bool fonts = false;
    if (!fonts) {
        fonts = true;
        heartbeat();
        HDC dc = CreateCompatibleDC(nullptr);
        HFONT font = CreateFontA(12, 0, 0, 0, 500, 0, 0, 0, ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                 NONANTIALIASED_QUALITY, DEFAULT_PITCH, "Arial");
        HGDIOBJ old = SelectObject(dc, font);
        RECT box = {0, 0, 8, 8};
        DrawTextA(dc, "0", 1, &box, DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
        SelectObject(dc, old);
        DeleteObject(font);
        DeleteDC(dc);
        heartbeat();
    }
    static void* device = nullptr;
    if (!sound || device) return;
    typedef HRESULT(WINAPI * Create)(const GUID*, void**, void*);
    const auto create = reinterpret_cast<Create>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"dsound.dll"), "DirectSoundCreate")));
    heartbeat();
    if (create && create(nullptr, &device, nullptr) != 0) device = nullptr;
    heartbeat();
}

}  // namespace

CheckRun::CheckRun(const Options& o, int lvl) : options(o), level(lvl), path(o.module), effort(effortOf(lvl)) {}

CheckRun::~CheckRun() = default;

namespace {
void emit(const char* kind, const std::string& text) {
    const std::string line = "\n@@check-finding " +
                             nlohmann::json{{kind, text}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                             "\n";
    std::fflush(stdout);
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}
}  // namespace

void CheckRun::fail(const std::string& reason) {
    failures.push_back(reason);
    emit("fail", reason);
}
void CheckRun::warn(const std::string& reason) {
    warnings.push_back(reason);
    emit("warn", reason);
}
void CheckRun::note(const std::string& line) {
    notes.push_back(line);
    emit("note", line);
}

std::unique_ptr<LoadedModule> CheckRun::load(bool runEntryPoint) {
    auto m = std::make_unique<LoadedModule>(path, HostedModule::Options{.runEntryPoint = runEntryPoint});
    if (runEntryPoint) {
        simulatorProcess(m->gauge());
        if (!standIn_ && SimulatorStandIn::wanted(m->gauge())) standIn_ = SimulatorStandIn::shared(false);
    }
    return m;
}

namespace {

using namespace hostapi;

// A value as the reasons show it.
std::string num(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    if (v == 0 && std::signbit(v)) return "-0";
    char b[40];
    std::snprintf(b, sizeof b, "%.10g", v);
    return b;
}

std::string ms(double seconds) {
    char b[40];
    if (seconds < 0.001) std::snprintf(b, sizeof b, "%.0f us", seconds * 1e6);
    else if (seconds < 10) std::snprintf(b, sizeof b, "%.1f ms", seconds * 1e3);
    else std::snprintf(b, sizeof b, "%.1f s", seconds);
    return b;
}

double now() {
    LARGE_INTEGER c, f;
    QueryPerformanceCounter(&c);
    QueryPerformanceFrequency(&f);
    return double(c.QuadPart) / double(f.QuadPart);
}

std::string elementName(const Element& e) { return e.label + " (" + kindName(e.kind) + ")"; }

std::string eventName(uint32_t event) {
    if (event == kMouseClick) return "click";
    if (event == kMouseDragLever) return "drag";
    return "event " + hex(event);
}

// Observers run inside module calls: they must never throw through the
// module's frames.
template <typename F> void safely(F f) {
    try {
        f();
    } catch (...) {
    }
}

// The key events a simulator defines are numbered from 0x10000.
constexpr uint32_t kFirstKeyEvent = 0x10000, kLastKeyEvent = 0x1FFFF;
bool plausibleKey(uint32_t id) { return id >= kFirstKeyEvent && id <= kLastKeyEvent; }
std::string keyText(uint32_t id) { return std::to_string(id) + " (" + hex(id) + ")"; }

// ---- level 1: the file, its exports and imports, its records -------------------------

void checkFile(CheckRun& c) {
    HANDLE f = CreateFileW(widen(c.path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return c.fail("cannot open " + c.path + ": " + windowsError(GetLastError()));
    LARGE_INTEGER size = {};
    GetFileSizeEx(f, &size);
    if (size.QuadPart > (256 << 20)) {
        CloseHandle(f);
        return c.fail("the file is " + std::to_string(size.QuadPart >> 20) + " MiB: too large for a gauge module");
    }
    std::vector<uint8_t> d(size_t(size.QuadPart));
    DWORD got = 0;
    const bool read = d.empty() || ReadFile(f, d.data(), DWORD(d.size()), &got, nullptr);
    CloseHandle(f);
    if (!read || got != d.size()) return c.fail("cannot read " + c.path + ": " + windowsError(GetLastError()));
    auto u16 = [&](size_t o) { return uint32_t(d[o] | d[o + 1] << 8); };
    auto u32 = [&](size_t o) { return uint32_t(d[o] | d[o + 1] << 8 | d[o + 2] << 16 | uint32_t(d[o + 3]) << 24); };
    if (d.size() < 0x40 || d[0] != 'M' || d[1] != 'Z') return c.fail("not a PE file: no MZ header at offset 0");
    const uint32_t pe = u32(0x3C);
    if (pe > d.size() || d.size() - pe < 24 + 0x60 || std::memcmp(&d[pe], "PE\0\0", 4) != 0)
        return c.fail("not a PE file: no PE signature at offset " + hex(pe) + " (the MZ header's e_lfanew)");
    const uint32_t machine = u16(pe + 4), sections = u16(pe + 6), optSize = u16(pe + 20), flags = u16(pe + 22);
    if (machine != IMAGE_FILE_MACHINE_I386)
        return c.fail("machine " + hex(machine) + (machine == IMAGE_FILE_MACHINE_AMD64 ? " (x64)" : "") +
                      " at offset " + hex(pe + 4) + ", not i386 (0x14C): the simulator is a 32-bit process");
    const size_t opt = pe + 24;
    const uint32_t magic = u16(opt);
    if (magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC)
        return c.fail("optional header magic " + hex(magic) + " at offset " + hex(uint32_t(opt)) + ", not PE32 (0x10B)");
    if (!(flags & IMAGE_FILE_DLL) || !(flags & IMAGE_FILE_EXECUTABLE_IMAGE))
        return c.fail("characteristics " + hex(flags) + " at offset " + hex(pe + 22) + ": not an executable DLL");
    if (optSize < 0x60 || opt + optSize + size_t(sections) * 40 > d.size())
        return c.fail("the section table at offset " + hex(uint32_t(opt + optSize)) + " runs past the end of the file");
    const uint32_t entry = u32(opt + 16), imageBase = u32(opt + 28), imageSize = u32(opt + 56);
    const uint32_t dirs = u32(opt + 92);
    bool entryInCode = entry == 0;
    std::string wx;
    for (uint32_t i = 0; i < sections; ++i) {
        const size_t s = opt + optSize + 40 * i;
        const std::string name(reinterpret_cast<const char*>(&d[s]), strnlen(reinterpret_cast<const char*>(&d[s]), 8));
        const uint32_t vsize = u32(s + 8), va = u32(s + 12), rawSize = u32(s + 16), raw = u32(s + 20), ch = u32(s + 36);
        if (rawSize && (raw > d.size() || rawSize > d.size() - raw))
            return c.fail("section " + name + ": its " + std::to_string(rawSize) + " bytes at file offset " + hex(raw) +
                          " run past the end of the file (" + std::to_string(d.size()) + " bytes)");
        const uint32_t span = std::max(vsize, rawSize);
        if (entry >= va && entry - va < span && (ch & IMAGE_SCN_MEM_EXECUTE)) entryInCode = true;
        if ((ch & IMAGE_SCN_MEM_EXECUTE) && (ch & IMAGE_SCN_MEM_WRITE)) wx += (wx.empty() ? "" : ", ") + name;
    }
    if (!entryInCode) return c.fail("entry point " + hex(entry) + " lies in no executable section");
    const size_t relocSize = opt + 96 + 8 * IMAGE_DIRECTORY_ENTRY_BASERELOC + 4;
    const bool relocs = dirs > IMAGE_DIRECTORY_ENTRY_BASERELOC && optSize >= relocSize + 4 - opt && u32(relocSize) != 0;
    if (!relocs || (flags & IMAGE_FILE_RELOCS_STRIPPED))
        c.warn("no base relocations: the module loads only at its preferred base " + hex(imageBase) +
               ", which another module of the panel may hold");
    if (!wx.empty()) c.warn("section " + wx + " is both writable and executable");
    c.note("PE32 i386 DLL: " + std::to_string(sections) + " sections, image base " + hex(imageBase) + ", " +
           std::to_string(imageSize) + " bytes mapped");
}

void checkExports(CheckRun& c) {
    auto mod = std::make_unique<ModuleImage>(c.path, false);
    const ModuleImage& m = *mod;
    const uint32_t linkage = m.exportAddress("Linkage"), imports = m.exportAddress("ImportTable");
    if (!linkage) c.fail("the module exports no record named Linkage");
    if (!imports) c.fail("the module exports no record named ImportTable");
    if (!linkage || !imports) return;
    if (!m.readable(linkage, sizeof(Linkage))) c.fail("Linkage at " + m.where(linkage) + " is not " + std::to_string(sizeof(Linkage)) + " bytes of the module's data");
    else if (m.code(linkage)) c.warn("Linkage at " + m.where(linkage) + " lies in code, not data");
    if (!m.writable(imports, sizeof(ImportTable)))
        return c.fail("ImportTable at " + m.where(imports) +
                      " is not 16 bytes of writable data: the host stores its service table pointer at +0x4");
    const auto t = m.read<ImportTable>(imports, "ImportTable");
    if (t.importId != kImportId) c.warn("ImportTable at " + m.where(imports) + ": import id " + hex(t.importId) + ", not 0xF");
    uint32_t services;
    std::memcpy(&services, &t.services, 4);
    if (services) c.warn("ImportTable +0x4 holds " + hex(services) + " before the host fills it");
    c.note("Linkage at " + m.where(linkage) + ", ImportTable at " + m.where(imports));
}

void checkImports(CheckRun& c) {
    auto mod = std::make_unique<ModuleImage>(c.path, false);
    const ModuleImage& m = *mod;
    const uint32_t base = m.base();
    const auto dos = m.read<IMAGE_DOS_HEADER>(base, "DOS header");
    const auto nt = m.read<IMAGE_NT_HEADERS32>(base + uint32_t(dos.e_lfanew), "PE header");
    const IMAGE_DATA_DIRECTORY dir = nt.OptionalHeader.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_IMPORT
                                         ? nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT]
                                         : IMAGE_DATA_DIRECTORY{0, 0};
    std::wstring folder = widen(c.path);
    {
        wchar_t full[MAX_PATH * 4] = {};
        if (GetFullPathNameW(folder.c_str(), MAX_PATH * 4, full, nullptr)) folder = full;
        const size_t slash = folder.find_last_of(L"\\/");
        folder = slash == std::wstring::npos ? L"." : folder.substr(0, slash);
    }
    std::string listed;
    for (uint32_t i = 0; dir.VirtualAddress && i < 256; ++i) {
        const auto desc = m.read<IMAGE_IMPORT_DESCRIPTOR>(
            base + dir.VirtualAddress + i * uint32_t(sizeof(IMAGE_IMPORT_DESCRIPTOR)), "import directory");
        if (desc.Name == 0) break;
        const std::string dll = m.text(base + desc.Name, 256, "import directory name");
        // The functions, by name or ordinal.
        std::vector<std::string> names;
        std::vector<uint32_t> ordinals;
        const uint32_t thunks = desc.OriginalFirstThunk ? desc.OriginalFirstThunk : desc.FirstThunk;
        for (uint32_t k = 0; thunks && k < 65536; ++k) {
            const uint32_t t = m.u32(base + thunks + 4 * k, "import name table of " + dll);
            if (t == 0) break;
            if (t & IMAGE_ORDINAL_FLAG32) ordinals.push_back(t & 0xFFFF);
            else names.push_back(m.text(base + t + 2, 512, "imported name from " + dll));
        }
        listed += (listed.empty() ? "" : ", ") + dll + " (" + std::to_string(names.size() + ordinals.size()) + ")";
        std::wstring systemPath;
        const bool system = systemDll(dll, &systemPath);
        if (!system) {
            if (GetFileAttributesW((folder + L"\\" + widen(dll)).c_str()) != INVALID_FILE_ATTRIBUTES)
                c.warn("imports " + dll + ", which is not a system DLL: the panel maker must ship it beside the module");
            else
                c.fail("imports " + dll + ", which is neither a system DLL nor beside the module: the simulator cannot load it");
            continue;
        }
        // A system library is loaded to look its exports up (its own code
        // runs, the module's does not), and stays, as in the simulator.
        HMODULE h = LoadLibraryExW(systemPath.c_str(), nullptr, 0);
        if (!h) {
            c.fail("imports " + dll + ", which does not load here: " + windowsError(GetLastError()));
            continue;
        }
        for (const std::string& n : names)
            if (!GetProcAddress(h, n.c_str())) c.fail("imports " + dll + "!" + n + ", which this system's " + dll + " does not export");
        for (uint32_t o : ordinals)
            if (!GetProcAddress(h, MAKEINTRESOURCEA(o)))
                c.fail("imports " + dll + " ordinal " + std::to_string(o) + ", which this system's " + dll + " does not export");
    }
    c.note("imports " + (listed.empty() ? std::string("nothing") : listed));
}

// Level 1 reads the records as the file holds them (mapped, no code run);
// from level 2 on the module is loaded as the simulator loads it.
std::unique_ptr<LoadedModule> recordsImage(CheckRun& c) {
    auto mod = c.load(c.level >= 2);
    c.note(c.level >= 2 ? "records read after the module loaded as the simulator loads it (its entry point ran)"
                        : "records read from the image as mapped, without running its entry point");
    return mod;
}

void checkRecords(CheckRun& c) {
    if (c.level < 2)
        c.note("a module that builds its records in its entry point fails here, and passes from level 2 on "
               "(see entry-point)");
    auto mod = recordsImage(c);
    const ModuleImage& m = mod->image();
    const Gauge& g = mod->gauge();
    if (g.headers.size() > 1)
        c.warn("Linkage lists " + std::to_string(g.headers.size()) + " gauges; the host checks the first only");
    if (g.version == kHeaderVersion610 && (g.mouseListPtr || g.callback))
        c.warn("GaugeHeader at " + m.where(g.header) + ": a version-610 header holds a mouse list or callback at +0x50/+0x54");
    if (g.version == kHeaderVersion800)
        for (int i = 0; i < 7; ++i)
            if (g.routines[i])
                c.warn("GaugeHeader at " + m.where(g.header) + ": a version-800 header names a " + kRoutineNames[i]);
    std::vector<MouseEntry> mouse;
    if (g.version == kHeaderVersion800 && g.mouseListPtr) mouse = readMouseList(m, g.mouseListPtr);
    const Bitmap* bg = m.bitmap(g.elements[0].bitmap);
    for (const Element& e : g.elements) {
        const std::string E = elementName(e) + " at " + m.where(e.addr);
        if (e.kind == kSlider) {
            if (!std::isfinite(e.xScale)) c.fail(E + ": x scale is " + num(e.xScale));
            if (!std::isfinite(e.yScale)) c.fail(E + ": y scale is " + num(e.yScale));
        }
        if (e.failureList && !m.readable(e.failureList, sizeof(FailureEntry)))
            c.fail(E + ": failure list pointer " + hex(e.failureList) + " is not 12 bytes of the module's data");
        if (std::abs(int64_t(e.x)) > 8192 || std::abs(int64_t(e.y)) > 8192)
            c.warn(E + ": position (" + std::to_string(e.x) + ", " + std::to_string(e.y) + ") lies far off the gauge");
        if (e.kind == kNeedle)
            for (const NeedlePoint& p : e.points)
                if (!std::isfinite(p.value)) c.warn(E + ": point table holds the value " + num(p.value));
    }
    for (size_t i = 0; i < mouse.size(); ++i) {
        const MouseEntry& r = mouse[i];
        if (r.type != kMouseChild) continue;
        const std::string R = "mouse list entry " + std::to_string(i + 1) + " at " + m.where(r.addr);
        if (!r.handler) c.warn(R + ": a child rectangle without a handler");
        if (!r.mask) c.warn(R + ": a child rectangle whose event mask is empty");
        if (r.w == 0 || r.h == 0) c.warn(R + ": an empty rectangle");
        if (bg && (r.x >= bg->width || r.y >= bg->height || int64_t(r.x) + r.w <= 0 || int64_t(r.y) + r.h <= 0))
            c.warn(R + ": the rectangle lies outside the background");
    }
    c.note("header version " + std::to_string(g.version) + ", gauge \"" + g.name + "\", " +
           std::to_string(g.elements.size()) + " elements" +
           (g.version == kHeaderVersion800 ? ", " + std::to_string(mouse.size()) + " mouse list entries" : ""));
}

void checkBitmaps(CheckRun& c) {
    auto mod = recordsImage(c);
    const ModuleImage& m = mod->image();
    const Gauge& g = mod->gauge();
    std::set<uint32_t> used;
    const Bitmap* bg = m.bitmap(g.elements[0].bitmap);
    for (const Element& e : g.elements) {
        if (e.kind == kString) continue;
        const std::string E = elementName(e);
        const uint32_t images = e.kind == kIcon ? e.imageCount : 1;
        auto it = m.bitmaps().lower_bound(e.bitmap);
        for (uint32_t k = 0; k < images; ++k, ++it) {
            // Image k of an icon is the k-th bitmap resource at or above its first id.
            if (it == m.bitmaps().end() || (k == 0 && it->first != e.bitmap)) {
                c.fail(E + " names bitmap " + std::to_string(e.bitmap) +
                       (k == 0 ? ", which is not a resource of the module"
                               : " with " + std::to_string(images) + " images, but only " + std::to_string(k) +
                                     " bitmap resources lie at or above it"));
                break;
            }
            const Bitmap& b = it->second;
            used.insert(b.id);
            if (!b.problem.empty()) c.fail(E + ": bitmap " + std::to_string(b.id) + " is unusable: " + b.problem);
            else if (b.width > 4096 || b.height > 4096)
                c.warn(E + ": bitmap " + std::to_string(b.id) + " is " + std::to_string(b.width) + " x " +
                       std::to_string(b.height) + ", larger than a panel");
            else if (bg && &e != &g.elements[0] &&
                     (e.x >= bg->width || e.y >= bg->height || e.x + b.width <= 0 || e.y + b.height <= 0) &&
                     e.kind != kSlider && e.kind != kNeedle)
                c.warn(E + ": bitmap " + std::to_string(b.id) + " at (" + std::to_string(e.x) + ", " +
                       std::to_string(e.y) + ") lies outside the background");
        }
    }
    c.note(std::to_string(m.bitmaps().size()) + " bitmap resources, " + std::to_string(used.size()) +
           " drawn by the elements");
}

// ---- level 2: loading, the lifecycle, the calling convention, services -------------

// The bytes of every record the host reads: (address, size, name).
struct Span {
    uint32_t addr, size;
    std::string name;
};
std::vector<Span> recordSpans(const ModuleImage& m, const Gauge& g) {
    std::vector<Span> s;
    s.push_back({g.linkage, uint32_t(offsetof(Linkage, gauges) + 4 * (g.headers.size() + 1)), "Linkage"});
    s.push_back({g.header, sizeof(GaugeHeader), "GaugeHeader"});
    s.push_back({g.rootSlot, 4, "root element slot"});
    for (const Element& e : g.elements) {
        s.push_back({e.addr, elementSize(e.kind, g.version), e.label});
        if (e.childList) s.push_back({e.childList, uint32_t(4 * (e.children.size() + 1)), e.label + " child list"});
        if (e.pointTable) s.push_back({e.pointTable, uint32_t(sizeof(PointEntry) * e.points.size()), e.label + " point table"});
    }
    if (g.version == kHeaderVersion800 && g.mouseListPtr)
        s.push_back({g.mouseListPtr, uint32_t(sizeof(MouseRect) * readMouseList(m, g.mouseListPtr).size()), "mouse list"});
    return s;
}

void checkEntryPoint(CheckRun& c) {
    // The image as the file holds it, mapped without running anything.
    std::vector<uint8_t> bytes;
    uint32_t unrunBase = 0;
    std::string unrunRecords;
    {
        ModuleImage m(c.path, false);
        unrunBase = m.base();
        bytes.assign(m.size(), 0);
        for (uint32_t p = 0; p < m.size(); p += 4096) {
            const uint32_t n = std::min<uint32_t>(4096, m.size() - p);
            if (m.readable(m.base() + p, n)) std::memcpy(&bytes[p], reinterpret_cast<const void*>(uintptr_t(m.base() + p)), n);
        }
        try {
            Gauge g = readGauge(m, c.path);
            readElements(m, g);
        } catch (const ModuleError& e) {
            unrunRecords = e.what();
        }
    }
    double t = now();
    auto mod = c.load(true);
    const double loadTime = now() - t;
    const ModuleImage& m = mod->image();
    if (!unrunRecords.empty()) {
        c.warn("the gauge's records exist only once the entry point has run (read without it: " + unrunRecords + ")");
    } else if (m.base() == unrunBase) {
        std::string changed;
        for (const Span& s : recordSpans(m, mod->gauge())) {
            const uint32_t r = s.addr - m.base();
            if (r >= bytes.size() || s.size > bytes.size() - r) continue;
            if (std::memcmp(&bytes[r], reinterpret_cast<const void*>(uintptr_t(s.addr)), s.size) != 0)
                changed += (changed.empty() ? "" : ", ") + s.name + " at " + m.where(s.addr);
        }
        if (!changed.empty())
            c.warn("the entry point writes the gauge's records (" + changed +
                   "): they are not the file's static data");
    } else {
        c.note("mapped at " + hex(m.base()) + " with its entry point and at " + hex(unrunBase) +
               " without: records not compared");
    }
    t = now();
    mod.reset();
    c.note("loaded in " + ms(loadTime) + " (entry point included), unloaded in " + ms(now() - t));
}

// Calls each child rectangle's handler once, at its centre, with the first
// event of its mask.
void callEachHandler(GaugeHost& h) {
    if (!h.mouseActive()) return;
    const std::vector<MouseEntry> list = h.mouseList();
    for (size_t i = 0; i < list.size(); ++i) {
        const MouseEntry& e = list[i];
        if (e.type != kMouseChild || !e.handler || !e.mask) continue;
        const uint32_t event = e.mask & (~e.mask + 1);
        h.handleMouse(i, e.x + int32_t(e.w / 2), e.y + int32_t(e.h / 2), event);
    }
}

// The lifecycle of the header's version twice in one load, then once more
// after a reload: `prepare` readies each host before it starts, `after`
// sees it once it stopped. With `handlers`, each mouse handler is called
// once while the gauge is installed.
void lifecycles(CheckRun& c, bool handlers, const std::function<void(GaugeHost&, LoadedModule&, int)>& prepare,
                const std::function<void(GaugeHost&, LoadedModule&, int)>& after) {
    int n = 0;
    for (int load = 0; load < 2; ++load) {
        auto mod = c.load(true);
        for (int run = 0; run < (load == 0 ? 2 : 1); ++run) {
            ++n;
            GaugeHost& h = mod->rehost();
            if (prepare) prepare(h, *mod, n);
            h.start();
            for (int f = 0; f < 3; ++f) h.frame();
            h.draw();
            if (handlers) callEachHandler(h);
            h.stop();
            if (after) after(h, *mod, n);
            try {
                Gauge again = readGauge(mod->image(), c.path);
                readElements(mod->image(), again);
            } catch (const ModuleError& e) {
                throw ModuleError("after lifecycle " + std::to_string(n) + " the records no longer read: " + e.what());
            }
        }
    }
}

void checkLifecycle(CheckRun& c) {
    int calls = 0;
    std::vector<KeyEvent> keys;
    std::set<std::string> warned;
    lifecycles(
        c, false,
        [&](GaugeHost& h, LoadedModule&, int) { h.onCall = [&](const std::string&, const CallBreach&, double) { ++calls; }; },
        [&](GaugeHost& h, LoadedModule&, int n) {
            for (const std::string& w : h.warnings)
                if (w.find("broke the calling convention") == std::string::npos && warned.insert(w).second)
                    c.warn("lifecycle " + std::to_string(n) + ": " + w);
            keys.insert(keys.end(), h.keys.begin(), h.keys.end());
        });
    std::string k;
    for (const KeyEvent& e : keys) k += " " + std::to_string(e.id) + "(" + std::to_string(e.param) + ")";
    c.note("3 lifecycles (2 in one load, 1 after a reload), " + std::to_string(calls) + " calls into the module" +
           (k.empty() ? "" : "; key events sent:" + k));
}

// Both halves of the calling convention, each its own check.
void conventionCheck(CheckRun& c, bool stack) {
    std::map<std::string, std::string> broken;   // routine -> what it did
    std::set<std::string> routines;
    int calls = 0;
    lifecycles(
        c, true,
        [&](GaugeHost& h, LoadedModule&, int) {
            h.onCall = [&](const std::string& what, const CallBreach& b, double) {
                ++calls;
                // "element 3 value routine", "mouse handler of entry 2": the routine, whatever the call
                routines.insert(what);
                CallBreach part = b;
                if (stack) part.registers.clear();
                else part.stackSkew = 0;
                if (part.any() && !broken.count(what)) broken[what] = part.describe();
            };
        },
        nullptr);
    for (const auto& [what, how] : broken) c.fail(what + " " + how);
    c.note(std::to_string(calls) + " calls into " + std::to_string(routines.size()) + " routines" +
           (stack ? ", each checked for the bytes it removes from the stack"
                  : ", each checked for ebx, esi, edi and ebp"));
}
void checkStackBalance(CheckRun& c) { conventionCheck(c, true); }
void checkCalleeSaved(CheckRun& c) { conventionCheck(c, false); }

void checkServices(CheckRun& c) {
    std::map<unsigned, int> counts;
    std::set<std::string> seen;
    lifecycles(
        c, true,
        [&](GaugeHost& h, LoadedModule& mod, int) {
            h.onService = [&, loaded = &mod, registered = uint32_t(0)](unsigned slot, const uint32_t* a,
                                                                          const std::string& during) mutable {
                const ModuleImage& m = loaded->image();
                const Gauge& g = loaded->gauge();
                safely([&] {
                    ++counts[slot];
                    const std::string S = std::string(serviceName(slot)) + " (service " + std::to_string(slot) +
                                          ") from " + (during.empty() ? "the host" : during);
                    auto once = [&](bool failure, const std::string& why) {
                        if (!seen.insert(S + why).second) return;
                        failure ? c.fail(S + ": " + why) : c.warn(S + ": " + why);
                    };
                    if (g.version == kHeaderVersion800 && slot != kSendKeyEvent && slot != kRefreshModuleVar)
                        once(true, "a version-800 gauge's elements, mouse list and variables are the host's to install");
                    auto element = [&](uint32_t p) {
                        for (const Element& e : g.elements)
                            if (e.addr == p) {
                                if (&e != &g.elements[0]) once(false, "passes " + e.label + ", not the root element");
                                return;
                            }
                        once(true, m.offset(p) + " is not an element of the gauge");
                    };
                    switch (slot) {
                        case kQueryElements: case kInstallElements: case kInitializeElements: case kUpdateElements:
                        case kGenerateElements: case kDrawElements: case kReleaseElements:
                            element(a[0]);
                            break;
                        case kRegisterMouseRects: {
                            registered = a[0];
                            if (a[1] != g.header) once(true, m.offset(a[1]) + " is not the gauge's header");
                            const uint32_t rec = m.u32(g.elements[0].imageSlot(), "root element");
                            if (!rec || a[2] != rec + offsetof(HostImageRecord, drawnWidth))
                                once(true, "the size argument " + m.offset(a[2]) +
                                               " is not the drawn width/height of the installed background");
                            break;
                        }
                        case kAttachMouseRects: case kReleaseMouseRects:
                            if (a[0] != registered) once(true, "the list " + m.offset(a[0]) + " is not the registered one");
                            if (a[1] != g.header) once(true, m.offset(a[1]) + " is not the gauge's header");
                            break;
                        case kSendKeyEvent:
                            if (!plausibleKey(a[0]))
                                once(true, "key event " + keyText(a[0]) + " lies outside 0x10000 to 0x1FFFF");
                            break;
                        case kInitializeModuleVar: case kRefreshModuleVar:
                            if (!m.writable(a[0], sizeof(ModuleVar)))
                                once(true, m.offset(a[0]) + " is not a ModuleVar in the module's writable data");
                            else if (m.read<ModuleVar>(a[0], "ModuleVar").id == 0)
                                once(false, "the ModuleVar at " + m.offset(a[0]) + " names no variable (id 0)");
                            break;
                        default:
                            break;
                    }
                });
            };
        },
        nullptr);
    std::string list;
    for (auto [slot, n] : counts)
        list += (list.empty() ? "" : ", ") + std::to_string(slot) + " " + serviceName(slot) + " x" + std::to_string(n);
    c.note("services called over 3 lifecycles: " + (list.empty() ? std::string("none") : list));
}

void checkRegistrations(CheckRun& c) {
    struct Ledger {
        int installs = 0, releases = 0, registers = 0, mouseReleases = 0;
        std::map<uint32_t, int> bound;   // ModuleVar address -> times bound (service 38)
        uint32_t list = 0;
    };
    std::vector<Ledger> ledgers(4);
    lifecycles(
        c, false,
        [&](GaugeHost& h, LoadedModule&, int n) {
            h.onService = [l = &ledgers[size_t(n)]](unsigned slot, const uint32_t* a, const std::string&) {
                safely([&] {
                    if (slot == kInstallElements) ++l->installs;
                    if (slot == kReleaseElements) ++l->releases;
                    if (slot == kRegisterMouseRects) ++l->registers, l->list = a[0];
                    if (slot == kReleaseMouseRects) ++l->mouseReleases;
                    if (slot == kInitializeModuleVar) ++l->bound[a[0]];
                });
            };
        },
        [&](GaugeHost& h, LoadedModule& mod, int n) {
            const Ledger& l = ledgers[size_t(n)];
            const ModuleImage& m = mod.image();
            const std::string L = "lifecycle " + std::to_string(n) + ": ";
            if (l.installs != l.releases)
                c.fail(L + "the element tree was installed " + std::to_string(l.installs) + " times (service 25) and released " +
                       std::to_string(l.releases) + " times (service 31)");
            if (h.mouseActive())
                c.fail(L + "the mouse list at " + m.offset(l.list) + " registered by installRoutine is still attached after " +
                       "killRoutine (no releaseMouseRects, service 34)");
            else if (l.registers != l.mouseReleases)
                c.fail(L + "the mouse list was registered " + std::to_string(l.registers) + " times (service 32) and released " +
                       std::to_string(l.mouseReleases) + " times (service 34)");
            for (auto [addr, times] : l.bound)
                if (times > 1)
                    c.fail(L + "the ModuleVar at " + m.offset(addr) + " was bound " + std::to_string(times) +
                           " times (service 38)");
            if (n == 2 && ledgers[2].bound.size() > ledgers[1].bound.size())
                c.fail("lifecycle 2 bound " + std::to_string(ledgers[2].bound.size()) + " module variables, lifecycle 1 " +
                       std::to_string(ledgers[1].bound.size()) + ": each lifecycle binds more");
        });
    const Ledger& l = ledgers[1];
    c.note("each lifecycle: element tree installed " + std::to_string(l.installs) + ", released " +
           std::to_string(l.releases) + "; mouse list registered " + std::to_string(l.registers) + ", released " +
           std::to_string(l.mouseReleases) + "; module variables bound " + std::to_string(l.bound.size()));
}

// ---- level 3: values, mouse, repetition, cost ------------------------------------------

// A loaded gauge, started, over which rounds of variable values are played.
class ValueRig {
public:
    explicit ValueRig(CheckRun& c) : c_(c), mod_(c.load(true)), h_(mod_->host()) {
        h_.start();
        h_.frame();
        const Gauge& g = mod_->gauge();
        std::set<uint32_t> ids;
        for (const Element& e : g.elements)
            for (const VarRef* v : {&e.var, &e.xVar})
                if (v->id) ids.insert(v->id);
        for (uint32_t a : h_.moduleVars) {
            const uint32_t id = mod_->image().read<ModuleVar>(a, "ModuleVar").id;
            if (id) ids.insert(id);
        }
        vars.assign(ids.begin(), ids.end());
    }
    ~ValueRig() {
        if (!stopped_) safely([&] { h_.stop(); });
    }

    std::vector<uint32_t> vars;
    int rounds = 0;

    // Sets `values` (every other variable 0), runs a frame and draws, and
    // checks what the gauge made of them. Returns false once the module
    // faulted or misbehaved so that the check cannot go on.
    bool round(const std::vector<std::pair<uint32_t, double>>& values, const std::string& what, bool picture) {
        ++rounds;
        for (uint32_t v : vars) h_.sim.setVar(v, 0.0);
        bool finite = true;
        for (auto [id, v] : values) {
            h_.sim.setVar(id, v);
            finite = finite && std::isfinite(v);
        }
        try {
            h_.frame();
            if (picture) h_.draw();
            else h_.evaluate();
        } catch (const ModuleError& e) {
            c_.fail(std::string(e.what()) + " (with " + what + ")");
            stopped_ = true;
            return false;
        }
        const ModuleImage& m = mod_->image();
        const Gauge& g = mod_->gauge();
        for (size_t i = 0; i < g.elements.size(); ++i) {
            const Element& e = g.elements[i];
            const double v = i < h_.drawnValues.size() ? h_.drawnValues[i] : 0.0;
            const std::string E = elementName(e);
            const std::string R = e.routine ? E + " value routine" : E;
            if (e.kind == kString) {
                const TextBuffer* t = h_.textBuffer(i);
                if (t && !t->terminated())
                    once(true, E + ":text", R + " left its text unterminated within the " + std::to_string(TextBuffer::kCapacity) +
                                      "-byte buffer", what);
            } else if (e.kind == kNeedle) {
                double tx = 0, ty = 0;
                needleTarget(e.points, v, tx, ty);
                if (finite && !std::isfinite(v)) once(true, E + ":value", R + " gave the needle the value " + num(v), what);
                else if (!std::isfinite(tx) || !std::isfinite(ty))
                    once(true, E + ":target", R + " points the needle at (" + num(tx) + ", " + num(ty) + ")", what);
            } else if (e.kind == kSlider) {
                for (const auto& [ref, scale, axis] : {std::tuple{&e.xVar, e.xScale, "x"}, std::tuple{&e.var, e.yScale, "y"}}) {
                    if (!ref->id) continue;
                    const double value = m.read<ModuleVar>(ref->addr, E).value;
                    if (std::isfinite(value) && !std::isfinite(value * scale))
                        once(true, E + ":" + axis, E + " moves to an infinite " + axis + " position (value " + num(value) + " x scale " +
                                          num(scale) + ")", what);
                }
            } else if (e.kind == kIcon && e.routine) {
                // The host holds an icon's value within its images: noted, not a fault.
                if (!(v >= 0 && v < e.imageCount && v == std::floor(v)) && iconNoted_.insert(i).second)
                    c_.note(R + " returned " + num(v) + ", not an image index 0 to " + std::to_string(e.imageCount - 1) +
                            " (with " + what + "); the host holds it within the icon's images");
            }
        }
        return true;
    }

private:
    // Each finding once per element and kind (`key`); the first values that
    // gave it are in the reason.
    void once(bool failure, const std::string& key, const std::string& reason, const std::string& what) {
        if (!seen_.insert(key).second) return;
        failure ? c_.fail(reason + " (with " + what + ")") : c_.warn(reason + " (with " + what + ")");
    }

    CheckRun& c_;
    std::unique_ptr<LoadedModule> mod_;
    GaugeHost& h_;
    std::set<std::string> seen_;
    std::set<size_t> iconNoted_;
    bool stopped_ = false;
};

const std::pair<const char*, double> kHostileValues[] = {
    {"NaN", std::nan("")},
    {"inf", HUGE_VAL},
    {"-inf", -HUGE_VAL},
    {"-0", -0.0},
    {"1e308", 1e308},
    {"-1e308", -1e308},
    {"FLT_MAX", double(FLT_MAX)},
    {"-FLT_MAX", -double(FLT_MAX)},
    {"FLT_MIN", double(FLT_MIN)},
    {"INT32_MAX", double(INT_MAX)},
    {"INT32_MIN", double(INT_MIN)},
    {"UINT32_MAX", 4294967295.0},
    {"denormal", 4.9406564584124654e-324},
    {"-denormal", -4.9406564584124654e-324},
    {"float denormal", 1.4012984643248171e-45},
};

void checkHostileValues(CheckRun& c) {
    ValueRig rig(c);
    for (uint32_t id : rig.vars)
        for (auto [name, v] : kHostileValues)
            if (!rig.round({{id, v}}, "var " + std::to_string(id) + " = " + name, false)) return;
    for (auto [name, v] : kHostileValues) {
        std::vector<std::pair<uint32_t, double>> all;
        for (uint32_t id : rig.vars) all.emplace_back(id, v);
        if (!all.empty() && !rig.round(all, std::string("every variable = ") + name, true)) return;
    }
    c.note(std::to_string(rig.vars.size()) + " variables read, " + std::to_string(std::size(kHostileValues)) +
           " hostile values each and all at once: " + std::to_string(rig.rounds) + " frames (" +
           std::to_string(rig.vars.empty() ? 0 : std::size(kHostileValues)) + " drawn)");
}

// A random value of one of several kinds: small whole numbers, ordinary
// ranges, powers of ten, and any bit pattern of a double.
double randomValue(std::mt19937& r) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    switch (r() % 7) {
        case 0: return double(int(r() % 13) - 2);
        case 1: return unit(r) * 2 - 1;
        case 2: return unit(r) * 200 - 100;
        case 3: return unit(r) * 110000 - 10000;
        case 4: return (r() & 1 ? -1 : 1) * std::pow(10.0, unit(r) * 20 - 10);
        case 5: {
            const uint64_t bits = (uint64_t(r()) << 32) | r();
            double d;
            std::memcpy(&d, &bits, 8);
            return d;
        }
        default: return unit(r) * 1e6;
    }
}

void checkRandomValues(CheckRun& c) {
    ValueRig rig(c);
    std::mt19937 r(c.options.seed);
    const double start = now();
    for (int i = 0; (i < c.effort.randomRounds || now() - start < c.effort.soakSeconds) && !rig.vars.empty(); ++i) {
        std::vector<std::pair<uint32_t, double>> values;
        std::string shown;
        for (uint32_t id : rig.vars) {
            values.emplace_back(id, randomValue(r));
            if (values.size() <= 4) shown += (shown.empty() ? "" : ", ") + ("var " + std::to_string(id) + " = " + num(values.back().second));
        }
        if (values.size() > 4) shown += ", ...";
        if (!rig.round(values, "round " + std::to_string(i + 1) + " of seed " + std::to_string(c.options.seed) + ": " + shown,
                       i % 10 == 0))
            return;
    }
    c.note(std::to_string(rig.rounds) + " rounds of random values for " + std::to_string(rig.vars.size()) +
           " variables (seed " + std::to_string(c.options.seed) + ")");
}

void checkMouse(CheckRun& c) {
    auto mod = c.load(true);
    GaugeHost& h = mod->rehost();
    std::map<std::string, std::string> broken;
    std::string current;
    h.onCall = [&](const std::string& what, const CallBreach& b, double) {
        if (what.rfind("mouse handler", 0) == 0 && b.any() && !broken.count(current)) broken[current] = b.describe();
    };
    h.start();
    h.frame();
    if (!h.mouseActive()) {
        c.note("no mouse list is attached");
        h.stop();
        return;
    }
    const std::vector<MouseEntry> list = h.mouseList();
    int handlers = 0, calls = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        const MouseEntry& e = list[i];
        if (e.type != kMouseChild || !e.handler || !e.mask || e.w == 0 || e.h == 0) continue;
        ++handlers;
        const int32_t x0 = e.x, y0 = e.y, x1 = e.x + int32_t(e.w) - 1, y1 = e.y + int32_t(e.h) - 1;
        const int32_t xm = e.x + int32_t(e.w / 2), ym = e.y + int32_t(e.h / 2);
        std::vector<std::pair<int32_t, int32_t>> points = {{x0, y0}, {xm, y0}, {x1, y0}, {x0, ym}, {xm, ym},
                                                           {x1, ym}, {x0, y1}, {xm, y1}, {x1, y1}};
        std::sort(points.begin(), points.end());
        points.erase(std::unique(points.begin(), points.end()), points.end());
        const std::string entry = "mouse handler of entry " + std::to_string(i + 1) + " (" + std::to_string(e.x) + ", " +
                                  std::to_string(e.y) + ", " + std::to_string(e.w) + ", " + std::to_string(e.h) + ")";
        for (int bit = 31; bit >= 0; --bit) {
            const uint32_t event = uint32_t(1) << bit;
            if (!(e.mask & event)) continue;
            std::map<uint32_t, std::pair<int32_t, int32_t>> sent;   // id -> parameter range
            std::map<uint32_t, int> times;
            for (auto [x, y] : points) {
                const std::string at = entry + ", " + eventName(event) + " at (" + std::to_string(x) + ", " + std::to_string(y) + ")";
                current = at;
                const size_t before = h.keys.size();
                int32_t result;
                try {
                    result = h.handleMouse(i, x, y, event);
                    ++calls;
                    h.frame();
                } catch (const ModuleError& err) {
                    c.fail(std::string(err.what()) + " (" + eventName(event) + " at (" + std::to_string(x) + ", " +
                           std::to_string(y) + "))");
                    return;
                }
                if (result != 0) c.warn(at + " returned " + std::to_string(result) + " (handlers return 0)");
                for (size_t k = before; k < h.keys.size(); ++k) {
                    const KeyEvent& ke = h.keys[k];
                    if (!plausibleKey(ke.id) && !times.count(ke.id))
                        c.fail(at + " sent key event " + keyText(ke.id) + ", outside 0x10000 to 0x1FFFF");
                    auto [it, fresh] = sent.try_emplace(ke.id, ke.param, ke.param);
                    if (!fresh) it->second = {std::min(it->second.first, ke.param), std::max(it->second.second, ke.param)};
                    ++times[ke.id];
                }
            }
            std::string account;
            for (auto [id, range] : sent)
                account += (account.empty() ? "" : ", ") + std::to_string(id) + " (" + std::to_string(range.first) +
                           (range.first != range.second ? " to " + std::to_string(range.second) : "") + ") x" +
                           std::to_string(times[id]);
            c.note(entry + " " + eventName(event) + " at " + std::to_string(points.size()) + " points: " +
                   (account.empty() ? "sends no key event" : "sends key event " + account));
        }
    }
    for (auto [at, how] : broken) c.fail(at + " " + how);
    h.stop();
    c.note(std::to_string(handlers) + " handlers, " + std::to_string(calls) + " calls");
}

// ---- the worker's use of the system -------------------------------------------------

struct Usage {
    double privateBytes = 0;
    long handles = -1, gdi = -1;
};

// Private bytes as Windows counts them; where the system gives none (Wine),
// the committed private memory of the address space.
double privateBytes(std::string& how) {
    typedef BOOL(WINAPI * Pmi)(HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD);
    static Pmi pmi = reinterpret_cast<Pmi>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "K32GetProcessMemoryInfo")));
    PROCESS_MEMORY_COUNTERS_EX pm = {};
    pm.cb = sizeof pm;
    if (pmi && pmi(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pm), sizeof pm) && pm.PrivateUsage) {
        how = "GetProcessMemoryInfo";
        return double(pm.PrivateUsage);
    }
    how = "committed private memory";
    double sum = 0;
    MEMORY_BASIC_INFORMATION m;
    for (uintptr_t a = 0; VirtualQuery(reinterpret_cast<void*>(a), &m, sizeof m);) {
        if (m.State == MEM_COMMIT && m.Type == MEM_PRIVATE) sum += double(m.RegionSize);
        const uintptr_t next = uintptr_t(m.BaseAddress) + m.RegionSize;
        if (next <= a) break;
        a = next;
    }
    return sum;
}

// Open handles: GetProcessHandleCount, or the system's handle list where
// that gives nothing (Wine).
long handleCount() {
    DWORD n = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &n) && n) return long(n);
    typedef LONG(WINAPI * Nqsi)(ULONG, void*, ULONG, ULONG*);
    static Nqsi q = reinterpret_cast<Nqsi>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!q) return -1;
    struct Entry {
        USHORT pid, backtrace;
        UCHAR type, flags;
        USHORT handle;
        void* object;
        ULONG access;
    };
    std::vector<char> buf(1 << 20);
    for (int i = 0; i < 4; ++i) {
        ULONG len = 0;
        const LONG status = q(16 /* SystemHandleInformation */, buf.data(), ULONG(buf.size()), &len);
        if (status == 0) {
            const ULONG count = *reinterpret_cast<ULONG*>(buf.data());
            const Entry* e = reinterpret_cast<const Entry*>(buf.data() + sizeof(ULONG_PTR));
            const USHORT me = USHORT(GetCurrentProcessId());
            long mine = 0;
            for (ULONG k = 0; k < count && sizeof(ULONG_PTR) + (k + 1) * sizeof(Entry) <= buf.size(); ++k) mine += e[k].pid == me;
            return mine;
        }
        buf.resize(std::max<size_t>(buf.size() * 2, len + 4096));
    }
    return -1;
}

// GDI objects: GetGuiResources, or (where it is not implemented: Wine)
// the GDI handles that resolve.
long gdiCount() {
    SetLastError(0);
    const DWORD n = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (n || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return long(n);
    long count = 0;
    for (uintptr_t i = 1; i < 0x10000; ++i) count += GetObjectType(reinterpret_cast<HGDIOBJ>(i)) != 0;
    return count;
}

Usage usage(std::string& how) {
    Usage u;
    u.privateBytes = privateBytes(how);
    u.handles = handleCount();
    u.gdi = gdiCount();
    return u;
}

// How much the repeated cycles may grow the worker, measured from after a
// warm-up to the end.
constexpr double kPrivateTolerance = 1 << 20;   // bytes
constexpr long kHandleTolerance = 4, kGdiTolerance = 4;

std::string kib(double bytes) {
    char b[40];
    std::snprintf(b, sizeof b, "%+.0f KiB", bytes / 1024);
    return b;
}

void repetition(CheckRun& c, const std::string& what, const std::function<void()>& cycle) {
    int cycles = c.effort.cycles;
    const int warm = std::min(cycles, std::max(5, cycles / 10));
    const double t0 = now();
    for (int i = 0; i < warm; ++i) cycle();
    std::string how;
    const Usage a = usage(how);
    for (int i = warm; i < cycles || now() - t0 < c.effort.soakSeconds; ++i) {
        cycle();
        cycles = std::max(cycles, i + 1);
    }
    const Usage b = usage(how);
    const int measured = cycles - warm;
    const double grew = b.privateBytes - a.privateBytes;
    const std::string over = " over " + std::to_string(measured) + " " + what + " cycles";
    if (grew > kPrivateTolerance)
        c.fail("private bytes grew by " + kib(grew).substr(1) + over + " (" + std::to_string(long(grew / measured)) +
               " bytes per cycle; tolerance " + kib(kPrivateTolerance).substr(1) + ")");
    if (a.handles >= 0 && b.handles - a.handles > kHandleTolerance)
        c.fail("the handle count grew from " + std::to_string(a.handles) + " to " + std::to_string(b.handles) + over +
               " (tolerance " + std::to_string(kHandleTolerance) + ")");
    if (a.gdi >= 0 && b.gdi - a.gdi > kGdiTolerance)
        c.fail("the GDI object count grew from " + std::to_string(a.gdi) + " to " + std::to_string(b.gdi) + over +
               " (tolerance " + std::to_string(kGdiTolerance) + ")");
    c.note(std::to_string(cycles) + " " + what + " cycles in " + ms(now() - t0) + "; after the first " +
           std::to_string(warm) + ": private bytes (" + how + ") " + kib(grew) + ", handles " +
           (a.handles < 0 ? std::string("not counted") : std::to_string(a.handles) + " -> " + std::to_string(b.handles)) +
           ", GDI objects " + (a.gdi < 0 ? std::string("not counted") : std::to_string(a.gdi) + " -> " + std::to_string(b.gdi)) +
           " (tolerance " + kib(kPrivateTolerance).substr(1) + ", " + std::to_string(kHandleTolerance) + " handles, " +
           std::to_string(kGdiTolerance) + " GDI objects)");
}

void checkInstallKill(CheckRun& c) {
    auto mod = c.load(true);
    repetition(c, "install/kill", [&] {
        GaugeHost& h = mod->rehost();
        h.start();
        h.frame();
        h.stop();
    });
}

// Loading as the simulator does it, and no more: the library (its entry
// point runs), its two records looked up, and unloaded again.
void checkLoadUnload(CheckRun& c) {
    std::wstring file;
    {
        auto mod = c.load(true);   // the file is a module, and the simulator's surroundings are set up
        wchar_t full[MAX_PATH * 4] = {};
        GetModuleFileNameW(mod->image().handle(), full, MAX_PATH * 4 - 1);
        file = full;
    }
    // A name without an extension gets ".dll" from the loader unless it ends in a dot.
    const size_t slash = file.find_last_of(L"\\/");
    if (file.find(L'.', slash == std::wstring::npos ? 0 : slash) == std::wstring::npos) file += L'.';
    repetition(c, "load/unload", [&] {
        watchBegin("loading " + c.path + " (its entry point)");
        HMODULE h = LoadLibraryExW(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        const DWORD error = GetLastError();
        watchEnd();
        if (!h) throw ModuleError("cannot load " + c.path + " again: " + windowsError(error));
        const bool records = GetProcAddress(h, "Linkage") && GetProcAddress(h, "ImportTable");
        watchBegin("unloading " + c.path + " (its entry point)");
        FreeLibrary(h);
        watchEnd();
        if (!records) throw ModuleError("loaded again, " + c.path + " no longer exports Linkage and ImportTable");
    });
}

// A fixed piece of work of the kind a gauge does in a frame (conversions to
// single precision, a division, comparisons): how long this machine takes
// for it, against a native x86 machine's 40 us, scales the budget.
__attribute__((noinline)) double calibrationWork() {
    volatile double sink = 0;
    double x = 0.37, acc = 0;
    for (int i = 0; i < 20000; ++i) {
        x = x * 1.0000037 + 0.61;
        if (x > 997.0) x -= 996.5;
        const float f = float(x);
        acc += double(f) / 1.8 - 273.0;
    }
    sink = acc;
    return sink;
}
constexpr double kNativeCalibration = 40e-6;
constexpr double kFrameBudget = 0.01 / 18.0;   // 1 % of a frame at 18 Hz

double slowdown() {
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        const double t = now();
        calibrationWork();
        best = std::min(best, now() - t);
    }
    return std::max(1.0, best / kNativeCalibration);
}

void checkFrameCost(CheckRun& c) {
    auto mod = c.load(true);
    GaugeHost& h = mod->rehost();
    double inModule = 0;
    h.onCall = [&](const std::string&, const CallBreach&, double s) { inModule += s; };
    h.start();
    for (int i = 0; i < 2; ++i) {
        h.frame();
        h.evaluate();
    }
    std::vector<double> frames;
    const double start = now();
    for (;;) {
        const double t = now() - start;
        if (frames.size() >= 5 && (int(frames.size()) >= c.effort.costFrames || t >= c.effort.costSeconds) &&
            t >= c.effort.costMinSeconds)
            break;
        inModule = 0;
        h.frame();
        h.evaluate();
        frames.push_back(inModule);
    }
    h.stop();
    auto quantile = [](std::vector<double> v, double q) {
        std::sort(v.begin(), v.end());
        return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
    };
    const double median = quantile(frames, 0.5), p95 = quantile(frames, 0.95);
    const double factor = slowdown();
    const double budget = kFrameBudget * factor;
    char f[32];
    std::snprintf(f, sizeof f, "%.1f", factor);
    const std::string stated = "the budget: 1 % of an 18 Hz frame, " + ms(kFrameBudget) +
                               (factor > 1.0 ? " x " + std::string(f) + " for this machine's speed = " + ms(budget) : "");
    if (median > budget) c.warn("median " + ms(median) + " per frame in the module's routines, above " + stated);
    c.note(std::to_string(frames.size()) + " frames: the module's routines median " + ms(median) + ", 95th percentile " +
           ms(p95) + " (" + stated + ")");
}

const std::vector<Check> kChecks = {
    {"file", 1, "a PE32 i386 DLL whose sections lie in the file", checkFile},
    {"exports", 1, "exports Linkage and ImportTable, the import table writable", checkExports},
    {"imports", 1, "every imported DLL and function exists; DLLs beyond the system's are a warning", checkImports},
    {"records", 1, "linkage, header, element tree and mouse list read whole, inside the module, terminated, acyclic", checkRecords},
    {"bitmaps", 1, "every bitmap an element names is a resource of a usable format and size", checkBitmaps},
    {"entry-point", 2, "the module loads and unloads; its entry point leaves the records as the file holds them", checkEntryPoint},
    {"lifecycle", 2, "the lifecycle runs twice in one load and once after a reload, without a fault", checkLifecycle},
    {"stack-balance", 2, "every call into the module removes exactly its own arguments", checkStackBalance},
    {"callee-saved", 2, "every call into the module keeps ebx, esi, edi and ebp", checkCalleeSaved},
    {"services", 2, "every service call's arguments are plausible; key event ids lie in 0x10000 to 0x1FFFF", checkServices},
    {"registrations", 2, "what the module registers (elements, mouse list, module variables) it releases", checkRegistrations},
    {"hostile-values", 3, "NaN, infinities, -0, extremes and denormals in every variable: no fault, no overrun, text "
                          "terminated, positions finite", checkHostileValues},
    {"random-values", 3, "random values in every variable, with the same requirements", checkRandomValues},
    {"mouse", 3, "every handler at its rectangle's corners, edges and centre: returns, keeps the stack, plausible key "
                 "events", checkMouse},
    {"install-kill", 3, "repeated install and kill leave private bytes, handles and GDI objects flat", checkInstallKill},
    {"load-unload", 3, "repeated load and unload leave private bytes, handles and GDI objects flat", checkLoadUnload},
    {"frame-cost", 3, "median and 95th percentile of a frame's routines, within budget", checkFrameCost},
};

}  // namespace

const std::vector<Check>& allChecks() { return kChecks; }

const Check* findCheck(const std::string& name) {
    for (const Check& c : kChecks)
        if (name == c.name) return &c;
    return nullptr;
}

}  // namespace gaugehost
