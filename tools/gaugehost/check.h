// gaugehost check: puts gauge modules through the battery of checks in
// checks.cpp. The supervisor turns the modules and checks into one batch
// (a job per module and check, see supervisor.h), follows the worker's
// output as it grows, prints a line per check and the summary
//   check: N passed, N failed, N warnings
// and writes the same results as JSON (--json, on standard output in place
// of the lines) and JUnit XML (--junit FILE).
#pragma once

#include "cli.h"

namespace gaugehost {

// In the supervisor: the whole command. Returns the exit status: 0 when no
// check failed, kExitModule when one did.
int superviseCheck(const Options& o);

// In a worker: the one check `o.only` names, on `o.module`. Prints its
// result as a line "@@check {JSON}" on standard output. Throws UsageError
// unless exactly one module and one check are named.
int runCheckJob(const Options& o);

}  // namespace gaugehost
