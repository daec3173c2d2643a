// quadrel.gau as the simulator loads it: records byte by byte, the lifecycle's
// service calls, the lever handlers' key events, the stack discipline of every
// routine, and the five bitmap resources. Offsets and values are the host's
// numbers, written out on purpose (support.h).
#include <gtest/gtest.h>

#include <climits>

#include "support.h"
#include "tests/cases/quadrel_lever_cases.h"

using namespace winetest;

namespace {

class Quadrel : public GaugeTest {
protected:
    Quadrel() : GaugeTest("quadrel") {}
};

TEST_F(Quadrel, LinkageImportTableAndHeaderBytes) {
    expectRecord(m, "Linkage", m.linkage, 0x20,
                 {w32(0x00, 0x13, "module id"), w32(0x14, 0, "linkage version"),
                  ptr(0x18, m.linkage - 0x58, "gauge list: the header, right before Linkage")},
                 {0x04, 0x08});
    expectRecord(m, "ImportTable", m.imports, 0x10, {w32(0x00, 0x0F, "import id")});

    uint8_t* slot = at(header, 0x08);
    expectRecord(m, "GaugeHeader", header, 0x58,
                 {w32(0x00, 610, "version"), ptr(0x04, at(header, 0x04), "name"),
                  ptr(0x08, slot, "root slot"), w32(0x2C, 100, "size value")},
                 {0x0C, 0x10, 0x14, 0x18, 0x1C, 0x20, 0x24});
    EXPECT_STREQ(reinterpret_cast<const char*>(at(header, 0x04)), "quadrel");
    EXPECT_TRUE(m.inImage(u32(header, 0x04)));
    EXPECT_TRUE(m.inImage(addr(slot)));
    EXPECT_EQ(u32(slot, 4), 0u) << "root slot is followed by a zero word";
}

TEST_F(Quadrel, ElementTreeBytes) {
    uint8_t* bg = root();
    uint8_t* list = at(bg, 0x28);
    expectRecord(m, "background", bg, 0x50,
                 {w32(0x00, 0, "kind"), w32(0x04, 4096, "bitmap"), ptr(0x20, header, "gauge"),
                  ptr(0x28, list, "child list"), w32(0x30, 0x1, "image flags")});

    struct Knob { uint32_t bitmap; int32_t x; uint32_t yVar; };
    const Knob knobs[4] = {{8192, 0, 128}, {12288, 35, 163}, {16384, 70, 198}, {20480, 105, 233}};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE("lever " + std::to_string(i + 1));
        uint8_t* knob = at(list, 4 * i);
        ASSERT_TRUE(m.inImage(addr(knob)));
        expectRecord(m, "slider", knob, 0xA8,
                     {w32(0x00, 3, "kind"), w32(0x04, knobs[i].bitmap, "bitmap"),
                      w32(0x08, static_cast<uint32_t>(knobs[i].x), "x"), w32(0x0C, 62, "y"),
                      ptr(0x20, header, "gauge"), w32(0x30, 0x3, "image flags"),
                      w32(0x68, knobs[i].yVar, "y variable id"),
                      {0x88, 8, 0xBF6E000000000000ull, "y scale -15/4096"}});
    }
    EXPECT_EQ(u32(list, 16), 0u) << "four sliders, then the zero word";
}

TEST_F(Quadrel, MouseListBytes) {
    Recorder rec;
    rec.setDrawnSize(135, 100);
    uint8_t* list = install(rec);
    ASSERT_NE(list, nullptr);
    EXPECT_TRUE(m.inImage(addr(list)));
    struct Row { uint32_t type; int32_t x, y; uint32_t w, h, cursor, help, mask; bool handler; };
    const Row rows[9] = {
        {1, 0, 0, 0, 0, 0xFFFFFFFF, 0, 0, false},
        {1, 0, 0, 135, 100, 0xFFFFFFFF, 42024, 0, false},
        {2, 0, 0, 30, 100, 5, 0, 0x00800000, true},
        {2, 35, 0, 30, 100, 5, 0, 0x00800000, true},
        {2, 70, 0, 30, 100, 5, 0, 0x00800000, true},
        {2, 105, 0, 30, 100, 5, 0, 0x00800000, true},
        {3, 0, 0, 0, 0, 0xFFFFFFFF, 0, 0, false},
        {3, 0, 0, 0, 0, 0xFFFFFFFF, 0, 0, false},
        {0, 0, 0, 0, 0, 0xFFFFFFFF, 0, 0, false},
    };
    for (int i = 0; i < 9; ++i) {
        SCOPED_TRACE("mouse entry " + std::to_string(i + 1));
        const Row& r = rows[i];
        std::vector<Field> f = {w32(0x00, r.type, "type"), w32(0x04, r.x, "x"), w32(0x08, r.y, "y"),
                                w32(0x0C, r.w, "width"), w32(0x10, r.h, "height"),
                                w32(0x14, r.cursor, "cursor"), w32(0x18, r.help, "help"),
                                w32(0x1C, r.mask, "event mask")};
        std::vector<uint32_t> code;
        if (r.handler) code.push_back(0x24);
        expectRecord(m, "MouseRect", list + 44 * i, 44, f, code);
    }
}

TEST_F(Quadrel, LifecycleCallsItsServicesInOrder) {
    Recorder rec;
    rec.setDrawnSize(135, 100);
    rec.attach(m);
    const uint32_t r = addr(root()), h = addr(header);
    routine(0x0C);              // query
    routine(0x10, {0xABCD});    // install
    routine(0x14);              // initialize
    routine(0x18);              // update
    routine(0x1C, {0x77});      // generate
    routine(0x20);              // draw
    ASSERT_GE(rec.calls.size(), 3u);
    const uint32_t list = rec.calls[2].args.empty() ? 0 : rec.calls[2].args[0];
    routine(0x24);              // kill
    const std::vector<ServiceCall> expected = {
        {24, {r}},
        {25, {r, 0xABCD}},
        {32, {list, h, addr(&rec.image[1])}},  // drawn width/height pair of the background
        {33, {list, h}},
        {26, {r}},
        {27, {r}},
        {28, {r, 0x77}},
        {29, {r}},
        {34, {list, h}},
        {31, {r}},
    };
    EXPECT_EQ(rec.calls, expected);
}

// ---- lever handlers ----------------------------------------------------------

TEST_F(Quadrel, LeverHandlersSendTheSettingForThePointerHeight) {
    Recorder rec;
    uint8_t* list = install(rec);
    ASSERT_NE(list, nullptr);
    const uint32_t events[4] = {65820, 65821, 65822, 65823};
    for (int lever = 0; lever < 4; ++lever) {
        const void* handler = handlerOf(list, 2 + lever);
        for (const cases::LeverCase& c : cases::kLeverCases) {
            SCOPED_TRACE(std::string(c.name) + ", lever " + std::to_string(lever + 1));
            rec.setDrawnSize(135, c.drawnHeight);
            rec.clear();
            callHandler(handler, 3, c.y, 0xFFFFFFFFu);
            const std::vector<ServiceCall> expected = {{36, {events[lever], static_cast<uint32_t>(c.setting)}}};
            EXPECT_EQ(rec.calls, expected);
        }
    }
}

TEST_F(Quadrel, LeverHandlersSendNothingWithoutADrawnBackground) {
    Recorder rec;
    // Install to learn the mouse list; the host's record then says how the
    // background is drawn, and the cases below spoil it.
    uint8_t* list = install(rec);
    ASSERT_NE(list, nullptr);
    const void* handler = handlerOf(list, 3);

    struct Case { const char* name; int32_t height; };
    for (const Case& c : {Case{"zero height", 0}, Case{"negative height", -100}}) {
        SCOPED_TRACE(c.name);
        rec.setDrawnSize(135, c.height);
        rec.clear();
        callHandler(handler, 40, 50, 0);
        EXPECT_TRUE(rec.calls.empty());
    }

    // After kill the host's record of the background is gone.
    rec.setDrawnSize(135, 100);
    routine(0x24);
    rec.clear();
    callHandler(handler, 40, 50, 0);
    EXPECT_TRUE(rec.calls.empty()) << "handler after kill";
}

TEST_F(Quadrel, LeverHandlerBeforeInstallSendsNothing) {
    Recorder rec;
    // The mouse list is handed over only by install: learn the lever 1
    // handler's place from one install, then reload the module so that the
    // handler runs before any install, with no host record of the background.
    uint8_t* list = install(rec);
    ASSERT_NE(list, nullptr);
    const uint32_t handlerRva = addr(handlerOf(list, 2)) - m.imageBase;
    ASSERT_NO_FATAL_FAILURE(reload());
    rec.attach(m);
    rec.clear();
    callHandler(reinterpret_cast<void*>(m.imageBase + handlerRva), 3, 10, 0);
    EXPECT_TRUE(rec.calls.empty());
}

// ---- bitmaps -------------------------------------------------------------------

TEST_F(Quadrel, BitmapResources) {
    std::vector<uint32_t> ids = bitmapIds(m);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<uint32_t>{4096, 8192, 12288, 16384, 20480}));

    struct Expected { uint32_t id; int w, h; };
    for (const Expected& e : {Expected{4096, 135, 100}, Expected{8192, 30, 18}, Expected{12288, 30, 18},
                              Expected{16384, 30, 18}, Expected{20480, 30, 18}})
        expectBitmapFormat(m, e.id, e.w, e.h, 8);

    // The background is every pixel palette index 0, and index 0 is black.
    // The indices are the resource's bytes: rows of 136 bytes (135 and the
    // padding to 4) after the 40-byte header and the palette.
    uint32_t size = 0;
    const uint8_t* bg = bitmapBytes(m, 4096, &size);
    ASSERT_NE(bg, nullptr);
    const uint32_t colours = u32(bg, 32) ? u32(bg, 32) : 256;
    ASSERT_GE(size, 40 + 4 * colours + 136 * 100) << "the rows lie within the resource";
    EXPECT_EQ(u32(bg, 40) & 0xFFFFFF, 0u) << "palette entry 0 is black";
    int nonZero = 0;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 135; ++x) nonZero += bg[40 + 4 * colours + 136 * y + x] != 0;
    EXPECT_EQ(nonZero, 0);
    EXPECT_EQ(pixel(bitmapResource(m, 4096), 0, 0), (Rgb{0, 0, 0}));

    // Levers 2 and 3 are the same picture; the outer knobs are rounded at
    // their outer end only, so their outer corner is black and the inner
    // end is handle.
    const Bitmap &k1 = bitmapResource(m, 8192), &k2 = bitmapResource(m, 12288), &k3 = bitmapResource(m, 16384),
                 &k4 = bitmapResource(m, 20480);
    for (int y = 0; y < 18; ++y)
        for (int x = 0; x < 30; ++x) ASSERT_EQ(pixel(k2, x, y), pixel(k3, x, y)) << x << "," << y;
    const Rgb black{0, 0, 0};
    EXPECT_EQ(pixel(k1, 0, 3), black);
    EXPECT_NE(pixel(k1, 29, 3), black);
    EXPECT_NE(pixel(k4, 0, 3), black);
    EXPECT_EQ(pixel(k4, 29, 3), black);
    EXPECT_NE(pixel(k2, 0, 5), black);
    EXPECT_NE(pixel(k2, 29, 5), black);
    EXPECT_EQ(pixel(k2, 15, 0), black) << "black above the handle";
}

}  // namespace
