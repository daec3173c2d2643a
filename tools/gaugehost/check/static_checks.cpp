// The static checks (level 1): the file, its exports and imports, its
// records and bitmaps, read without running any code of the module (from
// level 2 the records are read after its entry point ran).
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <set>
#include <vector>

#include "check/framework.h"
#include "check/simulator_process.h"
#include "check/wording.h"
#include "hostcore/module_image.h"
#include "hostcore/pe_reader.h"
#include "hostcore/records.h"

namespace gaugehost {

namespace {

using namespace hostapi;

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
    // A file that is no PE file, or whose section table does not fit, is a
    // ModuleError of the reader: the check's failure.
    const PeReader pe(d.data(), uint32_t(d.size()), PeLayout::File);
    const PeHeaders& h = pe.headers();
    if (h.machine != IMAGE_FILE_MACHINE_I386)
        return c.fail("machine " + hex(h.machine) + (h.machine == IMAGE_FILE_MACHINE_AMD64 ? " (x64)" : "") +
                      " at offset " + hex(h.fileHeaderOffset() + offsetof(IMAGE_FILE_HEADER, Machine)) +
                      ", not i386 (0x14C): the simulator is a 32-bit process");
    if (!pe.pe32())
        return c.fail("optional header magic " + hex(h.magic) + " at offset " + hex(h.optionalOffset()) + ", not PE32 (0x10B)");
    if (!(h.characteristics & IMAGE_FILE_DLL) || !(h.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE))
        return c.fail("characteristics " + hex(h.characteristics) + " at offset " +
                      hex(h.fileHeaderOffset() + offsetof(IMAGE_FILE_HEADER, Characteristics)) + ": not an executable DLL");
    bool entryInCode = h.entryPoint == 0;
    std::string wx;
    for (const PeSection& s : pe.sections()) {
        if (s.rawSize && (s.fileOffset > d.size() || s.rawSize > d.size() - s.fileOffset))
            return c.fail("section " + s.name + ": its " + std::to_string(s.rawSize) + " bytes at file offset " +
                          hex(s.fileOffset) + " run past the end of the file (" + std::to_string(d.size()) + " bytes)");
        if (s.holds(h.entryPoint) && s.executable()) entryInCode = true;
        if (s.executable() && s.writable()) wx += (wx.empty() ? "" : ", ") + s.name;
    }
    if (!entryInCode) return c.fail("entry point " + hex(h.entryPoint) + " lies in no executable section");
    if (!pe.relocatable())
        c.warn("no base relocations: the module loads only at its preferred base " + hex(h.imageBase) +
               ", which another module of the panel may hold");
    if (!wx.empty()) c.warn("section " + wx + " is both writable and executable");
    c.note("PE32 i386 DLL: " + std::to_string(h.sectionCount) + " sections, image base " + hex(h.imageBase) + ", " +
           std::to_string(h.imageSize) + " bytes mapped");
}

void checkExports(CheckRun& c) {
    auto mod = c.load(false, false);
    const ModuleImage& m = mod->image();
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
    auto mod = c.load(false, false);
    const PeReader& pe = mod->image().pe();
    std::wstring folder = widen(c.path);
    {
        wchar_t full[MAX_PATH * 4] = {};
        if (GetFullPathNameW(folder.c_str(), MAX_PATH * 4, full, nullptr)) folder = full;
        const size_t slash = folder.find_last_of(L"\\/");
        folder = slash == std::wstring::npos ? L"." : folder.substr(0, slash);
    }
    std::string listed;
    for (const PeImportedDll& imported : pe.importedDlls()) {
        const std::string& dll = imported.name;
        // The functions, by name or ordinal.
        std::vector<std::string> names;
        std::vector<uint32_t> ordinals;
        for (const PeImport& f : pe.functions(imported)) {
            if (f.byOrdinal) ordinals.push_back(f.ordinal);
            else names.push_back(f.name);
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

std::string recordsBudget(int level) {
    return level < 2 ? "one load, mapped only" : "one load, its entry point run";
}

// Level 1 reads the records as the file holds them (mapped, no code run);
// from level 2 on the module is loaded as the simulator loads it.
std::unique_ptr<HostedModule> recordsImage(CheckRun& c) {
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

}  // namespace

std::vector<Check> staticChecks() {
    return {
        {"file", 1,
         "a PE32 i386 DLL (machine, magic, characteristics) whose sections lie within the file and whose entry point "
         "lies in code; no base relocations or a writable code section is a warning",
         [](int) { return std::string("the file read once"); }, checkFile},
        {"exports", 1, "Linkage and ImportTable exported as data, the import table 16 writable bytes",
         [](int) { return std::string("one load, mapped only"); }, checkExports},
        {"imports", 1,
         "every imported DLL exists and exports every function imported from it (system DLLs are loaded to look them "
         "up); a DLL that is not a system DLL is a warning (it must ship with the module), one found nowhere a failure",
         [](int) { return std::string("one load, mapped only; each system DLL it imports loaded"); }, checkImports},
        {"records", 1,
         "everything the host's readers check: linkage, import table, header (version 610 or 800), element tree and a "
         "version-800 mouse list read whole, every pointer inside the module's mapped sections, lists terminated, no "
         "cycles, records the host writes in writable data; slider scales finite",
         recordsBudget, checkRecords},
        {"bitmaps", 1,
         "every bitmap an element names (each image of an icon) is a resource of the module, of a format the host can "
         "decode and a plausible size",
         recordsBudget, checkBitmaps},
    };
}

}  // namespace gaugehost
