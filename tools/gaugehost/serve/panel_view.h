// A panel as serve and render --panel draw it: a window at its size with
// its background, and the gauges placed on it with the module files found
// for them. Made from a panel file (through the panel reader of
// tools/gaugehost/panel/) or from the modules named on the command line.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hostcore/renderer.h"
#include "../panel/panel_file.h"

namespace gaugehost {

struct PlacedGauge {
    std::string key;        // "gauge00" (for modules named on the command line, made up in order)
    std::string module;     // "quadrel"
    std::string gauge;      // the gauge named after the module's "!"; empty: whatever it holds
    std::string path;       // the module file found; empty: drawn as a placeholder
    std::string problem;    // why there is none ("unknown module ...")
    int x = 0, y = 0;       // in its window
    std::optional<int> width, height;   // none: the gauge's own
    std::string where;      // where it was given: "docs/panel/panel.cfg:12", or the module's path
    int window = 0;         // its window's number

    // The size drawn in the window, given the gauge's own size.
    void sizeFor(int ownWidth, int ownHeight, int& width, int& height) const;
    // A placeholder's size: its own where the line gives it, else 100 x 100.
    void placeholderSize(int& width, int& height) const;
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
    std::vector<PanelWindow> windows;    // the windows drawn, the one shown first first
    std::vector<PlacedGauge> gauges;     // in drawing order
    std::vector<std::string> notes;      // the reader's warnings and notes, as lines to print
};

struct PanelOptions {
    std::vector<std::string> gaugeFolders;   // searched after the panel's own folder
    std::string window;                      // "N" or an ident; empty: the first visible window
    bool strict = false;                     // a placeholder is an error
    // Why the module file at `path` cannot draw gauge `g`, or nothing (only
    // where module files may be mapped: a worker).
    std::function<std::optional<std::string>(const std::string& path, const panel::Gauge& g)> gaugeProblem;
};

// Reads a panel file and its window's bitmap. Throws InputError naming the
// file and line for what keeps the window from being drawn (and, with
// `strict`, for a gauge drawn as a placeholder).
PanelView readPanelView(const std::string& path, const PanelOptions& options);

// The modules named on the command line, each a gauge of its own (a
// missing file is an InputError).
PanelView modulesView(const std::vector<std::string>& paths);

// A path's last part: "quadrel.gau" of "dist/quadrel.gau".
std::string fileNameOf(const std::string& path);
// A file name without its extension: "quadrel" of "quadrel.gau".
std::string stemOf(const std::string& file);

// Why the module file at `path`, whose gauge is `holds`, does not draw gauge
// `wanted` ("quadrel.gau holds gauge 'quadrel', not 'throttle'"), or
// nothing when it does: gauge names are the same whatever their case.
std::optional<std::string> otherGauge(const std::string& path, const std::string& holds, const std::string& wanted);

// Where the program finds its modules and example panel when not told: the
// first folder above its own that holds dist/ and docs/panel/panel.cfg (the
// source tree) or Gauges/ and Panel/panel.cfg (the release).
struct Defaults {
    std::string gauges, panel;   // empty when not found
};
Defaults defaultFolders();

// `p` at `width` x `height`: each pixel repeated where the size is a whole
// multiple of p's on both axes, else resampled smoothly (a triangle filter
// as wide as the scale).
Picture resized(const Picture& p, int width, int height);

// Copies `src` onto `dst` with its top-left corner at (x, y), clipped.
void paste(Picture& dst, const Picture& src, int x, int y);

// A gauge whose module is missing: a hatched box with a border.
Picture placeholder(int width, int height);

}  // namespace gaugehost
