// How the checks word what they found: values, times, sizes, elements,
// mouse events and key events, the same in every check.
#pragma once

#include <cstdint>
#include <string>

#include "hostcore/records.h"

namespace gaugehost {

std::string num(double v);          // "NaN", "inf", "-0", else up to 10 significant digits
std::string ms(double seconds);     // "12 us", "3.4 ms", "12.5 s"
std::string kib(double bytes);      // "+12 KiB" (signed)
std::string forAtLeast(double seconds);   // ", at least 60 s"; nothing for 0
std::string elementName(const Element& e);   // "needle 2 (needle)"
std::string eventName(uint32_t event);        // "click", "drag", else "event 0x..."

// The key events a simulator defines are numbered from 0x10000 to 0x1FFFF.
bool plausibleKey(uint32_t id);
std::string keyText(uint32_t id);   // "65820 (0x1011C)"

}  // namespace gaugehost
