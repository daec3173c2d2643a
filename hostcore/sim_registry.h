// The registry as a hosted module sees it. Every registry function the
// module imports is routed through the host, as its DirectSoundCreate is:
// the simulator's key is answered from the stand-in's own values, every
// other key is read from the real registry through a handle opened for
// reading only, and every write is refused. The host writes nothing to the
// registry, ever: a run that is killed, or two runs at once, leave a panel
// maker's simulator settings as they were.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace gaugehost {

class ModuleImage;

// The simulator's key under HKEY_LOCAL_MACHINE.
extern const char kSimulatorKey[];

// What the stand-in answers for the simulator's key: its two values, each a
// REG_SZ. `path` names a folder the module can open with ANSI calls.
struct SimulatorValues {
    std::wstring path;
    std::wstring player;
};

// Whether the module imports any registry function.
bool importsRegistry(const ModuleImage& m);

// Routes the module's registry imports (found in its import table by name,
// or by the address they were bound to where it imports by ordinal) to the
// host. `log`, when set, receives a line for each call the module makes.
// Returns the names of the imports routed, in import table order.
std::vector<std::string> routeRegistry(const ModuleImage& m, const SimulatorValues& values,
                                       std::function<void(const std::string&)> log);

// Stops logging the module's registry calls (its host is gone).
void quietRegistry();

}  // namespace gaugehost
