// The lit face rule: the lights panel's lit face shows only while variable
// 753 is above zero and variable 10 is non-zero. A value that is not a
// number fails its test.
#pragma once

#include <cstdint>

#include "../hostapi/flags.h"

namespace lumivane {

constexpr bool litFaceShown(double v753, double v10) {
    return v753 > 0.0 && (v10 < 0.0 || v10 > 0.0);
}

// The lit face's image flags after an update: only the hidden bit changes.
constexpr uint32_t litFaceFlags(uint32_t flags, double v753, double v10) {
    using hostapi::kImageFlagHidden;
    return litFaceShown(v753, v10) ? flags & ~kImageFlagHidden : flags | kImageFlagHidden;
}

}  // namespace lumivane
