#include "report.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "hostcore/gauge_host.h"

namespace gaugehost {

using nlohmann::json;

namespace {

const char* const kMouseTypes[4] = {"end of list", "parent", "child", "end of parent"};

std::string dbl(double v) {
    if (std::isnan(v)) return "NaN";
    char b[64];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
}
// JSON has no NaN or infinity: those are written as text.
json jdbl(double v) { return std::isfinite(v) ? json(v) : json(dbl(v)); }

std::string line(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string line(const char* format, ...) {
    char b[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(b, sizeof b, format, args);
    va_end(args);
    return std::string(b) + "\n";
}

}  // namespace

Inspection inspectModule(HostedModule& hm, bool run) {
    Inspection f;
    const ModuleImage& m = hm.image();
    const Gauge& g = hm.gauge();
    if (g.version == hostapi::kHeaderVersion800 && g.mouseListPtr) f.mouse = readMouseList(m, g.mouseListPtr);
    if (!run) return f;
    GaugeHost& h = hm.host();
    h.start();
    h.frame();
    const std::vector<MouseEntry> registered = h.mouseList();
    h.stop();
    f.ran = true;
    for (uint32_t a : h.moduleVars) f.vars.emplace_back(a, m.read<hostapi::ModuleVar>(a, "ModuleVar").id);
    f.keys = h.keys;
    if (g.version == hostapi::kHeaderVersion610) f.mouse = registered;
    return f;
}

std::string inspectJson(const ModuleImage& m, const Gauge& g, const Inspection& f) {
    auto R = [&](uint32_t a) { return a == 0 ? std::string("0") : m.offset(a); };
    json gauges = json::array();
    for (uint32_t h : g.headers) gauges.push_back(R(h));
    json routines = json::object();
    for (int i = 0; i < 7; ++i) routines[kRoutineNames[i]] = R(g.routines[i]);
    json elements = json::array();
    for (size_t i = 0; i < g.elements.size(); ++i) {
        const Element& e = g.elements[i];
        json j = {{"index", i + 1},        {"offset", m.rva(e.addr)}, {"kind", kindName(e.kind)},
                  {"parent", e.parent + 1}, {"depth", e.depth},       {"bitmap", int64_t(int32_t(e.bitmap))},
                  {"x", e.x},              {"y", e.y},               {"imageFlags", e.flagsAtLoad}};
        if (e.kind == hostapi::kIcon || e.kind == hostapi::kNeedle || e.kind == hostapi::kString) j["var"] = e.var.id;
        if (e.kind == hostapi::kIcon) {
            j["images"] = e.imageCount;
            j["iconMode"] = e.iconMode;
        }
        if (e.kind == hostapi::kSlider) {
            j["xVar"] = e.xVar.id;
            j["xScale"] = jdbl(e.xScale);
            j["yVar"] = e.var.id;
            j["yScale"] = jdbl(e.yScale);
        }
        if (e.kind == hostapi::kNeedle) {
            j["points"] = json::array();
            for (const NeedlePoint& p : e.points) j["points"].push_back({{"value", jdbl(p.value)}, {"x", p.x}, {"y", p.y}});
        }
        if (e.kind == hostapi::kString) {
            j["box"] = {e.boxW, e.boxH};
            j["colours"] = {e.colour[0], e.colour[1], e.colour[2]};
            j["font"] = e.font;
            j["weight"] = e.fontWeight;
            j["fontWord"] = e.fontWord;
            j["layoutFlags"] = e.layoutFlags;
        }
        if (g.version == hostapi::kHeaderVersion800 && e.kind != hostapi::kStaticImage) j["valueRoutine"] = e.routine != 0;
        elements.push_back(std::move(j));
    }
    json mouse = json::array();
    for (size_t i = 0; i < f.mouse.size(); ++i) {
        const MouseEntry& e = f.mouse[i];
        mouse.push_back({{"index", i + 1},
                         {"type", e.type},
                         {"depth", e.depth},
                         {"parent", e.parent + 1},
                         {"rect", {e.x, e.y, e.w, e.h}},
                         {"cursor", int32_t(e.cursor)},
                         {"help", e.help},
                         {"mask", e.mask},
                         {"handler", R(e.handler)}});
    }
    json vars = json::array();
    for (auto [a, id] : f.vars) vars.push_back({{"offset", m.rva(a)}, {"id", id}});
    json keys = json::array();
    for (const KeyEvent& k : f.keys) keys.push_back({k.id, k.param});
    json bitmaps = json::array();
    for (const auto& [id, b] : m.bitmaps()) {
        json j = {{"id", id}, {"width", b.width}, {"height", b.height}, {"bits", b.bits}, {"bytes", b.bytes}};
        if (!b.problem.empty()) j["problem"] = b.problem;
        bitmaps.push_back(std::move(j));
    }
    json sections = json::array();
    for (const PeSection& s : m.pe().sections())
        sections.push_back({{"name", s.name},
                            {"rva", s.rva},
                            {"virtualSize", s.virtualSize},
                            {"fileOffset", s.fileOffset},
                            {"rawSize", s.rawSize},
                            {"characteristics", s.characteristics},
                            {"writable", s.writable()},
                            {"executable", s.executable()}});
    const json report = {
        {"module", g.path},
        {"imageSize", m.size()},
        {"sections", sections},
        {"imports", g.importedDlls},
        {"linkage",
         {{"offset", m.rva(g.linkage)},
          {"moduleId", g.moduleId},
          {"start", R(g.moduleStart)},
          {"stop", R(g.moduleStop)},
          {"flags", g.moduleFlags},
          {"reserved", g.linkageReserved},
          {"version", g.linkageVersion},
          {"gauges", gauges}}},
        {"importTable", {{"offset", m.rva(g.importTable)}, {"id", g.importId}, {"services", g.importServices}}},
        {"header",
         {{"offset", m.rva(g.header)},
          {"version", g.version},
          {"name", g.name},
          {"sizeValue", g.sizeValue},
          {"rootSlot", R(g.rootSlot)},
          {"root", R(g.root)},
          {"routines", routines},
          {"mouseList", R(g.mouseListPtr)},
          {"callback", R(g.callback)}}},
        {"elements", elements},
        {"mouse", mouse},
        {"moduleVars", vars},
        {"startKeyEvents", keys},
        {"bitmaps", bitmaps},
    };
    // Names and texts from the module may hold any byte: replace what is not
    // UTF-8 rather than fail.
    return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string inspectText(const ModuleImage& m, const Gauge& g, const Inspection& f) {
    auto R = [&](uint32_t a) { return a == 0 ? std::string("0") : m.offset(a); };
    std::string out;
    std::string imports;
    for (const std::string& d : g.importedDlls) imports += (imports.empty() ? "" : ", ") + d;
    out += line("module %s: image of %u bytes, imports %s", g.path.c_str(), m.size(),
                imports.empty() ? "nothing" : imports.c_str());
    out += line("Linkage at +%s: module id %s, start %s, stop %s, flags %s, reserved %s, linkage version %s, %zu gauge(s)",
                hex(m.rva(g.linkage)).c_str(), hex(g.moduleId).c_str(), R(g.moduleStart).c_str(), R(g.moduleStop).c_str(),
                hex(g.moduleFlags).c_str(), hex(g.linkageReserved).c_str(), hex(g.linkageVersion).c_str(), g.headers.size());
    out += line("ImportTable at +%s: import id %s, service table %s", hex(m.rva(g.importTable)).c_str(),
                hex(g.importId).c_str(), hex(g.importServices).c_str());
    out += line("GaugeHeader at +%s: version %u, name \"%s\", size value %u, root slot %s -> element at %s",
                hex(m.rva(g.header)).c_str(), g.version, g.name.c_str(), g.sizeValue, R(g.rootSlot).c_str(),
                R(g.root).c_str());
    if (g.version == hostapi::kHeaderVersion610) {
        for (int i = 0; i < 7; ++i) out += line("  %-18s %s", kRoutineNames[i], R(g.routines[i]).c_str());
    } else {
        out += line("  mouse list %s, GaugeCallback %s", R(g.mouseListPtr).c_str(), R(g.callback).c_str());
    }
    out += line("elements (%zu), in drawing order:", g.elements.size());
    for (size_t i = 0; i < g.elements.size(); ++i) {
        const Element& e = g.elements[i];
        std::string s = std::string(2 + 2 * e.depth, ' ') + std::to_string(i + 1) + " " + kindName(e.kind);
        s += e.bitmap == hostapi::kNoBitmap ? " no bitmap" : " bitmap " + std::to_string(e.bitmap);
        s += " at (" + std::to_string(e.x) + ", " + std::to_string(e.y) + ") flags " + hex(e.flagsAtLoad);
        if (e.kind == hostapi::kIcon)
            s += ", var " + std::to_string(e.var.id) + ", " + std::to_string(e.imageCount) + " images, mode " +
                 std::to_string(e.iconMode);
        if (e.kind == hostapi::kSlider)
            s += ", x var " + std::to_string(e.xVar.id) + " scale " + dbl(e.xScale) + ", y var " +
                 std::to_string(e.var.id) + " scale " + dbl(e.yScale);
        if (e.kind == hostapi::kNeedle) {
            s += ", var " + std::to_string(e.var.id) + ", points";
            for (const NeedlePoint& p : e.points)
                s += " " + dbl(p.value) + "->(" + std::to_string(p.x) + ", " + std::to_string(p.y) + ")";
        }
        if (e.kind == hostapi::kString)
            s += ", var " + std::to_string(e.var.id) + ", box " + std::to_string(e.boxW) + " x " + std::to_string(e.boxH) +
                 ", colours " + hex(e.colour[0]) + " " + hex(e.colour[1]) + " " + hex(e.colour[2]) + ", font \"" +
                 e.font + "\" weight " + std::to_string(e.fontWeight) + " word " + std::to_string(e.fontWord) +
                 ", layout " + hex(e.layoutFlags);
        if (g.version == hostapi::kHeaderVersion800 && e.kind != hostapi::kStaticImage)
            s += e.routine ? ", value routine " + R(e.routine) : ", no value routine";
        out += s + "  [" + R(e.addr) + "]\n";
    }
    if (f.mouse.empty()) {
        out += line("mouse list: %s", g.version == hostapi::kHeaderVersion610 && !f.ran
                                          ? "registered by installRoutine (not run: --no-run)"
                                          : "none");
    } else {
        out += line("mouse list (%zu entries) at %s:", f.mouse.size(), R(f.mouse[0].addr).c_str());
        for (size_t i = 0; i < f.mouse.size(); ++i) {
            const MouseEntry& e = f.mouse[i];
            std::string s = std::string(2 + 2 * e.depth, ' ') + std::to_string(i + 1) + " " + kMouseTypes[e.type];
            if (e.type == hostapi::kMouseParent || e.type == hostapi::kMouseChild)
                s += " (" + std::to_string(e.x) + ", " + std::to_string(e.y) + ", " + std::to_string(e.w) + ", " +
                     std::to_string(e.h) + ")";
            s += e.cursor == hostapi::kCursorNone ? ", cursor none" : ", cursor " + std::to_string(e.cursor);
            if (e.help) s += ", help " + std::to_string(e.help);
            if (e.type == hostapi::kMouseChild) s += ", mask " + hex(e.mask) + ", handler " + R(e.handler);
            out += s + "\n";
        }
    }
    if (f.ran) {
        out += line("module-level variables (met in services 38/40 during one lifecycle run): %s",
                    f.vars.empty() ? "none" : std::to_string(f.vars.size()).c_str());
        for (auto [a, id] : f.vars) out += line("  var %u at %s", id, R(a).c_str());
        if (!f.keys.empty()) {
            out += "key events sent during that run:";
            for (const KeyEvent& k : f.keys) out += " " + std::to_string(k.id) + "(" + std::to_string(k.param) + ")";
            out += "\n";
        }
    }
    out += line("bitmaps (%zu):", m.bitmaps().size());
    for (const auto& [id, b] : m.bitmaps()) {
        if (b.problem.empty())
            out += line("  %u: %d x %d, %d bits, %u bytes", id, b.width, b.height, b.bits, b.bytes);
        else
            out += line("  %u: %u bytes, unreadable: %s", id, b.bytes, b.problem.c_str());
    }
    return out;
}

}  // namespace gaugehost
