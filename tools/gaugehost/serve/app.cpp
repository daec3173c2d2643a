#include "app.h"

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

namespace {

constexpr size_t kLogLines = 300;
constexpr size_t kSoundsKept = 32;
constexpr uint32_t kMaxId = 0xFFFFFFFFu;
constexpr auto kPoll = std::chrono::milliseconds(200);   // between looks at the module files

std::string dumped(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }


// What identifies a file's contents cheaply: written time, size, identity.
struct Signature {
    FILETIME written{};
    uint64_t size = 0, index = 0;
    bool operator==(const Signature& o) const {
        return CompareFileTime(&written, &o.written) == 0 && size == o.size && index == o.index;
    }
};

std::optional<Signature> signatureOf(const std::string& path) {
    HANDLE h = CreateFileW(widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(h, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(h);
    if (!ok) return std::nullopt;
    Signature s;
    s.written = info.ftLastWriteTime;
    s.size = uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    s.index = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    return s;
}

void removeTree(const std::wstring& folder) {
    WIN32_FIND_DATAW f;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &f);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = f.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            if (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) removeTree(path);
            else DeleteFileW(path.c_str());
        } while (FindNextFileW(h, &f));
        FindClose(h);
    }
    RemoveDirectoryW(folder.c_str());
}

constexpr const wchar_t* kScratchPrefix = L"gaugehost-serve-";

// A folder of this server's own in the temporary folder, for the copies the
// modules run from; folders left by servers that were killed go first.
std::wstring makeScratch() {
    wchar_t temp[MAX_PATH + 1] = {};
    if (!GetTempPathW(MAX_PATH, temp)) throw HostFault("no temporary folder: " + windowsError(GetLastError()));
    std::wstring base = temp;
    if (!base.empty() && base.back() == L'\\') base.pop_back();
    WIN32_FIND_DATAW f;
    HANDLE h = FindFirstFileW((base + L"\\" + kScratchPrefix + L"*").c_str(), &f);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const DWORD pid = wcstoul(f.cFileName + wcslen(kScratchPrefix), nullptr, 10);
            if (!(f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || pid == GetCurrentProcessId()) continue;
            HANDLE p = OpenProcess(SYNCHRONIZE, FALSE, pid);
            const bool alive = p && WaitForSingleObject(p, 0) == WAIT_TIMEOUT;
            if (p) CloseHandle(p);
            if (!alive) removeTree(base + L"\\" + f.cFileName);
        } while (FindNextFileW(h, &f));
        FindClose(h);
    }
    const std::wstring mine = base + L"\\" + kScratchPrefix + std::to_wstring(GetCurrentProcessId());
    removeTree(mine);
    if (!CreateDirectoryW(mine.c_str(), nullptr))
        throw HostFault("cannot make the folder " + narrow(mine) + ": " + windowsError(GetLastError()));
    return mine;
}

double epochSeconds() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const uint64_t t = uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
    return double(t - 116444736000000000ull) / 1e7;
}

Fault faultOf(const json& kind) {
    if (kind == "input") return Fault::Input;
    if (kind == "module") return Fault::Module;
    return Fault::Host;
}

// A value from a page: a JSON number, or text in the number grammar (nan,
// inf, -inf included).
std::optional<double> valueOfRequest(const json& v) {
    if (v.is_number()) return v.get<double>();
    if (v.is_string()) return readValue(v.get_ref<const std::string&>());
    return std::nullopt;
}


}  // namespace

// ---- the application's state ---------------------------------------------------------

// One request's turn in a worker, and what came of it.
struct PanelApp::Turn {
    bool user = false;      // asked for by a page (or a load): its key events' changes draw at once
    bool mouse = false;     // a mouse event: the gauge draws afterwards in any case
    bool waited = false;    // a page waits for it: kept until taken
    bool over = false;
    bool hit = false;
    std::vector<std::string> keys;       // the key events, as the log shows them
    std::optional<std::string> error;
    std::set<uint32_t> changed;          // variables its key events changed
    std::vector<std::pair<std::shared_ptr<WorkerClient>, int64_t>> followUps;   // the frames it caused
};

struct PanelApp::Module {
    std::string id, path, file, name;
    std::shared_ptr<WorkerClient> worker;
    std::string state = "loading", error;
    Fault errorKind = Fault::Host;
    struct {
        bool known = false;
        std::string name;
        int version = 0, width = 0, height = 0;
        bool mouse = false;
    } gauge;
    json variables = json::array();      // the worker's list
    std::set<uint32_t> reads;
    std::string png;
    int pictureWidth = 0, pictureHeight = 0;
    int64_t seq = 0;
    uint64_t frames = 0;
    int loads = 0;
    std::optional<Signature> signature, pending;   // the file as loaded; a change seen once
    std::wstring copy;                   // the folder of the copy that runs
    std::string copyPath;                // the copy's path, as the worker names it
    std::map<int64_t, Turn> turns;
    Turn tick;                           // what frames at the rate did since their last turn ended
    std::mutex loadLock;                 // one load at a time
    std::thread loader;
    std::atomic<bool> loading{false};
    bool used = false;                   // a gauge of the panel is drawn by it (else a palette's module)
    bool wantLoad = false;               // to be loaded by the watcher

    bool running() const { return state == "running" && worker && worker->alive(); }
    // A worker's text with the module's own path where it names the copy
    // that runs.
    std::string named(const std::string& text) const {
        std::string out = text;
        for (size_t at = 0; !copyPath.empty() && (at = out.find(copyPath, at)) != std::string::npos; at += path.size())
            out.replace(at, copyPath.size(), path);
        return out;
    }
};

PanelApp::PanelApp(PanelView panel, ServeSettings settings, json editor)
    : panel_(std::move(panel)), settings_(std::move(settings)), editor_(std::move(editor)) {
    place(panel_.gauges);
    if (!panel_.path.empty())
        for (const PanelWindow& w : panel_.windows) backgrounds_[w.number] = encodePng(w.background);
}

PanelApp::Module& PanelApp::moduleFor(const std::string& path) {
    auto it = std::find_if(modules_.begin(), modules_.end(), [&](const auto& m) { return m->path == path; });
    if (it != modules_.end()) return **it;
    auto m = std::make_unique<Module>();
    m->id = "m" + std::to_string(modules_.size());
    m->path = path;
    m->file = fileNameOf(path);
    m->name = stemOf(m->file);
    modules_.push_back(std::move(m));
    return *modules_.back();
}

// The gauges placed: a module new to the panel, or one that was not drawn
// and no longer runs, is loaded (by the watcher once started).
void PanelApp::place(const std::vector<PlacedGauge>& gauges) {
    placed_.clear();
    for (auto& m : modules_) m->used = false;
    for (const PlacedGauge& g : gauges) {
        Module* m = g.path.empty() ? nullptr : &moduleFor(g.path);   // none: a placeholder, its module missing
        if (m) m->used = true;
        placed_.push_back({g, m});
    }
    if (!started_) return;   // start() loads every module
    bool wake = false;
    for (auto& m : modules_)
        if (m->used && !m->worker && !m->loading && !m->wantLoad && m->state != "error") {
            m->wantLoad = wake = true;
            m->state = "loading";
        }
    if (wake) wakeWatcher();
}

std::string PanelApp::Placed::problem() const {
    if (!module) return gauge.problem;
    if (module->gauge.known && !gauge.gauge.empty())
        if (std::optional<std::string> other = otherGauge(module->path, module->gauge.name, gauge.gauge)) return *other;
    return "";
}

void PanelApp::wakeWatcher() {
    std::lock_guard hold(watchLock_);
    woken_ = true;
    watchWake_.notify_all();
}

PanelApp::~PanelApp() { stop(); }

void PanelApp::start() {
    scratch_ = makeScratch();
    {
        std::lock_guard lock(mutex_);
        started_ = true;
        for (auto& m : modules_) m->wantLoad = false;
        for (auto& m : modules_) {
            Module* p = m.get();
            p->loading = true;
            p->loader = std::thread([this, p] {
                load(*p, "");
                p->loading = false;
            });
        }
    }
    watcher_ = std::thread([this] { watch(); });
}

void PanelApp::stop() {
    if (stopping_.exchange(true)) return;
    {
        std::lock_guard hold(watchLock_);
        watchWake_.notify_all();
    }
    if (watcher_.joinable()) watcher_.join();
    // The workers go first: a load waiting for one returns at once.
    std::vector<std::shared_ptr<WorkerClient>> workers;
    {
        std::lock_guard lock(mutex_);   // no module is added once the server has stopped serving
        for (auto& m : modules_)
            if (m->worker) workers.push_back(m->worker);
    }
    std::vector<std::thread> closing;
    for (auto& w : workers) closing.emplace_back([w] { w->close(std::chrono::milliseconds(3000)); });
    for (auto& t : closing) t.join();
    for (auto& m : modules_)
        if (m->loader.joinable()) m->loader.join();
    {
        std::lock_guard lock(mutex_);
        for (auto& m : modules_) m->worker.reset();
    }
    if (!scratch_.empty()) removeTree(scratch_);
}

std::chrono::milliseconds PanelApp::turnLimit() const { return std::chrono::milliseconds((settings_.timeout + 20) * 1000); }

void PanelApp::broadcast(const json& event, const std::string& key) {
    if (settings_.broadcast) settings_.broadcast(dumped(event), key);
}

void PanelApp::note(const Module* m, const std::string& text, const std::string& kind) {
    const std::string source = m ? m->name : "serve";
    json entry = {{"type", "log"}, {"source", source}, {"text", text}, {"kind", kind}, {"time", epochSeconds()}};
    log_.push_back(entry);
    while (log_.size() > kLogLines) log_.pop_front();
    broadcast(entry);
    if (settings_.echo && (kind == "reload" || kind == "error" || kind == "warning"))
        settings_.echo(source + ": " + text);
}

void PanelApp::fail(Module& m, Fault kind, const std::string& text) {
    if (m.state == "error" && m.error == text) return;
    m.state = "error";
    m.error = text;
    m.errorKind = kind;
    broadcast({{"type", "module"}, {"module", moduleInfo(m)}, {"gauges", placements()}});
    note(&m, text, "error");
}

void PanelApp::send(Module& m, json request, bool user, bool waited, int64_t* seq) {
    const bool mouse = request["op"] == "mouse";
    const int64_t s = m.worker ? m.worker->send(std::move(request)) : 0;
    if (seq) *seq = s;
    if (!s) return;
    Turn& t = m.turns[s];
    t.user = user;
    t.waited = waited;
    t.mouse = mouse;
}

// ---- loading and reloading -------------------------------------------------------------

void PanelApp::load(Module& m, const std::string& reason) {
    std::lock_guard hold(m.loadLock);
    if (stopping_) return;
    const std::optional<Signature> signature = signatureOf(m.path);
    if (!signature) {
        std::lock_guard lock(mutex_);
        m.signature.reset();
        fail(m, Fault::Input, "gaugehost: error: cannot open " + m.path);
        return;
    }
    const std::wstring folder = scratch_ + L"\\" + widen(m.id) + L"-" + std::to_wstring(++m.loads);
    const std::wstring copy = folder + L"\\" + widen(m.file);
    if (!CreateDirectoryW(folder.c_str(), nullptr) || !CopyFileW(widen(m.path).c_str(), copy.c_str(), FALSE)) {
        const DWORD e = GetLastError();
        removeTree(folder);
        std::lock_guard lock(mutex_);
        fail(m, Fault::Input, "gaugehost: error: cannot read " + m.path + ": " + windowsError(e));
        return;
    }
    if (!(signatureOf(m.path) == signature)) {
        // Written while we copied: the watcher comes back to it.
        removeTree(folder);
        return;
    }
    std::shared_ptr<WorkerClient> worker, gone;
    int64_t seq = 0;
    uint64_t version = 0;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            removeTree(folder);
            return;   // no worker starts once the server ends
        }
        m.signature = signature;
        if (!m.worker || !m.worker->alive()) {
            gone = std::move(m.worker);
            auto self = std::make_shared<const WorkerClient*>(nullptr);
            WorkerClient::Events events;
            events.record = [this, &m, self](const protocol::Record& r) { onRecord(m, *self, r); };
            events.ended = [this, &m, self](const WorkerEnd& e) { onEnded(m, *self, e); };
            m.worker = std::make_shared<WorkerClient>(m.id, scratch_, settings_.timeout, std::move(events));
            *self = m.worker.get();
            try {
                m.worker->start();
            } catch (const std::exception& e) {
                m.worker.reset();
                fail(m, Fault::Host, std::string("gaugehost: error: ") + e.what());
            }
        }
        if (m.worker) {
            m.state = "loading";
            m.error.clear();
            broadcast({{"type", "module"}, {"module", moduleInfo(m)}, {"gauges", placements()}});
            version = valuesVersion_;
            std::vector<std::pair<uint32_t, double>> values(sim_.vars().begin(), sim_.vars().end());
            m.copyPath = narrow(copy);
            send(m, {{"op", "load"}, {"path", m.copyPath}, {"vars", protocol::wirePairs(values)}, {"frames", 1}},
                 true, true, &seq);
            worker = m.worker;
        }
    }
    if (gone) gone->close(std::chrono::milliseconds(0));
    if (!worker) {
        removeTree(folder);
        return;
    }
    const bool over = seq && worker->wait(seq, std::chrono::milliseconds((settings_.timeout + 60) * 1000));
    std::shared_ptr<WorkerClient> idle = loaded(m, worker, seq, over, folder, reason, version);
    // A palette's module, learnt: its worker ends, its gauge and picture are kept.
    if (idle) idle->close(std::chrono::milliseconds(3000));
}

std::shared_ptr<WorkerClient> PanelApp::loaded(Module& m, const std::shared_ptr<WorkerClient>& worker, int64_t seq,
                                               bool over, const std::wstring& folder, const std::string& reason,
                                               uint64_t version) {
    std::lock_guard lock(mutex_);
    Turn t;
    if (auto it = m.turns.find(seq); it != m.turns.end()) {
        t = std::move(it->second);
        m.turns.erase(it);
    }
    // The copy before this one is no longer loaded.
    if (!m.copy.empty()) removeTree(m.copy);
    m.copy = folder;
    if (stopping_ || m.worker != worker) return nullptr;
    if (!over || t.error) {
        if (m.state != "error")
            fail(m, Fault::Host, "gaugehost: error: " + m.file + " did not load within " +
                                     std::to_string(settings_.timeout + 60) + " s");
        return nullptr;
    }
    if (!m.used) {
        m.state = "idle";
        std::shared_ptr<WorkerClient> idle = std::move(m.worker);
        broadcast({{"type", "module"}, {"module", moduleInfo(m)}, {"gauges", placements()}});
        return idle;
    }
    // A gauge that names another gauge than the module's is a placeholder.
    for (const Placed& p : placed_)
        if (p.module == &m && !p.problem().empty()) note(&m, "warning: " + p.gauge.where + ": " + p.problem(), "warning");
    m.state = "running";
    m.error.clear();
    broadcast({{"type", "module"}, {"module", moduleInfo(m)}, {"gauges", placements()}});
    if (valuesVersion_ != version) {
        // What changed while it loaded.
        std::vector<std::pair<uint32_t, double>> values(sim_.vars().begin(), sim_.vars().end());
        send(m, {{"op", "set"}, {"vars", protocol::wirePairs(values)}, {"frame", true}}, false, false);
    }
    if (viewers_) send(m, {{"op", "run"}, {"rate", settings_.rate}}, false, false);
    if (!reason.empty()) note(&m, reason, "reload");
    return nullptr;
}

void PanelApp::watch() {
    for (;;) {
        {
            std::unique_lock hold(watchLock_);
            watchWake_.wait_for(hold, kPoll, [&] { return stopping_.load() || woken_; });
            woken_ = false;
        }
        if (stopping_) return;
        std::vector<Module*> modules;
        {
            std::lock_guard lock(mutex_);
            for (auto& m : modules_) modules.push_back(m.get());
        }
        for (Module* p : modules) {
            Module& m = *p;
            if (m.loading) continue;
            std::string reason;
            bool wanted;
            {
                std::lock_guard lock(mutex_);
                wanted = m.wantLoad;
                m.wantLoad = false;
            }
            if (!wanted) {
                const std::optional<Signature> now = signatureOf(m.path);
                bool same;
                {
                    std::lock_guard lock(mutex_);
                    same = !now || (m.signature && *m.signature == *now);
                }
                if (same) {
                    m.pending.reset();
                    continue;
                }
                if (!m.pending || !(*m.pending == *now)) {
                    m.pending = now;   // seen changing: one more look before it counts as settled
                    continue;
                }
                m.pending.reset();
                reason = m.file + " changed on disk: reloaded";
            }
            if (m.loader.joinable()) m.loader.join();
            m.loading = true;
            m.loader = std::thread([this, p, reason] {
                load(*p, reason);
                p->loading = false;
            });
        }
    }
}

// ---- what the workers tell -------------------------------------------------------------

void PanelApp::onRecord(Module& m, const WorkerClient* from, const protocol::Record& r) {
    std::lock_guard lock(mutex_);
    if (m.worker.get() != from) return;
    const json& h = r.head;
    const std::string type = r.type();
    const int64_t seq = r.seq();
    Turn& t = seq == 0 ? m.tick : m.turns[seq];
    if (type == "loaded") {
        m.gauge.known = true;
        m.gauge.name = h["name"];
        m.gauge.version = h["version"];
        m.gauge.width = h["width"];
        m.gauge.height = h["height"];
        m.gauge.mouse = h["mouse"];
    } else if (type == "variables") {
        m.variables = h["list"];
        m.reads.clear();
        for (const json& v : m.variables) m.reads.insert(v["id"].get<uint32_t>());
        variablesChanged();
    } else if (type == "key") {
        const uint32_t id = h["id"];
        const int32_t param = h["param"];
        const KeyEvent k{id, param, sim_.apply(id, param)};
        const std::string text = keyEventText(k);
        t.keys.push_back(text);
        note(&m, text, "key");
        if (k.effect.changesVar()) {
            ++valuesVersion_;
            t.changed.insert(k.effect.var);
            broadcast({{"type", "vars"}, {"values", {{std::to_string(k.effect.var), protocol::wireValue(k.effect.value)}}}});
        }
    } else if (type == "mouse") {
        t.hit = h["hit"];
        note(&m,
             h["event"].get<std::string>() + " (" + std::to_string(h["x"].get<int>()) + ", " +
                 std::to_string(h["y"].get<int>()) + ") " + (t.hit ? "hits a mouse rectangle" : "hits no rectangle"),
             "mouse");
    } else if (type == "sound") {
        Sound s{++soundIds_, h["format"], h["channels"], h["bits"], h["rate"], r.payload};
        const uint32_t length = h["length"];
        const unsigned block = std::max(1u, unsigned(s.channels) * s.bits / 8);
        const double ms = s.rate ? 1000.0 * length / block / s.rate : 0;
        const std::string layout = s.channels == 1 ? "mono" : s.channels == 2 ? "stereo"
                                                                                : std::to_string(s.channels) + "-channel";
        char text[160];
        std::snprintf(text, sizeof text, "sound: %.0f ms of %u-bit %s %s at %u Hz played", ms, unsigned(s.bits),
                      layout.c_str(), s.format == 1 ? "PCM" : ("format " + std::to_string(s.format)).c_str(),
                      unsigned(s.rate));
        note(&m, text, "sound");
        broadcast({{"type", "sound"}, {"module", m.id}, {"id", s.id}, {"format", s.format}, {"channels", s.channels},
                   {"rate", s.rate}, {"bits", s.bits}});
        sounds_.push_back(std::move(s));
        while (sounds_.size() > kSoundsKept) sounds_.pop_front();
    } else if (type == "picture") {
        m.png = r.payload;
        m.pictureWidth = h["width"];
        m.pictureHeight = h["height"];
        ++m.seq;
        broadcast(pictureEvent(m), "picture:" + m.id);
    } else if (type == "warning") {
        note(&m, "warning: " + m.named(h["text"]), "warning");
    } else if (type == "error") {
        t.error = "gaugehost: error: " + m.named(h["text"]);
        fail(m, faultOf(h["kind"]), *t.error);
    } else if (type == "refused") {
        t.error = "gaugehost: error: the worker refused a request: " + h["text"].get<std::string>();
        note(&m, *t.error, "error");
    } else if (type == "done") {
        m.frames = h["frames"];
        endTurn(m, seq);
    }
}

// A turn is over: the values its key events changed go to every gauge that
// reads them, and a mouse event's gauge draws in any case.
void PanelApp::endTurn(Module& m, int64_t seq) {
    Turn& t = seq == 0 ? m.tick : m.turns[seq];
    for (auto& op : modules_) {
        Module& o = *op;
        if (!o.running()) continue;
        std::vector<std::pair<uint32_t, double>> values;
        for (uint32_t id : t.changed)
            if (o.reads.count(id)) values.emplace_back(id, sim_.var(id));
        const bool draw = t.mouse && &o == &m;
        if (values.empty() && !draw) continue;
        int64_t s = 0;
        // Changes that frames at the rate brought draw at the next frame,
        // so that a gauge that sends key events from its frames never runs
        // frames as fast as they go.
        send(o, {{"op", "set"}, {"vars", protocol::wirePairs(values)}, {"frame", t.user || draw}}, false, false, &s);
        if (s) t.followUps.emplace_back(o.worker, s);
    }
    t.over = true;
    if (seq == 0) m.tick = Turn();
    else if (!t.waited) m.turns.erase(seq);
}

void PanelApp::onEnded(Module& m, const WorkerClient* from, const WorkerEnd& end) {
    std::lock_guard lock(mutex_);
    if (m.worker.get() != from) return;
    for (auto it = m.turns.begin(); it != m.turns.end();) {
        it->second.over = true;
        it = it->second.waited ? std::next(it) : m.turns.erase(it);
    }
    m.tick = Turn();
    if (stopping_ || end.asked) return;
    if (m.state != "error") fail(m, end.kind, m.named(end.text));
}

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
