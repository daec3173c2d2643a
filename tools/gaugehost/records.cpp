#include "records.h"

#include <set>

namespace gh {

const char* const kRoutineNames[7] = {"queryRoutine", "installRoutine", "initializeRoutine", "updateRoutine",
                                      "generateRoutine", "drawRoutine", "killRoutine"};

const char* kindName(uint32_t kind) {
    switch (kind) {
        case kStatic: return "static";
        case kNeedle: return "needle";
        case kString: return "string";
        case kSlider: return "slider";
        case kIcon: return "icon";
        default: return "unknown";
    }
}

uint32_t elementSize(uint32_t kind, uint32_t version) {
    const bool v800 = version == 800;
    switch (kind) {
        case kStatic: return v800 ? 0x60 : 0x50;
        case kIcon: return v800 ? 0x8C : 0x84;
        case kSlider: return 0xA8;
        case kNeedle: return 0xEC;
        case kString: return 0x144;
        default: return 0;
    }
}

Gauge readGauge(const Module& m, const std::string& path) {
    Gauge g;
    g.path = path;
    g.importedDlls = m.imports();
    g.linkage = m.exportAddress("Linkage");
    if (g.linkage == 0) throw HostError("the module exports no record named Linkage");
    g.importTable = m.exportAddress("ImportTable");
    if (g.importTable == 0) throw HostError("the module exports no record named ImportTable");
    const std::string L = "Linkage at " + m.where(g.linkage);
    m.require(g.linkage, 0x1C, L);
    g.moduleId = m.u32(g.linkage, L);
    g.moduleStart = m.u32(g.linkage + 4, L);
    g.moduleStop = m.u32(g.linkage + 8, L);
    g.moduleFlags = m.u32(g.linkage + 12, L);
    g.linkageReserved = m.u32(g.linkage + 16, L);
    g.linkageVersion = m.u32(g.linkage + 20, L);
    if (g.moduleStart) m.requireCode(g.moduleStart, L + " +0x4 (module start)");
    if (g.moduleStop) m.requireCode(g.moduleStop, L + " +0x8 (module stop)");
    for (uint32_t i = 0;; ++i) {
        if (i == 64) throw HostError(L + ": gauge list at +0x18 is not terminated within 64 entries");
        const uint32_t h = m.u32(g.linkage + 0x18 + 4 * i, L + " gauge list");
        if (h == 0) break;
        g.headers.push_back(h);
    }
    if (g.headers.empty()) throw HostError(L + ": the gauge list at +0x18 is empty");

    const std::string I = "ImportTable at " + m.where(g.importTable);
    m.requireWritable(g.importTable, 16, I);
    g.importId = m.u32(g.importTable, I);
    g.importServices = m.u32(g.importTable + 4, I);

    g.header = g.headers[0];
    const std::string H = "GaugeHeader at " + m.where(g.header);
    m.requireWritable(g.header, 0x58, H);
    g.version = m.u32(g.header, H);
    if (g.version != 610 && g.version != 800)
        throw HostError(H + ": unsupported header version " + std::to_string(g.version) + " (610 and 800 are known)");
    g.name = m.text(m.u32(g.header + 4, H), 256, H + " +0x4 (gauge name)");
    g.rootSlot = m.u32(g.header + 8, H);
    g.root = m.u32(g.rootSlot, H + " +0x8 (root element slot)");
    for (int i = 0; i < 7; ++i) {
        g.routines[i] = m.u32(g.header + 0x0C + 4 * i, H);
        if (g.routines[i]) m.requireCode(g.routines[i], H + " +" + hex(0x0C + 4 * i) + " (" + kRoutineNames[i] + ")");
    }
    g.sizeValue = m.u32(g.header + 0x2C, H);
    g.mouseListPtr = m.u32(g.header + 0x50, H);
    g.callback = m.u32(g.header + 0x54, H);
    if (g.version == 800) {
        if (g.callback == 0) throw HostError(H + " +0x54: a version-800 header needs a GaugeCallback");
        m.requireCode(g.callback, H + " +0x54 (GaugeCallback)");
    } else if (g.routines[1] == 0) {
        throw HostError(H + " +0x10: a version-610 header needs an installRoutine");
    }
    return g;
}

namespace {

constexpr int kMaxElements = 4096, kMaxDepth = 64, kMaxChildren = 1024;

void readElement(const Module& m, Gauge& g, uint32_t addr, int parent, int depth, std::set<uint32_t>& seen,
                 const std::string& how) {
    const int index = int(g.elements.size());
    const std::string E = "element " + std::to_string(index + 1) + " (" + how + ") at " + m.where(addr);
    if (addr == 0) throw HostError(E + ": null element pointer");
    if (seen.count(addr)) throw HostError(E + ": reached twice: the element tree has a cycle or a shared element");
    if (index >= kMaxElements) throw HostError(E + ": more than 4096 elements");
    if (depth > kMaxDepth) throw HostError(E + ": tree deeper than 64 levels");
    seen.insert(addr);
    const uint32_t kind = m.u32(addr, E);
    const uint32_t size = elementSize(kind, g.version);
    if (size == 0) throw HostError(E + ": unknown element kind " + std::to_string(kind));
    const std::string K = E + " (" + kindName(kind) + ")";
    // The host writes host-owned fields of every element: the record must be
    // writable data of the module.
    m.requireWritable(addr, size, K);
    Element e;
    e.addr = addr;
    e.kind = kind;
    e.label = "element " + std::to_string(index + 1);
    e.bitmap = m.u32(addr + 4, K);
    e.x = m.i32(addr + 8, K);
    e.y = m.i32(addr + 12, K);
    e.childList = m.u32(addr + 0x28, K);
    e.failureList = m.u32(addr + 0x2C, K);
    e.flagsAtLoad = m.u32(addr + 0x30, K);
    e.parent = parent;
    e.depth = depth;
    const bool v800 = g.version == 800;
    auto routine = [&](uint32_t off) {
        const uint32_t r = m.u32(addr + off, K);
        if (r) m.requireCode(r, K + " +" + hex(off) + " (value routine)");
        return r;
    };
    switch (kind) {
        case kIcon:
            e.var = {addr + 0x3C, m.u32(addr + 0x3C, K)};
            e.iconMode = m.u32(addr + 0x5C, K);
            e.imageCount = m.u32(addr + 0x70, K);
            if (e.imageCount == 0 || e.imageCount > 256)
                throw HostError(K + " +0x70: implausible image count " + std::to_string(e.imageCount));
            if (v800) e.routine = routine(0x84);
            break;
        case kSlider:
            e.xVar = {addr + 0x40, m.u32(addr + 0x40, K)};
            e.xScale = m.f64(addr + 0x60, K);
            e.var = {addr + 0x68, m.u32(addr + 0x68, K)};
            e.yScale = m.f64(addr + 0x88, K);
            break;
        case kNeedle: {
            e.var = {addr + 0x3C, m.u32(addr + 0x3C, K)};
            e.pointTable = m.u32(addr + 0x70, K);
            const uint32_t n = m.u32(addr + 0x74, K);
            if (n < 1 || n > 64) throw HostError(K + " +0x74: implausible point count " + std::to_string(n));
            const std::string P = K + " point table";
            m.require(e.pointTable, n * 24, P);
            for (uint32_t i = 0; i < n; ++i) {
                const uint32_t p = e.pointTable + 24 * i;
                e.points.push_back({m.i32(p, P), m.i32(p + 4, P), m.f64(p + 8, P)});
                if (i && !(e.points[i].value >= e.points[i - 1].value))
                    throw HostError(P + ": entry " + std::to_string(i + 1) + " is not in ascending order of value");
            }
            e.routine = routine(0xE0);
            break;
        }
        case kString:
            e.var = {addr + 0x3C, m.u32(addr + 0x3C, K)};
            e.boxW = m.u32(addr + 0xC0, K);
            e.boxH = m.u32(addr + 0xC4, K);
            for (int i = 0; i < 3; ++i) e.colour[i] = m.u32(addr + 0xC8 + 4 * i, K);
            {
                const char* f = reinterpret_cast<const char*>(uintptr_t(addr + 0xF8));
                e.font.assign(f, strnlen(f, 32));
            }
            e.fontWeight = m.u32(addr + 0x118, K);
            e.fontWord = m.u32(addr + 0x11C, K);
            e.layoutFlags = m.u32(addr + 0x124, K);
            e.routine = routine(0x138);
            if (e.boxW > 4096 || e.boxH > 4096) throw HostError(K + ": implausible text box size");
            break;
        default:
            break;
    }
    g.elements.push_back(e);
    if (e.childList == 0) return;
    const std::string C = K + " child list at " + m.where(e.childList);
    std::vector<uint32_t> kids;
    for (uint32_t i = 0;; ++i) {
        if (i == kMaxChildren) throw HostError(C + ": not terminated within 1024 entries");
        const uint32_t c = m.u32(e.childList + 4 * i, C + " (unterminated list)");
        if (c == 0) break;
        kids.push_back(c);
    }
    for (size_t i = 0; i < kids.size(); ++i) {
        g.elements[index].children.push_back(int(g.elements.size()));
        readElement(m, g, kids[i], index, depth + 1, seen,
                    "child " + std::to_string(i + 1) + " of element " + std::to_string(index + 1));
    }
}

}  // namespace

void readElements(const Module& m, Gauge& g) {
    g.elements.clear();
    std::set<uint32_t> seen;
    readElement(m, g, g.root, -1, 0, seen, "root");
    if (g.elements[0].kind != kStatic) throw HostError("element 1 (root): the root must be a static image element");
}

std::vector<MouseEntry> readMouseList(const Module& m, uint32_t addr) {
    std::vector<MouseEntry> out;
    std::vector<int> open;
    const std::string M = "MouseRect list at " + m.where(addr);
    for (uint32_t i = 0;; ++i) {
        if (i == 1024) throw HostError(M + ": no end-of-list entry within 1024 entries");
        const uint32_t a = addr + 44 * i;
        const std::string R = M + ", entry " + std::to_string(i + 1) + " at " + m.where(a);
        m.require(a, 44, R + " (unterminated list)");
        MouseEntry e;
        e.addr = a;
        e.type = m.u32(a, R);
        e.x = m.i32(a + 4, R);
        e.y = m.i32(a + 8, R);
        e.w = m.u32(a + 12, R);
        e.h = m.u32(a + 16, R);
        e.cursor = m.u32(a + 20, R);
        e.help = m.u32(a + 24, R);
        e.mask = m.u32(a + 28, R);
        e.eventWord = m.u32(a + 32, R);
        e.handler = m.u32(a + 36, R);
        e.parent = open.empty() ? -1 : open.back();
        e.depth = int(open.size());
        if (e.type > 3) throw HostError(R + ": unknown entry type " + std::to_string(e.type));
        if (e.type == 2 && e.handler) m.requireCode(e.handler, R + " +0x24 (handler)");
        if (e.type == 3) {
            if (open.empty()) throw HostError(R + ": end of parent without an open parent");
            e.depth = int(open.size()) - 1;
            open.pop_back();
        }
        out.push_back(e);
        if (e.type == 1) {
            if (open.size() >= 64) throw HostError(R + ": parents nested deeper than 64");
            open.push_back(int(out.size()) - 1);
        }
        if (e.type == 0) {
            if (!open.empty())
                throw HostError(R + ": end of list while parent entry " + std::to_string(open.back() + 1) + " is open");
            return out;
        }
    }
}

}  // namespace gh
