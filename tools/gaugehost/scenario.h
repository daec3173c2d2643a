// The scenario interpreter: one action per line (set, frame, click, drag,
// render, expect ...), played against a gauge with every service call, key
// event and effect logged.
#pragma once

#include <string>

#include "cli.h"
#include "hostcore/hosted_module.h"

namespace gaugehost {

// Plays `o.scenario`. Returns kExitOk when every expectation held, or
// kExitExpectation at the first that did not. Throws InputError for a
// scenario that cannot be read or has a malformed line (naming the line and
// field), ModuleError for a module that misbehaves.
int runScenario(const Options& o, HostedModule& hm);

}  // namespace gaugehost
