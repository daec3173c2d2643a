// The one definition of every module's ImportTable, exported by the module's
// .def file under the name "ImportTable":
//     ImportTable = gImportTable DATA
// The host stores its service table address at +4 before it calls any
// routine of the gauge.
//
// Exactly one source file of each module includes this file: the one that
// defines the module's Linkage (lumivane.cpp, quadrel.cpp, and gaugert.cpp
// for the generated gauges). Compiled there, the table lies in the same
// data section, right after the Linkage, where every module has always had
// it; from an object file of its own it would start on that file's section
// alignment and move.
#pragma once

#include "gauge_module.h"

extern "C" {
constinit hostapi::ImportTable gImportTable = {hostapi::kImportId, nullptr, {0, 0}};
}
