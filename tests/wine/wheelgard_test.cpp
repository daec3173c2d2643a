// wheelgard.gau as the simulator loads it: the version-800 records byte by
// byte, the service-code callback, the gear and brake lamps through their
// value routines, the brake buttons' key events from every selection, the
// stack discipline of every call, and the 22 bitmap resources.
// Offsets and values are the host's numbers, written out on purpose
// (support.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstring>
#include <set>

#include "support.h"
#include "tests/cases/wheelgard_cases.h"

using namespace winetest;

namespace {

constexpr uint32_t kUp = cases::kSelectorUp, kDown = cases::kSelectorDown;
constexpr int kElements = 9;

class Wheelgard : public GaugeTest {
protected:
    Wheelgard() : GaugeTest("wheelgard") {}
    void SetUp() override { reload(); }

    // A fresh module (selection 0, not yet started), with the recorder as
    // its host.
    void reload() {
        ASSERT_NO_FATAL_FAILURE(GaugeTest::reload());
        rec.attach(m);
        rec.clear();
    }

    uint8_t* mouseList() const { return at(header, 0x50); }
    // The value an icon's routine gives for element n (1 to 9).
    double lamp(int n) {
        SCOPED_TRACE("element " + std::to_string(n));
        return valueRoutine(element(n), 0x84);
    }
    std::vector<double> brakeLamps() { return {lamp(7), lamp(8), lamp(9)}; }
    // Button 0 left, 1 middle, 2 right.
    void click(int button) {
        SCOPED_TRACE("button " + std::to_string(button));
        callHandler(handlerOf(mouseList(), 1 + button), 15, 100, 0x20000000);
    }

    Recorder rec;
};

std::vector<std::pair<uint32_t, int32_t>> steps(uint32_t event, int count) {
    return std::vector<std::pair<uint32_t, int32_t>>(count, {event, 0});
}

// ---- records -----------------------------------------------------------------------

TEST_F(Wheelgard, LinkageImportTableAndHeaderBytes) {
    // As loaded, before the host's service table is stored.
    ASSERT_NO_FATAL_FAILURE(GaugeTest::reload());
    expectRecord(m, "Linkage", m.linkage, 0x20,
                 {w32(0x00, 0x13, "module id"), w32(0x14, 0x800, "linkage version"),
                  dataPtr(0x18, "gauge list: the header")},
                 {0x04, 0x08});
    expectRecord(m, "ImportTable", m.imports, 0x10, {w32(0x00, 0x0F, "import id")});
    EXPECT_TRUE(m.inWritable(m.imports)) << "the host stores its service table here";

    expectHeaderBlock800(m, "wheelgard", 6);

    rec.attach(m);
    expectCall("module start routine", at(m.linkage, 0x04), {});
    expectCall("module stop routine", at(m.linkage, 0x08), {});
    EXPECT_TRUE(rec.calls.empty()) << "module start and stop call nothing";
}

struct ElementRow {
    uint32_t kind, bitmap;
    int32_t x, y;
    uint32_t images;  // icons only
};

// The chain in drawing order: background, the two left gear lamps, the two
// right, the centre one, the three brake buttons.
const ElementRow kChain[kElements] = {
    {0, 256, 0, 0, 0},
    {4, 5632, 3, 25, 3},
    {4, 5888, 27, 35, 3},
    {4, 6144, 51, 35, 3},
    {4, 6400, 75, 25, 3},
    {4, 8192, 39, 5, 3},
    {4, 8448, 8, 91, 2},
    {4, 8704, 35, 91, 2},
    {4, 8960, 69, 91, 2},
};

TEST_F(Wheelgard, ElementChainBytes) {
    // One chain of 9 elements from the root slot, none met twice, ending at
    // a NULL child list.
    const ChainWalk walk = walkChain(m, header);
    EXPECT_EQ(walk.problem, "");
    ASSERT_EQ(walk.elements.size(), static_cast<size_t>(kElements));
    // Every record the chain owns, each element's child list and failure
    // entry its own.
    std::vector<Span> records = {span(header, 0xC4, "header block")};
    for (int n = 1; n <= kElements; ++n) {
        SCOPED_TRACE("element " + std::to_string(n));
        const ElementRow& row = kChain[n - 1];
        uint8_t* e = walk.elements[n - 1];
        ASSERT_TRUE(m.inWritable(e));
        records.push_back(span(e, row.kind == 0 ? 0x60 : 0x8C, "element " + std::to_string(n)));
        uint8_t* children = at(e, 0x28);
        uint8_t* failures = at(e, 0x2C);
        ASSERT_TRUE(m.inWritable(failures));
        expectRecord(m, "failure entry", failures, 12, {});
        records.push_back(span(failures, 12, "failure entry of element " + std::to_string(n)));

        std::vector<Field> fields = {
            w32(0x00, row.kind, "kind"), w32(0x04, row.bitmap, "bitmap"),
            w32(0x08, static_cast<uint32_t>(row.x), "x"), w32(0x0C, static_cast<uint32_t>(row.y), "y"),
            ptr(0x20, header, "gauge"), dataPtr(0x2C, "failure list"),
            w32(0x30, 0x83, "image flags"),
        };
        if (n < kElements) {
            ASSERT_TRUE(m.inWritable(children));
            fields.push_back(dataPtr(0x28, "child list"));
            // One child, then the zero word.
            expectRecord(m, "child list", children, 8, {ptr(0, walk.elements[n], "next element")});
            records.push_back(span(children, 8, "child list of element " + std::to_string(n)));
        } else {
            EXPECT_EQ(children, nullptr) << "the last element has no child list";
        }
        if (row.kind == 0) {
            expectRecord(m, "background", e, 0x60, fields);
        } else {
            fields.push_back(w32(0x3C, 0, "variable id"));
            fields.push_back(w32(0x5C, 3, "icon mode"));
            fields.push_back(w32(0x70, row.images, "images"));
            expectRecord(m, "icon", e, 0x8C, fields, {0x84});
        }
    }
    expectDisjoint(records);
}

struct MouseRow {
    uint32_t type;
    int32_t x, y;
    uint32_t w, h, cursor, mask;
    bool handler;
};

TEST_F(Wheelgard, MouseListBytes) {
    const MouseRow rows[6] = {
        {1, 0, 0, 0, 0, 0xFFFFFFFF, 0, false},
        {2, 10, 93, 19, 21, 5, 0x20000000, true},  // left button
        {2, 37, 93, 20, 20, 5, 0x20000000, true},  // middle button
        {2, 71, 93, 20, 20, 5, 0x20000000, true},  // right button
        {3, 0, 0, 0, 0, 0xFFFFFFFF, 0, false},
        {0, 0, 0, 0, 0, 0xFFFFFFFF, 0, false},
    };
    EXPECT_TRUE(m.inWritable(mouseList()));
    EXPECT_TRUE(m.inWritable(mouseList() + 6 * 44 - 1));
    std::set<uint32_t> handlers;
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE("mouse entry " + std::to_string(i + 1));
        const MouseRow& r = rows[i];
        uint8_t* entry = mouseList() + 44 * i;
        std::vector<uint32_t> code;
        if (r.handler) {
            code.push_back(0x24);
            handlers.insert(u32(entry, 0x24));
        }
        expectRecord(m, "MouseRect", entry, 44,
                     {w32(0x00, r.type, "type"), w32(0x04, static_cast<uint32_t>(r.x), "x"),
                      w32(0x08, static_cast<uint32_t>(r.y), "y"), w32(0x0C, r.w, "width"),
                      w32(0x10, r.h, "height"), w32(0x14, r.cursor, "cursor"),
                      w32(0x1C, r.mask, "event mask")},
                     code);
    }
    EXPECT_EQ(handlers.size(), 3u) << "one handler per button";
}

// ---- GaugeCallback -----------------------------------------------------------------

TEST_F(Wheelgard, Code6RefreshesTheThreeGearVariablesInOrder) {
    // No value set: the refresh writes 0.0, as in the image, so the records
    // read back as loaded.
    callback(6, 0xDEAD);
    ASSERT_EQ(rec.calls.size(), 3u);
    const uint32_t ids[3] = {333, 334, 332};
    const uint32_t first = rec.calls[0].args.at(0);
    for (uint32_t i = 0; i < 3; ++i) {
        SCOPED_TRACE("module variable " + std::to_string(i + 1));
        EXPECT_EQ(rec.calls[i], (ServiceCall{40, {first + 28 * i}})) << "contiguous, 28 bytes apart";
        ASSERT_TRUE(m.inWritable(first + 28 * i));
        ASSERT_TRUE(m.inWritable(first + 28 * i + 27));
        expectRecord(m, "ModuleVar", reinterpret_cast<void*>(first + 28 * i), 28, {w32(0x00, ids[i], "id")});
    }
}

// Codes other than 6 and 10 leave every byte of the module's data as it
// was and call no service: before the start, and after it with a button lit.
TEST_F(Wheelgard, OtherCodesDoNothing) {
    rec.vars = {{333, 5.0}, {334, 20000.0}, {332, 5.0}};
    const std::vector<uint32_t> codes = {0u,  1u,   2u,          3u,          4u,          5u,
                                         7u,  8u,   9u,          11u,         12u,         13u,
                                         14u, 100u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0xFFFFFFFAu};
    for (uint32_t code : codes) {
        SCOPED_TRACE("before the start, code " + std::to_string(code));
        const std::vector<uint8_t> before = writableData(m);
        callback(code);
        EXPECT_TRUE(rec.calls.empty());
        EXPECT_TRUE(before == writableData(m)) << "module data changed";
        for (int n = 2; n <= 6; ++n) EXPECT_EQ(lamp(n), 0.0) << "no refresh: gear lamp " << n << " dark";
        EXPECT_EQ(brakeLamps(), (std::vector<double>{0, 0, 0}));
    }
    // Still not started: the first code 10 synchronises.
    callback(10);
    EXPECT_EQ(rec.keyEvents().size(), 6u);

    callback(6);
    click(1);  // middle button lit
    for (uint32_t code : codes) {
        SCOPED_TRACE("after the start, code " + std::to_string(code));
        rec.clear();
        const std::vector<uint8_t> before = writableData(m);
        callback(code);
        EXPECT_TRUE(rec.calls.empty());
        EXPECT_TRUE(before == writableData(m)) << "module data changed";
    }
    EXPECT_EQ(brakeLamps(), (std::vector<double>{0, 1, 0}));
    EXPECT_EQ(lamp(4), 2.0) << "right gear as the last refresh left it";
}

TEST_F(Wheelgard, FirstCode10SynchronisesOnce) {
    std::vector<std::pair<uint32_t, int32_t>> sync = steps(kDown, 5);
    sync.push_back({kUp, 0});
    callback(10, 7);
    EXPECT_EQ(rec.calls.size(), 6u) << "key events only";
    EXPECT_EQ(rec.keyEvents(), sync);
    EXPECT_EQ(brakeLamps(), (std::vector<double>{0, 0, 0}));

    rec.clear();
    callback(10);
    callback(6);
    callback(10);
    EXPECT_EQ(rec.keyEvents().size(), 0u) << "a second code 10 sends nothing";

    // A later load starts again.
    reload();
    callback(10);
    EXPECT_EQ(rec.keyEvents(), sync);
}

// The selection is 1 before the first of the synchronisation's key events
// goes out: the module's state is final while they are sent.
TEST_F(Wheelgard, SelectionIsOneWhileTheSynchronisationSends) {
    click(2);  // before the start: selection 5, the right button lit
    ASSERT_EQ(brakeLamps(), (std::vector<double>{0, 0, 1}));
    const std::vector<uint8_t> before = writableData(m);

    std::vector<std::vector<double>> lampsAtEvent;
    std::vector<std::vector<uint8_t>> dataAtEvent;
    rec.onKeyEvent = [&](uint32_t, int32_t) {
        lampsAtEvent.push_back(brakeLamps());
        dataAtEvent.push_back(writableData(m));
    };
    rec.clear();
    callback(10);
    rec.onKeyEvent = nullptr;
    const std::vector<uint8_t> after = writableData(m);

    ASSERT_EQ(lampsAtEvent.size(), 6u);
    for (size_t i = 0; i < lampsAtEvent.size(); ++i) {
        SCOPED_TRACE("key event " + std::to_string(i + 1));
        EXPECT_EQ(lampsAtEvent[i], (std::vector<double>{0, 0, 0})) << "no button lit";
        EXPECT_TRUE(dataAtEvent[i] == after) << "the module's data changed after the event went out";
    }
    EXPECT_EQ(brakeLamps(), (std::vector<double>{0, 0, 0}));

    // What the start changed: the started flag, 0 to 1, and the selection,
    // 5 to 1; nothing else.
    ASSERT_EQ(before.size(), after.size());
    std::multiset<std::pair<uint32_t, uint32_t>> changed;
    for (size_t i = 0; i + 4 <= before.size(); i += 4)
        if (std::memcmp(&before[i], &after[i], 4) != 0) changed.insert({u32(before.data(), i), u32(after.data(), i)});
    EXPECT_EQ(changed, (std::multiset<std::pair<uint32_t, uint32_t>>{{0, 1}, {5, 1}}));

    // And the next click steps from 1.
    rec.clear();
    click(1);
    EXPECT_EQ(rec.keyEvents(), steps(kUp, 2));
}

// ---- gear lamps --------------------------------------------------------------------

TEST_F(Wheelgard, GearLampsFollowTheirOwnGearAfterEachRefresh) {
    // Elements 2 and 3: variable 333; 4 and 5: 334; 6: 332.
    const uint32_t lampVar[5] = {333, 333, 334, 334, 332};
    for (int driven = 0; driven < 3; ++driven) {
        const uint32_t var = std::vector<uint32_t>{333, 334, 332}[driven];
        for (const cases::GearCase& c : cases::kGearCases) {
            SCOPED_TRACE(std::string(c.name) + " in variable " + std::to_string(var));
            // The other two gears stand in transit, so a lamp on the wrong
            // variable shows.
            rec.vars = {{333, 8000.0}, {334, 8000.0}, {332, 8000.0}};
            rec.vars[var] = c.extension;
            callback(6);
            for (int n = 2; n <= 6; ++n)
                EXPECT_EQ(bits(lamp(n)), bits(lampVar[n - 2] == var ? double(c.state) : 1.0)) << "element " << n;
        }
    }
    // The lamps show what the last refresh left, not the host's newer value.
    rec.vars = {{333, 16301.0}, {334, 16301.0}, {332, 16301.0}};
    callback(6);
    rec.vars = {{333, 0.0}, {334, 0.0}, {332, 0.0}};
    for (int n = 2; n <= 6; ++n) EXPECT_EQ(lamp(n), 2.0) << "element " << n;
    EXPECT_TRUE(std::none_of(rec.calls.begin(), rec.calls.end(),
                             [](const ServiceCall& c) { return c.slot != 40; }))
        << "value routines call no service";
}

// ---- brake buttons -----------------------------------------------------------------

// Clicks that bring a synchronised module to each selection.
int buttonFor(int32_t selection) {
    switch (selection) {
        case 2: return 0;
        case 3: return 1;
        case 5: return 2;
        default: return -1;
    }
}

TEST_F(Wheelgard, EveryButtonFromEverySelection) {
    for (const cases::ClickCase& c : cases::kClickCases) {
        SCOPED_TRACE("selection " + std::to_string(c.selection) + ", button " + std::to_string(c.button));
        reload();
        if (c.selection != 0) callback(10);
        if (buttonFor(c.selection) >= 0) click(buttonFor(c.selection));
        std::vector<double> lit = {0, 0, 0};
        if (buttonFor(c.selection) >= 0) lit[buttonFor(c.selection)] = 1;
        ASSERT_EQ(brakeLamps(), lit) << "set-up";

        rec.clear();
        ASSERT_GE(buttonFor(c.button), 0);
        click(buttonFor(c.button));
        EXPECT_EQ(rec.calls.size(), static_cast<size_t>(c.count)) << "key events only";
        EXPECT_EQ(rec.keyEvents(), steps(c.eventId, c.count));
        lit = {0, 0, 0};
        if (buttonFor(c.after) >= 0) lit[buttonFor(c.after)] = 1;
        EXPECT_EQ(brakeLamps(), lit);
    }
}

TEST_F(Wheelgard, SynchronisationAfterAnEarlyClickDarkensTheButtons) {
    click(2);
    EXPECT_EQ(rec.keyEvents(), steps(kUp, 4));
    EXPECT_EQ(brakeLamps(), (std::vector<double>{0, 0, 1}));
    rec.clear();
    callback(10);
    EXPECT_EQ(rec.keyEvents().size(), 6u);
    EXPECT_EQ(brakeLamps(), (std::vector<double>{0, 0, 0}));
    rec.clear();
    click(1);
    EXPECT_EQ(rec.keyEvents(), steps(kUp, 2)) << "steps from 1 again";
}

TEST_F(Wheelgard, HandlersIgnoreThePointAndTheFlags) {
    callback(10);
    const void* handler = handlerOf(mouseList(), 2);  // middle
    for (uint32_t flags : {0u, 0x20000000u, 0xFFFFFFFFu}) {
        rec.clear();
        callHandler(handler, -500, 7000, flags);
        // 1 -> 3, 3 -> 1, 1 -> 3
        EXPECT_EQ(rec.keyEvents(), flags == 0x20000000u ? steps(kDown, 2) : steps(kUp, 2));
    }
}

// ---- bitmaps -----------------------------------------------------------------------

const Rgb kGround{51, 51, 51}, kUnlit{32, 32, 32}, kRed{255, 0, 0}, kGreen{0, 204, 0},
    kBlue{0, 0, 255}, kWhite{255, 255, 255}, kBlack{0, 0, 0};

std::vector<Rgb> pixels(const Bitmap& d) {
    std::vector<Rgb> out;
    for (int y = 0; y < d.height; ++y)
        for (int x = 0; x < d.width; ++x) out.push_back(pixel(d, x, y));
    return out;
}

TEST_F(Wheelgard, BitmapResources) {
    std::vector<uint32_t> ids = bitmapIds(m);
    std::sort(ids.begin(), ids.end());
    const std::vector<uint32_t> expected = {256,  5632, 5633, 5634, 5888, 5889, 5890, 6144,
                                            6145, 6146, 6400, 6401, 6402, 8192, 8193, 8194,
                                            8448, 8449, 8704, 8705, 8960, 8961};
    ASSERT_EQ(ids, expected);
    for (uint32_t id : ids) {
        // background 100 x 115, brake buttons 24 x 24, gear lamps 22 x 22
        const int w = id == 256 ? 100 : id >= 8448 ? 24 : 22;
        expectBitmapFormat(m, id, w, id == 256 ? 115 : w, 24);
    }
    for (Rgb p : pixels(bitmapResource(m, 256))) ASSERT_EQ(p, kBlack) << "background";
}

// A gear lamp: two framed fields, rows 0-10 (TRAN) and 11-21 (DOWN). State
// 1 and 2 are the dark lamp with one field's legend and frame recoloured.
TEST_F(Wheelgard, GearLampBitmaps) {
    const Bitmap& first = bitmapResource(m, 5632);
    ASSERT_EQ(first.problem, "");
    const std::vector<Rgb> dark = pixels(first);
    ASSERT_EQ(dark.size(), 22u * 22u);
    for (int y = 0; y < 22; ++y)
        for (int x = 0; x < 22; ++x) {
            const bool frame = x == 0 || x == 21 || y == 0 || y == 10 || y == 11 || y == 21;
            if (frame) ASSERT_EQ(dark[y * 22 + x], kUnlit) << "frame at " << x << "," << y;
            else ASSERT_TRUE(dark[y * 22 + x] == kUnlit || dark[y * 22 + x] == kGround) << x << "," << y;
        }
    // Both legends are there: unlit pixels inside each field.
    auto legendPixels = [&](int y0, int y1) {
        int n = 0;
        for (int y = y0; y <= y1; ++y)
            for (int x = 1; x <= 20; ++x) n += dark[y * 22 + x] == kUnlit;
        return n;
    };
    EXPECT_GT(legendPixels(1, 9), 30) << "TRAN";
    EXPECT_GT(legendPixels(12, 20), 30) << "DOWN";

    for (uint32_t base : {5632u, 5888u, 6144u, 6400u, 8192u}) {
        SCOPED_TRACE("lamp " + std::to_string(base));
        EXPECT_EQ(pixels(bitmapResource(m, base)), dark);
        const std::vector<Rgb> tran = pixels(bitmapResource(m, base + 1));
        const std::vector<Rgb> down = pixels(bitmapResource(m, base + 2));
        ASSERT_EQ(tran.size(), dark.size());
        ASSERT_EQ(down.size(), dark.size());
        for (size_t i = 0; i < dark.size(); ++i) {
            const bool upper = i / 22 <= 10;
            const bool ink = dark[i] == kUnlit;
            ASSERT_EQ(tran[i], ink && upper ? kRed : dark[i]) << "TRAN lit, pixel " << i;
            ASSERT_EQ(down[i], ink && !upper ? kGreen : dark[i]) << "DOWN lit, pixel " << i;
        }
    }
}

// A brake button: white rim, upper field (rows 1-11) blank, lower field
// (rows 12-22) reading ON; lit, ON and the lower frame turn blue.
TEST_F(Wheelgard, BrakeButtonBitmaps) {
    const std::vector<Rgb> dark = pixels(bitmapResource(m, 8448));
    ASSERT_EQ(dark.size(), 24u * 24u);
    int legend = 0;
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 24; ++x) {
            const Rgb p = dark[y * 24 + x];
            const bool rim = x == 0 || x == 23 || y == 0 || y == 23;
            const bool fieldFrame = !rim && (x == 1 || x == 22 || y == 1 || y == 11 || y == 12 || y == 22);
            if (rim) ASSERT_EQ(p, kWhite) << x << "," << y;
            else if (fieldFrame) ASSERT_EQ(p, kUnlit) << x << "," << y;
            else if (y < 11) ASSERT_EQ(p, kGround) << "upper field blank at " << x << "," << y;
            else {
                ASSERT_TRUE(p == kGround || p == kUnlit) << x << "," << y;
                legend += p == kUnlit;
            }
        }
    EXPECT_GT(legend, 15) << "ON";

    for (uint32_t base : {8448u, 8704u, 8960u}) {
        SCOPED_TRACE("button " + std::to_string(base));
        EXPECT_EQ(pixels(bitmapResource(m, base)), dark);
        const std::vector<Rgb> on = pixels(bitmapResource(m, base + 1));
        ASSERT_EQ(on.size(), dark.size());
        for (size_t i = 0; i < dark.size(); ++i) {
            const int x = static_cast<int>(i % 24), y = static_cast<int>(i / 24);
            const bool lowerField = x >= 1 && x <= 22 && y >= 12 && y <= 22;
            ASSERT_EQ(on[i], lowerField && dark[i] == kUnlit ? kBlue : dark[i]) << x << "," << y;
        }
    }
}

}  // namespace
