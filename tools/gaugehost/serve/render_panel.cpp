#include "render_panel.h"

#include <cstdio>
#include <map>

#include "hostcore/files.h"
#include "hostcore/hosted_module.h"
#include "panel_view.h"

namespace gaugehost {

namespace {

// A module's gauge as render draws it.
struct Drawn {
    std::string name;
    Picture picture;
};

Drawn draw(const Options& o, const std::string& path) {
    HostedModule hm(path);
    GaugeHost& h = hm.host();
    for (auto [id, v] : o.sets) h.setVar(id, v, nullptr);
    h.start();
    for (int i = 0; i < o.frames; ++i) h.frame();
    Drawn d{hm.gauge().name, h.draw()};
    h.stop();
    for (const std::string& w : h.warnings) std::fprintf(stderr, "gaugehost: warning: %s: %s\n", path.c_str(), w.c_str());
    return d;
}

}  // namespace

std::vector<std::string> gaugeFolders(const Options& o) {
    if (!o.gauges.empty()) return o.gauges;
    const Defaults d = defaultFolders();
    return d.gauges.empty() ? std::vector<std::string>() : std::vector<std::string>{d.gauges};
}

int renderPanel(const Options& o) {
    setCallTimeout(o.timeout);
    PanelOptions options;
    options.gaugeFolders = gaugeFolders(o);
    options.window = o.window;
    options.strict = o.strict;
    // The gauge named must be the module's: its header is read without
    // running any of its code.
    options.gaugeProblem = [](const std::string& path, const panel::Gauge& g) -> std::optional<std::string> {
        try {
            HostedModule mapped(path, {.runEntryPoint = false});
            return otherGauge(path, mapped.gauge().name, g.gauge);
        } catch (const Error& e) {
            return fileNameOf(path) + " cannot be loaded: " + e.what();
        }
    };
    const PanelView view = readPanelView(o.panel, options);
    for (const std::string& n : view.notes) std::fprintf(stderr, "%s\n", n.c_str());
    Picture canvas = view.windows.front().background;
    std::map<std::string, Drawn> drawn;   // each module once
    for (const PlacedGauge& g : view.gauges) {
        int w = 0, h = 0;
        if (g.path.empty()) {
            g.placeholderSize(w, h);
            paste(canvas, placeholder(w, h, g.module + "!" + g.gauge), g.x, g.y);
            continue;
        }
        auto it = drawn.find(g.path);
        if (it == drawn.end()) {
            try {
                it = drawn.emplace(g.path, draw(o, g.path)).first;
            } catch (const Error& e) {
                throw Error(e.fault(), g.where + ": " + e.what());
            }
        }
        const Picture& own = it->second.picture;
        g.sizeFor(own.width, own.height, w, h);
        paste(canvas, resized(own, w, h), g.x, g.y);
    }
    writePng(canvas, o.out);
    return kExitOk;
}

}  // namespace gaugehost
