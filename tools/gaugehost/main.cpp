// gaugehost: a headless panel host for gauge modules.
//
//   gaugehost inspect MODULE.gau [--json] [--no-run]
//   gaugehost render MODULE.gau [--set VAR=VALUE ...] [--frames N] [--scale K] [--log] -o OUT.png
//   gaugehost run MODULE.gau SCENARIO [--scale K]
//
// Exit status: 0 success, 1 usage, 2 the module is malformed or misbehaves
// (the message names the record and offset), 3 module code faulted outside a
// guarded call, 4 module code did not return, 5 a scenario expectation failed.
#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "guard.h"
#include "host.h"
#include "image.h"
#include "records.h"
#include "simenv.h"
#include "supervisor.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

using namespace gh;

namespace {

struct Options {
    std::string command, module, scenario, out;
    bool json = false, run = true, log = false;
    int frames = 1, scale = 1;
    unsigned timeout = 10;
    std::string worker;   // set in the worker: the supervisor's progress counter
    std::vector<std::pair<uint32_t, double>> sets;
};

[[noreturn]] void usage(const std::string& why) {
    if (!why.empty()) std::fprintf(stderr, "gaugehost: %s\n", why.c_str());
    std::fprintf(stderr,
                 "usage: gaugehost inspect MODULE.gau [--json] [--no-run]\n"
                 "       gaugehost render MODULE.gau [--set VAR=VALUE ...] [--frames N] [--scale K] [--log] -o OUT.png\n"
                 "       gaugehost run MODULE.gau SCENARIO [--scale K]\n"
                 "options: --timeout S  seconds any one call into the module may take (default 10)\n");
    quit(1);
}

long parseInt(const std::string& s, long lo, long hi, const char* what) {
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 0);
    if (s.empty() || *end || v < lo || v > hi)
        usage(std::string(what) + " must be a number from " + std::to_string(lo) + " to " + std::to_string(hi));
    return v;
}

double parseDouble(const std::string& s, const char* what) {
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end) usage(std::string(what) + ": '" + s + "' is not a number");
    return v;
}

Options parse(int argc, char** argv) {
    Options o;
    std::vector<std::string> pos;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) usage(a + " needs a value");
            return argv[++i];
        };
        if (a == "--json") o.json = true;
        else if (a == "--no-run") o.run = false;
        else if (a == "--log") o.log = true;
        else if (a == "-o") o.out = next();
        else if (a == "--frames") o.frames = int(parseInt(next(), 0, 100000, "--frames"));
        else if (a == "--scale") o.scale = int(parseInt(next(), 1, 8, "--scale"));
        else if (a == "--worker") o.worker = next();
        else if (a == "--timeout") o.timeout = unsigned(parseInt(next(), 1, 3600, "--timeout"));
        else if (a == "--set") {
            const std::string s = next();
            const size_t eq = s.find('=');
            if (eq == std::string::npos) usage("--set wants VAR=VALUE");
            o.sets.emplace_back(uint32_t(parseInt(s.substr(0, eq), 0, 0x7FFFFFFF, "variable id")),
                                parseDouble(s.substr(eq + 1), "--set value"));
        } else if (a.size() > 1 && a[0] == '-') usage("unknown option " + a);
        else pos.push_back(a);
    }
    if (pos.empty()) usage("");
    o.command = pos[0];
    if (o.command != "inspect" && o.command != "render" && o.command != "run") usage("unknown command " + o.command);
    if (pos.size() < 2) usage("name a module");
    o.module = pos[1];
    if (o.command == "run") {
        if (pos.size() != 3) usage("run wants MODULE and SCENARIO");
        o.scenario = pos[2];
    } else if (pos.size() != 2) {
        usage("too many arguments");
    }
    if (o.command == "render" && o.out.empty()) usage("render needs -o OUT.png");
    return o;
}

// ---- output helpers -----------------------------------------------------------------

std::string jstr(const std::string& s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') { o += '\\'; o += char(c); }
        else if (c < 0x20 || c >= 0x7F) { char b[8]; std::snprintf(b, sizeof b, "\\u%04x", c); o += b; }
        else o += char(c);
    }
    return o + "\"";
}

std::string dbl(double v) {
    if (std::isnan(v)) return "NaN";
    char b[64];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
}
std::string jdbl(double v) { return std::isfinite(v) ? dbl(v) : jstr(dbl(v)); }

bool isDsoundModule(const Gauge& g) {
    for (std::string d : g.importedDlls) {
        for (char& c : d) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (d == "dsound.dll") return true;
    }
    return false;
}

void writePng(const Canvas& c, const std::string& path) {
    std::vector<uint8_t> rgb(size_t(c.width) * c.height * 3);
    for (size_t i = 0; i < c.px.size(); ++i) {
        rgb[3 * i] = uint8_t(c.px[i] >> 16);
        rgb[3 * i + 1] = uint8_t(c.px[i] >> 8);
        rgb[3 * i + 2] = uint8_t(c.px[i]);
    }
    if (!stbi_write_png(path.c_str(), c.width, c.height, 3, rgb.data(), c.width * 3))
        throw HostError("cannot write " + path);
}

void printWarnings(const Host& h) {
    std::set<std::string> seen;
    for (const std::string& w : h.warnings)
        if (seen.insert(w).second) std::fprintf(stderr, "gaugehost: warning: %s\n", w.c_str());
}

// ---- inspect ----------------------------------------------------------------------

struct Found {               // what a lifecycle run turned up
    bool ran = false;
    std::vector<std::pair<uint32_t, uint32_t>> vars;   // address, id
    std::vector<KeyEvent> keys;
    std::vector<MouseEntry> registered;
};

void inspect(const Options& o, Module& m, Gauge& g) {
    Found f;
    std::vector<MouseEntry> mouse;
    if (g.version == 800 && g.mouseListPtr) mouse = readMouseList(m, g.mouseListPtr);
    if (o.run) {
        std::unique_ptr<SimulatorStandIn> sim;
        if (isDsoundModule(g)) sim = std::make_unique<SimulatorStandIn>(false);
        Host h(m, g, 1, false);
        h.start();
        h.frame();
        f.registered = h.mouseList();
        h.stop();
        f.ran = true;
        for (uint32_t a : h.moduleVars) f.vars.emplace_back(a, m.u32(a, "ModuleVar"));
        f.keys = h.keys;
        if (g.version == 610) mouse = f.registered;
    }
    auto R = [&](uint32_t a) { return a == 0 ? std::string("0") : (a - m.base() < m.size() ? "+" + hex(a - m.base()) : hex(a)); };
    const char* const mouseTypes[4] = {"end of list", "parent", "child", "end of parent"};

    if (o.json) {
        std::string s = "{\n";
        s += "  \"module\": " + jstr(g.path) + ",\n  \"imageSize\": " + std::to_string(m.size()) + ",\n";
        s += "  \"imports\": [";
        for (size_t i = 0; i < g.importedDlls.size(); ++i) s += (i ? ", " : "") + jstr(g.importedDlls[i]);
        s += "],\n";
        s += "  \"linkage\": {\"offset\": " + std::to_string(m.rva(g.linkage)) + ", \"moduleId\": " +
             std::to_string(g.moduleId) + ", \"start\": " + jstr(R(g.moduleStart)) + ", \"stop\": " + jstr(R(g.moduleStop)) +
             ", \"flags\": " + std::to_string(g.moduleFlags) + ", \"reserved\": " + std::to_string(g.linkageReserved) +
             ", \"version\": " + std::to_string(g.linkageVersion) + ", \"gauges\": [";
        for (size_t i = 0; i < g.headers.size(); ++i) s += (i ? ", " : "") + jstr(R(g.headers[i]));
        s += "]},\n";
        s += "  \"importTable\": {\"offset\": " + std::to_string(m.rva(g.importTable)) + ", \"id\": " +
             std::to_string(g.importId) + ", \"services\": " + std::to_string(g.importServices) + "},\n";
        s += "  \"header\": {\"offset\": " + std::to_string(m.rva(g.header)) + ", \"version\": " + std::to_string(g.version) +
             ", \"name\": " + jstr(g.name) + ", \"sizeValue\": " + std::to_string(g.sizeValue) + ", \"rootSlot\": " +
             jstr(R(g.rootSlot)) + ", \"root\": " + jstr(R(g.root)) + ", \"routines\": {";
        for (int i = 0; i < 7; ++i) s += std::string(i ? ", " : "") + jstr(kRoutineNames[i]) + ": " + jstr(R(g.routines[i]));
        s += "}, \"mouseList\": " + jstr(R(g.mouseListPtr)) + ", \"callback\": " + jstr(R(g.callback)) + "},\n";
        s += "  \"elements\": [\n";
        for (size_t i = 0; i < g.elements.size(); ++i) {
            const Element& e = g.elements[i];
            s += "    {\"index\": " + std::to_string(i + 1) + ", \"offset\": " + std::to_string(m.rva(e.addr)) +
                 ", \"kind\": " + jstr(kindName(e.kind)) + ", \"parent\": " + std::to_string(e.parent + 1) +
                 ", \"depth\": " + std::to_string(e.depth) + ", \"bitmap\": " + std::to_string(int64_t(int32_t(e.bitmap))) +
                 ", \"x\": " + std::to_string(e.x) + ", \"y\": " + std::to_string(e.y) + ", \"imageFlags\": " +
                 std::to_string(e.flagsAtLoad);
            if (e.kind == kIcon || e.kind == kNeedle || e.kind == kString) s += ", \"var\": " + std::to_string(e.var.id);
            if (e.kind == kIcon) s += ", \"images\": " + std::to_string(e.imageCount) + ", \"iconMode\": " + std::to_string(e.iconMode);
            if (e.kind == kSlider)
                s += ", \"xVar\": " + std::to_string(e.xVar.id) + ", \"xScale\": " + jdbl(e.xScale) + ", \"yVar\": " +
                     std::to_string(e.var.id) + ", \"yScale\": " + jdbl(e.yScale);
            if (e.kind == kNeedle) {
                s += ", \"points\": [";
                for (size_t k = 0; k < e.points.size(); ++k)
                    s += std::string(k ? ", " : "") + "{\"value\": " + jdbl(e.points[k].value) + ", \"x\": " +
                         std::to_string(e.points[k].x) + ", \"y\": " + std::to_string(e.points[k].y) + "}";
                s += "]";
            }
            if (e.kind == kString) {
                s += ", \"box\": [" + std::to_string(e.boxW) + ", " + std::to_string(e.boxH) + "], \"colours\": [" +
                     std::to_string(e.colour[0]) + ", " + std::to_string(e.colour[1]) + ", " + std::to_string(e.colour[2]) +
                     "], \"font\": " + jstr(e.font) + ", \"weight\": " + std::to_string(e.fontWeight) +
                     ", \"fontWord\": " + std::to_string(e.fontWord) + ", \"layoutFlags\": " + std::to_string(e.layoutFlags);
            }
            if (g.version == 800 && e.kind != kStatic) s += ", \"valueRoutine\": " + std::string(e.routine ? "true" : "false");
            s += "}" + std::string(i + 1 < g.elements.size() ? "," : "") + "\n";
        }
        s += "  ],\n  \"mouse\": [\n";
        for (size_t i = 0; i < mouse.size(); ++i) {
            const MouseEntry& e = mouse[i];
            s += "    {\"index\": " + std::to_string(i + 1) + ", \"type\": " + std::to_string(e.type) + ", \"depth\": " +
                 std::to_string(e.depth) + ", \"parent\": " + std::to_string(e.parent + 1) + ", \"rect\": [" +
                 std::to_string(e.x) + ", " + std::to_string(e.y) + ", " + std::to_string(e.w) + ", " + std::to_string(e.h) +
                 "], \"cursor\": " + std::to_string(int32_t(e.cursor)) + ", \"help\": " + std::to_string(e.help) +
                 ", \"mask\": " + std::to_string(e.mask) + ", \"handler\": " + jstr(R(e.handler)) + "}" +
                 (i + 1 < mouse.size() ? "," : "") + "\n";
        }
        s += "  ],\n  \"moduleVars\": [";
        for (size_t i = 0; i < f.vars.size(); ++i)
            s += std::string(i ? ", " : "") + "{\"offset\": " + std::to_string(m.rva(f.vars[i].first)) + ", \"id\": " +
                 std::to_string(f.vars[i].second) + "}";
        s += "],\n  \"startKeyEvents\": [";
        for (size_t i = 0; i < f.keys.size(); ++i)
            s += std::string(i ? ", " : "") + "[" + std::to_string(f.keys[i].id) + ", " + std::to_string(f.keys[i].param) + "]";
        s += "],\n  \"bitmaps\": [\n";
        size_t i = 0;
        for (const auto& [id, b] : m.bitmaps()) {
            s += "    {\"id\": " + std::to_string(id) + ", \"width\": " + std::to_string(b.width) + ", \"height\": " +
                 std::to_string(b.height) + ", \"bits\": " + std::to_string(b.bits) + ", \"bytes\": " + std::to_string(b.bytes) +
                 (b.problem.empty() ? "" : ", \"problem\": " + jstr(b.problem)) + "}" +
                 (++i < m.bitmaps().size() ? "," : "") + "\n";
        }
        s += "  ]\n}\n";
        std::fputs(s.c_str(), stdout);
        return;
    }

    std::printf("module %s: image of %u bytes, imports %s\n", g.path.c_str(), m.size(), [&] {
        std::string s;
        for (const std::string& d : g.importedDlls) s += (s.empty() ? "" : ", ") + d;
        return s.empty() ? std::string("nothing") : s;
    }().c_str());
    std::printf("Linkage at +%s: module id %s, start %s, stop %s, flags %s, reserved %s, linkage version %s, %zu gauge(s)\n",
                hex(m.rva(g.linkage)).c_str(), hex(g.moduleId).c_str(), R(g.moduleStart).c_str(), R(g.moduleStop).c_str(),
                hex(g.moduleFlags).c_str(), hex(g.linkageReserved).c_str(), hex(g.linkageVersion).c_str(), g.headers.size());
    std::printf("ImportTable at +%s: import id %s, service table %s\n", hex(m.rva(g.importTable)).c_str(),
                hex(g.importId).c_str(), hex(g.importServices).c_str());
    std::printf("GaugeHeader at +%s: version %u, name \"%s\", size value %u, root slot %s -> element at %s\n",
                hex(m.rva(g.header)).c_str(), g.version, g.name.c_str(), g.sizeValue, R(g.rootSlot).c_str(), R(g.root).c_str());
    if (g.version == 610) {
        for (int i = 0; i < 7; ++i) std::printf("  %-18s %s\n", kRoutineNames[i], R(g.routines[i]).c_str());
    } else {
        std::printf("  mouse list %s, GaugeCallback %s\n", R(g.mouseListPtr).c_str(), R(g.callback).c_str());
    }
    std::printf("elements (%zu), in drawing order:\n", g.elements.size());
    for (size_t i = 0; i < g.elements.size(); ++i) {
        const Element& e = g.elements[i];
        std::string line = std::string(2 + 2 * e.depth, ' ') + std::to_string(i + 1) + " " + kindName(e.kind);
        line += e.bitmap == 0xFFFFFFFFu ? " no bitmap" : " bitmap " + std::to_string(e.bitmap);
        line += " at (" + std::to_string(e.x) + ", " + std::to_string(e.y) + ") flags " + hex(e.flagsAtLoad);
        if (e.kind == kIcon)
            line += ", var " + std::to_string(e.var.id) + ", " + std::to_string(e.imageCount) + " images, mode " +
                    std::to_string(e.iconMode);
        if (e.kind == kSlider)
            line += ", x var " + std::to_string(e.xVar.id) + " scale " + dbl(e.xScale) + ", y var " +
                    std::to_string(e.var.id) + " scale " + dbl(e.yScale);
        if (e.kind == kNeedle) {
            line += ", var " + std::to_string(e.var.id) + ", points";
            for (const Point& p : e.points)
                line += " " + dbl(p.value) + "->(" + std::to_string(p.x) + ", " + std::to_string(p.y) + ")";
        }
        if (e.kind == kString)
            line += ", var " + std::to_string(e.var.id) + ", box " + std::to_string(e.boxW) + " x " + std::to_string(e.boxH) +
                    ", colours " + hex(e.colour[0]) + " " + hex(e.colour[1]) + " " + hex(e.colour[2]) + ", font \"" + e.font +
                    "\" weight " + std::to_string(e.fontWeight) + " word " + std::to_string(e.fontWord) + ", layout " +
                    hex(e.layoutFlags);
        if (g.version == 800 && e.kind != kStatic) line += e.routine ? ", value routine " + R(e.routine) : ", no value routine";
        line += "  [" + R(e.addr) + "]";
        std::printf("%s\n", line.c_str());
    }
    if (mouse.empty()) {
        std::printf("mouse list: %s\n", g.version == 610 && !o.run ? "registered by installRoutine (not run: --no-run)"
                                                                   : "none");
    } else {
        std::printf("mouse list (%zu entries) at %s:\n", mouse.size(), R(mouse[0].addr).c_str());
        for (size_t i = 0; i < mouse.size(); ++i) {
            const MouseEntry& e = mouse[i];
            std::string line = std::string(2 + 2 * e.depth, ' ') + std::to_string(i + 1) + " " + mouseTypes[e.type];
            if (e.type == 1 || e.type == 2)
                line += " (" + std::to_string(e.x) + ", " + std::to_string(e.y) + ", " + std::to_string(e.w) + ", " +
                        std::to_string(e.h) + ")";
            line += e.cursor == 0xFFFFFFFFu ? ", cursor none" : ", cursor " + std::to_string(e.cursor);
            if (e.help) line += ", help " + std::to_string(e.help);
            if (e.type == 2) line += ", mask " + hex(e.mask) + ", handler " + R(e.handler);
            std::printf("%s\n", line.c_str());
        }
    }
    if (f.ran) {
        std::printf("module-level variables (met in services 38/40 during one lifecycle run): %s\n",
                    f.vars.empty() ? "none" : std::to_string(f.vars.size()).c_str());
        for (auto [a, id] : f.vars) std::printf("  var %u at %s\n", id, R(a).c_str());
        if (!f.keys.empty()) {
            std::printf("key events sent during that run:");
            for (const KeyEvent& k : f.keys) std::printf(" %u(%d)", k.id, k.param);
            std::printf("\n");
        }
    }
    std::printf("bitmaps (%zu):\n", m.bitmaps().size());
    for (const auto& [id, b] : m.bitmaps()) {
        if (b.problem.empty())
            std::printf("  %u: %d x %d, %d bits, %u bytes\n", id, b.width, b.height, b.bits, b.bytes);
        else
            std::printf("  %u: %u bytes, unreadable: %s\n", id, b.bytes, b.problem.c_str());
    }
}

// ---- scenario ----------------------------------------------------------------------

int runScenario(const Options& o, Module& m, Gauge& g) {
    std::ifstream in(o.scenario);
    if (!in) throw HostError("cannot read scenario " + o.scenario);
    std::unique_ptr<SimulatorStandIn> sim;
    std::printf("gaugehost: %s (%s, version %u)\n", g.path.c_str(), g.name.c_str(), g.version);
    if (isDsoundModule(g)) sim = std::make_unique<SimulatorStandIn>(true);
    Host h(m, g, o.scale, true);
    if (sim) sim->watchSound(m, [&h](const std::string& s) { h.logLine(s); });
    std::printf("start\n");
    h.start();
    std::string line;
    int lineNo = 0;
    size_t seenKeys = 0;   // key events not yet expected (from the start action on)
    std::unique_ptr<Canvas> cached;
    auto picture = [&]() -> const Canvas& {
        if (!cached) cached = std::make_unique<Canvas>(h.scaled(h.compose()));
        return *cached;
    };
    auto fail = [&](const std::string& why) {
        markReported();
        std::printf("FAILED at %s:%d: %s\n", o.scenario.c_str(), lineNo, why.c_str());
        std::fprintf(stderr, "gaugehost: %s:%d: expectation failed: %s\n", o.scenario.c_str(), lineNo, why.c_str());
        return 5;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        heartbeat();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t hash = line.find('#');
        std::string body = hash == std::string::npos ? line : line.substr(0, hash);
        while (!body.empty() && std::isspace(static_cast<unsigned char>(body.back()))) body.pop_back();
        std::istringstream ws(body);
        std::vector<std::string> w;
        for (std::string t; ws >> t;) w.push_back(t);
        if (w.empty()) continue;
        std::printf("%3d %s\n", lineNo, body.c_str());
        auto bad = [&](const char* form) {
            throw HostError(o.scenario + ":" + std::to_string(lineNo) + ": expected '" + form + "'");
        };
        auto number = [&](size_t i, const char* form) {
            char* end = nullptr;
            const double v = std::strtod(w[i].c_str(), &end);
            if (*end) bad(form);
            return v;
        };
        auto integer = [&](size_t i, const char* form) {
            const double v = number(i, form);
            if (v != std::floor(v) || std::fabs(v) > 4294967295.0) bad(form);
            return int64_t(v);
        };
        const std::string& c = w[0];
        if (c == "set") {
            if (w.size() != 3) bad("set VAR VALUE");
            h.setVar(uint32_t(integer(1, "set VAR VALUE")), number(2, "set VAR VALUE"), "set");
        } else if (c == "frame") {
            if (w.size() > 2) bad("frame [N]");
            const int64_t n = w.size() == 2 ? integer(1, "frame [N]") : 1;
            seenKeys = h.keys.size();
            for (int64_t i = 0; i < n; ++i) h.frame();
            cached.reset();
        } else if (c == "click" || c == "drag") {
            if (w.size() != 3) bad("click X Y");
            seenKeys = h.keys.size();
            h.mouse(int32_t(integer(1, "click X Y")), int32_t(integer(2, "click X Y")), c == "click" ? kMaskClick : kMaskDrag);
            cached.reset();
        } else if (c == "render") {
            if (w.size() != 2) bad("render FILE.png");
            writePng(picture(), w[1]);
            std::printf("    wrote %s\n", w[1].c_str());
        } else if (c == "expect" && w.size() >= 2) {
            const std::string& k = w[1];
            if (k == "key") {
                if (w.size() != 4) bad("expect key ID PARAM");
                const uint32_t id = uint32_t(integer(2, "expect key ID PARAM"));
                const int32_t p = int32_t(integer(3, "expect key ID PARAM"));
                if (seenKeys >= h.keys.size())
                    return fail("expected key event " + std::to_string(id) + " " + std::to_string(p) + ", none was sent");
                const KeyEvent got = h.keys[seenKeys++];
                if (got.id != id || got.param != p)
                    return fail("expected key event " + std::to_string(id) + " " + std::to_string(p) + ", got " +
                                std::to_string(got.id) + " " + std::to_string(got.param));
            } else if (k == "no-key") {
                if (w.size() != 2) bad("expect no-key");
                if (seenKeys < h.keys.size())
                    return fail("expected no further key event, got " + std::to_string(h.keys[seenKeys].id) + " " +
                                std::to_string(h.keys[seenKeys].param));
            } else if (k == "var") {
                if (w.size() != 4) bad("expect var ID VALUE");
                const uint32_t id = uint32_t(integer(2, "expect var ID VALUE"));
                const double want = number(3, "expect var ID VALUE"), got = h.var(id);
                if (!(std::fabs(got - want) <= 1e-9 * std::max(1.0, std::fabs(want))))
                    return fail("expected var " + std::to_string(id) + " = " + dbl(want) + ", it is " + dbl(got));
            } else if (k == "selector") {
                if (w.size() != 3) bad("expect selector N");
                const int want = int(integer(2, "expect selector N"));
                if (h.brakeSelector != want)
                    return fail("expected brake selector " + std::to_string(want) + ", it is " + std::to_string(h.brakeSelector));
            } else if (k == "pixel") {
                if (w.size() != 7) bad("expect pixel X Y R G B");
                const int64_t x = integer(2, "expect pixel X Y R G B"), y = integer(3, "expect pixel X Y R G B");
                const Canvas& pic = picture();
                if (x < 0 || y < 0 || x >= pic.width || y >= pic.height)
                    return fail("pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") lies outside the " +
                                std::to_string(pic.width) + " x " + std::to_string(pic.height) + " picture");
                const uint32_t p = pic.at(int(x), int(y));
                const int r = int(p >> 16 & 0xFF), gg = int(p >> 8 & 0xFF), b = int(p & 0xFF);
                if (r != integer(4, "expect pixel X Y R G B") || gg != integer(5, "expect pixel X Y R G B") ||
                    b != integer(6, "expect pixel X Y R G B"))
                    return fail("pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") is (" + std::to_string(r) +
                                ", " + std::to_string(gg) + ", " + std::to_string(b) + "), expected (" + w[4] + ", " +
                                w[5] + ", " + w[6] + ")");
            } else {
                bad("expect key|no-key|var|selector|pixel ...");
            }
            std::printf("    ok\n");
        } else {
            throw HostError(o.scenario + ":" + std::to_string(lineNo) + ": unknown action '" + c + "'");
        }
    }
    std::printf("stop\n");
    h.stop();
    printWarnings(h);
    std::printf("scenario passed (%d lines)\n", lineNo);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    const Options o = parse(argc, argv);
    if (o.worker.empty()) quit(superviseWorker(o.timeout));
    attachHeartbeat(o.worker.c_str());
    int rc = 0;
    try {
        installGuards(nullptr, o.timeout);
        Module m(o.module);
        installGuards(&m, o.timeout);
        Gauge g = readGauge(m, o.module);
        readElements(m, g);
        if (o.command == "inspect") {
            inspect(o, m, g);
        } else if (o.command == "render") {
            std::unique_ptr<SimulatorStandIn> sim;
            if (isDsoundModule(g)) sim = std::make_unique<SimulatorStandIn>(o.log);
            Host h(m, g, o.scale, o.log);
            if (sim) sim->watchSound(m, [&h](const std::string& s) { h.logLine(s); });
            for (auto [id, v] : o.sets) h.setVar(id, v, nullptr);
            h.start();
            for (int i = 0; i < o.frames; ++i) h.frame();
            const Canvas c = h.scaled(h.compose());
            h.stop();
            writePng(c, o.out);
            printWarnings(h);
            if (o.log) std::printf("wrote %s (%d x %d)\n", o.out.c_str(), c.width, c.height);
        } else {
            rc = runScenario(o, m, g);
        }
    } catch (const HostError& e) {
        markReported();
        std::fflush(stdout);
        std::fprintf(stderr, "gaugehost: error: %s\n", e.what());
        rc = 2;
    } catch (const std::exception& e) {
        markReported();
        std::fflush(stdout);
        std::fprintf(stderr, "gaugehost: error: %s\n", e.what());
        rc = 2;
    }
    quit(rc);
}
