// The checks of repetition (level 3): install and kill, load and unload,
// again and again, with the worker's use of the system metered from after a
// warm-up to the end: a module that leaks shows as growth.
#include <windows.h>

#include <algorithm>
#include <functional>

#include "check/framework.h"
#include "check/metering.h"
#include "check/wording.h"
#include "hostcore/gauge_host.h"

namespace gaugehost {

namespace {

// How much the repeated cycles may grow the worker, measured from after a
// warm-up to the end.
constexpr double kPrivateTolerance = 1 << 20;   // bytes
constexpr long kHandleTolerance = 4, kGdiTolerance = 4;

void repetition(CheckRun& c, const std::string& what, const std::function<void()>& cycle) {
    int cycles = c.effort.cycles;
    const int warm = std::min(cycles, std::max(5, cycles / 10));
    const double t0 = now();
    for (int i = 0; i < warm; ++i) cycle();
    std::string how;
    const Usage a = usage(how);
    for (int i = warm; i < cycles || now() - t0 < c.effort.soakSeconds; ++i) {
        cycle();
        cycles = std::max(cycles, i + 1);
    }
    const Usage b = usage(how);
    const int measured = cycles - warm;
    const double grew = b.privateBytes - a.privateBytes;
    const std::string over = " over " + std::to_string(measured) + " " + what + " cycles";
    if (grew > kPrivateTolerance)
        c.fail("private bytes grew by " + kib(grew).substr(1) + over + " (" + std::to_string(long(grew / measured)) +
               " bytes per cycle; tolerance " + kib(kPrivateTolerance).substr(1) + ")");
    if (a.handles >= 0 && b.handles - a.handles > kHandleTolerance)
        c.fail("the handle count grew from " + std::to_string(a.handles) + " to " + std::to_string(b.handles) + over +
               " (tolerance " + std::to_string(kHandleTolerance) + ")");
    if (a.gdi >= 0 && b.gdi - a.gdi > kGdiTolerance)
        c.fail("the GDI object count grew from " + std::to_string(a.gdi) + " to " + std::to_string(b.gdi) + over +
               " (tolerance " + std::to_string(kGdiTolerance) + ")");
    c.note(std::to_string(cycles) + " " + what + " cycles in " + ms(now() - t0) + "; after the first " +
           std::to_string(warm) + ": private bytes (" + how + ") " + kib(grew) + ", handles " +
           (a.handles < 0 ? std::string("not counted") : std::to_string(a.handles) + " -> " + std::to_string(b.handles)) +
           ", GDI objects " + (a.gdi < 0 ? std::string("not counted") : std::to_string(a.gdi) + " -> " + std::to_string(b.gdi)) +
           " (tolerance " + kib(kPrivateTolerance).substr(1) + ", " + std::to_string(kHandleTolerance) + " handles, " +
           std::to_string(kGdiTolerance) + " GDI objects)");
}

void checkInstallKill(CheckRun& c) {
    auto mod = c.load(true);
    repetition(c, "install/kill", [&] {
        GaugeHost& h = mod->rehost();
        h.start();
        h.frame();
        h.stop();
    });
}

// Loading as the simulator does it: the library (its entry point runs) and
// its records read, then unloaded again.
void checkLoadUnload(CheckRun& c) {
    c.load(true);   // the file is a module, and the simulator's surroundings are set up
    repetition(c, "load/unload", [&] { c.load(true); });
}

std::string cycles(int level, const char* what) {
    const Effort e = effortOf(level);
    return std::to_string(e.cycles) + " " + what + " cycles" + forAtLeast(e.soakSeconds);
}

}  // namespace

std::vector<Check> repetitionChecks() {
    return {
        {"install-kill", 3,
         "install, a frame and kill, repeated: the worker's private bytes, handle count and GDI object count stay flat",
         [](int level) { return cycles(level, "install/kill"); }, checkInstallKill},
        {"load-unload", 3,
         "load as the simulator does (its entry point runs, its records are read), unload, repeated: the same",
         [](int level) { return cycles(level, "load/unload"); }, checkLoadUnload},
    };
}

}  // namespace gaugehost
