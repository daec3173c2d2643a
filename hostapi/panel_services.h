// The host's panel services, called by slot through the table whose address
// the host stored at ImportTable + 4. Each service removes its own arguments;
// no module relies on a service's result. Slots, names and argument counts:
// service_slots.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>

#include "elements.h"
#include "gauge_module.h"
#include "service_slots.h"

namespace hostapi {

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

// The signature of each slot; its argument count must be the table's.
template <PanelServiceSlot S> struct ServiceOf;
template <> struct ServiceOf<kQueryElements> { using type = ElementService; };
template <> struct ServiceOf<kInstallElements> { using type = ElementArgService; };
template <> struct ServiceOf<kInitializeElements> { using type = ElementService; };
template <> struct ServiceOf<kUpdateElements> { using type = ElementService; };
template <> struct ServiceOf<kGenerateElements> { using type = ElementArgService; };
template <> struct ServiceOf<kDrawElements> { using type = ElementService; };
template <> struct ServiceOf<kReleaseElements> { using type = ElementService; };
template <> struct ServiceOf<kRegisterMouseRects> { using type = RegisterMouseService; };
template <> struct ServiceOf<kAttachMouseRects> { using type = MouseListService; };
template <> struct ServiceOf<kReleaseMouseRects> { using type = MouseListService; };
template <> struct ServiceOf<kSendKeyEvent> { using type = KeyEventService; };
template <> struct ServiceOf<kInitializeModuleVar> { using type = ModuleVarService; };
template <> struct ServiceOf<kRefreshModuleVar> { using type = ModuleVarService; };

template <typename Fn> struct ArgCount;
template <typename R, typename... A> struct ArgCount<R(GAUGE_CALL*)(A...)> {
    static constexpr int value = sizeof...(A);
    static_assert(((sizeof(A) == 4) && ...), "every service argument is 32 bits");
};

template <size_t... I>
constexpr bool signaturesMatchTable(std::index_sequence<I...>) {
    return ((ArgCount<typename ServiceOf<kServiceSlots[I].slot>::type>::value ==
             static_cast<int>(kServiceSlots[I].argCount)) && ...);
}
static_assert(signaturesMatchTable(std::make_index_sequence<std::size(kServiceSlots)>()),
              "service signatures and kServiceSlots agree on every argument count");

// Calls by slot, through the pointer the host stored in the module's
// ImportTable. Results are ignored.
template <PanelServiceSlot S>
inline typename ServiceOf<S>::type service(const ImportTable& imports) {
    return reinterpret_cast<typename ServiceOf<S>::type>(imports.services->slot[S]);
}

inline void queryElements(const ImportTable& t, ElementHeader* root) {
    service<kQueryElements>(t)(root);
}
inline void installElements(const ImportTable& t, ElementHeader* root, uint32_t hostArg) {
    service<kInstallElements>(t)(root, hostArg);
}
inline void initializeElements(const ImportTable& t, ElementHeader* root) {
    service<kInitializeElements>(t)(root);
}
inline void updateElements(const ImportTable& t, ElementHeader* root) {
    service<kUpdateElements>(t)(root);
}
inline void generateElements(const ImportTable& t, ElementHeader* root, uint32_t hostArg) {
    service<kGenerateElements>(t)(root, hostArg);
}
inline void drawElements(const ImportTable& t, ElementHeader* root) {
    service<kDrawElements>(t)(root);
}
inline void releaseElements(const ImportTable& t, ElementHeader* root) {
    service<kReleaseElements>(t)(root);
}
inline void registerMouseRects(const ImportTable& t, MouseRect* list, GaugeHeader* gauge,
                               int32_t* drawnSize) {
    service<kRegisterMouseRects>(t)(list, gauge, drawnSize);
}
inline void attachMouseRects(const ImportTable& t, MouseRect* list, GaugeHeader* gauge) {
    service<kAttachMouseRects>(t)(list, gauge);
}
inline void releaseMouseRects(const ImportTable& t, MouseRect* list, GaugeHeader* gauge) {
    service<kReleaseMouseRects>(t)(list, gauge);
}
inline void sendKeyEvent(const ImportTable& t, uint32_t eventId, int32_t parameter) {
    service<kSendKeyEvent>(t)(eventId, parameter);
}
inline void initializeModuleVar(const ImportTable& t, ModuleVar* var) {
    service<kInitializeModuleVar>(t)(var);
}
inline void refreshModuleVar(const ImportTable& t, ModuleVar* var) {
    service<kRefreshModuleVar>(t)(var);
}

}  // namespace hostapi
