// Records every gauge module shares with the host: the two exported records,
// the gauge header in its two generations, and the routines the host calls.
//
// These records are read and written by the host in place, inside the
// module's data, so their layout is the interface: every offset below is
// checked at compile time. All routines crossing the boundary, in either
// direction, remove their own arguments (__stdcall).
#pragma once

#include <cstddef>
#include <cstdint>

#include "flags.h"

static_assert(sizeof(void*) == 4, "gauge records are 32-bit: build with the i686 toolchain");

#define GAUGE_CALL __stdcall

namespace hostapi {

struct ElementHeader;
struct MouseRect;
struct PanelServices;
struct GaugeHeader;

#pragma pack(push, 4)

// Module start and stop routines: no arguments, no result.
typedef void(GAUGE_CALL* ModuleRoutine)();

// Version-610 lifecycle routines. install and generate take one host value
// that the module passes through unchanged.
typedef void(GAUGE_CALL* QueryRoutine)();
typedef void(GAUGE_CALL* InstallRoutine)(uint32_t hostArg);
typedef void(GAUGE_CALL* InitializeRoutine)();
typedef void(GAUGE_CALL* UpdateRoutine)();
typedef void(GAUGE_CALL* GenerateRoutine)(uint32_t hostArg);
typedef void(GAUGE_CALL* DrawRoutine)();
typedef void(GAUGE_CALL* KillRoutine)();

// Version-800 service-code routine: host value, service code, extra value.
typedef void(GAUGE_CALL* GaugeCallback)(uint32_t hostArg, int32_t serviceCode, uint32_t extra);

// Exported as "Linkage". One gauge per module: the list is one header
// pointer followed by the zero word.
struct Linkage {
    uint32_t moduleId;          // 0x13
    ModuleRoutine moduleStart;  // does nothing
    ModuleRoutine moduleStop;   // does nothing
    uint32_t moduleFlags;       // 0
    uint32_t reserved;          // 0
    uint32_t linkageVersion;    // 0 (version 610) or 0x800 (version 800)
    GaugeHeader* gauges[2];     // the gauge, then NULL
};
static_assert(sizeof(Linkage) == 0x20, "Linkage size");
static_assert(offsetof(Linkage, moduleId) == 0x00, "Linkage.moduleId");
static_assert(offsetof(Linkage, moduleStart) == 0x04, "Linkage.moduleStart");
static_assert(offsetof(Linkage, moduleStop) == 0x08, "Linkage.moduleStop");
static_assert(offsetof(Linkage, moduleFlags) == 0x0C, "Linkage.moduleFlags");
static_assert(offsetof(Linkage, reserved) == 0x10, "Linkage.reserved");
static_assert(offsetof(Linkage, linkageVersion) == 0x14, "Linkage.linkageVersion");
static_assert(offsetof(Linkage, gauges) == 0x18, "Linkage.gauges");

// Exported as "ImportTable". The host stores its service table address at
// +4 before it calls any routine of the gauge; every call a module makes
// into the host goes through that pointer.
struct ImportTable {
    uint32_t importId;        // 0x0F
    PanelServices* services;  // host-filled; 0 in the module image
    uint32_t reserved[2];
};
static_assert(sizeof(ImportTable) == 0x10, "ImportTable size");
static_assert(offsetof(ImportTable, importId) == 0x00, "ImportTable.importId");
static_assert(offsetof(ImportTable, services) == 0x04, "ImportTable.services");
static_assert(offsetof(ImportTable, reserved) == 0x08, "ImportTable.reserved");

struct GaugeHeader {
    uint32_t version;                  // 610 or 800
    const char* name;                  // NUL-terminated; a 32-byte buffer in version 800
    ElementHeader** rootSlot;          // address of the variable holding the root element
    QueryRoutine query;                // version 610 only
    InstallRoutine install;            //   "
    InitializeRoutine initialize;      //   "
    UpdateRoutine update;              //   "
    GenerateRoutine generate;          //   "
    DrawRoutine draw;                  //   "
    KillRoutine kill;                  //   "
    uint32_t reserved28;
    uint32_t sizeValue;                // 100
    uint32_t reserved30[8];
    MouseRect* mouseList;              // version 800 only (610 registers it at install)
    GaugeCallback callback;            // version 800 only
};
static_assert(sizeof(GaugeHeader) == 0x58, "GaugeHeader size");
static_assert(offsetof(GaugeHeader, version) == 0x00, "GaugeHeader.version");
static_assert(offsetof(GaugeHeader, name) == 0x04, "GaugeHeader.name");
static_assert(offsetof(GaugeHeader, rootSlot) == 0x08, "GaugeHeader.rootSlot");
static_assert(offsetof(GaugeHeader, query) == 0x0C, "GaugeHeader.query");
static_assert(offsetof(GaugeHeader, install) == 0x10, "GaugeHeader.install");
static_assert(offsetof(GaugeHeader, initialize) == 0x14, "GaugeHeader.initialize");
static_assert(offsetof(GaugeHeader, update) == 0x18, "GaugeHeader.update");
static_assert(offsetof(GaugeHeader, generate) == 0x1C, "GaugeHeader.generate");
static_assert(offsetof(GaugeHeader, draw) == 0x20, "GaugeHeader.draw");
static_assert(offsetof(GaugeHeader, kill) == 0x24, "GaugeHeader.kill");
static_assert(offsetof(GaugeHeader, reserved28) == 0x28, "GaugeHeader.reserved28");
static_assert(offsetof(GaugeHeader, sizeValue) == 0x2C, "GaugeHeader.sizeValue");
static_assert(offsetof(GaugeHeader, reserved30) == 0x30, "GaugeHeader.reserved30");
static_assert(offsetof(GaugeHeader, mouseList) == 0x50, "GaugeHeader.mouseList");
static_assert(offsetof(GaugeHeader, callback) == 0x54, "GaugeHeader.callback");

// A version-610 gauge keeps its Linkage directly after its header; the
// module exports the inner record under the name "Linkage".
struct GaugeRecords610 {
    GaugeHeader header;
    Linkage linkage;
};
static_assert(offsetof(GaugeRecords610, linkage) == 0x58, "Linkage follows the 610 header");

// A version-800 gauge reserves 0xC4 bytes from the start of its header; the
// bytes after the header are zero.
struct GaugeHeader800 {
    GaugeHeader header;
    uint8_t reservedTail[0xC4 - 0x58];
};
static_assert(sizeof(GaugeHeader800) == 0xC4, "version-800 header block");

#pragma pack(pop)

// Module start and stop routine of every module: nothing to do.
void GAUGE_CALL moduleStart();
void GAUGE_CALL moduleStop();

// The lifecycle routines of a version-610 gauge, in header order.
struct Routines610 {
    QueryRoutine query;
    InstallRoutine install;
    InitializeRoutine initialize;
    UpdateRoutine update;
    GenerateRoutine generate;
    DrawRoutine draw;
    KillRoutine kill;
};

// The fixed records of a version-610 module with one gauge: its header and,
// right after it, its Linkage listing that header. `self` is the object
// being initialised.
constexpr GaugeRecords610 records610(const char* name, ElementHeader** rootSlot, const Routines610& r,
                                     GaugeRecords610& self) {
    return GaugeRecords610{
        {
            kHeaderVersion610, name, rootSlot,
            r.query, r.install, r.initialize, r.update, r.generate, r.draw, r.kill,
            0, kGaugeSizeValue, {}, nullptr, nullptr,
        },
        {
            kModuleId, moduleStart, moduleStop, 0, 0, kLinkageVersion610,
            {&self.header, nullptr},
        },
    };
}
}  // namespace hostapi

// The module's ImportTable, exported under the name "ImportTable" (see
// import_table.h for its one definition).
extern "C" hostapi::ImportTable gImportTable;

// Exports a 610 gauge's inner Linkage under the plain name "Linkage".
// `records` must be an extern "C" GaugeRecords610 object of the module.
#define GAUGE_EXPORT_LINKAGE_610(records) \
    __asm__(".globl _Linkage\n\t.set _Linkage, _" #records " + 0x58")
