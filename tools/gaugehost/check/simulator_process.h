// The worker made to stand in for the simulator's process around a module,
// so that the checks measure the module and not the first use of a system
// library in the process.
#pragma once

#include <string>

#include "hostcore/records.h"

namespace gaugehost {

// Whether `name` is a DLL of the system (found in its folder, or an API set
// the system resolves); its path for loading in `path`.
bool systemDll(const std::string& name, std::wstring* path);

// The system libraries the module imports loaded and pinned, the fonts
// loaded, and a DirectSound device of the worker's own open for a module
// that plays sounds; all stay for the worker's life.
void simulatorProcess(const Gauge& g);

}  // namespace gaugehost
