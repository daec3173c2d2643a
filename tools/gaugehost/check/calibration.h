// How fast this machine runs a gauge's kind of work, against a native x86
// machine: the factor that scales the frame-cost budget, so that an
// emulated or busy machine gets a proportionally larger one.
#pragma once

namespace gaugehost {

// The budget on a native x86 machine: 1 % of a frame at 18 Hz.
constexpr double kFrameBudget = 0.01 / 18.0;
// How long a native x86 machine takes for the fixed piece of work.
constexpr double kNativeCalibration = 40e-6;

// This machine's time for the fixed piece of work (best of 5) over the
// native time; at least 1.
double slowdown();

}  // namespace gaugehost
