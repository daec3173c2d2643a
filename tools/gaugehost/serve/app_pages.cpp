// What pages of the live panel see and ask for: the controls, the hello and
// state, changes of values and mouse events, pictures, backgrounds and
// sounds, and the editor's layouts and palette.
#include "app_inside.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "hostcore/files.h"
#include "hostcore/text.h"
#include "hostcore/wave_file.h"
#include "../numbers.h"
#include "request_checks.h"
#include "variables.h"

namespace gaugehost {

using protocol::json;

// ---- the controls --------------------------------------------------------------------

void PanelApp::variablesChanged() {
    struct Merged {
        std::vector<std::string> readers, uses;
        std::optional<ElementRange> range;
        size_t order = 0;
    };
    std::map<uint32_t, Merged> merged;
    for (size_t i = 0; i < modules_.size(); ++i) {
        const Module& m = *modules_[i];
        if (!m.used) continue;
        for (const json& v : m.variables) {
            const uint32_t id = v["id"];
            Merged& e = merged[id];
            if (e.readers.empty()) e.order = i;
            if (std::find(e.readers.begin(), e.readers.end(), m.name) == e.readers.end()) e.readers.push_back(m.name);
            for (const json& u : v["uses"]) e.uses.push_back(m.name + ": " + u.get<std::string>());
            if (v["ranged"].get<bool>()) {
                ElementRange r{v["min"], v["max"], v["step"]};
                if (e.range) {
                    r.min = std::min(r.min, e.range->min);
                    r.max = std::max(r.max, e.range->max);
                }
                e.range = r;
            }
        }
    }
    std::vector<uint32_t> ids;
    for (const auto& [id, e] : merged) ids.push_back(id);
    // Grouped by the gauges that read them, in the panel's order.
    std::stable_sort(ids.begin(), ids.end(), [&](uint32_t a, uint32_t b) { return merged[a].order < merged[b].order; });
    json list = json::array();
    for (uint32_t id : ids) {
        const Merged& e = merged[id];
        const Control c = describeVariable(id, e.range);
        list.push_back({{"id", id}, {"name", c.name}, {"min", c.min}, {"max", c.max}, {"step", c.step},
                        {"readers", e.readers}, {"uses", e.uses}});
    }
    known_.clear();
    for (uint32_t id : ids) known_.insert(id);
    if (list == varList_) return;
    varList_ = std::move(list);
    broadcast({{"type", "variables"}, {"list", varList_}, {"values", wireValues()}});
}

json PanelApp::wireValues() const {
    json out = json::object();
    for (uint32_t id : known_) out[std::to_string(id)] = protocol::wireValue(sim_.var(id));
    for (const auto& [id, v] : sim_.vars()) out[std::to_string(id)] = protocol::wireValue(v);
    return out;
}

json PanelApp::pictureEvent(const Module& m) const {
    return {{"type", "picture"}, {"module", m.id}, {"seq", m.seq}, {"width", m.pictureWidth}, {"height", m.pictureHeight}};
}

json PanelApp::moduleInfo(const Module& m) const {
    const bool running = m.state == "running" && m.gauge.known;
    return {{"id", m.id},
            {"file", m.file},
            {"name", m.name},
            {"state", m.state},
            {"error", m.error.empty() ? json(nullptr) : json(m.error)},
            {"errorKind", m.state == "error" ? json(faultName(m.errorKind)) : json(nullptr)},
            {"width", running ? json(m.gauge.width) : json(nullptr)},
            {"height", running ? json(m.gauge.height) : json(nullptr)},
            {"gauge", m.gauge.known ? json(m.gauge.name) : json(nullptr)},
            {"own", m.gauge.known ? json({m.gauge.width, m.gauge.height}) : json(nullptr)},
            {"used", m.used},
            {"seq", m.seq}};
}

json PanelApp::placements() const {
    json out = json::array();
    int x = 0;
    for (const Placed& p : placed_) {
        const PlacedGauge& g = p.gauge;
        const Module* m = p.module;
        int w = 0, h = 0, gx = g.x, gy = g.y;
        // As the file writes it: the page shows these and edits from them.
        json file = {{"x", g.x}, {"y", g.y}, {"width", g.width ? json(*g.width) : json(nullptr)},
                     {"height", g.height ? json(*g.height) : json(nullptr)}, {"number", g.number}};
        const std::string problem = p.problem();
        if (!problem.empty()) {
            g.placeholderSize(w, h);
            if (m && m->gauge.known) g.sizeFor(m->gauge.width, m->gauge.height, w, h);
            out.push_back({{"id", g.key}, {"module", nullptr}, {"name", g.module + "!" + g.gauge}, {"x", gx},
                           {"y", gy}, {"w", w}, {"h", h}, {"line", g.where}, {"window", g.window},
                           {"problem", problem}, {"file", file}});
            continue;
        }
        if (!panel_.path.empty()) {
            if (m->gauge.known) g.sizeFor(m->gauge.width, m->gauge.height, w, h);
            else {
                w = g.width.value_or(100);
                h = g.height.value_or(g.width.value_or(100));
            }
        } else {
            w = m->gauge.known ? m->gauge.width : 120;
            h = m->gauge.known ? m->gauge.height : 80;
            gx = x;
            gy = 0;
            x += w + 12;
        }
        out.push_back({{"id", g.key}, {"module", m->id}, {"name", g.module + (g.gauge.empty() ? "" : "!" + g.gauge)},
                       {"x", gx}, {"y", gy}, {"w", w}, {"h", h}, {"line", g.where}, {"window", g.window},
                       {"file", file}, {"own", m->gauge.known ? json({m->gauge.width, m->gauge.height}) : json(nullptr)}});
    }
    return out;
}

json PanelApp::windowsInfo() const {
    json windows = json::array();
    for (const PanelWindow& w : panel_.windows)
        windows.push_back({{"number", w.number}, {"title", w.title}, {"ident", w.ident}, {"visible", w.visible},
                           {"width", w.width}, {"height", w.height},
                           {"background", "/api/background.png?window=" + std::to_string(w.number)},
                           {"problem", w.problem.empty() ? json(nullptr) : json(w.problem)}});
    return windows;
}

json PanelApp::modulesInfo() const {
    json modules = json::array();
    for (const auto& m : modules_) modules.push_back(moduleInfo(*m));
    return modules;
}

// ---- pages ----------------------------------------------------------------------------

std::string PanelApp::hello() {
    const json windows = windowsInfo(), modules = modulesInfo();
    const bool isPanel = !panel_.path.empty();
    return dumped({{"type", "hello"},
                   {"title", isPanel ? panel_.path : "modules"},
                   {"layout", isPanel ? "panel" : "row"},
                   {"width", isPanel && !panel_.windows.empty() ? panel_.windows[0].width : 0},
                   {"height", isPanel && !panel_.windows.empty() ? panel_.windows[0].height : 0},
                   {"background", isPanel && !panel_.windows.empty() ? windows[0]["background"] : json(nullptr)},
                   {"rate", settings_.rate},
                   {"windows", windows},
                   {"gauges", placements()},
                   {"modules", modules},
                   {"variables", varList_},
                   {"values", wireValues()},
                   {"editor", editor_},
                   {"log", json(log_)}});
}

void PanelApp::pageOpened(const std::function<void(const std::vector<std::pair<std::string, std::string>>&)>& add) {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, std::string>> events{{hello(), ""}};
    for (const auto& m : modules_)
        if (!m->png.empty())
            events.emplace_back(dumped(pictureEvent(*m)), "picture:" + m->id);
    add(events);
    if (viewers_++ == 0) setRunning(true);
}

void PanelApp::pageClosed(const std::function<void()>& remove) {
    std::lock_guard lock(mutex_);
    remove();
    if (--viewers_ == 0 && !stopping_) setRunning(false);
}

void PanelApp::setRunning(bool on) {
    for (auto& m : modules_)
        if (m->running()) send(*m, {{"op", "run"}, {"rate", on ? settings_.rate : 0.0}}, false, false);
}

json PanelApp::state() {
    std::lock_guard lock(mutex_);
    json modules = json::array();
    for (const auto& m : modules_) {
        json info = moduleInfo(*m);
        info["frames"] = m->frames;
        info["pid"] = m->worker ? json(m->worker->pid()) : json(nullptr);
        modules.push_back(std::move(info));
    }
    return {{"modules", modules},  {"gauges", placements()}, {"variables", varList_}, {"values", wireValues()},
            {"viewers", viewers_}, {"rate", settings_.rate},  {"selector", sim_.brakeSelector()},
            {"windows", windowsInfo()}, {"editor", editor_}};
}

// ---- changes from pages ----------------------------------------------------------------

void PanelApp::waitFollowUps(const std::vector<std::pair<std::shared_ptr<WorkerClient>, int64_t>>& turns) {
    const auto until = std::chrono::steady_clock::now() + turnLimit();
    for (const auto& [w, seq] : turns) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() > 0) w->wait(seq, left);
    }
}

json PanelApp::setVar(const json& body) {
    onlyFields(body, {"id", "value"});
    const json id = body.contains("id") ? body["id"] : json(nullptr);
    if (!id.is_number_unsigned() || id.get<uint64_t>() > kMaxId)
        throw BadRequest(400, "bad variable id " + shown(id) + ": a whole number from 0 to 4294967295");
    const uint32_t var = id.get<uint32_t>();
    std::vector<std::pair<std::shared_ptr<WorkerClient>, int64_t>> pending;
    double value = 0;
    {
        std::lock_guard lock(mutex_);
        if (!known_.count(var)) throw BadRequest(400, "bad variable id " + std::to_string(var) + ": no served gauge reads it");
        if (!body.contains("value")) throw BadRequest(400, "no value given");
        const std::optional<double> v = valueOfRequest(body["value"]);
        if (!v) throw BadRequest(400, "bad value " + shown(body["value"]) + ": a number, nan, inf or -inf");
        value = *v;
        sim_.setVar(var, value);
        ++valuesVersion_;
        broadcast({{"type", "vars"}, {"values", {{std::to_string(var), protocol::wireValue(value)}}}});
        // Answered once every running gauge that reads it has drawn with it.
        for (auto& m : modules_) {
            if (!m->running() || !m->reads.count(var)) continue;
            int64_t s = 0;
            send(*m, {{"op", "set"}, {"vars", protocol::wirePairs({{var, value}})}, {"frame", true}}, true, false, &s);
            if (s) pending.emplace_back(m->worker, s);
        }
    }
    waitFollowUps(pending);
    return {{"ok", true}, {"id", var}, {"value", protocol::wireValue(value)}};
}

PanelApp::Module& PanelApp::placedModule(const json& gauge, std::string& key) {
    if (!gauge.is_string()) throw BadRequest(400, "\"gauge\" must be a gauge's id, such as \"gauge00\"");
    for (const Placed& p : placed_)
        if (p.gauge.key == gauge.get<std::string>()) {
            if (const std::string problem = p.problem(); !problem.empty())
                throw BadRequest(409, p.gauge.key + " is a placeholder: " + problem);
            key = p.gauge.key;
            return *p.module;
        }
    throw BadRequest(400, "no gauge " + shown(gauge) + " on this panel");
}

json PanelApp::mouse(const json& body) {
    onlyFields(body, {"gauge", "x", "y", "event"});
    std::string key;
    std::unique_lock lock(mutex_);
    Module& m = placedModule(body.contains("gauge") ? body["gauge"] : json(nullptr), key);
    lock.unlock();
    const json event = body.contains("event") ? body["event"] : json(nullptr);
    if (event != "click" && event != "drag") throw BadRequest(400, "bad event " + shown(event) + ": \"click\" or \"drag\"");
    std::shared_ptr<WorkerClient> worker;
    int64_t seq = 0;
    {
        std::lock_guard lock(mutex_);
        if (!m.running())
            throw BadRequest(409, key + " is not running" + (m.error.empty() ? "" : ": " + m.error));
        const int w = m.gauge.width, h = m.gauge.height;
        int xy[2] = {0, 0};
        for (int axis = 0; axis < 2; ++axis) {
            const char* name = axis ? "y" : "x";
            const int size = axis ? h : w;
            const json v = body.contains(name) ? body[name] : json(nullptr);
            const bool ok = v.is_number_integer() && (v.is_number_unsigned() ? v.get<uint64_t>() < uint64_t(size)
                                                                             : v.get<int64_t>() >= 0 && v.get<int64_t>() < size);
            if (!ok)
                throw BadRequest(400, std::string("bad ") + name + " coordinate " + shown(v) + ": a whole number from 0 to " +
                                          std::to_string(size - 1) + " (the gauge is " + std::to_string(w) + " x " +
                                          std::to_string(h) + ")");
            xy[axis] = v.get<int>();
        }
        send(m, {{"op", "mouse"}, {"event", event}, {"x", xy[0]}, {"y", xy[1]}}, true, true, &seq);
        worker = m.worker;
    }
    const bool over = seq && worker->wait(seq, turnLimit());
    Turn t;
    {
        std::lock_guard lock(mutex_);
        if (auto it = m.turns.find(seq); it != m.turns.end()) {
            t = std::move(it->second);
            m.turns.erase(it);
        }
        if (!over && !t.error) t.error = m.error.empty() ? "gaugehost: error: " + m.file + " did not answer" : m.error;
    }
    waitFollowUps(t.followUps);
    if (t.error) return {{"ok", false}, {"error", *t.error}};
    return {{"ok", true}, {"hit", t.hit}, {"keys", t.keys}};
}

// ---- pictures, background, sounds ------------------------------------------------------

std::string PanelApp::picture(const std::string* gauge, const std::string* module, int64_t& seq) {
    std::lock_guard lock(mutex_);
    const Module* found = nullptr;
    std::string name;
    if (gauge) {
        bool placed = false;
        for (const Placed& p : placed_)
            if (p.gauge.key == *gauge) {
                if (const std::string problem = p.problem(); !problem.empty())
                    throw BadRequest(409, p.gauge.key + " has no picture: " + problem);
                found = p.module, name = p.gauge.key, placed = true;
            }
        if (!placed) throw BadRequest(400, "no gauge " + shown(*gauge) + " on this panel");
    } else if (module) {
        for (const auto& m : modules_)
            if (m->id == *module) found = m.get(), name = m->id;
        if (!found) throw BadRequest(400, "no module " + shown(*module) + " is served");
    } else {
        throw BadRequest(400, "which gauge? ?gauge=ID or ?module=ID");
    }
    if (found->png.empty())
        throw BadRequest(409, name + " has no picture" + (found->error.empty() ? " yet" : ": " + found->error));
    seq = found->seq;
    return found->png;
}

std::string PanelApp::background(const std::string* window) {
    std::lock_guard lock(mutex_);
    if (backgrounds_.empty()) throw BadRequest(404, "this panel has no background");
    if (!window) return backgrounds_.at(panel_.windows.front().number);
    for (const auto& [number, png] : backgrounds_)
        if (std::to_string(number) == *window) return png;
    throw BadRequest(400, "no window " + shown(*window) + " on this panel");
}

// ---- the editor ----------------------------------------------------------------------

void PanelApp::setLayout(const Layout& layout) {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (layout.windowsChanged) {
        panel_.windows = layout.view.windows;
        backgrounds_.clear();
        for (const PanelWindow& w : panel_.windows) backgrounds_[w.number] = encodePng(w.background);
    }
    panel_.gauges = layout.view.gauges;
    editor_ = layout.editor;
    place(panel_.gauges);
    variablesChanged();
    broadcast({{"type", "layout"}, {"windows", windowsInfo()}, {"gauges", placements()}, {"modules", modulesInfo()},
               {"editor", editor_}, {"windowsChanged", layout.windowsChanged}});
}

json PanelApp::palette(const std::vector<std::string>& folders) {
    const std::vector<std::string> paths = modulesIn(folders);   // the folders read outside the lock
    std::lock_guard lock(mutex_);
    json out = json::array();
    bool wake = false;
    for (const std::string& found : paths) {
        wchar_t full[MAX_PATH * 4];
        const std::string path = GetFullPathNameW(widen(found).c_str(), MAX_PATH * 4, full, nullptr) ? narrow(full) : found;
        Module& m = moduleFor(path);
        if (started_ && !m.worker && !m.loading && !m.wantLoad && !m.gauge.known && m.state != "error") {
            m.wantLoad = wake = true;   // learnt once, by loading it
            m.state = "loading";
        }
        out.push_back(moduleInfo(m));
    }
    if (wake) wakeWatcher();
    return {{"modules", out}, {"folders", folders}};
}

std::string PanelApp::sound(const std::string& id) {
    std::lock_guard lock(mutex_);
    for (const Sound& s : sounds_)
        if (std::to_string(s.id) == id) {
            wave::Format f = wave::pcm(s.channels, s.bits, s.rate);
            f.tag = s.format;
            const wave::Bytes bytes = wave::file(f, wave::Bytes(s.samples.begin(), s.samples.end()));
            return std::string(bytes.begin(), bytes.end());
        }
    throw BadRequest(404, "no sound " + shown(id) + " (only the last " + std::to_string(kSoundsKept) + " are kept)");
}

size_t PanelApp::gaugeCount() const { return placed_.size(); }

std::string PanelApp::source() const { return panel_.path.empty() ? "the modules given" : panel_.path; }

}  // namespace gaugehost
