// The host's panel services as the modules reach them: slot, name and
// argument count, in one table. A module calls slot N through the table
// whose address the host stored at ImportTable + 4, at byte offset 4 * N;
// every service removes its own arguments, each of them 32 bits. The host
// builds its service table and names its log lines from this table.
#pragma once

#include <cstdint>

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

struct ServiceSlot {
    PanelServiceSlot slot;
    const char* name;
    unsigned argCount;   // 32-bit arguments the service removes
};

// Every service a module calls, by slot. No module calls any other slot.
inline constexpr ServiceSlot kServiceSlots[] = {
    {kQueryElements, "queryElements", 1},              // root element
    {kInstallElements, "installElements", 2},          // root element, host value
    {kInitializeElements, "initializeElements", 1},    // root element
    {kUpdateElements, "updateElements", 1},            // root element
    {kGenerateElements, "generateElements", 2},        // root element, host value
    {kDrawElements, "drawElements", 1},                // root element
    {kReleaseElements, "releaseElements", 1},          // root element
    {kRegisterMouseRects, "registerMouseRects", 3},    // mouse list, gauge header, drawn size
    {kAttachMouseRects, "attachMouseRects", 2},        // mouse list, gauge header
    {kReleaseMouseRects, "releaseMouseRects", 2},      // mouse list, gauge header
    {kSendKeyEvent, "sendKeyEvent", 2},                // key event id, signed parameter
    {kInitializeModuleVar, "initializeModuleVar", 1},  // module-level ModuleVar
    {kRefreshModuleVar, "refreshModuleVar", 1},        // module-level ModuleVar
};

// The row of `slot`, or null for a slot that no module calls.
constexpr const ServiceSlot* findServiceSlot(unsigned slot) {
    for (const ServiceSlot& s : kServiceSlots)
        if (s.slot == slot) return &s;
    return nullptr;
}

// Argument count of `slot`, -1 for a slot that no module calls.
constexpr int serviceArgCount(unsigned slot) {
    const ServiceSlot* s = findServiceSlot(slot);
    return s != nullptr ? static_cast<int>(s->argCount) : -1;
}

// Name of `slot`, "?" for a slot that no module calls.
constexpr const char* serviceName(unsigned slot) {
    const ServiceSlot* s = findServiceSlot(slot);
    return s != nullptr ? s->name : "?";
}

}  // namespace hostapi
