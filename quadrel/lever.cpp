#include "lever.h"

namespace quadrel {

int32_t leverSetting(int32_t drawnHeight, int32_t pointerY) {
    const double idleHeight = drawnHeight * 0.8;
    const int64_t idleLine = static_cast<int32_t>(idleHeight);  // truncated toward zero
    const int64_t numerator = (idleLine - pointerY) * int64_t{16384};
    // |numerator| < 2^47, exact as a double.
    double setting = static_cast<double>(numerator) / idleHeight;
    if (setting > kSettingFull) setting = kSettingFull;
    if (setting < kSettingReverse) setting = kSettingReverse;
    return static_cast<int32_t>(setting);  // truncated toward zero
}

}  // namespace quadrel
