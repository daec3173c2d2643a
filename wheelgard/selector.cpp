#include "selector.h"

namespace wheelgard {

ButtonClick brakeButtonClick(int32_t selection, int32_t target) {
    if (selection == target)
        return {{kEventBrakeSelectorDown, target - kSelectionNone}, kSelectionNone};
    if (selection < target) {
        const int32_t from = selection < kSelectionNone ? kSelectionNone : selection;
        return {{kEventBrakeSelectorUp, target - from}, target};
    }
    return {{kEventBrakeSelectorDown, selection - target}, target};
}

}  // namespace wheelgard
