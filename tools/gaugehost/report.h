// The inspect report: the module's records as the host reads them, and what
// one lifecycle run turned up, as text for people or JSON for programs.
#pragma once

#include <string>
#include <vector>

#include "hostcore/hosted_module.h"
#include "hostcore/module_image.h"
#include "hostcore/records.h"
#include "hostcore/services.h"

namespace gaugehost {

struct Inspection {
    bool ran = false;                                   // a lifecycle run took place
    std::vector<std::pair<uint32_t, uint32_t>> vars;    // module-level variables: address, id
    std::vector<KeyEvent> keys;                         // key events sent during the run
    std::vector<MouseEntry> mouse;                      // the mouse list (registered, or the header's)
};

// Runs one lifecycle (start, a frame, stop) when `run`, and gathers what the
// report shows beyond the static records.
Inspection inspectModule(HostedModule& hm, bool run);

std::string inspectText(const ModuleImage& m, const Gauge& g, const Inspection& f);
std::string inspectJson(const ModuleImage& m, const Gauge& g, const Inspection& f);

}  // namespace gaugehost
