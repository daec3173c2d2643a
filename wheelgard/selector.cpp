#include "selector.h"

namespace wheelgard {

ButtonClick brakeButtonClick(int32_t selection, int32_t target) {
    if (selection == target) return {{kEventBrakeDown, target - kSelectionNone}, kSelectionNone};
    if (selection < target) {
        const int32_t from = selection < kSelectionNone ? kSelectionNone : selection;
        return {{kEventBrakeUp, target - from}, target};
    }
    return {{kEventBrakeDown, selection - target}, target};
}

}  // namespace wheelgard
