#include "services.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "../hostapi/service_slots.h"
#include "../hostapi/sim_ids.h"
#include "guard.h"

namespace gaugehost {

namespace {

constexpr int kBrakeSelectorTop = 5;   // the selector's positions are 0 to 5

ServiceSink* gSink = nullptr;
constexpr unsigned kTableSlots = 64;   // the modules reach 41; the rest only fault politely

template <unsigned S> uint32_t __stdcall svc1(uint32_t a) {
    const uint32_t v[1] = {a};
    gSink->service(S, v);
    return 0;
}
template <unsigned S> uint32_t __stdcall svc2(uint32_t a, uint32_t b) {
    const uint32_t v[2] = {a, b};
    gSink->service(S, v);
    return 0;
}
template <unsigned S> uint32_t __stdcall svc3(uint32_t a, uint32_t b, uint32_t c) {
    const uint32_t v[3] = {a, b, c};
    gSink->service(S, v);
    return 0;
}
template <unsigned S> uint32_t __stdcall svcUnknown() {
    abortModuleCall("module called panel service slot " + std::to_string(S) + ", which this host does not provide");
}

constexpr int argsOf(unsigned slot) { return hostapi::serviceArgCount(slot); }

template <unsigned S> void* slotFunction() {
    if constexpr (argsOf(S) == 1) return reinterpret_cast<void*>(&svc1<S>);
    else if constexpr (argsOf(S) == 2) return reinterpret_cast<void*>(&svc2<S>);
    else if constexpr (argsOf(S) == 3) return reinterpret_cast<void*>(&svc3<S>);
    else return reinterpret_cast<void*>(&svcUnknown<S>);
}
template <size_t... I> void fill(void** t, std::index_sequence<I...>) { ((t[I] = slotFunction<I>()), ...); }

}  // namespace

void* serviceTable() {
    static void* table[kTableSlots];
    static bool filled = false;
    if (!filled) {
        fill(table, std::make_index_sequence<kTableSlots>());
        filled = true;
    }
    return table;
}

void setServiceSink(ServiceSink* sink) { gSink = sink; }

int serviceArgCount(unsigned slot) { return argsOf(slot); }

const char* serviceName(unsigned slot) { return hostapi::serviceName(slot); }

std::string number(double v) {
    char b[64];
    std::snprintf(b, sizeof b, "%.10g", v);
    return b;
}

// ---- the simulation model ----------------------------------------------------------

double SimulationModel::var(uint32_t id) const {
    auto it = vars_.find(id);
    return it == vars_.end() ? 0.0 : it->second;
}

KeyEffect SimulationModel::apply(uint32_t id, int32_t param) {
    using namespace hostapi::sim;
    KeyEffect e;
    for (const EventVar& t : kLightSwitches)
        if (id == t.event) {
            setVar(t.var, var(t.var) != 0.0 ? 0.0 : 1.0);
            e.kind = KeyEffect::Kind::Toggle;
            e.var = t.var;
            e.value = var(t.var);
            return e;
        }
    for (const EventVar& t : kThrottles)
        if (id == t.event) {
            setVar(t.var, param);
            e.kind = KeyEffect::Kind::Set;
            e.var = t.var;
            e.value = param;
            return e;
        }
    if (id == kEventBrakeSelectorUp || id == kEventBrakeSelectorDown) {
        e.kind = KeyEffect::Kind::Selector;
        e.up = id == kEventBrakeSelectorUp;
        e.from = brakeSelector_;
        brakeSelector_ = std::clamp(brakeSelector_ + (e.up ? 1 : -1), 0, kBrakeSelectorTop);
        e.to = brakeSelector_;
    }
    return e;
}

namespace {

// "var 620 = 1", "brake selector up: 1 -> 2" (with `arrow` between the
// positions), empty for none.
std::string effectCore(const KeyEffect& e, const char* arrow) {
    switch (e.kind) {
        case KeyEffect::Kind::Toggle:
        case KeyEffect::Kind::Set:
            return "var " + std::to_string(e.var) + " = " + number(e.value);
        case KeyEffect::Kind::Selector:
            return std::string("brake selector ") + (e.up ? "up" : "down") + ": " + std::to_string(e.from) + arrow +
                   std::to_string(e.to);
        case KeyEffect::Kind::None:
            break;
    }
    return "";
}

}  // namespace

std::string effectLog(const KeyEffect& e) {
    switch (e.kind) {
        case KeyEffect::Kind::Toggle: return "toggles: " + effectCore(e, " -> ");
        case KeyEffect::Kind::Set: return "sets throttle: " + effectCore(e, " -> ");
        case KeyEffect::Kind::Selector: return "moves " + effectCore(e, " -> ");
        case KeyEffect::Kind::None: break;
    }
    return "";
}

std::string keyEventText(const KeyEvent& k) {
    const std::string core = effectCore(k.effect, " \u2192 ");
    return std::to_string(k.id) + " (" + std::to_string(k.param) + ") \u2192 " +
           (core.empty() ? "no effect in this host's simulation" : core);
}

}  // namespace gaugehost

// ---- the services, as the gauge host answers them --------------------------------------

#include "gauge_host.h"

namespace gaugehost {

void GaugeHost::service(unsigned slot, const uint32_t* a) {
    using namespace hostapi;
    if (onService) onService(slot, a, running_);
    std::string failure;
    try {
        std::string line = "service " + std::to_string(slot) + " " + serviceName(slot) + "(";
        const int n = serviceArgCount(slot);
        for (int i = 0; i < n; ++i) {
            // Addresses print as module offsets; the key event's id and
            // parameter and the host value passed through print as numbers.
            const bool isAddr = slot != kSendKeyEvent && !(i == 1 && (slot == kInstallElements || slot == kGenerateElements));
            std::string arg = isAddr ? m_.offset(a[i])
                              : slot == kSendKeyEvent && i == 1 ? std::to_string(int32_t(a[i]))
                                                                : std::to_string(a[i]);
            if (slot == kRegisterMouseRects && i == 2) {
                // The host's own record: name it rather than print an address that changes run to run.
                const uint32_t rec = backgroundRecord();
                if (rec && a[i] == rec + offsetof(HostImageRecord, drawnWidth)) arg = "drawn size of the background";
            }
            line += (i ? ", " : "") + arg;
        }
        line += ")";
        auto element = [&](uint32_t p) {
            const int e = elementAt(p);
            if (e < 0) throw ModuleError(std::string(serviceName(slot)) + ": " + m_.offset(p) + " is not an element of the gauge");
            return e;
        };
        auto moduleVar = [&](uint32_t p) {
            m_.requireWritable(p, sizeof(ModuleVar), std::string(serviceName(slot)) + ": ModuleVar");
            if (std::find(moduleVars.begin(), moduleVars.end(), p) == moduleVars.end()) moduleVars.push_back(p);
        };
        switch (slot) {
            case kQueryElements: case kInitializeElements: case kGenerateElements: case kDrawElements:
                element(a[0]);
                logLine(line);
                break;
            case kInstallElements:
                element(a[0]);
                logLine(line);
                installElements();
                break;
            case kUpdateElements:
                logLine(line);
                refreshElementVars(element(a[0]));
                break;
            case kReleaseElements:
                element(a[0]);
                logLine(line);
                releaseElements();
                break;
            case kRegisterMouseRects: {
                logLine(line);
                if (a[1] != g_.header) throw ModuleError("registerMouseRects: " + m_.offset(a[1]) + " is not the gauge's header");
                mouseList_ = readMouseList(m_, a[0]);
                mouseListAddr_ = a[0];
                const uint32_t want = backgroundRecord();
                if (want == 0 || a[2] != want + offsetof(HostImageRecord, drawnWidth))
                    warn("registerMouseRects: the size argument " + m_.offset(a[2]) +
                         " is not the drawn width/height of the installed background");
                break;
            }
            case kAttachMouseRects:
                logLine(line);
                if (a[0] != mouseListAddr_) throw ModuleError("attachMouseRects: the list was not registered");
                mouseActive_ = true;
                break;
            case kReleaseMouseRects:
                logLine(line);
                mouseActive_ = false;
                break;
            case kSendKeyEvent:
                logLine(line);
                keyEvent(a[0], int32_t(a[1]));
                break;
            case kInitializeModuleVar:
                moduleVar(a[0]);
                logLine(line + " " + varName(a[0]));
                break;
            case kRefreshModuleVar: {
                moduleVar(a[0]);
                auto rec = m_.read<ModuleVar>(a[0], "refreshModuleVar: ModuleVar");
                rec.value = sim.var(rec.id);
                m_.write(a[0], rec, "refreshModuleVar: ModuleVar");
                logLine(line + " var " + std::to_string(rec.id) + " = " + number(rec.value));
                break;
            }
            default:
                throw ModuleError("unknown service " + std::to_string(slot));
        }
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!failure.empty()) abortModuleCall(failure);
}

}  // namespace gaugehost
