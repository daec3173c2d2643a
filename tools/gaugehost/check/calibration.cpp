#include "check/calibration.h"

#include <algorithm>

#include "check/framework.h"

namespace gaugehost {

namespace {

// A fixed piece of work of the kind a gauge does in a frame (conversions to
// single precision, a division, comparisons): how long this machine takes
// for it, against a native x86 machine's 40 us, scales the budget.
__attribute__((noinline)) double calibrationWork() {
    volatile double sink = 0;
    double x = 0.37, acc = 0;
    for (int i = 0; i < 20000; ++i) {
        x = x * 1.0000037 + 0.61;
        if (x > 997.0) x -= 996.5;
        const float f = float(x);
        acc += double(f) / 1.8 - 273.0;
    }
    sink = acc;
    return sink;
}

}  // namespace

double slowdown() {
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        const double t = now();
        calibrationWork();
        best = std::min(best, now() - t);
    }
    return std::max(1.0, best / kNativeCalibration);
}

}  // namespace gaugehost
