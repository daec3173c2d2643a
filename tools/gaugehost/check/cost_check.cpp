// The check of cost (level 3): the module's time in a frame, against a
// budget scaled by this machine's speed (calibration.h).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "check/calibration.h"
#include "check/framework.h"
#include "check/wording.h"
#include "hostcore/gauge_host.h"

namespace gaugehost {

namespace {

void checkFrameCost(CheckRun& c) {
    auto mod = c.load(true);
    GaugeHost& h = mod->rehost();
    double inModule = 0;
    h.onCall = [&](const std::string&, const CallBreach&, double s) { inModule += s; };
    h.start();
    for (int i = 0; i < 2; ++i) {
        h.frame();
        h.evaluate();
    }
    std::vector<double> frames;
    const double start = now();
    for (;;) {
        const double t = now() - start;
        if (frames.size() >= 5 && (int(frames.size()) >= c.effort.costFrames || t >= c.effort.costSeconds) &&
            t >= c.effort.costMinSeconds)
            break;
        inModule = 0;
        h.frame();
        h.evaluate();
        frames.push_back(inModule);
    }
    h.stop();
    auto quantile = [](std::vector<double> v, double q) {
        std::sort(v.begin(), v.end());
        return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
    };
    const double median = quantile(frames, 0.5), p95 = quantile(frames, 0.95);
    const double factor = slowdown();
    const double budget = kFrameBudget * factor;
    char f[32];
    std::snprintf(f, sizeof f, "%.1f", factor);
    const std::string stated = "the budget: 1 % of an 18 Hz frame, " + ms(kFrameBudget) +
                               (factor > 1.0 ? " x " + std::string(f) + " for this machine's speed = " + ms(budget) : "");
    if (median > budget) c.warn("median " + ms(median) + " per frame in the module's routines, above " + stated);
    c.note(std::to_string(frames.size()) + " frames: the module's routines median " + ms(median) + ", 95th percentile " +
           ms(p95) + " (" + stated + ")");
}

}  // namespace

std::vector<Check> costChecks() {
    return {
        {"frame-cost", 3,
         "the median and 95th percentile of the module's time in a frame (every routine of the frame and the value "
         "routines of the draw, not the host's drawing); a median above the budget is a warning",
         [](int level) {
             const Effort e = effortOf(level);
             return "up to " + std::to_string(e.costFrames) + " frames or " + num(e.costSeconds) + " s" +
                    forAtLeast(e.costMinSeconds);
         },
         checkFrameCost},
    };
}

}  // namespace gaugehost
