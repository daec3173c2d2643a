// Element and mouse records: the static description of a gauge's picture and
// mouse behaviour, walked by the host. Fields marked host-owned are zero in
// the module image and written only by the host; reserved fields are zero.
// Records are packed on 4-byte boundaries, so doubles may sit at offsets
// that are multiples of 4 only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flags.h"
#include "gauge_module.h"

namespace hostapi {

#pragma pack(push, 4)

// Cached reference to one host simulation variable.
struct ModuleVar {
    uint32_t id;           // host variable number; 0: none
    uint32_t host04;       // host-owned binding
    uint32_t host08;       // host-owned
    double value;          // cached value, written by the host on refresh
    uint8_t host14[8];     // host-owned
};
static_assert(sizeof(ModuleVar) == 28, "ModuleVar size");
static_assert(offsetof(ModuleVar, id) == 0x00, "ModuleVar.id");
static_assert(offsetof(ModuleVar, host04) == 0x04, "ModuleVar.host04");
static_assert(offsetof(ModuleVar, host08) == 0x08, "ModuleVar.host08");
static_assert(offsetof(ModuleVar, value) == 0x0C, "ModuleVar.value");
static_assert(offsetof(ModuleVar, host14) == 0x14, "ModuleVar.host14");

// Empty failure list of a version-800 element: one all-zero entry.
struct FailureEntry {
    uint32_t words[3];
};
static_assert(sizeof(FailureEntry) == 12, "FailureEntry size");

// The first 0x3C bytes of every element.
struct ElementHeader {
    uint32_t kind;               // ElementKind
    uint32_t bitmapId;           // resource id, or kNoBitmap
    int32_t x;                   // from the background's left edge
    int32_t y;                   // from the background's top edge
    uint8_t host10[16];          // host-owned
    GaugeHeader* gauge;          // owning header
    uint32_t hostLink;           // host-owned
    ElementHeader** children;    // NULL, or a NULL-terminated array
    FailureEntry* failures;      // NULL in 610; the element's own empty entry in 800
    uint32_t imageFlags;
    uint32_t reserved34;
    uint32_t reserved38;
};
static_assert(sizeof(ElementHeader) == 0x3C, "ElementHeader size");
static_assert(offsetof(ElementHeader, kind) == 0x00, "ElementHeader.kind");
static_assert(offsetof(ElementHeader, bitmapId) == 0x04, "ElementHeader.bitmapId");
static_assert(offsetof(ElementHeader, x) == 0x08, "ElementHeader.x");
static_assert(offsetof(ElementHeader, y) == 0x0C, "ElementHeader.y");
static_assert(offsetof(ElementHeader, host10) == 0x10, "ElementHeader.host10");
static_assert(offsetof(ElementHeader, gauge) == 0x20, "ElementHeader.gauge");
static_assert(offsetof(ElementHeader, hostLink) == 0x24, "ElementHeader.hostLink");
static_assert(offsetof(ElementHeader, children) == 0x28, "ElementHeader.children");
static_assert(offsetof(ElementHeader, failures) == 0x2C, "ElementHeader.failures");
static_assert(offsetof(ElementHeader, imageFlags) == 0x30, "ElementHeader.imageFlags");
static_assert(offsetof(ElementHeader, reserved34) == 0x34, "ElementHeader.reserved34");
static_assert(offsetof(ElementHeader, reserved38) == 0x38, "ElementHeader.reserved38");

// Value routine of a version-800 element: takes the element's own address,
// returns the value the host uses in place of the element's variable.
typedef double(GAUGE_CALL* ValueRoutine)(ElementHeader* element);

// The host's record of a bitmap as drawn; the module reads only the drawn
// width and height (screen pixels).
struct HostImageRecord {
    uint32_t host00;
    int32_t drawnWidth;
    int32_t drawnHeight;
};
static_assert(offsetof(HostImageRecord, drawnWidth) == 4, "drawn width at +4");
static_assert(offsetof(HostImageRecord, drawnHeight) == 8, "drawn height at +8");

// Kind 0. 0x50 bytes in version 610.
struct StaticImageElement {
    ElementHeader header;
    HostImageRecord* image;   // host-owned: filled at install
    uint8_t host40[16];
};
static_assert(sizeof(StaticImageElement) == 0x50, "StaticImageElement size");
static_assert(offsetof(StaticImageElement, image) == 0x3C, "StaticImageElement.image");
static_assert(offsetof(StaticImageElement, host40) == 0x40, "StaticImageElement.host40");

// Kind 0 in version 800: 0x60 bytes reserved.
struct StaticImageElement800 {
    StaticImageElement base;
    uint8_t reserved50[16];
};
static_assert(sizeof(StaticImageElement800) == 0x60, "StaticImageElement800 size");

// Kind 4. 0x84 bytes in version 610, 0x8C in version 800.
struct IconElement {
    ElementHeader header;    // bitmap id of the first image
    ModuleVar source;        // id 0: value from the value routine alone
    uint32_t reserved58;
    uint32_t mode;           // 0 in 610 gauges, 3 in 800 gauges
    uint8_t reserved60[16];
    uint32_t imageCount;     // N: 2 or 3
    uint8_t host74[16];
};
static_assert(sizeof(IconElement) == 0x84, "IconElement size");
static_assert(offsetof(IconElement, source) == 0x3C, "IconElement.source");
static_assert(offsetof(IconElement, source.value) == 0x48, "IconElement value");
static_assert(offsetof(IconElement, reserved58) == 0x58, "IconElement.reserved58");
static_assert(offsetof(IconElement, mode) == 0x5C, "IconElement.mode");
static_assert(offsetof(IconElement, reserved60) == 0x60, "IconElement.reserved60");
static_assert(offsetof(IconElement, imageCount) == 0x70, "IconElement.imageCount");
static_assert(offsetof(IconElement, host74) == 0x74, "IconElement.host74");

struct IconElement800 {
    IconElement base;
    ValueRoutine routine;
    uint32_t reserved88;
};
static_assert(sizeof(IconElement800) == 0x8C, "IconElement800 size");
static_assert(offsetof(IconElement800, routine) == 0x84, "IconElement800.routine");
static_assert(offsetof(IconElement800, reserved88) == 0x88, "IconElement800.reserved88");

// Kind 3, version 610: drawn at position + value * scale on each axis.
struct SliderElement {
    ElementHeader header;     // position at value 0
    HostImageRecord* image;   // host-owned
    ModuleVar xVar;           // id 0: no horizontal movement
    uint32_t reserved5C;
    double xScale;            // pixels per unit of x value
    ModuleVar yVar;
    uint32_t reserved84;
    double yScale;            // pixels per unit of y value
    uint8_t host90[0x18];
};
static_assert(sizeof(SliderElement) == 0xA8, "SliderElement size");
static_assert(offsetof(SliderElement, image) == 0x3C, "SliderElement.image");
static_assert(offsetof(SliderElement, xVar) == 0x40, "SliderElement.xVar");
static_assert(offsetof(SliderElement, reserved5C) == 0x5C, "SliderElement.reserved5C");
static_assert(offsetof(SliderElement, xScale) == 0x60, "SliderElement.xScale");
static_assert(offsetof(SliderElement, yVar) == 0x68, "SliderElement.yVar");
static_assert(offsetof(SliderElement, reserved84) == 0x84, "SliderElement.reserved84");
static_assert(offsetof(SliderElement, yScale) == 0x88, "SliderElement.yScale");
static_assert(offsetof(SliderElement, host90) == 0x90, "SliderElement.host90");

// One needle point table entry: the needle points toward (x, y) when the
// value equals `value`; entries ascend by value.
struct PointEntry {
    int32_t x;
    int32_t y;
    double value;
    uint8_t host10[8];
};
static_assert(sizeof(PointEntry) == 24, "PointEntry size");
static_assert(offsetof(PointEntry, value) == 0x08, "PointEntry.value");
static_assert(offsetof(PointEntry, host10) == 0x10, "PointEntry.host10");

// Kind 1, version 800: rotated about its position (the pivot).
struct NeedleElement {
    ElementHeader header;
    ModuleVar source;
    uint8_t reserved58[0x18];
    PointEntry* points;
    uint32_t pointCount;      // 2 or 3
    uint8_t host78[0x68];
    ValueRoutine routine;
    uint8_t reservedE4[8];
};
static_assert(sizeof(NeedleElement) == 0xEC, "NeedleElement size");
static_assert(offsetof(NeedleElement, source) == 0x3C, "NeedleElement.source");
static_assert(offsetof(NeedleElement, reserved58) == 0x58, "NeedleElement.reserved58");
static_assert(offsetof(NeedleElement, points) == 0x70, "NeedleElement.points");
static_assert(offsetof(NeedleElement, pointCount) == 0x74, "NeedleElement.pointCount");
static_assert(offsetof(NeedleElement, host78) == 0x78, "NeedleElement.host78");
static_assert(offsetof(NeedleElement, routine) == 0xE0, "NeedleElement.routine");
static_assert(offsetof(NeedleElement, reservedE4) == 0xE4, "NeedleElement.reservedE4");

// Kind 2, version 800: text written by the value routine, drawn in a box.
struct StringElement {
    ElementHeader header;     // bitmap id kNoBitmap; position: box top-left
    ModuleVar source;
    uint8_t reserved58[0x60];
    char* text;               // host-owned: the element's character buffer
    uint32_t reservedBC;
    uint32_t boxWidth;
    uint32_t boxHeight;
    uint32_t colour1;
    uint32_t colour2;
    uint32_t colour3;
    uint8_t reservedD4[0x24];
    char fontFace[32];        // NUL-padded
    uint32_t fontWeight;
    uint32_t fontWord;
    uint32_t reserved120;
    uint32_t layoutFlags;
    uint8_t reserved128[0x10];
    ValueRoutine routine;
    uint8_t reserved13C[8];
};
static_assert(sizeof(StringElement) == 0x144, "StringElement size");
static_assert(offsetof(StringElement, source) == 0x3C, "StringElement.source");
static_assert(offsetof(StringElement, reserved58) == 0x58, "StringElement.reserved58");
static_assert(offsetof(StringElement, text) == 0xB8, "StringElement.text");
static_assert(offsetof(StringElement, reservedBC) == 0xBC, "StringElement.reservedBC");
static_assert(offsetof(StringElement, boxWidth) == 0xC0, "StringElement.boxWidth");
static_assert(offsetof(StringElement, boxHeight) == 0xC4, "StringElement.boxHeight");
static_assert(offsetof(StringElement, colour1) == 0xC8, "StringElement.colour1");
static_assert(offsetof(StringElement, colour2) == 0xCC, "StringElement.colour2");
static_assert(offsetof(StringElement, colour3) == 0xD0, "StringElement.colour3");
static_assert(offsetof(StringElement, reservedD4) == 0xD4, "StringElement.reservedD4");
static_assert(offsetof(StringElement, fontFace) == 0xF8, "StringElement.fontFace");
static_assert(offsetof(StringElement, fontWeight) == 0x118, "StringElement.fontWeight");
static_assert(offsetof(StringElement, fontWord) == 0x11C, "StringElement.fontWord");
static_assert(offsetof(StringElement, reserved120) == 0x120, "StringElement.reserved120");
static_assert(offsetof(StringElement, layoutFlags) == 0x124, "StringElement.layoutFlags");
static_assert(offsetof(StringElement, reserved128) == 0x128, "StringElement.reserved128");
static_assert(offsetof(StringElement, routine) == 0x138, "StringElement.routine");
static_assert(offsetof(StringElement, reserved13C) == 0x13C, "StringElement.reserved13C");

// Pointer position handed to a mouse handler, gauge pixels as drawn.
struct MousePoint {
    int32_t x;
    int32_t y;
};

// Mouse handler: pointer position and event flags; returns 0.
typedef int32_t(GAUGE_CALL* MouseHandler)(const MousePoint* point, uint32_t eventFlags);

struct MouseRect {
    uint32_t type;          // MouseRectType
    int32_t x;
    int32_t y;
    uint32_t width;
    uint32_t height;
    uint32_t cursor;
    uint32_t helpId;
    uint32_t eventMask;
    uint32_t eventWord;     // 0: children act through their handlers
    MouseHandler handler;   // children only
    uint32_t reserved28;
};
static_assert(sizeof(MouseRect) == 44, "MouseRect size");
static_assert(offsetof(MouseRect, type) == 0x00, "MouseRect.type");
static_assert(offsetof(MouseRect, x) == 0x04, "MouseRect.x");
static_assert(offsetof(MouseRect, y) == 0x08, "MouseRect.y");
static_assert(offsetof(MouseRect, width) == 0x0C, "MouseRect.width");
static_assert(offsetof(MouseRect, height) == 0x10, "MouseRect.height");
static_assert(offsetof(MouseRect, cursor) == 0x14, "MouseRect.cursor");
static_assert(offsetof(MouseRect, helpId) == 0x18, "MouseRect.helpId");
static_assert(offsetof(MouseRect, eventMask) == 0x1C, "MouseRect.eventMask");
static_assert(offsetof(MouseRect, eventWord) == 0x20, "MouseRect.eventWord");
static_assert(offsetof(MouseRect, handler) == 0x24, "MouseRect.handler");
static_assert(offsetof(MouseRect, reserved28) == 0x28, "MouseRect.reserved28");

#pragma pack(pop)

// Building blocks for the gauges' record tables.
constexpr ModuleVar moduleVar(uint32_t id) { return ModuleVar{id, 0, 0, 0.0, {}}; }

constexpr ElementHeader elementHeader(ElementKind kind, uint32_t bitmapId, int32_t x, int32_t y,
                                      GaugeHeader* gauge, ElementHeader** children,
                                      FailureEntry* failures, uint32_t imageFlags) {
    return ElementHeader{kind, bitmapId, x, y, {}, gauge, 0, children, failures, imageFlags, 0, 0};
}

// Rows of a mouse list, written as tables in the gauges.
constexpr MouseRect mouseParent(int32_t x, int32_t y, uint32_t w, uint32_t h, uint32_t help = 0) {
    return MouseRect{kMouseParent, x, y, w, h, kCursorNone, help, 0, 0, nullptr, 0};
}
constexpr MouseRect mouseChild(int32_t x, int32_t y, uint32_t w, uint32_t h, uint32_t mask,
                               MouseHandler handler) {
    return MouseRect{kMouseChild, x, y, w, h, kCursorHand, 0, mask, 0, handler, 0};
}
constexpr MouseRect mouseEndParent() {
    return MouseRect{kMouseEndParent, 0, 0, 0, 0, kCursorNone, 0, 0, 0, nullptr, 0};
}
constexpr MouseRect mouseEnd() {
    return MouseRect{kMouseEnd, 0, 0, 0, 0, kCursorNone, 0, 0, 0, nullptr, 0};
}

}  // namespace hostapi
