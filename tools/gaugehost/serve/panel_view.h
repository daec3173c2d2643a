// A panel as serve and render --panel draw it: its windows at their sizes
// with their backgrounds, and the gauges placed on them with the module
// files found for them. Made from a panel file (the panel reader of
// tools/gaugehost/panel/) or from the modules named on the command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "hostcore/renderer.h"

namespace gaugehost {

struct PlacedGauge {
    std::string key;        // "gauge00" (for modules named on the command line, made up in order)
    std::string module;     // "quadrel"
    std::string gauge;      // the gauge named after the module's "!"; empty: whatever it holds
    std::string path;       // the module file found
    int x = 0, y = 0;       // in its window
    std::optional<int> width, height;   // none: the gauge's own
    std::string where;      // where it was given: "docs/panel/panel.cfg:12", or the module's path
    int window = 0;         // its window's number

    // The size drawn in the window, given the gauge's own size: its own
    // without a width; a width alone keeps its aspect.
    void sizeFor(int ownWidth, int ownHeight, int& width, int& height) const;
};

struct PanelWindow {
    int number = 0;
    std::string title, ident;
    bool visible = true;
    int width = 0, height = 0;
    Picture background;     // at the window's size (its bitmap, scaled smoothly where need be, or its colour)
};

struct PanelView {
    std::string path;                    // the panel file as given; empty for modules side by side
    std::vector<PanelWindow> windows;    // drawn ones; the first is the one shown first
    std::vector<PlacedGauge> gauges;     // in drawing order
    std::vector<std::string> notes;      // warnings and notes of the reader, as lines to print
};

// The modules named on the command line, each a gauge of its own (a
// missing file is an InputError).
PanelView modulesView(const std::vector<std::string>& paths);

}  // namespace gaugehost
