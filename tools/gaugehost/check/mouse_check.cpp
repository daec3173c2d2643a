// The mouse check (level 3): every handler of the gauge's mouse list called
// for each event of its mask over its rectangle, each call held to the
// calling convention and its key events to the simulator's range.
#include <windows.h>

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "check/framework.h"
#include "check/wording.h"
#include "hostcore/gauge_host.h"
#include "hostcore/records.h"

namespace gaugehost {

namespace {

using namespace hostapi;

void checkMouse(CheckRun& c) {
    auto mod = c.load(true);
    GaugeHost& h = mod->rehost();
    std::map<std::string, std::string> broken;
    std::string current;
    h.onCall = [&](const std::string& what, const CallBreach& b, double) {
        if (what.rfind("mouse handler", 0) == 0 && b.any() && !broken.count(current)) broken[current] = b.describe();
    };
    h.start();
    h.frame();
    if (!h.mouseActive()) {
        c.note("no mouse list is attached");
        h.stop();
        return;
    }
    const std::vector<MouseEntry> list = h.mouseList();
    int handlers = 0, calls = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        const MouseEntry& e = list[i];
        if (e.type != kMouseChild || !e.handler || !e.mask || e.w == 0 || e.h == 0) continue;
        ++handlers;
        const int32_t x0 = e.x, y0 = e.y, x1 = e.x + int32_t(e.w) - 1, y1 = e.y + int32_t(e.h) - 1;
        const int32_t xm = e.x + int32_t(e.w / 2), ym = e.y + int32_t(e.h / 2);
        std::vector<std::pair<int32_t, int32_t>> points = {{x0, y0}, {xm, y0}, {x1, y0}, {x0, ym}, {xm, ym},
                                                           {x1, ym}, {x0, y1}, {xm, y1}, {x1, y1}};
        std::sort(points.begin(), points.end());
        points.erase(std::unique(points.begin(), points.end()), points.end());
        const std::string entry = "mouse handler of entry " + std::to_string(i + 1) + " (" + std::to_string(e.x) + ", " +
                                  std::to_string(e.y) + ", " + std::to_string(e.w) + ", " + std::to_string(e.h) + ")";
        for (int bit = 31; bit >= 0; --bit) {
            const uint32_t event = uint32_t(1) << bit;
            if (!(e.mask & event)) continue;
            std::map<uint32_t, std::pair<int32_t, int32_t>> sent;   // id -> parameter range
            std::map<uint32_t, int> times;
            for (auto [x, y] : points) {
                const std::string at = entry + ", " + eventName(event) + " at (" + std::to_string(x) + ", " + std::to_string(y) + ")";
                current = at;
                const size_t before = h.keys.size();
                int32_t result;
                try {
                    result = h.handleMouse(i, x, y, event);
                    ++calls;
                    h.frame();
                } catch (const ModuleError& err) {
                    c.fail(std::string(err.what()) + " (" + eventName(event) + " at (" + std::to_string(x) + ", " +
                           std::to_string(y) + "))");
                    return;
                }
                if (result != 0) c.warn(at + " returned " + std::to_string(result) + " (handlers return 0)");
                for (size_t k = before; k < h.keys.size(); ++k) {
                    const KeyEvent& ke = h.keys[k];
                    if (!plausibleKey(ke.id) && !times.count(ke.id))
                        c.fail(at + " sent key event " + keyText(ke.id) + ", outside 0x10000 to 0x1FFFF");
                    auto [it, fresh] = sent.try_emplace(ke.id, ke.param, ke.param);
                    if (!fresh) it->second = {std::min(it->second.first, ke.param), std::max(it->second.second, ke.param)};
                    ++times[ke.id];
                }
            }
            std::string account;
            for (auto [id, range] : sent)
                account += (account.empty() ? "" : ", ") + std::to_string(id) + " (" + std::to_string(range.first) +
                           (range.first != range.second ? " to " + std::to_string(range.second) : "") + ") x" +
                           std::to_string(times[id]);
            c.note(entry + " " + eventName(event) + " at " + std::to_string(points.size()) + " points: " +
                   (account.empty() ? "sends no key event" : "sends key event " + account));
        }
    }
    for (auto [at, how] : broken) c.fail(at + " " + how);
    h.stop();
    c.note(std::to_string(handlers) + " handlers, " + std::to_string(calls) + " calls");
}

}  // namespace

std::vector<Check> mouseChecks() {
    return {
        {"mouse", 3,
         "every child rectangle's handler, for each event of its mask, at the rectangle's corners, edge middles and "
         "centre: it returns, keeps the stack and registers, and sends only key events from 0x10000 to 0x1FFFF; the "
         "account lists each key event each handler sends; a handler that returns other than 0 is a warning",
         [](int) { return std::string("each event of each handler at up to 9 points"); },
         checkMouse},
    };
}

}  // namespace gaugehost
