// What every check of `gaugehost check` is built on. A check is a small
// named unit that describes itself (its name, the level from which it runs,
// what it proves, its budget at each level); each family of checks, in a
// file of its own, contributes its entries to the one list. A check runs in
// the worker as a job of its own (runCheckJob), so a fault or a hang of
// module code ends that check and not the run (command.h supervises them).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "hostcore/hosted_module.h"

namespace gaugehost {

class SimulatorStandIn;

// How much the checks that repeat do at a level.
struct Effort {
    int cycles;             // install/kill and load/unload cycles
    int randomRounds;       // rounds of random values
    double soakSeconds;     // cycles and rounds go on at least this long (the soak)
    int costFrames;         // frames timed, at most ...
    double costSeconds;     // ... or for this long, whichever ends first,
    double costMinSeconds;  // but at least this long
};
Effort effortOf(int level);
constexpr int kTopLevel = 5;

// One check as it runs: what it finds and its account of the module.
class CheckRun {
public:
    CheckRun(const Options& o, int level);
    ~CheckRun();

    const Options& options;
    const int level;
    const std::string& path;
    const Effort effort;

    // Each finding is also printed at once (a line "@@check-finding
    // {JSON}"), so that what a check found survives a worker that module
    // code takes down later in the check.
    void fail(const std::string& reason);
    void warn(const std::string& reason);
    void note(const std::string& line);

    // Loads the module through HostedModule: as the simulator does (its
    // entry point runs), or only mapped (no code of it runs); without
    // reading its records for a check of the file alone. The simulator's
    // surroundings are set up for a module that needs them, once per check.
    std::unique_ptr<HostedModule> load(bool runEntryPoint = true, bool readRecords = true);

    std::vector<std::string> failures, warnings, notes;

private:
    std::shared_ptr<SimulatorStandIn> standIn_;
};

struct Check {
    const char* name;
    int level;                        // runs at this level and above
    const char* proves;               // what it proves, in a line (the listing and the README's table)
    std::string (*budget)(int level); // what it spends at a level: loads, cycles, rounds, frames, seconds
    void (*run)(CheckRun&);
};

// Every check, in the order they run: each family's entries in turn.
const std::vector<Check>& allChecks();
const Check* findCheck(const std::string& name);

// The families, each in its file.
std::vector<Check> staticChecks();       // static_checks.cpp: file, exports, imports, records, bitmaps
std::vector<Check> lifecycleChecks();    // lifecycle_checks.cpp: loading, lifecycles, calling convention, services
std::vector<Check> valueChecks();        // value_checks.cpp: hostile and random values
std::vector<Check> mouseChecks();        // mouse_check.cpp: every handler over its rectangle
std::vector<Check> repetitionChecks();   // repetition_checks.cpp: install/kill and load/unload, metered
std::vector<Check> costChecks();         // cost_check.cpp: the cost of a frame, calibrated

// In a worker: the one check `o.only` names, on `o.module`. Prints its
// result as a line "@@check {JSON}" on standard output. Throws UsageError
// unless exactly one module and one check are named.
int runCheckJob(const Options& o);

// Seconds on the performance counter.
double now();

// Observers run inside module calls: they must never throw through the
// module's frames.
template <typename F> void safely(F f) {
    try {
        f();
    } catch (...) {
    }
}

}  // namespace gaugehost
