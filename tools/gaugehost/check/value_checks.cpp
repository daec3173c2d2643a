// The checks of values (level 3): hostile and random values in every
// variable the gauge reads, played over a loaded, started gauge (the value
// rig), each round a frame and what the gauge made of it held to the rules.
#include <windows.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <tuple>

#include "check/framework.h"
#include "check/wording.h"
#include "hostcore/gauge_host.h"
#include "hostcore/module_image.h"
#include "hostcore/records.h"

namespace gaugehost {

namespace {

using namespace hostapi;

// A loaded gauge, started, over which rounds of variable values are played.
class ValueRig {
public:
    explicit ValueRig(CheckRun& c) : c_(c), mod_(c.load(true)), h_(mod_->host()) {
        h_.start();
        h_.frame();
        const Gauge& g = mod_->gauge();
        std::set<uint32_t> ids;
        for (const Element& e : g.elements)
            for (const VarRef* v : {&e.var, &e.xVar})
                if (v->id) ids.insert(v->id);
        for (uint32_t a : h_.moduleVars) {
            const uint32_t id = mod_->image().read<ModuleVar>(a, "ModuleVar").id;
            if (id) ids.insert(id);
        }
        vars.assign(ids.begin(), ids.end());
    }
    ~ValueRig() {
        if (!stopped_) safely([&] { h_.stop(); });
    }

    std::vector<uint32_t> vars;
    int rounds = 0;

    // Sets `values` (every other variable 0), runs a frame and draws, and
    // checks what the gauge made of them. Returns false once the module
    // faulted or misbehaved so that the check cannot go on.
    bool round(const std::vector<std::pair<uint32_t, double>>& values, const std::string& what, bool picture) {
        ++rounds;
        for (uint32_t v : vars) h_.sim.setVar(v, 0.0);
        bool finite = true;
        for (auto [id, v] : values) {
            h_.sim.setVar(id, v);
            finite = finite && std::isfinite(v);
        }
        try {
            h_.frame();
            if (picture) h_.draw();
            else h_.evaluate();
        } catch (const ModuleError& e) {
            c_.fail(std::string(e.what()) + " (with " + what + ")");
            stopped_ = true;
            return false;
        }
        const ModuleImage& m = mod_->image();
        const Gauge& g = mod_->gauge();
        for (size_t i = 0; i < g.elements.size(); ++i) {
            const Element& e = g.elements[i];
            const double v = i < h_.drawnValues.size() ? h_.drawnValues[i] : 0.0;
            const std::string E = elementName(e);
            const std::string R = e.routine ? E + " value routine" : E;
            if (e.kind == kString) {
                const TextBuffer* t = h_.textBuffer(i);
                if (t && !t->terminated())
                    once(true, E + ":text", R + " left its text unterminated within the " + std::to_string(TextBuffer::kCapacity) +
                                      "-byte buffer", what);
            } else if (e.kind == kNeedle) {
                double tx = 0, ty = 0;
                needleTarget(e.points, v, tx, ty);
                if (finite && !std::isfinite(v)) once(true, E + ":value", R + " gave the needle the value " + num(v), what);
                else if (!std::isfinite(tx) || !std::isfinite(ty))
                    once(true, E + ":target", R + " points the needle at (" + num(tx) + ", " + num(ty) + ")", what);
            } else if (e.kind == kSlider) {
                for (const auto& [ref, scale, axis] : {std::tuple{&e.xVar, e.xScale, "x"}, std::tuple{&e.var, e.yScale, "y"}}) {
                    if (!ref->id) continue;
                    const double value = m.read<ModuleVar>(ref->addr, E).value;
                    if (std::isfinite(value) && !std::isfinite(value * scale))
                        once(true, E + ":" + axis, E + " moves to an infinite " + axis + " position (value " + num(value) + " x scale " +
                                          num(scale) + ")", what);
                }
            } else if (e.kind == kIcon && e.routine) {
                // The host holds an icon's value within its images: noted, not a fault.
                if (!(v >= 0 && v < e.imageCount && v == std::floor(v)) && iconNoted_.insert(i).second)
                    c_.note(R + " returned " + num(v) + ", not an image index 0 to " + std::to_string(e.imageCount - 1) +
                            " (with " + what + "); the host holds it within the icon's images");
            }
        }
        return true;
    }

private:
    // Each finding once per element and kind (`key`); the first values that
    // gave it are in the reason.
    void once(bool failure, const std::string& key, const std::string& reason, const std::string& what) {
        if (!seen_.insert(key).second) return;
        failure ? c_.fail(reason + " (with " + what + ")") : c_.warn(reason + " (with " + what + ")");
    }

    CheckRun& c_;
    std::unique_ptr<HostedModule> mod_;
    GaugeHost& h_;
    std::set<std::string> seen_;
    std::set<size_t> iconNoted_;
    bool stopped_ = false;
};

const std::pair<const char*, double> kHostileValues[] = {
    {"NaN", std::nan("")},
    {"inf", HUGE_VAL},
    {"-inf", -HUGE_VAL},
    {"-0", -0.0},
    {"1e308", 1e308},
    {"-1e308", -1e308},
    {"FLT_MAX", double(FLT_MAX)},
    {"-FLT_MAX", -double(FLT_MAX)},
    {"FLT_MIN", double(FLT_MIN)},
    {"INT32_MAX", double(INT_MAX)},
    {"INT32_MIN", double(INT_MIN)},
    {"UINT32_MAX", 4294967295.0},
    {"denormal", 4.9406564584124654e-324},
    {"-denormal", -4.9406564584124654e-324},
    {"float denormal", 1.4012984643248171e-45},
};

void checkHostileValues(CheckRun& c) {
    ValueRig rig(c);
    for (uint32_t id : rig.vars)
        for (auto [name, v] : kHostileValues)
            if (!rig.round({{id, v}}, "var " + std::to_string(id) + " = " + name, false)) return;
    for (auto [name, v] : kHostileValues) {
        std::vector<std::pair<uint32_t, double>> all;
        for (uint32_t id : rig.vars) all.emplace_back(id, v);
        if (!all.empty() && !rig.round(all, std::string("every variable = ") + name, true)) return;
    }
    c.note(std::to_string(rig.vars.size()) + " variables read, " + std::to_string(std::size(kHostileValues)) +
           " hostile values each and all at once: " + std::to_string(rig.rounds) + " frames (" +
           std::to_string(rig.vars.empty() ? 0 : std::size(kHostileValues)) + " drawn)");
}

// A random value of one of several kinds: small whole numbers, ordinary
// ranges, powers of ten, and any bit pattern of a double.
double randomValue(std::mt19937& r) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    switch (r() % 7) {
        case 0: return double(int(r() % 13) - 2);
        case 1: return unit(r) * 2 - 1;
        case 2: return unit(r) * 200 - 100;
        case 3: return unit(r) * 110000 - 10000;
        case 4: return (r() & 1 ? -1 : 1) * std::pow(10.0, unit(r) * 20 - 10);
        case 5: {
            const uint64_t bits = (uint64_t(r()) << 32) | r();
            double d;
            std::memcpy(&d, &bits, 8);
            return d;
        }
        default: return unit(r) * 1e6;
    }
}

void checkRandomValues(CheckRun& c) {
    ValueRig rig(c);
    std::mt19937 r(c.options.seed);
    const double start = now();
    for (int i = 0; (i < c.effort.randomRounds || now() - start < c.effort.soakSeconds) && !rig.vars.empty(); ++i) {
        std::vector<std::pair<uint32_t, double>> values;
        std::string shown;
        for (uint32_t id : rig.vars) {
            values.emplace_back(id, randomValue(r));
            if (values.size() <= 4) shown += (shown.empty() ? "" : ", ") + ("var " + std::to_string(id) + " = " + num(values.back().second));
        }
        if (values.size() > 4) shown += ", ...";
        if (!rig.round(values, "round " + std::to_string(i + 1) + " of seed " + std::to_string(c.options.seed) + ": " + shown,
                       i % 10 == 0))
            return;
    }
    c.note(std::to_string(rig.rounds) + " rounds of random values for " + std::to_string(rig.vars.size()) +
           " variables (seed " + std::to_string(c.options.seed) + ")");
}

}  // namespace

std::vector<Check> valueChecks() {
    return {
        {"hostile-values", 3,
         "for every variable the gauge reads (its elements' and those met through services 38/40), alone and all at "
         "once: NaN, inf and -inf, -0, 1e308 and -1e308, FLT_MAX and -FLT_MAX, FLT_MIN, the int32 limits, 4294967295 "
         "and denormals; each a frame and the draw's value routines (the all-at-once rounds drawn in full): no fault, "
         "no write past a text buffer, every text terminated within its 256 bytes, needle and slider positions finite "
         "(a needle's value finite whenever the values are)",
         [](int) {
             return std::to_string(std::size(kHostileValues)) + " values in each variable alone, then in all at once";
         },
         checkHostileValues},
        {"random-values", 3,
         "the same for rounds of random values of every kind (whole numbers, ordinary ranges, powers of ten, any bit "
         "pattern), from --seed (default 1): a failure names the round and seed that reproduce it",
         [](int level) {
             const Effort e = effortOf(level);
             return std::to_string(e.randomRounds) + " rounds" + forAtLeast(e.soakSeconds);
         },
         checkRandomValues},
    };
}

}  // namespace gaugehost
