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

namespace {

constexpr auto kPoll = std::chrono::milliseconds(200);   // between looks at the module files




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



}  // namespace

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

}  // namespace gaugehost
