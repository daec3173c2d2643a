// The gauge's records as the host reads them: linkage, import table, header,
// element tree and mouse list. Each record is read whole through its hostapi
// type (bounds checked, bytes copied) and validated while it is read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../hostapi/elements.h"
#include "../hostapi/gauge_module.h"
#include "module_image.h"

namespace gaugehost {

const char* kindName(uint32_t kind);

struct VarRef {         // an embedded or module-level variable reference
    uint32_t addr = 0;  // address of the ModuleVar record
    uint32_t id = 0;
};

struct NeedlePoint {    // one entry of a needle's point table
    int32_t x, y;
    double value;
};

struct Element {
    uint32_t addr = 0;
    uint32_t kind = 0, bitmap = 0, flagsAtLoad = 0;
    int32_t x = 0, y = 0;
    int parent = -1, depth = 0;
    std::vector<int> children;
    uint32_t childList = 0, failureList = 0;
    VarRef var, xVar;              // var: icon/needle/string source, slider y variable
    double xScale = 0, yScale = 0;
    uint32_t iconMode = 0, imageCount = 0;
    uint32_t routine = 0;          // value routine (version 800), 0 for none
    uint32_t pointTable = 0;
    std::vector<NeedlePoint> points;
    uint32_t boxW = 0, boxH = 0, colour[3] = {0, 0, 0};
    std::string font;
    uint32_t fontWeight = 0, fontWord = 0, layoutFlags = 0;
    std::string label;             // "element 3", for messages

    // Where the host writes: the image record pointer of a static image or
    // slider, the text buffer pointer of a string, the image flags.
    uint32_t imageSlot() const;
    uint32_t textSlot() const;
    uint32_t flagsSlot() const;
    bool hasImageRecord() const { return kind == hostapi::kStaticImage || kind == hostapi::kSlider; }
};

struct MouseEntry {
    uint32_t addr = 0;
    uint32_t type = 0;
    int32_t x = 0, y = 0;
    uint32_t w = 0, h = 0, cursor = 0, help = 0, mask = 0, eventWord = 0, handler = 0;
    int parent = -1, depth = 0;
};

struct Gauge {
    std::string path;
    uint32_t linkage = 0, importTable = 0;
    uint32_t moduleId = 0, moduleStart = 0, moduleStop = 0, moduleFlags = 0, linkageReserved = 0, linkageVersion = 0;
    std::vector<uint32_t> headers;           // gauge list
    uint32_t importId = 0, importServices = 0;
    uint32_t header = 0, version = 0, sizeValue = 0;
    std::string name;
    uint32_t rootSlot = 0, root = 0;
    uint32_t routines[7] = {};               // query, install, initialize, update, generate, draw, kill
    uint32_t mouseListPtr = 0, callback = 0; // version 800
    std::vector<Element> elements;           // depth-first, drawing order; [0] is the root
    std::vector<std::string> importedDlls;

    uint32_t servicesSlot() const;           // ImportTable.services, filled by the host
};

extern const char* const kRoutineNames[7];

// Reads linkage, import table and header. Throws ModuleError.
Gauge readGauge(const ModuleImage& m, const std::string& path);
// Walks the element tree from the root slot (cycle and list checks).
void readElements(const ModuleImage& m, Gauge& g);
// Reads a mouse list at `addr` (nesting, termination, handler pointers).
std::vector<MouseEntry> readMouseList(const ModuleImage& m, uint32_t addr);
// Element record size by kind and header version (0 for an unknown kind).
uint32_t elementSize(uint32_t kind, uint32_t version);

}  // namespace gaugehost
