#include "panel_editor.h"

#include <algorithm>

#include "hostcore/errors.h"
#include "hostcore/files.h"
#include "http_policy.h"
#include "request_checks.h"
#include "../panel/syntax.h"

namespace gaugehost {

using protocol::json;

namespace {

constexpr size_t kUndoDepth = 500;   // versions kept for undo

[[noreturn]] void bad(const std::string& reason) { throw http::Refusal(400, reason); }

const json& field(const json& body, const char* name) {
    static const json missing;
    const auto it = body.find(name);
    return it == body.end() ? missing : *it;
}

int whole(const json& body, const char* name, int lo, int hi) {
    const json& v = field(body, name);
    const bool ok = v.is_number_integer() &&
                    (v.is_number_unsigned() ? v.get<uint64_t>() <= uint64_t(hi) && (lo <= 0 || v.get<uint64_t>() >= uint64_t(lo))
                                            : v.get<int64_t>() >= lo && v.get<int64_t>() <= hi);
    if (!ok)
        bad(std::string("bad ") + name + " " + (v.is_null() && !body.contains(name) ? "(none given)" : shown(v)) +
            ": a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
    return v.get<int>();
}

// A width or height: absent or null for none.
std::optional<int> side(const json& body, const char* name) {
    if (field(body, name).is_null()) return std::nullopt;
    return whole(body, name, 1, panel::kMaxSize);
}

std::string text(const json& body, const char* name) {
    const json& v = field(body, name);
    if (!v.is_string() || v.get_ref<const std::string&>().empty() || v.get_ref<const std::string&>().size() > 200)
        bad(std::string("bad ") + name + " " + shown(v) + ": a name of 1 to 200 characters");
    return v.get<std::string>();
}

[[noreturn]] void refused(const panel::EditResult& r) { throw http::Refusal(409, "refused: " + r.refused); }

const panel::Gauge* byLine(const panel::Window& w, int line) {
    for (const panel::Gauge& g : w.gauges)
        if (g.line == line) return &g;
    return nullptr;
}

}  // namespace

PanelEditor::PanelEditor(std::string path, PanelOptions options) : path_(std::move(path)), options_([&] {
    options.everyWindow = true;
    options.strict = false;
    return options;
}()) {
    disk_ = readPanelBytes(path_);
    file_ = std::make_unique<panel::PanelFile>(panel::PanelFile::parse(disk_, path_));
    PanelView view = panelView(*file_, path_, options_);
    windows_ = std::move(view.windows);
    notes_ = std::move(view.notes);
}

std::vector<std::string> PanelEditor::folders() const { return moduleFolders(path_, options_.gaugeFolders); }

Layout PanelEditor::initial() const {
    std::lock_guard lock(mutex_);
    Layout l = layoutLocked(true);
    l.view.notes = notes_;
    return l;
}

Layout PanelEditor::layoutLocked(bool windowsChanged) const {
    Layout l;
    l.view.path = path_;
    std::vector<int> numbers;
    for (const PanelWindow& w : windows_) numbers.push_back(w.number);
    l.view.gauges = placeGauges(*file_, path_, numbers, options_, nullptr);
    if (windowsChanged) l.view.windows = windows_;
    l.windowsChanged = windowsChanged;
    l.editor = stateLocked();
    return l;
}

json PanelEditor::state() const {
    std::lock_guard lock(mutex_);
    return stateLocked();
}

json PanelEditor::stateLocked() const {
    return {{"file", path_},
            {"encoding", panel::encodingName(file_->encoding())},
            {"version", version_},
            {"undo", !undo_.empty()},
            {"redo", !redo_.empty()},
            {"dirty", file_->serialize() != disk_},
            {"saves", saves_}};
}

void PanelEditor::checkVersion(const json& body) const {
    const json& v = field(body, "version");
    if (!v.is_number_integer() || v.get<int64_t>() < 0) bad("bad version " + shown(v) + ": the version the page shows");
    if (v.get<int64_t>() != version_)
        throw http::Refusal(409, "the panel is at version " + std::to_string(version_) + ", not " + shown(v) +
                                     ": another change came first");
}

const panel::Gauge* PanelEditor::gaugeOf(const json& id, int& window) const {
    if (!id.is_string()) bad("\"gauge\" must be a gauge's id, such as \"gauge00\"");
    for (const panel::Window& w : file_->windows()) {
        if (!std::any_of(windows_.begin(), windows_.end(), [&](const PanelWindow& s) { return s.number == w.number; }))
            continue;
        for (const panel::Gauge& g : w.gauges)
            if (gaugeId(w.number, g.key) == id.get_ref<const std::string&>()) {
                window = w.number;
                return &g;
            }
    }
    bad("no gauge " + shown(id) + " on this panel");
}

void PanelEditor::commit(panel::PanelFile next) {
    undo_.push_back(std::move(*file_));
    if (undo_.size() > kUndoDepth) undo_.erase(undo_.begin());
    redo_.clear();
    *file_ = std::move(next);
    ++version_;
}

json PanelEditor::edit(const json& body) {
    const json& op = field(body, "op");
    if (!op.is_string()) bad("bad op " + shown(op) + ": place, add, remove, order, undo, redo or revert");
    const std::string o = op.get<std::string>();
    std::lock_guard lock(mutex_);
    json answer = {{"ok", true}};
    bool windowsChanged = false;
    if (o == "place") {
        onlyFields(body, {"op", "version", "gauge", "x", "y", "width", "height"});
        int window = 0;
        const panel::Gauge* g = gaugeOf(field(body, "gauge"), window);
        const panel::GaugePlace place(whole(body, "x", -panel::kMaxSize, panel::kMaxSize),
                                      whole(body, "y", -panel::kMaxSize, panel::kMaxSize), side(body, "width"),
                                      side(body, "height"));
        checkVersion(body);
        const std::string key = g->key;
        panel::PanelFile next = *file_;
        if (const panel::EditResult r = next.placeGauge(window, g->number, place); !r.ok()) refused(r);
        commit(std::move(next));
        answer["gauge"] = gaugeId(window, key);
    } else if (o == "add") {
        onlyFields(body, {"op", "version", "window", "module", "name", "x", "y", "width", "height"});
        const int window = whole(body, "window", 0, 999999999);
        if (!std::any_of(windows_.begin(), windows_.end(), [&](const PanelWindow& w) { return w.number == window; }))
            bad("no window " + std::to_string(window) + " on this panel");
        const std::string module = text(body, "module"), name = text(body, "name");
        const panel::GaugePlace place(whole(body, "x", -panel::kMaxSize, panel::kMaxSize),
                                      whole(body, "y", -panel::kMaxSize, panel::kMaxSize), side(body, "width"),
                                      side(body, "height"));
        checkVersion(body);
        if (!panel::moduleNameOk(module) || !findModule(folders(), module))
            bad("no module " + shown(module) + " in the gauge folders");
        panel::PanelFile next = *file_;
        const panel::EditResult r = next.addGauge(window, module, name, place);
        if (!r.ok()) refused(r);
        std::string key;
        for (const panel::Gauge& g : next.window(window)->gauges)
            if (g.number == r.gauge) key = g.key;
        commit(std::move(next));
        answer["gauge"] = gaugeId(window, key);
    } else if (o == "remove") {
        onlyFields(body, {"op", "version", "gauge"});
        int window = 0;
        const panel::Gauge* g = gaugeOf(field(body, "gauge"), window);
        checkVersion(body);
        panel::PanelFile next = *file_;
        if (const panel::EditResult r = next.removeGauge(window, g->number); !r.ok()) refused(r);
        commit(std::move(next));
    } else if (o == "order") {
        onlyFields(body, {"op", "version", "gauge", "position"});
        int window = 0;
        const panel::Gauge* g = gaugeOf(field(body, "gauge"), window);
        const std::vector<panel::Gauge>& gauges = file_->window(window)->gauges;
        const int position = whole(body, "position", 0, int(gauges.size()) - 1);
        checkVersion(body);
        std::vector<int> order;
        for (const panel::Gauge& other : gauges)
            if (other.number != g->number) order.push_back(other.number);
        order.insert(order.begin() + position, g->number);
        const int line = g->line;
        panel::PanelFile next = *file_;
        if (const panel::EditResult r = next.reorderGauges(window, order); !r.ok()) refused(r);
        const std::string key = byLine(*next.window(window), line)->key;
        commit(std::move(next));
        answer["gauge"] = gaugeId(window, key);
    } else if (o == "undo" || o == "redo") {
        onlyFields(body, {"op", "version"});
        checkVersion(body);
        auto& from = o == "undo" ? undo_ : redo_;
        auto& to = o == "undo" ? redo_ : undo_;
        if (from.empty()) throw http::Refusal(409, "nothing to " + o);
        to.push_back(std::move(*file_));
        *file_ = std::move(from.back());
        from.pop_back();
        ++version_;
    } else if (o == "revert") {
        // The file as it is on disk now: the edits and their history go.
        onlyFields(body, {"op", "version"});
        checkVersion(body);
        std::string bytes;
        PanelView view;
        std::unique_ptr<panel::PanelFile> read;
        try {
            bytes = readPanelBytes(path_);
            read = std::make_unique<panel::PanelFile>(panel::PanelFile::parse(bytes, path_));
            view = panelView(*read, path_, options_);
        } catch (const Error& e) {
            throw http::Refusal(409, std::string("the file on disk cannot be served: ") + e.what());
        }
        disk_ = std::move(bytes);
        file_ = std::move(read);
        windows_ = std::move(view.windows);
        undo_.clear();
        redo_.clear();
        ++version_;
        windowsChanged = true;
    } else {
        bad("bad op " + shown(op) + ": place, add, remove, order, undo, redo or revert");
    }
    answer["version"] = version_;
    if (publish_) publish_(layoutLocked(windowsChanged));
    return answer;
}

json PanelEditor::save(const json& body) {
    onlyFields(body, {"version"});
    std::lock_guard lock(mutex_);
    checkVersion(body);
    std::string now;
    try {
        now = readPanelBytes(path_);
    } catch (const Error& e) {
        throw http::Refusal(409, "not saved: " + std::string(e.what()));
    }
    if (now != disk_)
        throw http::Refusal(409, "not saved: " + path_ +
                                     " changed on disk after it was loaded; revert to load it as it is now "
                                     "(your edits here are dropped), or change it back");
    const std::string bytes = file_->serialize();
    const std::string backup = path_ + ".bak";
    try {
        writeFileAtomically(backup, now);
        writeFileAtomically(path_, bytes);
    } catch (const Error& e) {
        throw http::Refusal(500, "not saved: " + std::string(e.what()));
    }
    disk_ = bytes;
    ++saves_;
    if (publish_) publish_(layoutLocked(false));
    return {{"ok", true}, {"file", path_}, {"backup", backup}, {"bytes", bytes.size()}, {"version", version_}};
}

}  // namespace gaugehost
