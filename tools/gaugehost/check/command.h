// gaugehost check, in the supervisor: puts gauge modules through the checks
// (framework.h). The modules and checks become one batch (a job per module
// and check, see supervisor.h); the supervisor follows the worker's output
// as it grows, prints a line per check and the summary
//   check: N passed, N failed, N warnings
// and writes the same results as JSON (--json, on standard output in place
// of the lines) and JUnit XML (--junit FILE). With --list it prints every
// check: its name, level, what it proves and its budget at each level.
#pragma once

#include "check/framework.h"
#include "cli.h"

namespace gaugehost {

// The whole command. Returns the exit status: 0 when no check failed,
// kExitModule when one did.
int superviseCheck(const Options& o);

}  // namespace gaugehost
