// The checks of `gaugehost check`: small named units, each with the level
// from which it runs, listed in one table (checks.cpp). A check runs in the
// worker as a job of its own, so a fault or a hang of module code ends that
// check and not the run (check.cpp supervises them).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "hostcore/hosted_module.h"
#include "hostcore/module_image.h"
#include "hostcore/records.h"

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

// A module loaded for a check, with its gauge read.
using LoadedModule = HostedModule;

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

    // Loads the module: as the simulator does (its entry point runs), or
    // only mapped (no code of it runs). The simulator's surroundings are set
    // up for a module that needs them, once per check.
    std::unique_ptr<LoadedModule> load(bool runEntryPoint = true);

    std::vector<std::string> failures, warnings, notes;

private:
    std::shared_ptr<SimulatorStandIn> standIn_;
};

struct Check {
    const char* name;
    int level;           // runs at this level and above
    const char* what;    // what it requires, in a line
    void (*run)(CheckRun&);
};

// Every check, in the order they run.
const std::vector<Check>& allChecks();
const Check* findCheck(const std::string& name);

}  // namespace gaugehost
