// The brake selector as the gauge drives it: the simulator's selector moves
// one position per key event and is never read back, so the gauge keeps its
// own record of the position (the selection) and derives every click's key
// events from it. Free of any host record so it can be tested natively.
#pragma once

#include <cstdint>

#include "../hostapi/sim_ids.h"

namespace wheelgard {

// Key events: hostapi::sim::kEventBrakeSelectorUp and ...Down, one position
// each; at its lowest position, 0, the selector stays there.
using hostapi::sim::kEventBrakeSelectorDown;
using hostapi::sim::kEventBrakeSelectorUp;

// Positions the panel's three buttons stand for, left to right. The
// selection is 0 until the first synchronisation and from then on always
// 1 (no button lit) or one of these; 4 never occurs.
enum : int32_t {
    kSelectionUnsynchronised = 0,
    kSelectionNone = 1,
    kPositionLeft = 2,
    kPositionMiddle = 3,
    kPositionRight = 5,
};

// One key event sent `count` times, each with parameter 0.
struct KeySteps {
    uint32_t eventId;
    int32_t count;
};

// What a click on a button does: the key events to send, then the new
// selection.
struct ButtonClick {
    KeySteps steps;
    int32_t selection;
};

// A click on the button of position `target` while the selection is
// `selection`. The lit button steps back down to 1; any other button steps
// from the selection to its own position. Before the first synchronisation
// (selection 0) a click steps as from 1.
ButtonClick brakeButtonClick(int32_t selection, int32_t target);

// The synchronisation after load: five steps down bring the simulator's
// selector to 0 from any position up to 5, one step up leaves it at 1.
constexpr KeySteps kSynchronisation[2] = {
    {kEventBrakeSelectorDown, 5},
    {kEventBrakeSelectorUp, 1},
};
constexpr int32_t kSelectionAfterSynchronisation = kSelectionNone;

}  // namespace wheelgard
