#include "panel_view.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "hostcore/errors.h"
#include "hostcore/text.h"

namespace gaugehost {

void PlacedGauge::sizeFor(int ownWidth, int ownHeight, int& w, int& h) const {
    if (!width) {
        w = ownWidth;
        h = ownHeight;
    } else if (!height) {
        w = *width;
        h = std::max(1, int(std::lround(double(*width) * ownHeight / std::max(1, ownWidth))));
    } else {
        w = *width;
        h = *height;
    }
}

PanelView modulesView(const std::vector<std::string>& paths) {
    PanelView v;
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string& p = paths[i];
        const DWORD attributes = GetFileAttributesW(widen(p).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
            throw InputError("cannot open " + p);
        PlacedGauge g;
        char key[16];
        std::snprintf(key, sizeof key, "gauge%02u", unsigned(i));
        g.key = key;
        const size_t slash = p.find_last_of("/\\");
        g.module = slash == std::string::npos ? p : p.substr(slash + 1);
        if (const size_t dot = g.module.rfind('.'); dot != std::string::npos && dot > 0) g.module.resize(dot);
        wchar_t full[MAX_PATH * 4];
        g.path = GetFullPathNameW(widen(p).c_str(), MAX_PATH * 4, full, nullptr) ? narrow(full) : p;
        g.where = p;
        v.gauges.push_back(std::move(g));
    }
    return v;
}

}  // namespace gaugehost
