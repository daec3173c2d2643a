#include "check/wording.h"

#include <cmath>
#include <cstdio>

#include "hostapi/flags.h"
#include "hostcore/text.h"

namespace gaugehost {

std::string num(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    if (v == 0 && std::signbit(v)) return "-0";
    char b[40];
    std::snprintf(b, sizeof b, "%.10g", v);
    return b;
}

std::string ms(double seconds) {
    char b[40];
    if (seconds < 0.001) std::snprintf(b, sizeof b, "%.0f us", seconds * 1e6);
    else if (seconds < 10) std::snprintf(b, sizeof b, "%.1f ms", seconds * 1e3);
    else std::snprintf(b, sizeof b, "%.1f s", seconds);
    return b;
}

std::string kib(double bytes) {
    char b[40];
    std::snprintf(b, sizeof b, "%+.0f KiB", bytes / 1024);
    return b;
}

std::string forAtLeast(double seconds) { return seconds > 0 ? ", at least " + num(seconds) + " s" : ""; }

std::string elementName(const Element& e) { return e.label + " (" + kindName(e.kind) + ")"; }

std::string eventName(uint32_t event) {
    if (event == hostapi::kMouseClick) return "click";
    if (event == hostapi::kMouseDragLever) return "drag";
    return "event " + hex(event);
}

namespace {
constexpr uint32_t kFirstKeyEvent = 0x10000, kLastKeyEvent = 0x1FFFF;
}

bool plausibleKey(uint32_t id) { return id >= kFirstKeyEvent && id <= kLastKeyEvent; }
std::string keyText(uint32_t id) { return std::to_string(id) + " (" + hex(id) + ")"; }

}  // namespace gaugehost
