// The worker's use of the system, as the repetition checks meter it:
// private bytes, open handles and GDI objects, each counted the way the
// system allows (Wine leaves some of the usual counters at 0).
#pragma once

#include <string>

namespace gaugehost {

struct Usage {
    double privateBytes = 0;
    long handles = -1, gdi = -1;   // -1: not counted here
};

// The worker's usage now; `how` says how private bytes were counted.
Usage usage(std::string& how);

}  // namespace gaugehost
