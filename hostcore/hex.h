// Numbers as the host's messages print them: 0x1A2B. Plain C++, for the
// native tests too.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace gaugehost {

inline std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}

}  // namespace gaugehost
