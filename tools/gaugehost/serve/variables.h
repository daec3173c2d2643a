// The simulation variables as the live panel's controls: names and
// sensible ranges of the variables our gauges read, and for any other the
// range its elements give (an icon's images, a needle's table, a slider's
// travel), or 0 to 100.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace gaugehost {

struct Control {
    std::string name;
    double min = 0, max = 0, step = 0;
};

// A range the gauge's elements give.
struct ElementRange {
    double min = 0, max = 0, step = 0;   // step 0: any
};

// The control for variable `id`: its known name and range, else the
// elements' range (a step of a thousandth of it where they give none), else
// 0 to 100 in tenths.
Control describeVariable(uint32_t id, const std::optional<ElementRange>& range);

}  // namespace gaugehost
