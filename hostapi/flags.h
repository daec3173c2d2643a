// The fixed numbers of the records that modules and host share: ids and
// versions of the module records, element kinds, image flag bits, mouse
// list entry types, cursors and event masks. Plain constants, free of any
// record, so that native code (the modules' pure logic and its tests) can
// use them as well.
#pragma once

#include <cstdint>

namespace hostapi {

// Module records (gauge_module.h).
enum : uint32_t {
    kModuleId = 0x13,            // Linkage +0x00
    kImportId = 0x0F,            // ImportTable +0x00
    kHeaderVersion610 = 610,     // GaugeHeader +0x00: routine pointers in the header
    kHeaderVersion800 = 800,     // GaugeHeader +0x00: mouse list and GaugeCallback
    kLinkageVersion610 = 0,      // Linkage +0x14 of a version-610 module
    kLinkageVersion800 = 0x800,  // Linkage +0x14 of a version-800 module
    kGaugeSizeValue = 100,       // GaugeHeader +0x2C
};

// ElementHeader +0x00.
enum ElementKind : uint32_t {
    kStaticImage = 0,
    kNeedle = 1,
    kString = 2,
    kSlider = 3,
    kIcon = 4,
};

// ElementHeader +0x04 and +0x30. The host gives the image flag bits their
// meaning; the modules carry them unchanged, except the hidden bit, which
// lumivane sets and clears at run time.
enum : uint32_t {
    kNoBitmap = 0xFFFFFFFFu,            // resource id of every string element
    kImageFlagsBackground = 0x00000001,  // 610 root background
    kImageFlagsMoving = 0x00000003,      // 610 icons and sliders
    kImageFlagsToggled = 0x00000007,     // 610 static image toggled at run time
    kImageFlagsGenerated = 0x00000083,   // every element of a version-800 gauge
    kImageFlagHidden = 0x40000000,       // set at run time: the element is not drawn
};

// MouseRect +0x00.
enum MouseRectType : uint32_t {
    kMouseEnd = 0,          // ends the list
    kMouseParent = 1,       // opens a region
    kMouseChild = 2,        // active rectangle
    kMouseEndParent = 3,    // closes the innermost open parent
};

// MouseRect +0x14 (cursor) and +0x1C (event mask).
enum : uint32_t {
    kCursorNone = 0xFFFFFFFFu,
    kCursorHand = 5,                   // every child rectangle
    kMouseClick = 0x20000000u,         // click rectangles
    kMouseDragLever = 0x00800000u,     // lever rectangles
};

}  // namespace hostapi
