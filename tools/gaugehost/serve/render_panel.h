// gaugehost render --panel: a panel window drawn whole, in the worker. Each
// gauge is drawn as render draws it (after --frames, with the --set values),
// scaled to its place (pixel for pixel at whole multiples, smoothly
// otherwise), over the window's background; a gauge whose module or gauge
// is missing is a hatched placeholder (an error with --strict).
#pragma once

#include "../cli.h"

namespace gaugehost {

// Returns the exit status; what went wrong is on standard error.
int renderPanel(const Options& o);

// The folders modules are looked for in after the panel's own: --gauges,
// else the program's default (defaultFolders()).
std::vector<std::string> gaugeFolders(const Options& o);

}  // namespace gaugehost
