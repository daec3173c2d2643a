#include "records.h"

#include <cstddef>
#include <set>

namespace gaugehost {

using namespace hostapi;

namespace {

// A pointer field of a module record, as the 32-bit address it holds.
template <typename P> uint32_t addressOf(P p) {
    static_assert(sizeof p == 4, "module records hold 32-bit pointers");
    uint32_t v;
    std::memcpy(&v, &p, 4);
    return v;
}

// "+0x54" for a field offset in messages.
std::string at(size_t offset) { return " +" + hex(uint32_t(offset)); }

}  // namespace

const char* const kRoutineNames[7] = {"queryRoutine", "installRoutine", "initializeRoutine", "updateRoutine",
                                      "generateRoutine", "drawRoutine", "killRoutine"};

const char* kindName(uint32_t kind) {
    switch (kind) {
        case kStaticImage: return "static";
        case kNeedle: return "needle";
        case kString: return "string";
        case kSlider: return "slider";
        case kIcon: return "icon";
        default: return "unknown";
    }
}

uint32_t elementSize(uint32_t kind, uint32_t version) {
    const bool v800 = version == kHeaderVersion800;
    switch (kind) {
        case kStaticImage: return v800 ? sizeof(StaticImageElement800) : sizeof(StaticImageElement);
        case kIcon: return v800 ? sizeof(IconElement800) : sizeof(IconElement);
        case kSlider: return sizeof(SliderElement);
        case kNeedle: return sizeof(NeedleElement);
        case kString: return sizeof(StringElement);
        default: return 0;
    }
}

uint32_t Element::imageSlot() const {
    static_assert(offsetof(StaticImageElement, image) == offsetof(SliderElement, image),
                  "static images and sliders keep their image record in one place");
    return addr + offsetof(StaticImageElement, image);
}
uint32_t Element::textSlot() const { return addr + offsetof(StringElement, text); }
uint32_t Element::flagsSlot() const { return addr + offsetof(ElementHeader, imageFlags); }
uint32_t Gauge::servicesSlot() const { return importTable + offsetof(ImportTable, services); }

Gauge readGauge(const ModuleImage& m, const std::string& path) {
    Gauge g;
    g.path = path;
    g.importedDlls = m.imports();
    g.linkage = m.exportAddress("Linkage");
    if (g.linkage == 0) throw ModuleError("the module exports no record named Linkage");
    g.importTable = m.exportAddress("ImportTable");
    if (g.importTable == 0) throw ModuleError("the module exports no record named ImportTable");

    // The gauge list runs on past the record's two slots until its zero word.
    const std::string L = "Linkage at " + m.where(g.linkage);
    const auto link = m.read<Linkage>(g.linkage, L);
    g.moduleId = link.moduleId;
    g.moduleStart = addressOf(link.moduleStart);
    g.moduleStop = addressOf(link.moduleStop);
    g.moduleFlags = link.moduleFlags;
    g.linkageReserved = link.reserved;
    g.linkageVersion = link.linkageVersion;
    if (g.moduleStart) m.requireCode(g.moduleStart, L + at(offsetof(Linkage, moduleStart)) + " (module start)");
    if (g.moduleStop) m.requireCode(g.moduleStop, L + at(offsetof(Linkage, moduleStop)) + " (module stop)");
    const std::string list = at(offsetof(Linkage, gauges));
    for (uint32_t i = 0;; ++i) {
        if (i == 64) throw ModuleError(L + ": gauge list at" + list + " is not terminated within 64 entries");
        const uint32_t h = m.u32(g.linkage + offsetof(Linkage, gauges) + 4 * i, L + " gauge list");
        if (h == 0) break;
        g.headers.push_back(h);
    }
    if (g.headers.empty()) throw ModuleError(L + ": the gauge list at" + list + " is empty");

    const std::string I = "ImportTable at " + m.where(g.importTable);
    m.requireWritable(g.importTable, sizeof(ImportTable), I);
    const auto imports = m.read<ImportTable>(g.importTable, I);
    g.importId = imports.importId;
    g.importServices = addressOf(imports.services);

    g.header = g.headers[0];
    const std::string H = "GaugeHeader at " + m.where(g.header);
    m.requireWritable(g.header, sizeof(GaugeHeader), H);
    const auto header = m.read<GaugeHeader>(g.header, H);
    g.version = header.version;
    if (g.version != kHeaderVersion610 && g.version != kHeaderVersion800)
        throw ModuleError(H + ": unsupported header version " + std::to_string(g.version) + " (610 and 800 are known)");
    g.name = m.text(addressOf(header.name), 256, H + at(offsetof(GaugeHeader, name)) + " (gauge name)");
    g.rootSlot = addressOf(header.rootSlot);
    g.root = m.u32(g.rootSlot, H + at(offsetof(GaugeHeader, rootSlot)) + " (root element slot)");
    const uint32_t routines[7] = {addressOf(header.query),    addressOf(header.install), addressOf(header.initialize),
                                  addressOf(header.update),   addressOf(header.generate), addressOf(header.draw),
                                  addressOf(header.kill)};
    static_assert(offsetof(GaugeHeader, kill) - offsetof(GaugeHeader, query) == 6 * 4, "seven routines in a row");
    for (int i = 0; i < 7; ++i) {
        g.routines[i] = routines[i];
        if (g.routines[i])
            m.requireCode(g.routines[i], H + at(offsetof(GaugeHeader, query) + 4 * i) + " (" + kRoutineNames[i] + ")");
    }
    g.sizeValue = header.sizeValue;
    g.mouseListPtr = addressOf(header.mouseList);
    g.callback = addressOf(header.callback);
    if (g.version == kHeaderVersion800) {
        const std::string cb = H + at(offsetof(GaugeHeader, callback));
        if (g.callback == 0) throw ModuleError(cb + ": a version-800 header needs a GaugeCallback");
        m.requireCode(g.callback, cb + " (GaugeCallback)");
    } else if (g.routines[1] == 0) {
        throw ModuleError(H + at(offsetof(GaugeHeader, install)) + ": a version-610 header needs an installRoutine");
    }
    return g;
}

namespace {

constexpr int kMaxElements = 4096, kMaxDepth = 64, kMaxChildren = 1024;

// The fields of each kind, read from its record.
void readKind(const ModuleImage& m, bool v800, const std::string& K, Element& e) {
    const uint32_t a = e.addr;
    auto routine = [&](ValueRoutine r, size_t field) {
        const uint32_t p = addressOf(r);
        if (p) m.requireCode(p, K + at(field) + " (value routine)");
        return p;
    };
    switch (e.kind) {
        case kIcon: {
            const auto r = m.read<IconElement>(a, K);
            e.var = {a + uint32_t(offsetof(IconElement, source)), r.source.id};
            e.iconMode = r.mode;
            e.imageCount = r.imageCount;
            if (e.imageCount == 0 || e.imageCount > 256)
                throw ModuleError(K + at(offsetof(IconElement, imageCount)) + ": implausible image count " +
                                std::to_string(e.imageCount));
            if (v800) e.routine = routine(m.read<IconElement800>(a, K).routine, offsetof(IconElement800, routine));
            break;
        }
        case kSlider: {
            const auto r = m.read<SliderElement>(a, K);
            e.xVar = {a + uint32_t(offsetof(SliderElement, xVar)), r.xVar.id};
            e.xScale = r.xScale;
            e.var = {a + uint32_t(offsetof(SliderElement, yVar)), r.yVar.id};
            e.yScale = r.yScale;
            break;
        }
        case kNeedle: {
            const auto r = m.read<NeedleElement>(a, K);
            e.var = {a + uint32_t(offsetof(NeedleElement, source)), r.source.id};
            e.pointTable = addressOf(r.points);
            if (r.pointCount < 1 || r.pointCount > 64)
                throw ModuleError(K + at(offsetof(NeedleElement, pointCount)) + ": implausible point count " +
                                std::to_string(r.pointCount));
            const std::string P = K + " point table";
            m.require(e.pointTable, r.pointCount * uint32_t(sizeof(PointEntry)), P);
            for (uint32_t i = 0; i < r.pointCount; ++i) {
                const auto p = m.read<PointEntry>(e.pointTable + i * uint32_t(sizeof(PointEntry)), P);
                e.points.push_back({p.x, p.y, p.value});
                if (i && !(e.points[i].value >= e.points[i - 1].value))
                    throw ModuleError(P + ": entry " + std::to_string(i + 1) + " is not in ascending order of value");
            }
            e.routine = routine(r.routine, offsetof(NeedleElement, routine));
            break;
        }
        case kString: {
            const auto r = m.read<StringElement>(a, K);
            e.var = {a + uint32_t(offsetof(StringElement, source)), r.source.id};
            e.boxW = r.boxWidth;
            e.boxH = r.boxHeight;
            e.colour[0] = r.colour1;
            e.colour[1] = r.colour2;
            e.colour[2] = r.colour3;
            e.font.assign(r.fontFace, strnlen(r.fontFace, sizeof r.fontFace));
            e.fontWeight = r.fontWeight;
            e.fontWord = r.fontWord;
            e.layoutFlags = r.layoutFlags;
            e.routine = routine(r.routine, offsetof(StringElement, routine));
            if (e.boxW > 4096 || e.boxH > 4096) throw ModuleError(K + ": implausible text box size");
            break;
        }
        default:
            break;
    }
}

void readElement(const ModuleImage& m, Gauge& g, uint32_t addr, int parent, int depth, std::set<uint32_t>& seen,
                 const std::string& how) {
    const int index = int(g.elements.size());
    const std::string E = "element " + std::to_string(index + 1) + " (" + how + ") at " + m.where(addr);
    if (addr == 0) throw ModuleError(E + ": null element pointer");
    if (seen.count(addr)) throw ModuleError(E + ": reached twice: the element tree has a cycle or a shared element");
    if (index >= kMaxElements) throw ModuleError(E + ": more than 4096 elements");
    if (depth > kMaxDepth) throw ModuleError(E + ": tree deeper than 64 levels");
    seen.insert(addr);
    const auto head = m.read<ElementHeader>(addr, E);
    const uint32_t size = elementSize(head.kind, g.version);
    if (size == 0) throw ModuleError(E + ": unknown element kind " + std::to_string(head.kind));
    const std::string K = E + " (" + kindName(head.kind) + ")";
    // The host writes host-owned fields of every element: the record must be
    // writable data of the module.
    m.requireWritable(addr, size, K);
    Element e;
    e.addr = addr;
    e.kind = head.kind;
    e.label = "element " + std::to_string(index + 1);
    e.bitmap = head.bitmapId;
    e.x = head.x;
    e.y = head.y;
    e.childList = addressOf(head.children);
    e.failureList = addressOf(head.failures);
    e.flagsAtLoad = head.imageFlags;
    e.parent = parent;
    e.depth = depth;
    readKind(m, g.version == kHeaderVersion800, K, e);
    g.elements.push_back(e);
    if (e.childList == 0) return;
    const std::string C = K + " child list at " + m.where(e.childList);
    std::vector<uint32_t> kids;
    for (uint32_t i = 0;; ++i) {
        if (i == kMaxChildren) throw ModuleError(C + ": not terminated within 1024 entries");
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

void readElements(const ModuleImage& m, Gauge& g) {
    g.elements.clear();
    std::set<uint32_t> seen;
    readElement(m, g, g.root, -1, 0, seen, "root");
    if (g.elements[0].kind != kStaticImage)
        throw ModuleError("element 1 (root): the root must be a static image element");
}

std::vector<MouseEntry> readMouseList(const ModuleImage& m, uint32_t addr) {
    std::vector<MouseEntry> out;
    std::vector<int> open;
    const std::string M = "MouseRect list at " + m.where(addr);
    for (uint32_t i = 0;; ++i) {
        if (i == 1024) throw ModuleError(M + ": no end-of-list entry within 1024 entries");
        const uint32_t a = addr + uint32_t(sizeof(MouseRect)) * i;
        const std::string R = M + ", entry " + std::to_string(i + 1) + " at " + m.where(a);
        const auto r = m.read<MouseRect>(a, R + " (unterminated list)");
        MouseEntry e;
        e.addr = a;
        e.type = r.type;
        e.x = r.x;
        e.y = r.y;
        e.w = r.width;
        e.h = r.height;
        e.cursor = r.cursor;
        e.help = r.helpId;
        e.mask = r.eventMask;
        e.eventWord = r.eventWord;
        e.handler = addressOf(r.handler);
        e.parent = open.empty() ? -1 : open.back();
        e.depth = int(open.size());
        if (e.type > kMouseEndParent) throw ModuleError(R + ": unknown entry type " + std::to_string(e.type));
        if (e.type == kMouseChild && e.handler) m.requireCode(e.handler, R + at(offsetof(MouseRect, handler)) + " (handler)");
        if (e.type == kMouseEndParent) {
            if (open.empty()) throw ModuleError(R + ": end of parent without an open parent");
            e.depth = int(open.size()) - 1;
            open.pop_back();
        }
        out.push_back(e);
        if (e.type == kMouseParent) {
            if (open.size() >= 64) throw ModuleError(R + ": parents nested deeper than 64");
            open.push_back(int(out.size()) - 1);
        }
        if (e.type == kMouseEnd) {
            if (!open.empty())
                throw ModuleError(R + ": end of list while parent entry " + std::to_string(open.back() + 1) + " is open");
            return out;
        }
    }
}

}  // namespace gaugehost
