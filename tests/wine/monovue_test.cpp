// monovue.gau as the simulator loads it: the version-800 records byte by
// byte (Linkage, ImportTable, the header block with its zero tail, the name
// buffer, the 29-element chain with its point tables and failure entries,
// the mouse list, the refresh list), GaugeCallback over every service code,
// every value routine called through its record's pointer with the
// element's address as the host calls it, the stack balance of every call,
// the text capacity against hostile values, and the 14 bitmap resources.
// Offsets and values are the host's numbers, written out on purpose
// (support.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "gaugert/forms.h"
#include "support.h"
#include "tests/cases/monovue_readout_cases.h"

using namespace winetest;

namespace {

// The text buffer the host must provide per string element (README).
constexpr uint32_t kReadoutCapacity = 16;
static_assert(kReadoutCapacity == gaugert::kReadoutCapacity, "the documented capacity is the runtime's");

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double single(double x) { return static_cast<double>(static_cast<float>(x)); }

// ---- the display's tables ----------------------------------------------------------

enum Kind : uint32_t { kImage = 0, kNeedle = 1, kString = 2, kIcon = 4 };
using cases::Readout;
using cases::kN1, cases::kEgt, cases::kN2, cases::kFf, cases::kFob, cases::kFlaps;
enum NeedleRoutine { kPass, kEgt1, kEgt2, kEgt34 };

struct ExpectedPoint { double value; int32_t x, y; };

struct Element {
    Kind kind;
    uint32_t bitmap;
    int32_t x, y;
    uint32_t var;
    // needles
    std::vector<ExpectedPoint> points = {};
    NeedleRoutine needle = kPass;
    // strings
    Readout readout = kN1;
    // icons
    uint32_t images = 0;
};

Element needle(uint32_t bitmap, int32_t x, int32_t y, uint32_t var, std::vector<ExpectedPoint> p, NeedleRoutine r) {
    Element e{kNeedle, bitmap, x, y, var};
    e.points = std::move(p);
    e.needle = r;
    return e;
}
Element text(int32_t x, int32_t y, uint32_t var, Readout r) {
    Element e{kString, 0xFFFFFFFFu, x, y, var};
    e.readout = r;
    return e;
}
Element icon(uint32_t bitmap, int32_t x, int32_t y, uint32_t var, uint32_t images) {
    Element e{kIcon, bitmap, x, y, var};
    e.images = images;
    return e;
}

const std::vector<Element>& chainTable() {
    static const std::vector<Element> t = {
        /*  1 */ {kImage, 256, 0, 0, 0},
        /*  2 */ needle(4352, 26, 29, 624, {{0, 13, 43}, {60, 13, 17}, {100, 38, 17}}, kPass),
        /*  3 */ text(24, 36, 624, kN1),
        /*  4 */ needle(4608, 26, 70, 567, {{500, 8, 70}, {1700, 38, 57}}, kEgt1),
        /*  5 */ text(20, 71, 567, kEgt),
        /*  6 */ needle(4864, 73, 29, 643, {{0, 61, 42}, {60, 61, 17}, {100, 85, 16}}, kPass),
        /*  7 */ text(71, 36, 643, kN1),
        /*  8 */ needle(5120, 73, 70, 577, {{500, 54, 70}, {1700, 87, 56}}, kEgt2),
        /*  9 */ text(67, 71, 577, kEgt),
        /* 10 */ needle(5376, 135, 29, 662, {{0, 122, 43}, {60, 122, 16}, {100, 147, 16}}, kPass),
        /* 11 */ text(133, 36, 662, kN1),
        /* 12 */ needle(5632, 135, 70, 587, {{500, 115, 71}, {1700, 148, 57}}, kEgt34),
        /* 13 */ text(129, 71, 587, kEgt),
        /* 14 */ needle(5888, 182, 29, 681, {{0, 169, 44}, {60, 169, 17}, {100, 194, 17}}, kPass),
        /* 15 */ text(180, 36, 681, kN1),
        /* 16 */ needle(6144, 182, 70, 597, {{500, 163, 70}, {1700, 195, 56}}, kEgt34),
        /* 17 */ text(176, 71, 597, kEgt),
        /* 18 */ text(16, 92, 625, kN2),
        /* 19 */ text(64, 92, 644, kN2),
        /* 20 */ text(126, 92, 663, kN2),
        /* 21 */ text(174, 92, 682, kN2),
        /* 22 */ text(16, 112, 638, kFf),
        /* 23 */ text(62, 112, 657, kFf),
        /* 24 */ text(125, 112, 676, kFf),
        /* 25 */ text(174, 112, 695, kFf),
        /* 26 */ text(39, 133, 791, kFob),
        /* 27 */ text(160, 155, 907, kFlaps),
        /* 28 */ icon(6400, 15, 156, 323, 2),
        /* 29 */ icon(8192, 15, 173, 0, 3),
    };
    return t;
}

uint32_t recordSize(Kind k) {
    switch (k) {
        case kImage: return 0x60;
        case kNeedle: return 0xEC;
        case kString: return 0x144;
        case kIcon: return 0x8C;
    }
    return 0;
}

// Steps 1 to 4 of the text form, computed here in SSE2 doubles as the
// module must.
double expectedValue(Readout r, double x) {
    const double s = single(x);
    switch (r) {
        case kEgt: return single(s / 1.8 - 273.0);
        case kFf: return single(s / 27.24);
        case kFob: return single(s / 0.454);
        default: return s;
    }
}

// What a readout shows of a whole text: the runtime writes at most
// kReadoutCapacity (16) bytes, the NUL included.
std::string shown(const std::string& text) { return cases::shown(text, kReadoutCapacity); }

double expectedNeedle(NeedleRoutine r, double x) {
    switch (r) {
        case kPass: return x;
        case kEgt1: x = x > 2000 ? 2000 : x; return x < 5 ? 5 : x;
        case kEgt2: x = x > 1700 ? 2000 : x; return x < 500 ? 500 : x;
        case kEgt34: x = x > 2000 ? 2000 : x; return x < 500 ? 500 : x;
    }
    return 0;
}

// ---- fixture ------------------------------------------------------------------------

class Monovue : public GaugeTest {
protected:
    Monovue() : GaugeTest("monovue") {}

    void setSource(uint8_t* e, double v) { std::memcpy(e + 0x48, &v, 8); }
    // The offset of an element's value routine pointer, by kind.
    static uint32_t routineOffset(Kind k) { return k == kNeedle ? 0xE0 : k == kString ? 0x138 : 0x84; }

    // Every byte of the module's writable sections.
    std::vector<uint8_t> writableData() const { return winetest::writableData(m); }
};

// ---- module records -------------------------------------------------------------------

TEST_F(Monovue, LinkageAndImportTableBytes) {
    expectRecord(m, "Linkage", m.linkage, 0x20,
                 {w32(0x00, 0x13, "module id"), w32(0x14, 0x800, "linkage version"),
                  dataPtr(0x18, "gauge list: the header")},
                 {0x04, 0x08});
    EXPECT_EQ(u32(header, 0x00), 800u) << "the gauge list names a version-800 header";
    EXPECT_EQ(u32(m.linkage, 0x1C), 0u) << "one gauge, then the zero word";
    expectRecord(m, "ImportTable", m.imports, 0x10, {w32(0x00, 0x0F, "import id")});
    EXPECT_TRUE(m.inWritable(m.imports));
}

TEST_F(Monovue, HeaderBlockNameAndRootSlot) {
    // 0xC4 bytes: the 0x58-byte header, then zero to 0xC4. The seven
    // routine slots of version 610 are zero. No active area: three mouse
    // entries.
    expectHeaderBlock800(m, "monovue", 3);
}

TEST_F(Monovue, ElementChainBytes) {
    // One chain of 29 elements from the root slot, none met twice, ending at
    // a NULL child list.
    const ChainWalk walk = walkChain(m, header);
    EXPECT_EQ(walk.problem, "");
    const std::vector<uint8_t*>& chain = walk.elements;
    const std::vector<Element>& table = chainTable();
    ASSERT_EQ(chain.size(), table.size()) << "29 elements in one chain";
    // Every record the chain owns, each element's child list, failure entry
    // and point table its own.
    std::vector<Span> records;
    for (size_t i = 0; i < table.size(); ++i) {
        const Element& t = table[i];
        uint8_t* e = chain[i];
        SCOPED_TRACE("element " + std::to_string(i + 1));
        EXPECT_TRUE(m.inWritable(e));
        const std::string n = std::to_string(i + 1);
        records.push_back(span(e, recordSize(t.kind), "element " + n));
        std::vector<Field> f = {
            w32(0x00, t.kind, "kind"), w32(0x04, t.bitmap, "bitmap"),
            w32(0x08, static_cast<uint32_t>(t.x), "x"), w32(0x0C, static_cast<uint32_t>(t.y), "y"),
            ptr(0x20, header, "gauge"), dataPtr(0x2C, "failure list"), w32(0x30, 0x83, "image flags"),
        };
        uint8_t* children = at(e, 0x28);
        if (i + 1 < table.size()) {
            f.push_back(dataPtr(0x28, "child list"));
            ASSERT_TRUE(m.inWritable(children));
            // One child, then the zero word.
            expectRecord(m, "child list", children, 8, {ptr(0, chain[i + 1], "next element")});
            records.push_back(span(children, 8, "child list of element " + n));
        } else {
            EXPECT_EQ(children, nullptr) << "the last element has no child list";
        }
        uint8_t* failures = at(e, 0x2C);
        ASSERT_TRUE(m.inWritable(failures));
        expectRecord(m, "failure entry", failures, 12, {});
        records.push_back(span(failures, 12, "failure entry of element " + n));

        std::vector<uint32_t> code;
        switch (t.kind) {
            case kImage:
                break;
            case kNeedle: {
                uint8_t* points = at(e, 0x70);
                f.push_back(w32(0x3C, t.var, "variable id"));
                f.push_back(dataPtr(0x70, "point table"));
                f.push_back(w32(0x74, static_cast<uint32_t>(t.points.size()), "point count"));
                code.push_back(0xE0);
                ASSERT_TRUE(m.inWritable(points));
                std::vector<Field> pf;
                for (size_t k = 0; k < t.points.size(); ++k) {
                    pf.push_back(w32(24 * k + 0, static_cast<uint32_t>(t.points[k].x), "point x"));
                    pf.push_back(w32(24 * k + 4, static_cast<uint32_t>(t.points[k].y), "point y"));
                    pf.push_back(dbl(24 * k + 8, t.points[k].value, "point value"));
                }
                expectRecord(m, "point table", points, 24 * t.points.size(), pf);
                records.push_back(span(points, 24 * t.points.size(), "point table of element " + n));
                break;
            }
            case kString:
                f.push_back(w32(0x3C, t.var, "variable id"));
                f.push_back(w32(0xC0, static_cast<uint32_t>(212 - t.x), "box width"));
                f.push_back(w32(0xC4, 12, "box height"));
                f.push_back(w32(0xD0, 0x0000FFFF, "colour word 3"));
                f.push_back(w32(0x118, 500, "font weight"));
                f.push_back(w32(0x11C, 1, "font word"));
                f.push_back(w32(0x124, 0x4240, "layout flags"));
                code.push_back(0x138);
                break;
            case kIcon:
                f.push_back(w32(0x3C, t.var, "variable id"));
                f.push_back(w32(0x5C, 3, "icon mode"));
                f.push_back(w32(0x70, t.images, "image count"));
                code.push_back(0x84);
                break;
        }
        std::vector<TextField> texts;
        if (t.kind == kString) texts.push_back({0xF8, 32, "Arial"});
        expectRecord(m, "element", e, recordSize(t.kind), f, code, texts);
    }
    records.push_back(span(header, 0xC4, "header block"));
    expectDisjoint(records);
}

TEST_F(Monovue, MouseListHasNoActiveArea) {
    uint8_t* list = at(header, 0x50);
    ASSERT_TRUE(m.inWritable(list));
    EXPECT_TRUE(m.inWritable(list + 3 * 44 - 1));
    const uint32_t types[3] = {1, 3, 0};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("mouse entry " + std::to_string(i + 1));
        expectRecord(m, "MouseRect", list + 44 * i, 44,
                     {w32(0x00, types[i], "type"), w32(0x14, 0xFFFFFFFF, "cursor")});
    }
}

// ---- GaugeCallback ----------------------------------------------------------------------

TEST_F(Monovue, Code6RefreshesVariables324Then325) {
    Recorder rec;
    rec.attach(m);
    rec.vars[324] = 1.0;
    rec.vars[325] = 16500.0;
    callback(6);
    ASSERT_EQ(rec.calls.size(), 2u);
    EXPECT_EQ(rec.calls[0].slot, 40u);
    EXPECT_EQ(rec.calls[1].slot, 40u);
    uint8_t* armed = reinterpret_cast<uint8_t*>(rec.calls[0].args.at(0));
    uint8_t* position = reinterpret_cast<uint8_t*>(rec.calls[1].args.at(0));
    EXPECT_EQ(position - armed, 28) << "contiguous 28-byte records";
    ASSERT_TRUE(m.inImage(addr(armed)));
    EXPECT_TRUE(m.inWritable(armed));
    expectRecord(m, "ModuleVar 324", armed, 28, {w32(0x00, 324, "id"), dbl(0x0C, 1.0, "cached value")});
    expectRecord(m, "ModuleVar 325", position, 28, {w32(0x00, 325, "id"), dbl(0x0C, 16500.0, "cached value")});
    // Every code 6 refreshes again, in the same order.
    rec.clear();
    callback(6);
    const std::vector<ServiceCall> expected = {{40, {addr(armed)}}, {40, {addr(position)}}};
    EXPECT_EQ(rec.calls, expected);
}

TEST_F(Monovue, OtherCodesCallNothingAndChangeNothing) {
    Recorder rec;
    rec.attach(m);
    std::vector<uint32_t> codes;
    for (uint32_t c = 0; c <= 13; ++c)
        if (c != 6 && c != 10) codes.push_back(c);
    for (uint32_t c : {14u, 100u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0xFFFFFFFAu}) codes.push_back(c);
    for (uint32_t c : codes) {
        SCOPED_TRACE("code " + std::to_string(c));
        const std::vector<uint8_t> before = writableData();
        rec.clear();
        callback(c);
        EXPECT_TRUE(rec.calls.empty());
        EXPECT_TRUE(before == writableData()) << "module data changed";
    }
}

TEST_F(Monovue, FirstCode10SetsTheStartedFlagOnceAndCallsNothing) {
    Recorder rec;
    rec.attach(m);
    const std::vector<uint8_t> before = writableData();
    callback(10);  // before any code 6
    EXPECT_TRUE(rec.calls.empty());
    const std::vector<uint8_t> after = writableData();
    ASSERT_EQ(before.size(), after.size());
    // Exactly one 32-bit word went from 0 to 1: the started flag.
    int changedWords = 0;
    for (size_t i = 0; i + 4 <= before.size(); i += 4) {
        if (std::memcmp(&before[i], &after[i], 4) == 0) continue;
        ++changedWords;
        EXPECT_EQ(u32(before.data(), i), 0u);
        EXPECT_EQ(u32(after.data(), i), 1u);
    }
    EXPECT_EQ(changedWords, 1);
    // The second code 10 does nothing at all.
    callback(10);
    EXPECT_TRUE(rec.calls.empty());
    EXPECT_TRUE(after == writableData());
    // Code 6 still works afterwards.
    callback(6);
    EXPECT_EQ(rec.calls.size(), 2u);
}

// ---- value routines, through the records ---------------------------------------------------

TEST_F(Monovue, NeedleRoutines) {
    const std::vector<uint8_t*> chain = elements();
    ASSERT_EQ(chain.size(), 29u);
    const double inputs[] = {-10, 0, 3, 5, 60, 100, 130, 400, 499.9, 500, 1234.5, 1700, 1700.5,
                             1800, 2000, 2500, -kInf, kInf, -0.0};
    for (size_t i = 0; i < chain.size(); ++i) {
        const Element& t = chainTable()[i];
        if (t.kind != kNeedle) continue;
        for (double x : inputs) {
            SCOPED_TRACE("element " + std::to_string(i + 1) + " value " + std::to_string(x));
            setSource(chain[i], x);
            const double v = valueRoutine(chain[i], 0xE0);
            EXPECT_EQ(bits(v), bits(expectedNeedle(t.needle, x)));
        }
        setSource(chain[i], kNaN);
        EXPECT_TRUE(std::isnan(valueRoutine(chain[i], 0xE0))) << "element " << i + 1;
    }
    // The bounds of each engine, at and around their limits.
    auto egt = [&](int element, double x) {
        setSource(chain[element - 1], x);
        return valueRoutine(chain[element - 1], 0xE0);
    };
    EXPECT_EQ(egt(4, 3), 5.0);
    EXPECT_EQ(egt(4, 400), 400.0);
    EXPECT_EQ(egt(4, 2500), 2000.0);
    EXPECT_EQ(egt(8, 400), 500.0);
    EXPECT_EQ(egt(8, 1700), 1700.0);
    EXPECT_EQ(egt(8, 1700.5), 2000.0);
    for (int e : {12, 16}) {
        EXPECT_EQ(egt(e, 400), 500.0);
        EXPECT_EQ(egt(e, 1800), 1800.0);
        EXPECT_EQ(egt(e, 2500), 2000.0);
    }
    // The N1 needles hand on every value bit for bit, outside their dial
    // (below 0, above 100) and not-a-number included.
    for (int e : {2, 6, 10, 14}) {
        SCOPED_TRACE("N1 needle, element " + std::to_string(e));
        for (double x : {-5.0, -0.0, 0.0, 60.0, 100.0, 130.0, 1e300, -kNaN}) {
            setSource(chain[e - 1], x);
            EXPECT_EQ(bits(valueRoutine(chain[e - 1], 0xE0)), bits(x)) << x;
        }
    }
}

// Calls a string element's routine as the host does: the buffer pointer at
// +0xB8 (a buffer of the documented capacity, followed by guard bytes), the
// cached value at +0x48, the element's address as the argument.
struct TextResult {
    std::string text;
    double value;
    bool guardIntact;
    bool terminated;
};

class MonovueText : public Monovue {
protected:
    TextResult callText(uint8_t* e, double x) {
        uint8_t buffer[kReadoutCapacity + 32];
        std::memset(buffer, 0xA5, sizeof buffer);
        const uint32_t p = addr(buffer);
        std::memcpy(e + 0xB8, &p, 4);
        setSource(e, x);
        TextResult r;
        r.value = valueRoutine(e, 0x138);
        const uint32_t zero = 0;
        std::memcpy(e + 0xB8, &zero, 4);
        r.guardIntact = std::all_of(buffer + kReadoutCapacity, buffer + sizeof buffer, [](uint8_t b) { return b == 0xA5; });
        r.terminated = std::memchr(buffer, 0, kReadoutCapacity) != nullptr;
        r.text = r.terminated ? reinterpret_cast<const char*>(buffer) : std::string();
        return r;
    }
};

TEST_F(MonovueText, EveryReadoutWritesItsTextAndReturnsItsValue) {
    const std::vector<uint8_t*> chain = elements();
    ASSERT_EQ(chain.size(), 29u);
    int readouts = 0;
    for (size_t i = 0; i < chain.size(); ++i) {
        const Element& t = chainTable()[i];
        if (t.kind != kString) continue;
        ++readouts;
        for (const cases::ReadoutCase& c : cases::kReadoutCases) {
            if (!cases::appliesTo(c, t.readout)) continue;
            SCOPED_TRACE("element " + std::to_string(i + 1) + " value " + std::to_string(c.x));
            const TextResult r = callText(chain[i], c.x);
            EXPECT_TRUE(r.guardIntact);
            EXPECT_TRUE(r.terminated);
            EXPECT_EQ(r.text, shown(c.text));
            EXPECT_EQ(bits(r.value), bits(expectedValue(t.readout, c.x)));
        }
    }
    EXPECT_EQ(readouts, 18);
}

TEST_F(MonovueText, ReadoutsEqualC99PrintfOfTheSingleValue) {
    // The module's own formatter against MinGW's C99 printf on this side.
    const std::vector<uint8_t*> chain = elements();
    ASSERT_EQ(chain.size(), 29u);
    uint32_t seed = 12345;
    for (size_t i = 0; i < chain.size(); ++i) {
        const Element& t = chainTable()[i];
        if (t.kind != kString) continue;
        for (int n = 0; n < 400; ++n) {
            seed = seed * 1664525u + 1013904223u;
            const double x = (static_cast<int32_t>(seed) / 2147483648.0) * (n % 2 ? 3000.0 : 600000.0);
            const TextResult r = callText(chain[i], x);
            char expected[64];
            __mingw_snprintf(expected, sizeof expected, cases::formatOf(t.readout), expectedValue(t.readout, x));
            ASSERT_EQ(r.text, shown(expected))
                << "element " << i + 1 << " value " << x;
        }
    }
}

TEST_F(MonovueText, HostileValuesStayWithinTheCapacity) {
    const std::vector<uint8_t*> chain = elements();
    ASSERT_EQ(chain.size(), 29u);
    const double hostile[] = {kNaN, -kNaN, kInf, -kInf, -0.0, DBL_MAX, -DBL_MAX, FLT_MAX, -FLT_MAX,
                              3e38, -3e38, 1e300, 5e-324, FLT_MIN, 3.4028235677973366e38};
    for (size_t i = 0; i < chain.size(); ++i) {
        const Element& t = chainTable()[i];
        if (t.kind != kString) continue;
        for (double x : hostile) {
            SCOPED_TRACE("element " + std::to_string(i + 1) + " value " + std::to_string(x));
            const TextResult r = callText(chain[i], x);
            EXPECT_TRUE(r.guardIntact) << "wrote past the capacity";
            EXPECT_TRUE(r.terminated);
            EXPECT_LT(r.text.size(), kReadoutCapacity);
        }
    }
    // Specials are short, signed, space-padded; long numbers are cut.
    EXPECT_EQ(callText(chain[25], kNaN).text, "   nan");   // FOB
    EXPECT_EQ(callText(chain[25], -kInf).text, "  -inf");
    EXPECT_EQ(callText(chain[25], -0.0).text, "-00000");
    EXPECT_EQ(callText(chain[26], 3e38).text, shown("300000000549775575777803994281145270272"));  // FLAPS
    EXPECT_EQ(callText(chain[26], -3e38).text, shown("-300000000549775575777803994281145270272"));
    EXPECT_EQ(callText(chain[25], 1e12).text, shown("2202643202048"));  // FOB: 13 digits, in full
    EXPECT_EQ(callText(chain[4], kInf).text, "inf");  // EGT
}

TEST_F(MonovueText, ANullBufferIsNotWritten) {
    uint8_t* e = element(3);
    ASSERT_NE(e, nullptr);
    setSource(e, 50.0);
    EXPECT_EQ(valueRoutine(e, 0x138), 50.0);
}

TEST_F(Monovue, ParkingBrakeRoutine) {
    uint8_t* e = element(28);
    ASSERT_NE(e, nullptr);
    struct Case { double x, v; };
    for (const Case& c : {Case{0.0, 0.0}, Case{0.25, 1.0}, Case{3, 1.0}, Case{-1.0, -1.0}, Case{kInf, 1.0},
                          Case{-kInf, -kInf}}) {
        setSource(e, c.x);
        EXPECT_EQ(valueRoutine(e, 0x84), c.v) << c.x;
    }
    setSource(e, kNaN);
    EXPECT_TRUE(std::isnan(valueRoutine(e, 0x84)));
}

TEST_F(Monovue, SpoilerRoutineReadsTheRefreshList) {
    uint8_t* e = element(29);
    ASSERT_NE(e, nullptr);
    Recorder rec;
    rec.attach(m);
    struct Case { double a, d, state; };
    for (const Case& c : {Case{0, 0, 0}, Case{0.5, 0, 1}, Case{0, 16000.0, 0}, Case{0, 16000.5, 2},
                          Case{1, 16001, 2}, Case{-1, 0, 0}, Case{kNaN, 0, 0}, Case{kNaN, 16000.5, 2},
                          Case{1, kNaN, 1}}) {
        SCOPED_TRACE("a " + std::to_string(c.a) + " d " + std::to_string(c.d));
        rec.vars[324] = c.a;
        rec.vars[325] = c.d;
        callback(6);
        setSource(e, 7.0);  // the element's own variable (id 0) is not read
        EXPECT_EQ(valueRoutine(e, 0x84), c.state);
    }
}

TEST_F(Monovue, ValueRoutinesCallNoService) {
    Recorder rec;
    rec.attach(m);
    const std::vector<uint8_t*> chain = elements();
    ASSERT_EQ(chain.size(), 29u);
    uint8_t buffer[kReadoutCapacity];
    for (size_t i = 1; i < chain.size(); ++i) {
        const Element& t = chainTable()[i];
        if (t.kind == kString) {
            const uint32_t p = addr(buffer);
            std::memcpy(chain[i] + 0xB8, &p, 4);
        }
        valueRoutine(chain[i], routineOffset(t.kind));
    }
    EXPECT_TRUE(rec.calls.empty());
}

// One display frame through the real module, as the host runs it: code 6,
// then every element's value routine, each string writing into a buffer of
// the host's. Of the module's data only the two refreshed values change: no
// routine writes into its record or keeps state of its own. (The time a
// frame takes is measured by tests/bench/wine/monovue_module_bench.cpp.)
TEST_F(Monovue, AFrameChangesOnlyTheRefreshedValues) {
    Recorder rec;
    rec.attach(m);
    callback(6);  // learns where the refreshed variables are
    ASSERT_EQ(rec.calls.size(), 2u);
    uint8_t* refreshed[2] = {reinterpret_cast<uint8_t*>(rec.calls[0].args.at(0)),
                             reinterpret_cast<uint8_t*>(rec.calls[1].args.at(0))};
    const std::vector<uint8_t*> chain = elements();
    ASSERT_EQ(chain.size(), 29u);
    static char buffers[18][kReadoutCapacity];
    int b = 0;
    for (size_t i = 1; i < chain.size(); ++i) {
        if (chainTable()[i].kind == kString) {
            const uint32_t p = addr(buffers[b++]);
            std::memcpy(chain[i] + 0xB8, &p, 4);
        }
    }
    ASSERT_EQ(b, 18);
    for (int frame = 1; frame <= 3; ++frame) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        for (size_t i = 1; i < chain.size(); ++i) setSource(chain[i], 1234.5 * frame + i);
        rec.vars[324] = frame % 2;
        rec.vars[325] = 8000.0 * frame;
        const std::vector<uint8_t> before = writableData();
        uint8_t cachedBefore[2][8];
        for (int v = 0; v < 2; ++v) std::memcpy(cachedBefore[v], refreshed[v] + 0x0C, 8);
        rec.clear();
        callback(6);
        for (size_t i = 1; i < chain.size(); ++i) valueRoutine(chain[i], routineOffset(chainTable()[i].kind));
        EXPECT_EQ(rec.calls.size(), 2u) << "code 6 refreshes two variables; the routines call no service";
        EXPECT_EQ(f64(refreshed[0], 0x0C), double(frame % 2));
        EXPECT_EQ(f64(refreshed[1], 0x0C), 8000.0 * frame);
        // With the two cached values put back, every byte is as it was.
        for (int v = 0; v < 2; ++v) std::memcpy(refreshed[v] + 0x0C, cachedBefore[v], 8);
        EXPECT_TRUE(before == writableData()) << "a value routine changed the module's data";
    }
}

// ---- what the module imports ------------------------------------------------------------

TEST_F(Monovue, ImportsNoAllocator) {
    const std::set<std::string> allowed = {"memset", "memcpy", "memmove"};
    for (const gaugehost::PeImport& i : m.pe().imports())
        EXPECT_TRUE(allowed.count(i.name)) << "imports " << (i.name.empty() ? "<ordinal>" : i.name) << " from " << i.dll;
}

// ---- bitmaps -------------------------------------------------------------------------------

const Rgb kBlack{0, 0, 0}, kYellow{255, 255, 0}, kWhite{255, 255, 255}, kGround{32, 32, 32},
    kLightGrey{204, 204, 204}, kRed{255, 0, 0};

TEST_F(Monovue, BitmapResourceIdsAndFormats) {
    std::vector<uint32_t> ids = bitmapIds(m);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<uint32_t>{256, 4352, 4608, 4864, 5120, 5376, 5632, 5888, 6144, 6400, 6401,
                                          8192, 8193, 8194}));
    struct Expected { uint32_t id; int w, h; };
    std::vector<Expected> all = {{256, 210, 225}};
    for (uint32_t id = 4352; id <= 6144; id += 256) all.push_back({id, 18, 1});
    for (uint32_t id : {6400u, 6401u, 8192u, 8193u, 8194u}) all.push_back({id, 80, 9});
    for (const Expected& e : all) expectBitmapFormat(m, e.id, e.w, e.h, 24);
}

TEST_F(Monovue, NeedlePixels) {
    for (uint32_t id : {4352u, 4864u, 5376u, 5888u}) {
        const Bitmap& d = bitmapResource(m, id);
        ASSERT_EQ(d.problem, "");
        for (int x = 0; x < 18; ++x) EXPECT_EQ(pixel(d, x, 0), kYellow) << "N1 needle " << id << " x " << x;
    }
    for (uint32_t id : {4608u, 5120u, 5632u, 6144u}) {
        const Bitmap& d = bitmapResource(m, id);
        ASSERT_EQ(d.problem, "");
        for (int x = 0; x < 18; ++x)
            EXPECT_EQ(pixel(d, x, 0), x < 10 ? kBlack : kYellow) << "EGT needle " << id << " x " << x;
    }
}

TEST_F(Monovue, LegendIcons) {
    for (uint32_t id : {6400u, 8192u}) {
        const Bitmap& d = bitmapResource(m, id);
        ASSERT_EQ(d.problem, "");
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 80; ++x) ASSERT_EQ(pixel(d, x, y), kBlack) << id << " blank at " << x << "," << y;
    }
    std::vector<std::vector<bool>> shapes;
    for (uint32_t id : {6401u, 8193u, 8194u}) {
        const Bitmap& d = bitmapResource(m, id);
        ASSERT_EQ(d.problem, "");
        int yellow = 0, top = 9, bottom = -1, right = -1;
        std::vector<bool> shape;
        for (int y = 0; y < 9; ++y) {
            for (int x = 0; x < 80; ++x) {
                const Rgb p = pixel(d, x, y);
                ASSERT_TRUE(p == kBlack || p == kYellow) << id << " at " << x << "," << y << ": " << p;
                shape.push_back(p == kYellow);
                if (p == kYellow) {
                    ++yellow;
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                    right = std::max(right, x);
                }
            }
        }
        EXPECT_GT(yellow, 100) << id << ": a legend in yellow";
        EXPECT_EQ(top, 1) << id;
        EXPECT_EQ(bottom, 7) << id << ": 7-pixel glyphs";
        EXPECT_LT(right, 79) << id << ": the legend fits";
        shapes.push_back(shape);
    }
    EXPECT_NE(shapes[0], shapes[1]);
    EXPECT_NE(shapes[1], shapes[2]);
}

TEST_F(Monovue, BackgroundMarkings) {
    const Bitmap& d = bitmapResource(m, 256);
    ASSERT_EQ(d.problem, "");
    auto countIn = [&](int x0, int y0, int x1, int y1, Rgb c) {
        int n = 0;
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) n += pixel(d, x, y) == c;
        return n;
    };
    // Ground, and only the background's four colours.
    EXPECT_EQ(pixel(d, 0, 0), kGround);
    EXPECT_EQ(pixel(d, 209, 224), kGround);
    EXPECT_EQ(pixel(d, 60, 200), kGround);
    for (int y = 0; y < 225; ++y)
        for (int x = 0; x < 210; ++x) {
            const Rgb p = pixel(d, x, y);
            ASSERT_TRUE(p == kGround || p == kWhite || p == kLightGrey || p == kRed) << x << "," << y << ": " << p;
        }
    EXPECT_EQ(countIn(0, 0, 209, 9, kWhite), 0) << "nothing above the N1 arcs";
    const int pivots[4] = {26, 73, 135, 182};
    for (int i = 0; i < 4; ++i) {
        const int px = pivots[i];
        SCOPED_TRACE("engine " + std::to_string(i + 1));
        // N1 dial: a white arc about (px - 19 .. px + 16, 10 .. 43), marked
        // 6 and 10, a red arc at its upper right, the readout frame below.
        EXPECT_EQ(pixel(d, px, 10), kWhite) << "top of the N1 arc";
        EXPECT_EQ(pixel(d, px - 19, 29), kWhite) << "left of the N1 arc";
        // The arc's lower-left end (its lowest white pixel left of the pivot,
        // the rightmost of them) is where the needle points at value 0: the
        // first entry of the needle's point table, within a pixel, and in
        // its direction from the pivot within 2.5 degrees.
        const ExpectedPoint zero = chainTable()[1 + 4 * i].points[0];
        ASSERT_EQ(zero.value, 0.0);
        int endX = -1, endY = -1;
        for (int y = 30; y <= 47; ++y)
            for (int x = px - 21; x < px; ++x)
                if (pixel(d, x, y) == kWhite && (y > endY || (y == endY && x > endX))) {
                    endX = x;
                    endY = y;
                }
        EXPECT_LE(std::abs(endX - zero.x), 1) << "end of the N1 arc at " << endX << "," << endY;
        EXPECT_LE(std::abs(endY - zero.y), 1) << "end of the N1 arc at " << endX << "," << endY;
        const double pi = 3.14159265358979323846;
        const double endAngle = std::atan2(double(endY - 29), double(endX - px)) * 180 / pi;
        const double zeroAngle = std::atan2(double(zero.y - 29), double(zero.x - px)) * 180 / pi;
        EXPECT_NEAR(endAngle, zeroAngle, 2.5) << "end of the N1 arc at " << endX << "," << endY;
        EXPECT_GT(countIn(px - 12, 16, px + 12, 24, kWhite), 10) << "legends 6 and 10";
        EXPECT_GT(countIn(px + 8, 10, px + 19, 24, kRed), 4) << "red arc, upper right";
        EXPECT_EQ(countIn(px - 20, 10, px + 7, 43, kRed), 0) << "no red on the left";
        EXPECT_EQ(pixel(d, px - 6, 35), kLightGrey);
        EXPECT_EQ(pixel(d, px + 20, 45), kLightGrey);
        EXPECT_EQ(countIn(px - 6, 35, px + 20, 45, kLightGrey), 2 * 27 + 2 * 9) << "N1 frame";
        // EGT dial: arc y 51 .. 70, red at the upper right, frame below.
        EXPECT_EQ(pixel(d, px, 51), kWhite) << "top of the EGT arc";
        EXPECT_EQ(pixel(d, px - 19, 69), kWhite) << "left end of the EGT arc";
        EXPECT_GT(countIn(px + 8, 51, px + 19, 65, kRed), 4);
        EXPECT_EQ(countIn(px - 10, 70, px + 10, 80, kLightGrey), 2 * 21 + 2 * 9) << "EGT frame";
    }
    // Centre column legends.
    EXPECT_GT(countIn(95, 18, 115, 37, kWhite), 20) << "N1 %";
    EXPECT_GT(countIn(95, 53, 115, 72, kWhite), 20) << "EGT \xB0" "C";
    EXPECT_GT(countIn(95, 90, 115, 104, kWhite), 10) << "N2 %";
    EXPECT_GT(countIn(95, 110, 115, 124, kWhite), 10) << "FF KG/M";
    // Dashes under the N2 and FF rows.
    for (int y : {97, 117}) {
        for (int x = 44; x <= 55; ++x) EXPECT_EQ(pixel(d, x, y), kWhite) << x << "," << y;
        for (int x = 153; x <= 164; ++x) EXPECT_EQ(pixel(d, x, y), kWhite) << x << "," << y;
        EXPECT_EQ(pixel(d, 43, y), kGround);
        EXPECT_EQ(pixel(d, 56, y), kGround);
    }
    // FOB:, KG and FLAPS: where the gauge places them: the white ink found
    // within 5 pixels around each box spans exactly the box.
    struct Legend {
        const char* text;
        int x0, y0, x1, y1;
    };
    for (const Legend& l : {Legend{"FOB:", 18, 137, 30, 141}, Legend{"KG", 74, 137, 81, 141},
                            Legend{"FLAPS:", 129, 159, 151, 163}}) {
        SCOPED_TRACE(l.text);
        int left = 999, right = -1, top = 999, bottom = -1;
        for (int y = l.y0 - 5; y <= l.y1 + 5; ++y)
            for (int x = l.x0 - 5; x <= l.x1 + 5; ++x)
                if (pixel(d, x, y) == kWhite) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                }
        EXPECT_EQ(left, l.x0);
        EXPECT_EQ(right, l.x1);
        EXPECT_EQ(top, l.y0);
        EXPECT_EQ(bottom, l.y1);
        EXPECT_GT(countIn(l.x0, l.y0, l.x1, l.y1, kWhite), 2 * (l.x1 - l.x0)) << "a legend, not a dot";
    }
    EXPECT_EQ(countIn(0, 130, 209, 136, kWhite) + countIn(0, 142, 209, 148, kWhite), 0);
    // Rules at y 149 and the divider at x 119.
    for (int x = 10; x <= 112; ++x) EXPECT_EQ(pixel(d, x, 149), kLightGrey) << x;
    for (int x = 126; x <= 199; ++x) EXPECT_EQ(pixel(d, x, 149), kLightGrey) << x;
    EXPECT_EQ(pixel(d, 9, 149), kGround);
    EXPECT_EQ(pixel(d, 119, 149), kGround);
    EXPECT_EQ(pixel(d, 200, 149), kGround);
    for (int y = 154; y <= 219; ++y) EXPECT_EQ(pixel(d, 119, y), kLightGrey) << y;
    EXPECT_EQ(pixel(d, 119, 153), kGround);
    EXPECT_EQ(pixel(d, 119, 220), kGround);
    // The legend icons' area is plain ground.
    EXPECT_EQ(countIn(10, 152, 112, 224, kGround), 103 * 73);
}

}  // namespace
