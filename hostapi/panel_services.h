// The host's panel services, called by slot through the table whose address
// the host stored at ImportTable + 4. Each service removes its own arguments;
// no module relies on a service's result.
#pragma once

#include <cstddef>
#include <cstdint>

#include "elements.h"
#include "gauge_module.h"

namespace hostapi {

enum PanelServiceSlot : unsigned {
    kQueryElements = 24,
    kInstallElements = 25,
    kInitializeElements = 26,
    kUpdateElements = 27,
    kGenerateElements = 28,
    kDrawElements = 29,
    kReleaseElements = 31,
    kRegisterMouseRects = 32,
    kAttachMouseRects = 33,
    kReleaseMouseRects = 34,
    kSendKeyEvent = 36,
    kInitializeModuleVar = 38,
    kRefreshModuleVar = 40,
    kPanelServiceSlots = 41,   // slots the modules may reach: 0 to 40
};

// Every service the modules call: its slot, its name, and the arguments it
// removes from the stack (each 32 bits).
struct PanelServiceInfo {
    PanelServiceSlot slot;
    const char* name;
    unsigned arguments;
};
inline constexpr PanelServiceInfo kPanelServices[] = {
    {kQueryElements, "queryElements", 1},             // root element
    {kInstallElements, "installElements", 2},         // root element, host value
    {kInitializeElements, "initializeElements", 1},   // root element
    {kUpdateElements, "updateElements", 1},           // root element
    {kGenerateElements, "generateElements", 2},       // root element, host value
    {kDrawElements, "drawElements", 1},               // root element
    {kReleaseElements, "releaseElements", 1},         // root element
    {kRegisterMouseRects, "registerMouseRects", 3},   // list, header, drawn size
    {kAttachMouseRects, "attachMouseRects", 2},       // list, header
    {kReleaseMouseRects, "releaseMouseRects", 2},     // list, header
    {kSendKeyEvent, "sendKeyEvent", 2},               // event id, parameter
    {kInitializeModuleVar, "initializeModuleVar", 1}, // ModuleVar
    {kRefreshModuleVar, "refreshModuleVar", 1},       // ModuleVar
};

// Only the slots are known to the modules; the host's table may be longer.
struct PanelServices {
    void* slot[kPanelServiceSlots];
};
static_assert(offsetof(PanelServices, slot[kQueryElements]) == 0x60, "slot 24");
static_assert(offsetof(PanelServices, slot[kInstallElements]) == 0x64, "slot 25");
static_assert(offsetof(PanelServices, slot[kInitializeElements]) == 0x68, "slot 26");
static_assert(offsetof(PanelServices, slot[kUpdateElements]) == 0x6C, "slot 27");
static_assert(offsetof(PanelServices, slot[kGenerateElements]) == 0x70, "slot 28");
static_assert(offsetof(PanelServices, slot[kDrawElements]) == 0x74, "slot 29");
static_assert(offsetof(PanelServices, slot[kReleaseElements]) == 0x7C, "slot 31");
static_assert(offsetof(PanelServices, slot[kRegisterMouseRects]) == 0x80, "slot 32");
static_assert(offsetof(PanelServices, slot[kAttachMouseRects]) == 0x84, "slot 33");
static_assert(offsetof(PanelServices, slot[kReleaseMouseRects]) == 0x88, "slot 34");
static_assert(offsetof(PanelServices, slot[kSendKeyEvent]) == 0x90, "slot 36");
static_assert(offsetof(PanelServices, slot[kInitializeModuleVar]) == 0x98, "slot 38");
static_assert(offsetof(PanelServices, slot[kRefreshModuleVar]) == 0xA0, "slot 40");

// Service signatures, by argument shape.
typedef uint32_t(GAUGE_CALL* ElementService)(ElementHeader* root);
typedef uint32_t(GAUGE_CALL* ElementArgService)(ElementHeader* root, uint32_t hostArg);
typedef uint32_t(GAUGE_CALL* RegisterMouseService)(MouseRect* list, GaugeHeader* gauge,
                                                   int32_t* drawnSize);
typedef uint32_t(GAUGE_CALL* MouseListService)(MouseRect* list, GaugeHeader* gauge);
typedef uint32_t(GAUGE_CALL* KeyEventService)(uint32_t eventId, int32_t parameter);
typedef uint32_t(GAUGE_CALL* ModuleVarService)(ModuleVar* var);

// Calls by slot, through the pointer the host stored in the module's
// ImportTable. Results are ignored.

template <typename Fn>
inline Fn service(const ImportTable& imports, PanelServiceSlot slot) {
    return reinterpret_cast<Fn>(imports.services->slot[slot]);
}

inline void queryElements(const ImportTable& t, ElementHeader* root) {
    service<ElementService>(t, kQueryElements)(root);
}
inline void installElements(const ImportTable& t, ElementHeader* root, uint32_t hostArg) {
    service<ElementArgService>(t, kInstallElements)(root, hostArg);
}
inline void initializeElements(const ImportTable& t, ElementHeader* root) {
    service<ElementService>(t, kInitializeElements)(root);
}
inline void updateElements(const ImportTable& t, ElementHeader* root) {
    service<ElementService>(t, kUpdateElements)(root);
}
inline void generateElements(const ImportTable& t, ElementHeader* root, uint32_t hostArg) {
    service<ElementArgService>(t, kGenerateElements)(root, hostArg);
}
inline void drawElements(const ImportTable& t, ElementHeader* root) {
    service<ElementService>(t, kDrawElements)(root);
}
inline void releaseElements(const ImportTable& t, ElementHeader* root) {
    service<ElementService>(t, kReleaseElements)(root);
}
inline void registerMouseRects(const ImportTable& t, MouseRect* list, GaugeHeader* gauge,
                               int32_t* drawnSize) {
    service<RegisterMouseService>(t, kRegisterMouseRects)(list, gauge, drawnSize);
}
inline void attachMouseRects(const ImportTable& t, MouseRect* list, GaugeHeader* gauge) {
    service<MouseListService>(t, kAttachMouseRects)(list, gauge);
}
inline void releaseMouseRects(const ImportTable& t, MouseRect* list, GaugeHeader* gauge) {
    service<MouseListService>(t, kReleaseMouseRects)(list, gauge);
}
inline void sendKeyEvent(const ImportTable& t, uint32_t eventId, int32_t parameter) {
    service<KeyEventService>(t, kSendKeyEvent)(eventId, parameter);
}
inline void initializeModuleVar(const ImportTable& t, ModuleVar* var) {
    service<ModuleVarService>(t, kInitializeModuleVar)(var);
}
inline void refreshModuleVar(const ImportTable& t, ModuleVar* var) {
    service<ModuleVarService>(t, kRefreshModuleVar)(var);
}

}  // namespace hostapi
