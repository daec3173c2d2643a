#include "worker.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

#include "hostcore/files.h"
#include "hostcore/guard.h"
#include "hostcore/hosted_module.h"
#include "hostcore/records.h"
#include "hostcore/simenv.h"
#include "hostcore/worker_link.h"
#include "protocol.h"

namespace gaugehost {

namespace {

using protocol::json;

constexpr size_t kMaxRequest = 1 << 20;   // bytes in one request line
constexpr double kMaxRate = 1000;         // frames a second meaning "as fast as they go"
constexpr int64_t kMaxFrames = 100000;    // frames one request may ask for
constexpr size_t kMaxSoundsPerTurn = 16;

// A request the worker refuses: it is malformed, and nothing changed.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---- input: requests read on a thread of their own -----------------------------------
//
// The main thread alone calls module code; it waits for requests only until
// the next frame is due.
class Inbox {
public:
    explicit Inbox(HANDLE in) : in_(in), ready_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
        InitializeCriticalSection(&lock_);
    }

    void start() { CloseHandle(CreateThread(nullptr, 0, &Inbox::reader, this, 0, nullptr)); }

    // The lines that arrived, waiting up to `ms` for one; `closed` once the
    // input has ended and every line was taken.
    std::deque<std::string> take(DWORD ms, bool& closed) {
        if (!pending()) WaitForSingleObject(ready_, ms);
        EnterCriticalSection(&lock_);
        std::deque<std::string> out;
        out.swap(lines_);
        closed = closed_ && out.empty();
        LeaveCriticalSection(&lock_);
        return out;
    }

private:
    bool pending() {
        EnterCriticalSection(&lock_);
        const bool any = !lines_.empty() || closed_;
        LeaveCriticalSection(&lock_);
        return any;
    }
    void push(std::string line, bool end) {
        EnterCriticalSection(&lock_);
        if (!end) lines_.push_back(std::move(line));
        else closed_ = true;
        LeaveCriticalSection(&lock_);
        SetEvent(ready_);
    }
    static DWORD WINAPI reader(void* p) {
        Inbox& self = *static_cast<Inbox*>(p);
        std::string partial;
        bool overlong = false;
        char buf[1 << 16];
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(self.in_, buf, sizeof buf, &got, nullptr) || got == 0) break;
            for (DWORD i = 0; i < got; ++i) {
                if (buf[i] != '\n') {
                    if (partial.size() < kMaxRequest) partial += buf[i];
                    else overlong = true;
                    continue;
                }
                if (!partial.empty() && partial.back() == '\r') partial.pop_back();
                // An overlong line becomes one that fails to parse.
                self.push(overlong ? std::string("overlong") : partial, false);
                partial.clear();
                overlong = false;
            }
        }
        self.push("", true);
        return 0;
    }

    HANDLE in_;
    HANDLE ready_;
    CRITICAL_SECTION lock_;
    std::deque<std::string> lines_;
    bool closed_ = false;
};

double nowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

// ---- reading requests ------------------------------------------------------------------

// A request's fields, every one required and no other allowed.
void requireFields(const json& r, std::initializer_list<const char*> fields) {
    for (const char* f : fields)
        if (!r.contains(f)) throw Refused(std::string(r["op"].get<std::string>()) + " wants \"" + f + "\"");
    for (auto it = r.begin(); it != r.end(); ++it)
        if (std::find_if(fields.begin(), fields.end(), [&](const char* f) { return it.key() == f; }) == fields.end())
            throw Refused("unknown field \"" + it.key() + "\"");
}

int64_t integerField(const json& r, const char* name, int64_t lo, int64_t hi) {
    const json& v = r[name];
    if (!v.is_number_integer()) throw Refused(std::string("\"") + name + "\" must be a whole number");
    const bool negative = !v.is_number_unsigned() && v.get<int64_t>() < 0;
    if (!negative && v.get<uint64_t>() > uint64_t(INT64_MAX))
        throw Refused(std::string("\"") + name + "\" must lie from " + std::to_string(lo) + " to " + std::to_string(hi));
    const int64_t n = v.get<int64_t>();
    if (n < lo || n > hi)
        throw Refused(std::string("\"") + name + "\" must lie from " + std::to_string(lo) + " to " + std::to_string(hi));
    return n;
}

protocol::Values valuesField(const json& r) {
    try {
        return protocol::pairsOfWire(r["vars"]);
    } catch (const std::invalid_argument& e) {
        throw Refused(e.what());
    }
}

// ---- the worker ------------------------------------------------------------------------

class Worker {
public:
    Worker(HANDLE out) : out_(out) {}
    int run(HANDLE in);

private:
    void handle(const std::string& line);
    void perform(const std::string& op, const json& r, int64_t seq);
    void load(const json& r, int64_t seq);
    void unload();
    void frameNow();
    void tick();
    json variables() const;
    void news(int64_t seq);
    void picture(int64_t seq, bool force);
    void failure(int64_t seq, Fault kind, const std::string& text);
    void done(int64_t seq);
    void record(const json& r, std::string_view payload = {});
    void flush();

    HANDLE out_;
    std::string pending_;                    // records of the running turn, written at its end
    bool outputGone_ = false;
    std::shared_ptr<SimulatorStandIn> standIn_;   // kept from one module to the next
    std::unique_ptr<HostedModule> module_;
    GaugeHost* host_ = nullptr;

    std::vector<PlayedSound> sounds_;
    size_t moduleVarsTold_ = 0, warningsTold_ = 0;
    DrawInputs lastInputs_;                  // what the last picture was drawn from
    Picture picture_;                        // the last picture drawn
    std::vector<uint32_t> lastSent_;         // the pixels of the last picture sent
    int lastW_ = 0, lastH_ = 0;
    uint64_t frames_ = 0;
    double rate_ = 0, nextTick_ = 0, lastDoneMs_ = 0;
    bool ending_ = false;
    int exitCode_ = kExitOk;
};

void Worker::record(const json& r, std::string_view payload) { pending_ += protocol::frame(r, payload); }

void Worker::flush() {
    if (outputGone_ || pending_.empty()) {
        pending_.clear();
        return;
    }
    size_t at = 0;
    while (at < pending_.size()) {
        DWORD wrote = 0;
        const DWORD chunk = DWORD(std::min<size_t>(pending_.size() - at, 1 << 20));
        if (!WriteFile(out_, pending_.data() + at, chunk, &wrote, nullptr) || wrote == 0) {
            // Nobody reads any more: end as if the input had ended.
            outputGone_ = true;
            ending_ = true;
            break;
        }
        at += wrote;
    }
    pending_.clear();
}

void Worker::done(int64_t seq) {
    record({{"type", "done"}, {"seq", seq}, {"frames", frames_}});
    lastDoneMs_ = nowMs();
    flush();
}

json Worker::variables() const {
    // Every variable the gauge reads: the elements' (with the range over
    // which the element changes, where it has one) and the module-level
    // ones met so far.
    struct Use {
        std::vector<std::string> uses;
        bool ranged = false;
        double lo = 0, hi = 0, step = 0;
    };
    std::map<uint32_t, Use> vars;
    auto note = [&](uint32_t id, const std::string& use, bool ranged, double lo, double hi, double step) {
        if (id == 0) return;
        Use& u = vars[id];
        if (std::find(u.uses.begin(), u.uses.end(), use) == u.uses.end()) u.uses.push_back(use);
        if (!ranged || !std::isfinite(lo) || !std::isfinite(hi)) return;
        if (lo > hi) std::swap(lo, hi);
        if (!u.ranged) {
            u.lo = lo;
            u.hi = hi;
            u.step = step;
        } else {
            u.lo = std::min(u.lo, lo);
            u.hi = std::max(u.hi, hi);
            u.step = std::min(u.step, step);
        }
        u.ranged = true;
    };
    const Gauge& g = module_->gauge();
    const ModuleImage& image = module_->image();
    const Bitmap* bg = g.elements.empty() ? nullptr : image.bitmap(g.elements[0].bitmap);
    for (const Element& e : g.elements) {
        const std::string label = e.label + " " + kindName(e.kind);
        switch (e.kind) {
            case hostapi::kIcon:
                note(e.var.id, label + " (" + std::to_string(e.imageCount) + " images)", e.imageCount > 0, 0,
                     std::max<uint32_t>(e.imageCount, 1) - 1, 1);
                break;
            case hostapi::kNeedle: {
                double lo = 0, hi = 0;
                for (size_t i = 0; i < e.points.size(); ++i) {
                    lo = i ? std::min(lo, e.points[i].value) : e.points[i].value;
                    hi = i ? std::max(hi, e.points[i].value) : e.points[i].value;
                }
                note(e.var.id, label, !e.points.empty() && hi > lo, lo, hi, 0);
                break;
            }
            case hostapi::kSlider: {
                // The values that keep the bitmap on the background.
                const Bitmap* b = image.bitmap(e.bitmap);
                auto range = [&](uint32_t id, const char* axis, double scale, int at, int room) {
                    if (!id) return;
                    const bool ranged = scale != 0 && std::isfinite(scale) && room >= 0;
                    note(id, label + " " + axis, ranged, (0 - at) / scale, (room - at) / scale, 0);
                };
                const int roomX = bg && b ? bg->width - b->width : -1, roomY = bg && b ? bg->height - b->height : -1;
                range(e.xVar.id, "x", e.xScale, e.x, roomX);
                range(e.var.id, "y", e.yScale, e.y, roomY);
                break;
            }
            case hostapi::kString:
                note(e.var.id, label, false, 0, 0, 0);
                break;
            default:
                break;
        }
    }
    for (uint32_t a : host_->moduleVars) {
        try {
            note(image.read<hostapi::ModuleVar>(a, "ModuleVar").id, "module variable at " + image.offset(a), false,
                 0, 0, 0);
        } catch (const ModuleError&) {
        }
    }
    json out = json::array();
    for (const auto& [id, u] : vars)
        out.push_back({{"id", id}, {"uses", u.uses}, {"ranged", u.ranged}, {"min", u.lo}, {"max", u.hi},
                       {"step", u.step}});
    return out;
}

// What happened since the last turn: key events, sounds, warnings, newly
// met module variables.
void Worker::news(int64_t seq) {
    if (!host_) return;
    for (const KeyEvent& k : host_->keys) record({{"type", "key"}, {"seq", seq}, {"id", k.id}, {"param", k.param}});
    host_->keys.clear();
    for (const PlayedSound& s : sounds_)
        record({{"type", "sound"}, {"seq", seq}, {"format", s.formatTag}, {"channels", s.channels},
                {"rate", s.samplesPerSecond}, {"bits", s.bitsPerSample}, {"length", s.bufferBytes},
                {"bytes", s.bytes.size()}},
               s.bytes);
    sounds_.clear();
    for (; warningsTold_ < host_->warnings.size(); ++warningsTold_)
        record({{"type", "warning"}, {"seq", seq}, {"text", host_->warnings[warningsTold_]}});
    if (host_->moduleVars.size() != moduleVarsTold_) {
        moduleVarsTold_ = host_->moduleVars.size();
        record({{"type", "variables"}, {"seq", seq}, {"list", variables()}});
    }
}

// Draws the gauge when what it is drawn from changed, and sends the picture
// when it differs from the last one sent (or when `force`).
void Worker::picture(int64_t seq, bool force) {
    if (!host_) return;
    const bool drew = host_->drawIfChanged(lastInputs_, picture_);
    if (!drew && !force) return;
    const bool same = picture_.width == lastW_ && picture_.height == lastH_ && picture_.px.size() == lastSent_.size() &&
                      std::memcmp(picture_.px.data(), lastSent_.data(), lastSent_.size() * 4) == 0;
    if (same && !force) return;
    lastSent_ = picture_.px;
    lastW_ = picture_.width;
    lastH_ = picture_.height;
    const std::string png = encodePng(picture_);
    record({{"type", "picture"}, {"seq", seq}, {"width", picture_.width}, {"height", picture_.height},
            {"bytes", png.size()}},
           png);
}

void Worker::failure(int64_t seq, Fault kind, const std::string& text) {
    const bool fatal = moduleFaulted();
    record({{"type", "error"}, {"seq", seq}, {"kind", faultName(kind)}, {"text", text}, {"fatal", fatal}});
    if (fatal) {
        // The module's code may have damaged the process: no more of it runs
        // here. The gauge is not stopped; the process ends after this turn.
        host_ = nullptr;
        (void)module_.release();
        ending_ = true;
        exitCode_ = exitStatus(Fault::Module);
        return;
    }
    unload();
}

void Worker::unload() {
    if (host_) {
        try {
            host_->stop();
        } catch (const std::exception&) {
            // Stopping a gauge that failed may fail too; it goes all the same.
        }
    }
    host_ = nullptr;
    module_.reset();
    lastInputs_ = DrawInputs();
    picture_ = Picture();
    lastSent_.clear();
    lastW_ = lastH_ = 0;
    moduleVarsTold_ = warningsTold_ = 0;
    frames_ = 0;
    sounds_.clear();
}

void Worker::load(const json& r, int64_t seq) {
    if (!r["path"].is_string()) throw Refused("\"path\" must be a string");
    const protocol::Values values = valuesField(r);
    const int64_t frames = integerField(r, "frames", 0, kMaxFrames);
    unload();
    module_ = std::make_unique<HostedModule>(r["path"].get<std::string>());
    if (!standIn_ && SimulatorStandIn::wanted(module_->gauge())) standIn_ = SimulatorStandIn::shared(false);
    host_ = &module_->host();
    host_->applyKeyEvents = false;
    host_->logSink = [](const std::string&) {};
    for (auto [id, v] : values) host_->setVar(id, v, nullptr);
    host_->start();
    const Gauge& g = module_->gauge();
    const Bitmap* bg = g.elements.empty() ? nullptr : module_->image().bitmap(g.elements[0].bitmap);
    record({{"type", "loaded"},
            {"seq", seq},
            {"name", g.name},
            {"version", g.version},
            {"width", bg ? bg->width : 0},
            {"height", bg ? bg->height : 0},
            {"mouse", !host_->mouseList().empty()}});
    for (int64_t i = 0; i < frames; ++i) {
        frameNow();
        if ((i & 63) == 63) heartbeat();
    }
    moduleVarsTold_ = host_->moduleVars.size();
    record({{"type", "variables"}, {"seq", seq}, {"list", variables()}});
    news(seq);
    picture(seq, true);
}

void Worker::frameNow() {
    host_->frame();
    ++frames_;
}

void Worker::tick() {
    try {
        frameNow();
        news(0);
        picture(0, false);
    } catch (const Error& e) {
        failure(0, e.fault(), e.what());
    } catch (const std::exception& e) {
        failure(0, Fault::Host, e.what());
    }
    // An unchanged frame says nothing; the count of frames goes out at
    // least once a second.
    if (!pending_.empty() || nowMs() - lastDoneMs_ >= 1000) done(0);
}

void Worker::perform(const std::string& op, const json& r, int64_t seq) {
    auto needGauge = [&] {
        if (!host_) throw Refused("no module is loaded");
    };
    if (op == "load") {
        requireFields(r, {"op", "seq", "path", "vars", "frames"});
        load(r, seq);
    } else if (op == "set") {
        requireFields(r, {"op", "seq", "vars", "frame"});
        if (!r["frame"].is_boolean()) throw Refused("\"frame\" must be true or false");
        const protocol::Values values = valuesField(r);
        needGauge();
        for (auto [id, v] : values) host_->setVar(id, v, nullptr);
        if (r["frame"].get<bool>()) {
            frameNow();
            news(seq);
            picture(seq, false);
        }
    } else if (op == "mouse") {
        requireFields(r, {"op", "seq", "event", "x", "y"});
        const int32_t x = int32_t(integerField(r, "x", INT32_MIN, INT32_MAX));
        const int32_t y = int32_t(integerField(r, "y", INT32_MIN, INT32_MAX));
        const json& ev = r["event"];
        if (ev != "click" && ev != "drag") throw Refused("\"event\" must be \"click\" or \"drag\"");
        needGauge();
        const bool hit = host_->mouse(x, y, ev == "click" ? hostapi::kMouseClick : hostapi::kMouseDragLever);
        record({{"type", "mouse"}, {"seq", seq}, {"event", ev}, {"x", x}, {"y", y}, {"hit", hit}});
        news(seq);
    } else if (op == "frames") {
        requireFields(r, {"op", "seq", "n"});
        const int64_t n = integerField(r, "n", 0, kMaxFrames);
        needGauge();
        for (int64_t i = 0; i < n; ++i) {
            frameNow();
            if ((i & 63) == 63) heartbeat();
        }
        news(seq);
        picture(seq, false);
    } else if (op == "run") {
        requireFields(r, {"op", "seq", "rate"});
        if (!r["rate"].is_number()) throw Refused("\"rate\" must be a number");
        const double rate = r["rate"].get<double>();
        if (!(rate >= 0 && rate <= 1e6)) throw Refused("\"rate\" must lie from 0 to 1000000");
        rate_ = rate;
        nextTick_ = nowMs();
    } else if (op == "unload") {
        requireFields(r, {"op", "seq"});
        unload();
    } else if (op == "quit") {
        requireFields(r, {"op", "seq"});
        ending_ = true;
    } else {
        throw Refused("unknown op \"" + op + "\"");
    }
}

void Worker::handle(const std::string& line) {
    json r;
    try {
        r = json::parse(line);
    } catch (const json::exception&) {
        record({{"type", "refused"}, {"seq", 0}, {"text", "a request that is not JSON"}});
        done(0);
        return;
    }
    int64_t seq = 0;
    if (r.is_object() && r.contains("seq") && r["seq"].is_number_unsigned() && r["seq"].get<uint64_t>() <= INT64_MAX)
        seq = r["seq"].get<int64_t>();
    try {
        if (!r.is_object() || !r.contains("op") || !r["op"].is_string()) throw Refused("a request needs \"op\"");
        if (seq < 1) throw Refused("a request needs \"seq\", a whole number from 1");
        const std::string op = r["op"];
        perform(op, r, seq);
        if (op != "load" && op != "unload" && op != "quit" && host_)
            nextTick_ = nowMs() + (rate_ > 0 ? 1000.0 / rate_ : 0);
    } catch (const Refused& e) {
        record({{"type", "refused"}, {"seq", seq}, {"text", e.what()}});
    } catch (const json::exception& e) {
        record({{"type", "refused"}, {"seq", seq}, {"text", std::string("malformed request: ") + e.what()}});
    } catch (const Error& e) {
        failure(seq, e.fault(), e.what());
    } catch (const std::exception& e) {
        failure(seq, Fault::Host, e.what());
    }
    done(seq);
}

int Worker::run(HANDLE in) {
    captureSound([this](const PlayedSound& s) {
        if (sounds_.size() < kMaxSoundsPerTurn) sounds_.push_back(s);
    });
    Inbox inbox(in);
    inbox.start();
    while (!ending_) {
        heartbeat();
        DWORD wait = 1000;
        const bool running = rate_ > 0 && host_;
        if (running) {
            const double left = nextTick_ - nowMs();
            wait = rate_ >= kMaxRate || left <= 0 ? 0 : DWORD(std::min(left, 1000.0));
        }
        bool closed = false;
        for (const std::string& line : inbox.take(wait, closed)) {
            handle(line);
            if (ending_) break;
        }
        if (closed) break;
        if (ending_ || !(rate_ > 0 && host_)) continue;
        const double now = nowMs();
        if (rate_ >= kMaxRate || now >= nextTick_) {
            const double period = rate_ >= kMaxRate ? 0 : 1000.0 / rate_;
            // A frame that comes late moves the beat rather than bunching frames.
            nextTick_ = now - nextTick_ > period ? now + period : nextTick_ + period;
            tick();
        }
    }
    captureSound(nullptr);
    if (exitCode_ == kExitOk) unload();
    standIn_.reset();   // the registry as it was
    return exitCode_;
}

// The process's standard input and output are the protocol's alone: module
// code that reads or writes them, through the handles or the C runtime's
// streams, reaches nothing.
HANDLE takeStandardHandle(DWORD which, int fd) {
    // A copy no child inherits in place of the inherited handle, which the
    // C runtime closes as its stream moves to NUL: no process the module
    // (or the platform) starts holds the pipe open.
    HANDLE own = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(which), GetCurrentProcess(), &own, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    SetStdHandle(which, nul);
    const int nulFd = _open("NUL", _O_RDWR | _O_BINARY);
    if (nulFd >= 0) {
        _dup2(nulFd, fd);
        _close(nulFd);
    }
    return own;
}

}  // namespace

int runWorker(unsigned timeout) {
    installGuards(nullptr, timeout);
    std::fflush(stdout);
    const HANDLE in = takeStandardHandle(STD_INPUT_HANDLE, 0);
    const HANDLE out = takeStandardHandle(STD_OUTPUT_HANDLE, 1);
    Worker w(out);
    return w.run(in);
}

}  // namespace gaugehost
