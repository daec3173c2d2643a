// The library entry point of every gauge module and the empty module start
// and stop routines. The entry point returns success for every notification
// and does nothing else: no runtime start-up code runs in a gauge module.
#include <windows.h>

#include "gauge_module.h"

extern "C" BOOL WINAPI GaugeEntry(HINSTANCE, DWORD, LPVOID) { return TRUE; }

namespace hostapi {
void GAUGE_CALL moduleStart() {}
void GAUGE_CALL moduleStop() {}
}  // namespace hostapi
