// The generated gauge runtime: the fixed module records of a
// version-800 gauge, the template GaugeCallback with its started flag, the
// routine forms as element value routines, and builders that turn a gauge's
// tables into the exact element records.
//
// A gauge module built on it (see monovue/monovue.cpp) supplies:
//
//   // module-level variables, refreshed by code 6 in this order
//   constinit ModuleVar refreshList[2] = {moduleVar(324), moduleVar(325)};
//   void start() { ... }                 // optional start action (first code 10)
//
//   // the element chain in drawing order; each element is linked to the
//   // next, gets its own empty failure entry, image flags 0x83 and the
//   // owning header; the last element has no child list
//   constinit gaugert::Chain chain{
//       gaugert::image(256, 0, 0),
//       gaugert::needle(4352, 26, 29, 624, {{0, 13, 43}, {60, 13, 17}, {100, 38, 17}},
//                       gaugert::passThroughRoutine),
//       gaugert::text(24, 36, 624, kStyle, gaugert::textRoutine<kN1Text>),
//       gaugert::icon(6400, 15, 156, 323, 2, parkingBrakeRoutine),
//       ...
//   };
//
//   constinit MouseRect mouseList[3] = {mouseParent(0, 0, 0, 0), mouseEndParent(), mouseEnd()};
//
//   // the header block, name buffer and root slot, under this one name
//   constinit gaugert::GaugeRecords gaugert::gauge = gaugert::records(
//       "monovue", chain.root(), mouseList, gaugert::gaugeCallback<refreshList>);
//   // or gaugert::gaugeCallback<refreshList, start>
//
// and a .def file exporting the runtime's records:
//   EXPORTS
//       Linkage = gLinkage DATA
//       ImportTable = gImportTable DATA
//
// Value routines of the gauge's own (state forms, wheelgard's lamps) have
// the ValueRoutine signature; gaugert::source(element) reads the element's
// cached variable value, gaugert::above() composes state tests. Mouse
// handlers send key events with gaugert::sendKeyEvent().
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "../hostapi/elements.h"
#include "../hostapi/gauge_module.h"
#include "../hostapi/panel_services.h"
#include "forms.h"

#pragma pack(push, 4)

namespace gaugert {

// The runtime is written in the records and services of the host interface.
using namespace hostapi;

// ---- module records ----------------------------------------------------------

// The gauge's header block (header, then zero bytes up to 0xC4), the 32-byte
// zero-filled name buffer the header points to, and the root element slot
// the header points to (followed by a zero word).
struct GaugeRecords {
    GaugeHeader800 block;
    char name[32];
    ElementHeader* rootSlot[2];
};

// Defined by the gauge with records(); the runtime's Linkage lists it.
extern GaugeRecords gauge;

constexpr GaugeHeader* header() { return &gauge.block.header; }

consteval GaugeRecords records(const char* name, ElementHeader* root, MouseRect* mouseList,
                               GaugeCallback callback) {
    GaugeRecords r{};
    r.block.header.version = kHeaderVersion800;
    r.block.header.name = gauge.name;
    r.block.header.rootSlot = gauge.rootSlot;
    r.block.header.sizeValue = kGaugeSizeValue;
    r.block.header.mouseList = mouseList;
    r.block.header.callback = callback;
    for (size_t i = 0; i < 31 && name[i] != '\0'; ++i) r.name[i] = name[i];
    r.rootSlot[0] = root;
    return r;
}

// ---- module-wide state and the GaugeCallback template -------------------------

// 0 at load, 1 from the first service code 10 on; never cleared.
extern uint32_t started;

typedef void (*StartAction)();

// What GaugeCallback does with a service code: code 6 refreshes `list` (service
// 40 on each record, in order); the first code 10 sets `started` and runs
// `start` (if any); every other code, including codes above 12 (and negative
// codes, seen unsigned), does nothing.
void serviceCode(int32_t code, ModuleVar* list, size_t count, StartAction start);

// The template GaugeCallback, instantiated per gauge with its refresh list (an
// array of ModuleVar) and its start action.
template <auto& RefreshList, StartAction Start = nullptr>
void GAUGE_CALL gaugeCallback(uint32_t /*hostArg*/, int32_t code, uint32_t /*extra*/) {
    serviceCode(code, RefreshList, std::size(RefreshList), Start);
}

// ---- host services -----------------------------------------------------------

void sendKeyEvent(uint32_t eventId, int32_t parameter = 0);

// ---- value routines: the routine forms ----------------------------------------

// Icons, needles and strings hold their ModuleVar at 0x3C.
struct SourcedElement {
    ElementHeader header;
    ModuleVar source;
};
static_assert(offsetof(SourcedElement, source.value) == 0x48, "cached value at element +0x48");

// x: the cached value of the element's own variable.
inline double source(ElementHeader* element) {
    return reinterpret_cast<const SourcedElement*>(element)->source.value;
}
inline double value(const ModuleVar& var) { return var.value; }

double GAUGE_CALL passThroughRoutine(ElementHeader* element);

template <const Bounds& B>
double GAUGE_CALL boundedRoutine(ElementHeader* element) {
    return bounded(source(element), B);
}

// Text form: writes the text into the buffer the host stored at +0xB8, at
// most kReadoutCapacity bytes with the NUL, and returns the formatted value.
double runText(ElementHeader* element, const TextForm& form);

template <const TextForm& F>
double GAUGE_CALL textRoutine(ElementHeader* element) {
    return runText(element, F);
}

// ---- element chain -------------------------------------------------------------

// The ElementHeader at the start of each version-800 record.
constexpr ElementHeader& headerOf(StaticImageElement800& r) { return r.base.header; }
constexpr ElementHeader& headerOf(IconElement800& r) { return r.base.header; }
constexpr ElementHeader& headerOf(NeedleElement& r) { return r.header; }
constexpr ElementHeader& headerOf(StringElement& r) { return r.header; }

// Element descriptions, as a gauge's tables give them (built by image(),
// needle(), text() and icon() below).
struct ImageRow {
    StaticImageElement800 record;
};
template <size_t N>
struct NeedleRow {
    NeedleElement record;
    PointEntry points[N];
};
struct TextRow {
    StringElement record;
};
struct IconRow {
    IconElement800 record;
};

// One element of the chain: its record, its child list (the next element,
// then the zero word) and its own empty failure entry. Built in place from
// its description by the chain (the record points into the link itself).
template <class Record>
struct Link {
    Record record;
    ElementHeader* children[2];
    FailureEntry failures;

    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    template <class Row>
    constexpr explicit Link(const Row& row)
        : record(row.record), children{nullptr, nullptr}, failures{} {
        headerOf(record).gauge = header();
        headerOf(record).failures = &failures;
        headerOf(record).imageFlags = kImageFlagsGenerated;
    }
    constexpr void linkTo(ElementHeader* next) {
        children[0] = next;
        headerOf(record).children = children;
    }
    constexpr ElementHeader* element() { return &headerOf(record); }
};

// A needle also carries its point table, right after its link.
template <size_t N>
struct NeedleLink : Link<NeedleElement> {
    PointEntry points[N];

    constexpr explicit NeedleLink(const NeedleRow<N>& row) : Link<NeedleElement>(row), points{} {
        for (size_t i = 0; i < N; ++i) points[i] = row.points[i];
        record.points = points;
        record.pointCount = N;
    }
};

template <class Row>
struct LinkOf;
template <>
struct LinkOf<ImageRow> {
    using type = Link<StaticImageElement800>;
};
template <size_t N>
struct LinkOf<NeedleRow<N>> {
    using type = NeedleLink<N>;
};
template <>
struct LinkOf<TextRow> {
    using type = Link<StringElement>;
};
template <>
struct LinkOf<IconRow> {
    using type = Link<IconElement800>;
};

// One point of a needle's table: at `value` the needle points toward (x, y).
struct NeedleTableRow {
    double value;
    int32_t x, y;
};

// Presentation shared by a gauge's readouts. Each box ends at `right`.
struct TextStyle {
    int32_t right;
    uint32_t height;
    uint32_t colour1, colour2, colour3;
    const char* font;
    uint32_t fontWeight;
    uint32_t fontWord;
    uint32_t layoutFlags;
};

constexpr ImageRow image(uint32_t bitmap, int32_t x, int32_t y) {
    ImageRow s{};
    s.record.base.header.kind = kStaticImage;
    s.record.base.header.bitmapId = bitmap;
    s.record.base.header.x = x;
    s.record.base.header.y = y;
    return s;
}

template <size_t N>
constexpr NeedleRow<N> needle(uint32_t bitmap, int32_t x, int32_t y, uint32_t var,
                               const NeedleTableRow (&table)[N], ValueRoutine routine) {
    NeedleRow<N> s{};
    s.record.header.kind = kNeedle;
    s.record.header.bitmapId = bitmap;
    s.record.header.x = x;
    s.record.header.y = y;
    s.record.source = moduleVar(var);
    s.record.routine = routine;
    for (size_t i = 0; i < N; ++i) s.points[i] = PointEntry{table[i].x, table[i].y, table[i].value, {}};
    return s;
}

constexpr TextRow text(int32_t x, int32_t y, uint32_t var, const TextStyle& style,
                        ValueRoutine routine) {
    TextRow s{};
    s.record.header.kind = kString;
    s.record.header.bitmapId = kNoBitmap;
    s.record.header.x = x;
    s.record.header.y = y;
    s.record.source = moduleVar(var);
    s.record.boxWidth = static_cast<uint32_t>(style.right - x);
    s.record.boxHeight = style.height;
    s.record.colour1 = style.colour1;
    s.record.colour2 = style.colour2;
    s.record.colour3 = style.colour3;
    for (size_t i = 0; i < 31 && style.font[i] != '\0'; ++i) s.record.fontFace[i] = style.font[i];
    s.record.fontWeight = style.fontWeight;
    s.record.fontWord = style.fontWord;
    s.record.layoutFlags = style.layoutFlags;
    s.record.routine = routine;
    return s;
}

// Icon with `count` images: resources bitmap, bitmap + 1, ...; mode 3.
constexpr IconRow icon(uint32_t bitmap, int32_t x, int32_t y, uint32_t var, uint32_t count,
                        ValueRoutine routine) {
    IconRow s{};
    s.record.base.header.kind = kIcon;
    s.record.base.header.bitmapId = bitmap;
    s.record.base.header.x = x;
    s.record.base.header.y = y;
    s.record.base.source = moduleVar(var);
    s.record.base.mode = 3;
    s.record.base.imageCount = count;
    s.record.routine = routine;
    return s;
}

// The chain: the elements in drawing order, each the only child of the one
// before it. Declare with the builders above; class template argument
// deduction picks the element kinds.
template <class... Rows>
struct Chain;

template <class Last>
struct Chain<Last> {
    typename LinkOf<Last>::type head;

    constexpr explicit Chain(const Last& last) : head(last) {}
    constexpr ElementHeader* root() { return head.element(); }
};

template <class First, class... Rest>
struct Chain<First, Rest...> {
    typename LinkOf<First>::type head;
    Chain<Rest...> tail;

    constexpr explicit Chain(const First& first, const Rest&... rest) : head(first), tail(rest...) {
        head.linkTo(tail.root());
    }
    constexpr ElementHeader* root() { return head.element(); }
};

template <class... Rows>
Chain(Rows...) -> Chain<Rows...>;

// Mouse list child rectangle for a click (cursor 5, mask 0x20000000).
constexpr MouseRect clickRect(int32_t x, int32_t y, uint32_t w, uint32_t h, MouseHandler handler) {
    return mouseChild(x, y, w, h, kMouseClick, handler);
}

}  // namespace gaugert

#pragma pack(pop)

// The runtime's Linkage (export it by this name in the .def; gImportTable,
// the module's ImportTable, is declared in gauge_module.h).
extern "C" hostapi::Linkage gLinkage;
