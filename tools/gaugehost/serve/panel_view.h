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
    std::string key;        // its id on the page and in requests (gaugeId): "gauge00", "w1.gauge00"
                            // (for modules named on the command line, made up in order)
    int number = 0;         // the NN of its gaugeNN key
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
    std::string problem;    // every window served: why it cannot be drawn ("panel.cfg:3: throttle.bmp is
                            // missing"), shown in its place at its size_mm (else 400 x 300); empty when drawn
};

struct PanelView {
    std::string path;                    // the panel file as given; empty for modules side by side
    std::vector<PanelWindow> windows;    // render --panel: the window drawn; serve: every window, by number
    std::vector<PlacedGauge> gauges;     // window by window, in drawing order
    std::vector<std::string> notes;      // the reader's warnings and notes, as lines to print
};

struct PanelOptions {
    std::vector<std::string> gaugeFolders;   // searched after the panel's own folder
    std::string window;                      // "N" or an ident; empty: the first visible window
    bool everyWindow = false;                // serve: every window, each with its problem if any
    bool strict = false;                     // a placeholder is an error
    // Why the module file at `path` cannot draw gauge `g`, or nothing (only
    // where module files may be mapped: a worker).
    std::function<std::optional<std::string>(const std::string& path, const panel::Gauge& g)> gaugeProblem;
};

// A panel file's bytes. Throws InputError.
std::string readPanelBytes(const std::string& path);

// Reads a panel file and its window's bitmap. Throws InputError naming the
// file and line for what keeps the window from being drawn (and, with
// `strict`, for a gauge drawn as a placeholder). With `everyWindow`, every
// window is read and one that cannot be drawn carries its problem instead.
PanelView readPanelView(const std::string& path, const PanelOptions& options);
// The same from a file already read (`path` as given to parse()).
PanelView panelView(const panel::PanelFile& file, const std::string& path, const PanelOptions& options);

// The gauges of the windows `windows` (numbers) of a file, placed, with
// their modules found: what an edit changes. Warnings go to `notes`.
std::vector<PlacedGauge> placeGauges(const panel::PanelFile& file, const std::string& path,
                                     const std::vector<int>& windows, const PanelOptions& options,
                                     std::vector<std::string>* notes);

// A gauge's id on the page and in requests: its key as written in the
// window numbered 0 ("gauge02"), "wN." before it in window N ("w1.gauge02").
std::string gaugeId(int window, const std::string& key);

// The folders modules are looked for in, in order: the panel's own, then
// each folder given, each once.
std::vector<std::string> moduleFolders(const std::string& panelPath, const std::vector<std::string>& gaugeFolders);
// A module by name in those folders ("quadrel": the first quadrel.gau), or nothing.
std::optional<std::string> findModule(const std::vector<std::string>& folders, const std::string& module);
// Every module file (*.gau) in those folders, the first of each name, by name.
std::vector<std::string> modulesIn(const std::vector<std::string>& folders);

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

// A gauge whose module or gauge is missing: a hatched box with a border and
// its name ("quadrel!throttle") in its top-left corner, cut at the box.
Picture placeholder(int width, int height, const std::string& name);

}  // namespace gaugehost
