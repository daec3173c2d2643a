// What every generated gauge module shares unchanged: Linkage and ImportTable,
// the started flag, the service-code dispatch of GaugeCallback and the
// routine forms as value routines.
#include "gaugert.h"

#include "../hostapi/import_table.h"

extern "C" {

constinit hostapi::Linkage gLinkage = {
    hostapi::kModuleId, hostapi::moduleStart, hostapi::moduleStop, 0, 0,
    hostapi::kLinkageVersion800, {gaugert::header(), nullptr},
};

}  // extern "C"

namespace gaugert {

constinit uint32_t started = 0;

namespace {

struct Refresh {
    ModuleVar* list;
    size_t count;
    StartAction start;
};

void nothing(const Refresh&) {}

void refresh(const Refresh& r) {
    for (size_t i = 0; i < r.count; ++i) hostapi::refreshModuleVar(gImportTable, &r.list[i]);
}

void startOnce(const Refresh& r) {
    if (started != 0) return;
    started = 1;
    if (r.start != nullptr) r.start();
}

// Codes 0 to 12, through one table; only 6 and 10 act.
constexpr void (*kCodes[13])(const Refresh&) = {
    nothing, nothing, nothing, nothing, nothing, nothing, refresh,    // 0 .. 6
    nothing, nothing, nothing, startOnce, nothing, nothing,           // 7 .. 12
};

}  // namespace

void serviceCode(int32_t code, ModuleVar* list, size_t count, StartAction start) {
    const uint32_t index = static_cast<uint32_t>(code);
    if (index >= std::size(kCodes)) return;
    kCodes[index](Refresh{list, count, start});
}

void sendKeyEvent(uint32_t eventId, int32_t parameter) {
    hostapi::sendKeyEvent(gImportTable, eventId, parameter);
}

double GAUGE_CALL passThroughRoutine(ElementHeader* element) { return source(element); }

double runText(ElementHeader* element, const TextForm& form) {
    char* buffer = reinterpret_cast<StringElement*>(element)->text;
    return runTextForm(source(element), form, buffer);
}

}  // namespace gaugert
