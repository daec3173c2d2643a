// The inspect report: the module's records as the host reads them, and what
// one lifecycle run turned up, as text for people or JSON for programs.
#pragma once

#include <string>
#include <vector>

#include "image.h"
#include "records.h"
#include "services.h"

namespace gaugehost {

struct Inspection {
    bool ran = false;                                   // a lifecycle run took place
    std::vector<std::pair<uint32_t, uint32_t>> vars;    // module-level variables: address, id
    std::vector<KeyEvent> keys;                         // key events sent during the run
    std::vector<MouseEntry> mouse;                      // the mouse list (registered, or the header's)
};

// Runs one lifecycle (start, a frame, stop) when `run`, and gathers what the
// report shows beyond the static records.
Inspection inspectModule(ModuleImage& m, Gauge& g, bool run);

std::string inspectText(const ModuleImage& m, const Gauge& g, const Inspection& f);
std::string inspectJson(const ModuleImage& m, const Gauge& g, const Inspection& f);

}  // namespace gaugehost
