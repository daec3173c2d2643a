// The checks of loading and the lifecycle (level 2): the module loaded as
// the simulator loads it, its lifecycle run again and again, and every call
// into it and every service call it makes held to the rules.
#include <windows.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "check/framework.h"
#include "check/wording.h"
#include "hostapi/service_slots.h"
#include "hostcore/gauge_host.h"
#include "hostcore/module_image.h"
#include "hostcore/records.h"

namespace gaugehost {

namespace {

using namespace hostapi;

// The bytes of every record the host reads: (address, size, name).
struct Span {
    uint32_t addr, size;
    std::string name;
};
std::vector<Span> recordSpans(const ModuleImage& m, const Gauge& g) {
    std::vector<Span> s;
    s.push_back({g.linkage, uint32_t(offsetof(Linkage, gauges) + 4 * (g.headers.size() + 1)), "Linkage"});
    s.push_back({g.header, sizeof(GaugeHeader), "GaugeHeader"});
    s.push_back({g.rootSlot, 4, "root element slot"});
    for (const Element& e : g.elements) {
        s.push_back({e.addr, elementSize(e.kind, g.version), e.label});
        if (e.childList) s.push_back({e.childList, uint32_t(4 * (e.children.size() + 1)), e.label + " child list"});
        if (e.pointTable) s.push_back({e.pointTable, uint32_t(sizeof(PointEntry) * e.points.size()), e.label + " point table"});
    }
    if (g.version == kHeaderVersion800 && g.mouseListPtr)
        s.push_back({g.mouseListPtr, uint32_t(sizeof(MouseRect) * readMouseList(m, g.mouseListPtr).size()), "mouse list"});
    return s;
}

void checkEntryPoint(CheckRun& c) {
    // The image as the file holds it, mapped without running anything.
    std::vector<uint8_t> bytes;
    uint32_t unrunBase = 0;
    std::string unrunRecords;
    {
        const auto unrun = c.load(false, false);
        const ModuleImage& m = unrun->image();
        unrunBase = m.base();
        bytes.assign(m.size(), 0);
        for (uint32_t p = 0; p < m.size(); p += 4096) {
            const uint32_t n = std::min<uint32_t>(4096, m.size() - p);
            if (m.readable(m.base() + p, n)) std::memcpy(&bytes[p], reinterpret_cast<const void*>(uintptr_t(m.base() + p)), n);
        }
        try {
            Gauge g = readGauge(m, c.path);
            readElements(m, g);
        } catch (const ModuleError& e) {
            unrunRecords = e.what();
        }
    }
    double t = now();
    auto mod = c.load(true);
    const double loadTime = now() - t;
    const ModuleImage& m = mod->image();
    if (!unrunRecords.empty()) {
        c.warn("the gauge's records exist only once the entry point has run (read without it: " + unrunRecords + ")");
    } else if (m.base() == unrunBase) {
        std::string changed;
        for (const Span& s : recordSpans(m, mod->gauge())) {
            const uint32_t r = s.addr - m.base();
            if (r >= bytes.size() || s.size > bytes.size() - r) continue;
            if (std::memcmp(&bytes[r], reinterpret_cast<const void*>(uintptr_t(s.addr)), s.size) != 0)
                changed += (changed.empty() ? "" : ", ") + s.name + " at " + m.where(s.addr);
        }
        if (!changed.empty())
            c.warn("the entry point writes the gauge's records (" + changed +
                   "): they are not the file's static data");
    } else {
        c.note("mapped at " + hex(m.base()) + " with its entry point and at " + hex(unrunBase) +
               " without: records not compared");
    }
    t = now();
    mod.reset();
    c.note("loaded in " + ms(loadTime) + " (entry point included), unloaded in " + ms(now() - t));
}

// Calls each child rectangle's handler once, at its centre, with the first
// event of its mask.
void callEachHandler(GaugeHost& h) {
    if (!h.mouseActive()) return;
    const std::vector<MouseEntry> list = h.mouseList();
    for (size_t i = 0; i < list.size(); ++i) {
        const MouseEntry& e = list[i];
        if (e.type != kMouseChild || !e.handler || !e.mask) continue;
        const uint32_t event = e.mask & (~e.mask + 1);
        h.handleMouse(i, e.x + int32_t(e.w / 2), e.y + int32_t(e.h / 2), event);
    }
}

// The lifecycle of the header's version twice in one load, then once more
// after a reload: `prepare` readies each host before it starts, `after`
// sees it once it stopped. With `handlers`, each mouse handler is called
// once while the gauge is installed.
void lifecycles(CheckRun& c, bool handlers, const std::function<void(GaugeHost&, HostedModule&, int)>& prepare,
                const std::function<void(GaugeHost&, HostedModule&, int)>& after) {
    int n = 0;
    for (int load = 0; load < 2; ++load) {
        auto mod = c.load(true);
        for (int run = 0; run < (load == 0 ? 2 : 1); ++run) {
            ++n;
            GaugeHost& h = mod->rehost();
            if (prepare) prepare(h, *mod, n);
            h.start();
            for (int f = 0; f < 3; ++f) h.frame();
            h.draw();
            if (handlers) callEachHandler(h);
            h.stop();
            if (after) after(h, *mod, n);
            try {
                Gauge again = readGauge(mod->image(), c.path);
                readElements(mod->image(), again);
            } catch (const ModuleError& e) {
                throw ModuleError("after lifecycle " + std::to_string(n) + " the records no longer read: " + e.what());
            }
        }
    }
}

void checkLifecycle(CheckRun& c) {
    int calls = 0;
    std::vector<KeyEvent> keys;
    std::set<std::string> warned;
    lifecycles(
        c, false,
        [&](GaugeHost& h, HostedModule&, int) { h.onCall = [&](const std::string&, const CallBreach&, double) { ++calls; }; },
        [&](GaugeHost& h, HostedModule&, int n) {
            for (const std::string& w : h.warnings)
                if (w.find("broke the calling convention") == std::string::npos && warned.insert(w).second)
                    c.warn("lifecycle " + std::to_string(n) + ": " + w);
            keys.insert(keys.end(), h.keys.begin(), h.keys.end());
        });
    std::string k;
    for (const KeyEvent& e : keys) k += " " + std::to_string(e.id) + "(" + std::to_string(e.param) + ")";
    c.note("3 lifecycles (2 in one load, 1 after a reload), " + std::to_string(calls) + " calls into the module" +
           (k.empty() ? "" : "; key events sent:" + k));
}

// Both halves of the calling convention, each its own check.
void conventionCheck(CheckRun& c, bool stack) {
    std::map<std::string, std::string> broken;   // routine -> what it did
    std::set<std::string> routines;
    int calls = 0;
    lifecycles(
        c, true,
        [&](GaugeHost& h, HostedModule&, int) {
            h.onCall = [&](const std::string& what, const CallBreach& b, double) {
                ++calls;
                // "element 3 value routine", "mouse handler of entry 2": the routine, whatever the call
                routines.insert(what);
                CallBreach part = b;
                if (stack) part.registers.clear();
                else part.stackSkew = 0;
                if (part.any() && !broken.count(what)) broken[what] = part.describe();
            };
        },
        nullptr);
    for (const auto& [what, how] : broken) c.fail(what + " " + how);
    c.note(std::to_string(calls) + " calls into " + std::to_string(routines.size()) + " routines" +
           (stack ? ", each checked for the bytes it removes from the stack"
                  : ", each checked for ebx, esi, edi and ebp"));
}
void checkStackBalance(CheckRun& c) { conventionCheck(c, true); }
void checkCalleeSaved(CheckRun& c) { conventionCheck(c, false); }

void checkServices(CheckRun& c) {
    std::map<unsigned, int> counts;
    std::set<std::string> seen;
    lifecycles(
        c, true,
        [&](GaugeHost& h, HostedModule& mod, int) {
            h.onService = [&, loaded = &mod, registered = uint32_t(0)](unsigned slot, const uint32_t* a,
                                                                          const std::string& during) mutable {
                const ModuleImage& m = loaded->image();
                const Gauge& g = loaded->gauge();
                safely([&] {
                    ++counts[slot];
                    const std::string S = std::string(serviceName(slot)) + " (service " + std::to_string(slot) +
                                          ") from " + (during.empty() ? "the host" : during);
                    auto once = [&](bool failure, const std::string& why) {
                        if (!seen.insert(S + why).second) return;
                        failure ? c.fail(S + ": " + why) : c.warn(S + ": " + why);
                    };
                    if (g.version == kHeaderVersion800 && slot != kSendKeyEvent && slot != kRefreshModuleVar)
                        once(true, "a version-800 gauge's elements, mouse list and variables are the host's to install");
                    auto element = [&](uint32_t p) {
                        for (const Element& e : g.elements)
                            if (e.addr == p) {
                                if (&e != &g.elements[0]) once(false, "passes " + e.label + ", not the root element");
                                return;
                            }
                        once(true, m.offset(p) + " is not an element of the gauge");
                    };
                    switch (slot) {
                        case kQueryElements: case kInstallElements: case kInitializeElements: case kUpdateElements:
                        case kGenerateElements: case kDrawElements: case kReleaseElements:
                            element(a[0]);
                            break;
                        case kRegisterMouseRects: {
                            registered = a[0];
                            if (a[1] != g.header) once(true, m.offset(a[1]) + " is not the gauge's header");
                            const uint32_t rec = m.u32(g.elements[0].imageSlot(), "root element");
                            if (!rec || a[2] != rec + offsetof(HostImageRecord, drawnWidth))
                                once(true, "the size argument " + m.offset(a[2]) +
                                               " is not the drawn width/height of the installed background");
                            break;
                        }
                        case kAttachMouseRects: case kReleaseMouseRects:
                            if (a[0] != registered) once(true, "the list " + m.offset(a[0]) + " is not the registered one");
                            if (a[1] != g.header) once(true, m.offset(a[1]) + " is not the gauge's header");
                            break;
                        case kSendKeyEvent:
                            if (!plausibleKey(a[0]))
                                once(true, "key event " + keyText(a[0]) + " lies outside 0x10000 to 0x1FFFF");
                            break;
                        case kInitializeModuleVar: case kRefreshModuleVar:
                            if (!m.writable(a[0], sizeof(ModuleVar)))
                                once(true, m.offset(a[0]) + " is not a ModuleVar in the module's writable data");
                            else if (m.read<ModuleVar>(a[0], "ModuleVar").id == 0)
                                once(false, "the ModuleVar at " + m.offset(a[0]) + " names no variable (id 0)");
                            break;
                        default:
                            break;
                    }
                });
            };
        },
        nullptr);
    std::string list;
    for (auto [slot, n] : counts)
        list += (list.empty() ? "" : ", ") + std::to_string(slot) + " " + serviceName(slot) + " x" + std::to_string(n);
    c.note("services called over 3 lifecycles: " + (list.empty() ? std::string("none") : list));
}

void checkRegistrations(CheckRun& c) {
    struct Ledger {
        int installs = 0, releases = 0, registers = 0, mouseReleases = 0;
        std::map<uint32_t, int> bound;   // ModuleVar address -> times bound (service 38)
        uint32_t list = 0;
    };
    std::vector<Ledger> ledgers(4);
    lifecycles(
        c, false,
        [&](GaugeHost& h, HostedModule&, int n) {
            h.onService = [l = &ledgers[size_t(n)]](unsigned slot, const uint32_t* a, const std::string&) {
                safely([&] {
                    if (slot == kInstallElements) ++l->installs;
                    if (slot == kReleaseElements) ++l->releases;
                    if (slot == kRegisterMouseRects) ++l->registers, l->list = a[0];
                    if (slot == kReleaseMouseRects) ++l->mouseReleases;
                    if (slot == kInitializeModuleVar) ++l->bound[a[0]];
                });
            };
        },
        [&](GaugeHost& h, HostedModule& mod, int n) {
            const Ledger& l = ledgers[size_t(n)];
            const ModuleImage& m = mod.image();
            const std::string L = "lifecycle " + std::to_string(n) + ": ";
            if (l.installs != l.releases)
                c.fail(L + "the element tree was installed " + std::to_string(l.installs) + " times (service 25) and released " +
                       std::to_string(l.releases) + " times (service 31)");
            if (h.mouseActive())
                c.fail(L + "the mouse list at " + m.offset(l.list) + " registered by installRoutine is still attached after " +
                       "killRoutine (no releaseMouseRects, service 34)");
            else if (l.registers != l.mouseReleases)
                c.fail(L + "the mouse list was registered " + std::to_string(l.registers) + " times (service 32) and released " +
                       std::to_string(l.mouseReleases) + " times (service 34)");
            for (auto [addr, times] : l.bound)
                if (times > 1)
                    c.fail(L + "the ModuleVar at " + m.offset(addr) + " was bound " + std::to_string(times) +
                           " times (service 38)");
            if (n == 2 && ledgers[2].bound.size() > ledgers[1].bound.size())
                c.fail("lifecycle 2 bound " + std::to_string(ledgers[2].bound.size()) + " module variables, lifecycle 1 " +
                       std::to_string(ledgers[1].bound.size()) + ": each lifecycle binds more");
        });
    const Ledger& l = ledgers[1];
    c.note("each lifecycle: element tree installed " + std::to_string(l.installs) + ", released " +
           std::to_string(l.releases) + "; mouse list registered " + std::to_string(l.registers) + ", released " +
           std::to_string(l.mouseReleases) + "; module variables bound " + std::to_string(l.bound.size()));
}

constexpr char kLifecycles[] = "3 lifecycles in two loads";

}  // namespace

std::vector<Check> lifecycleChecks() {
    return {
        {"entry-point", 2,
         "the module loads (its entry point returns success) and unloads; an entry point that writes the gauge's "
         "records is a warning",
         [](int) { return std::string("two loads: mapped only, then with its entry point"); }, checkEntryPoint},
        {"lifecycle", 2,
         "the lifecycle of the header's version (install, initialize or code 10, three frames, a draw, kill) twice in "
         "one load and once more after a reload, without a fault, a hang or an error of the host; the records still "
         "read afterwards",
         [](int) { return std::string(kLifecycles); }, checkLifecycle},
        {"stack-balance", 2,
         "every call into the module in those lifecycles (and each mouse handler once) removes exactly its own arguments",
         [](int) { return std::string(kLifecycles) + ", each mouse handler once in each"; }, checkStackBalance},
        {"callee-saved", 2, "every such call keeps ebx, esi, edi and ebp",
         [](int) { return std::string(kLifecycles) + ", each mouse handler once in each"; }, checkCalleeSaved},
        {"services", 2,
         "every service call's arguments are plausible: element services get the gauge's elements (the root, or a "
         "warning), mouse list services the registered list, the gauge's header and the background's drawn size, "
         "variable services a ModuleVar in writable data, sendKeyEvent an id from 0x10000 to 0x1FFFF; a version-800 "
         "gauge calls only 36 and 40",
         [](int) { return std::string(kLifecycles) + ", each mouse handler once in each"; }, checkServices},
        {"registrations", 2,
         "what a lifecycle registers it releases by its end: element tree (25/31), mouse list (32/34), and no module "
         "variable bound twice or more in each lifecycle (38)",
         [](int) { return std::string(kLifecycles); }, checkRegistrations},
    };
}

}  // namespace gaugehost
