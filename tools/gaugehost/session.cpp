#include "session.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "hostcore/hosted_module.h"
#include "hostcore/guard.h"
#include "hostcore/records.h"
#include "hostcore/simenv.h"
#include "supervisor.h"

namespace gaugehost {

namespace {

using nlohmann::json;

constexpr size_t kMaxRequest = 1 << 20;     // bytes in one request line
constexpr size_t kMaxLogLines = 400;        // log lines in one message
constexpr double kMaxRate = 1000;           // frames per second meaning "as fast as they go"

// ---- input: requests read on a thread of their own -----------------------------------
//
// The main thread alone calls module code; it waits for requests only until
// the next frame is due.
class Inbox {
public:
    Inbox() : ready_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) { InitializeCriticalSection(&lock_); }

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
        HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        std::string partial;
        bool overlong = false;
        char buf[1 << 16];
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(in, buf, sizeof buf, &got, nullptr) || got == 0) break;
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

    HANDLE ready_;
    CRITICAL_SECTION lock_;
    std::deque<std::string> lines_;
    bool closed_ = false;
};

// ---- small helpers ---------------------------------------------------------------------

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

// JSON has no NaN or infinity: such values travel as text.
json jsonValue(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    return v;
}

double valueOf(const json& j) {
    if (j.is_number()) return j.get<double>();
    if (j.is_string()) return parseReal(j.get<std::string>(), "value");
    throw UsageError("a value is a number or \"nan\", \"inf\", \"-inf\"");
}

uint64_t bitsOf(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

std::string base64(const std::string& in) {
    static const char k[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const uint32_t v = uint32_t(uint8_t(in[i])) << 16 | uint32_t(uint8_t(in[i + 1])) << 8 | uint8_t(in[i + 2]);
        out += k[v >> 18];
        out += k[v >> 12 & 63];
        out += k[v >> 6 & 63];
        out += k[v & 63];
    }
    if (i < in.size()) {
        uint32_t v = uint32_t(uint8_t(in[i])) << 16;
        if (i + 1 < in.size()) v |= uint32_t(uint8_t(in[i + 1])) << 8;
        out += k[v >> 18];
        out += k[v >> 12 & 63];
        out += i + 1 < in.size() ? k[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

int64_t integerField(const json& r, const char* name, int64_t lo, int64_t hi) {
    auto it = r.find(name);
    if (it == r.end() || !it->is_number_integer())
        throw UsageError(std::string("\"") + name + "\" must be a whole number");
    const int64_t v = it->get<int64_t>();
    if (v < lo || v > hi)
        throw UsageError(std::string("\"") + name + "\" must lie from " + std::to_string(lo) + " to " + std::to_string(hi));
    return v;
}

// ---- the session -----------------------------------------------------------------------

class Session {
public:
    explicit Session(const Options& o) : o_(o) {}
    int run();

private:
    void handle(const std::string& line);
    void load(const json& r, json& msg);
    void unload();
    void setVars(const std::vector<std::pair<uint32_t, double>>& sets);
    void frameNow();
    void tick();
    json variables() const;
    void addNews(json& msg);
    bool addPicture(json& msg, bool force);
    void send(const json& msg);
    void failure(json& msg, const std::string& what, int code);

    Options o_;
    std::shared_ptr<SimulatorStandIn> standIn_;   // kept from one module to the next
    std::unique_ptr<HostedModule> module_;
    GaugeHost* host_ = nullptr;

    std::vector<std::string> log_;           // lines of the running action
    bool keepLog_ = false;
    std::vector<PlayedSound> sounds_;
    std::map<uint32_t, uint64_t> reportedVars_;   // value bits last told
    size_t moduleVarsTold_ = 0, warningsTold_ = 0;
    DrawInputs lastInputs_;                  // what the last picture was drawn from
    Picture picture_;                        // the last picture drawn
    std::vector<uint32_t> lastSent_;
    int lastW_ = 0, lastH_ = 0;
    uint64_t frames_ = 0;
    double rate_ = 0, nextTick_ = 0, lastSentMs_ = 0;
    bool ending_ = false, outputGone_ = false;
    int exitCode_ = kExitOk;
};

void Session::send(const json& msg) {
    if (outputGone_) return;
    lastSentMs_ = nowMs();
    std::string out = msg.dump(-1, ' ', false, json::error_handler_t::replace);
    out += '\n';
    if (msg.contains("picture"))
        out.append(reinterpret_cast<const char*>(picture_.px.data()), picture_.px.size() * 4);
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    size_t done = 0;
    while (done < out.size()) {
        DWORD wrote = 0;
        const DWORD chunk = DWORD(std::min<size_t>(out.size() - done, 1 << 20));
        if (!WriteFile(h, out.data() + done, chunk, &wrote, nullptr) || wrote == 0) {
            // Nobody reads any more: end as if the input had ended.
            outputGone_ = true;
            ending_ = true;
            return;
        }
        done += wrote;
    }
}

json Session::variables() const {
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
    for (const auto& [id, u] : vars) {
        json j = {{"id", id}, {"uses", u.uses}, {"value", jsonValue(host_->sim.var(id))}};
        if (u.ranged) {
            j["min"] = u.lo;
            j["max"] = u.hi;
            j["step"] = u.step;
        }
        out.push_back(std::move(j));
    }
    return out;
}

// What happened since the last message: key events with their effect,
// variables the simulation changed, sounds, new module variables, warnings.
void Session::addNews(json& msg) {
    if (!log_.empty()) {
        msg["log"] = log_;
        log_.clear();
    }
    if (!host_) return;
    if (!host_->keys.empty()) {
        json keys = json::array();
        for (const KeyEvent& k : host_->keys) keys.push_back({{"id", k.id}, {"param", k.param}, {"effect", k.effect}});
        msg["keys"] = std::move(keys);
        host_->keys.clear();
    }
    json changed = json::object();
    for (const auto& [id, v] : host_->sim.vars()) {
        auto it = reportedVars_.find(id);
        if (it != reportedVars_.end() && it->second == bitsOf(v)) continue;
        reportedVars_[id] = bitsOf(v);
        changed[std::to_string(id)] = jsonValue(v);
    }
    if (!changed.empty()) msg["vars"] = std::move(changed);
    if (!sounds_.empty()) {
        json sounds = json::array();
        for (const PlayedSound& s : sounds_)
            sounds.push_back({{"format", s.formatTag}, {"channels", s.channels}, {"rate", s.samplesPerSecond},
                              {"bits", s.bitsPerSample}, {"bytes", s.bufferBytes}, {"data", base64(s.bytes)}});
        msg["sounds"] = std::move(sounds);
        sounds_.clear();
    }
    if (host_->moduleVars.size() != moduleVarsTold_) {
        moduleVarsTold_ = host_->moduleVars.size();
        msg["variables"] = variables();
    }
    if (host_->warnings.size() > warningsTold_) {
        msg["warnings"] = std::vector<std::string>(host_->warnings.begin() + warningsTold_, host_->warnings.end());
        warningsTold_ = host_->warnings.size();
    }
    msg["frames"] = frames_;
}

// Draws the gauge when what it is drawn from changed; the message carries
// the picture when it differs from the last one sent (or when `force`).
bool Session::addPicture(json& msg, bool force) {
    if (!host_) return false;
    const bool drew = host_->drawIfChanged(lastInputs_, picture_);
    if (!drew && !force) return false;
    const bool same = picture_.width == lastW_ && picture_.height == lastH_ && picture_.px.size() == lastSent_.size() &&
                      std::memcmp(picture_.px.data(), lastSent_.data(), lastSent_.size() * 4) == 0;
    if (same && !force) return false;
    lastSent_ = picture_.px;
    lastW_ = picture_.width;
    lastH_ = picture_.height;
    msg["picture"] = {{"width", picture_.width}, {"height", picture_.height}, {"bytes", picture_.px.size() * 4}};
    return true;
}

void Session::failure(json& msg, const std::string& what, int code) {
    msg["ok"] = false;
    msg["error"] = what;
    msg["code"] = code;
    msg.erase("picture");
    if (moduleFaulted()) {
        // The module's code may have damaged the process: no more of it runs
        // here. The gauge is not stopped; the process ends after this message.
        msg["fatal"] = true;
        host_ = nullptr;
        (void)module_.release();
        ending_ = true;
        exitCode_ = kExitModule;
        return;
    }
    unload();
}

void Session::unload() {
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
    reportedVars_.clear();
    moduleVarsTold_ = warningsTold_ = 0;
    frames_ = 0;
}

std::vector<std::pair<uint32_t, double>> parseVars(const json& list) {
    if (!list.is_array()) throw UsageError("\"vars\" must be a list of [ID, VALUE] pairs");
    std::vector<std::pair<uint32_t, double>> sets;
    for (const json& p : list) {
        if (!p.is_array() || p.size() != 2 || !p[0].is_number_integer())
            throw UsageError("\"vars\" must be a list of [ID, VALUE] pairs");
        const int64_t id = p[0].get<int64_t>();
        if (id < 0 || id > 0xFFFFFFFFll) throw UsageError("variable id " + std::to_string(id) + " out of range");
        sets.emplace_back(uint32_t(id), valueOf(p[1]));
    }
    return sets;
}

void Session::setVars(const std::vector<std::pair<uint32_t, double>>& sets) {
    for (auto [id, v] : sets) {
        if (host_) host_->setVar(id, v, "set");
        reportedVars_[id] = bitsOf(v);   // the caller knows
    }
}

void Session::load(const json& r, json& msg) {
    auto path = r.find("path");
    if (path == r.end() || !path->is_string()) throw UsageError("load wants \"path\"");
    const auto sets = r.contains("vars") ? parseVars(r["vars"]) : std::vector<std::pair<uint32_t, double>>();
    unload();
    module_ = std::make_unique<HostedModule>(path->get<std::string>());
    if (!standIn_ && SimulatorStandIn::wanted(module_->gauge())) standIn_ = SimulatorStandIn::shared(false);
    host_ = &module_->host();
    host_->logSink = [this](const std::string& s) {
        if (keepLog_ && log_.size() < kMaxLogLines) log_.push_back(s);
    };
    setVars(sets);
    host_->start();
    const Gauge& g = module_->gauge();
    const Bitmap* bg = g.elements.empty() ? nullptr : module_->image().bitmap(g.elements[0].bitmap);
    msg["gauge"] = {{"name", g.name},
                    {"version", g.version},
                    {"width", bg ? bg->width : 0},
                    {"height", bg ? bg->height : 0},
                    {"mouse", !host_->mouseList().empty()}};
}

void Session::frameNow() {
    host_->frame();
    ++frames_;
}

void Session::tick() {
    json msg = json::object();
    try {
        frameNow();
        addNews(msg);
        addPicture(msg, false);
    } catch (const UsageError& e) {
        failure(msg, e.what(), kExitModule);
    } catch (const InputError& e) {
        failure(msg, e.what(), kExitInput);
    } catch (const std::exception& e) {
        failure(msg, e.what(), kExitModule);
    }
    // An unchanged frame says nothing, unless the module said something;
    // the count of frames goes out at least once a second.
    if (msg.size() > 1 || msg.contains("error") || nowMs() - lastSentMs_ >= 1000) send(msg);
}

void Session::handle(const std::string& line) {
    json msg = json::object();
    json r;
    try {
        r = json::parse(line);
    } catch (const std::exception&) {
        msg["reply"] = nullptr;
        msg["ok"] = false;
        msg["error"] = "request is not JSON";
        send(msg);
        return;
    }
    msg["reply"] = r.is_object() && r.contains("seq") ? r["seq"] : json(nullptr);
    msg["ok"] = true;
    keepLog_ = true;
    try {
        if (!r.is_object() || !r.contains("op") || !r["op"].is_string()) throw UsageError("a request needs \"op\"");
        const std::string op = r["op"];
        auto needGauge = [&] {
            if (!host_) throw UsageError("no module is loaded");
        };
        if (op == "load") {
            const int64_t frames = r.contains("frames") ? integerField(r, "frames", 0, kMaxFrames) : 1;
            load(r, msg);
            for (int64_t i = 0; i < frames; ++i) {
                frameNow();
                if ((i & 63) == 63) heartbeat();
            }
            moduleVarsTold_ = size_t(-1);   // the variables go with the reply
            addNews(msg);
            addPicture(msg, true);
        } else if (op == "set") {
            needGauge();
            setVars(parseVars(r.value("vars", json())));
            // A gauge that does not read the variables only keeps them.
            if (r.value("frame", true)) {
                frameNow();
                addNews(msg);
                addPicture(msg, false);
            }
        } else if (op == "mouse") {
            needGauge();
            const int32_t x = int32_t(integerField(r, "x", -0x80000000ll, 0x7FFFFFFF));
            const int32_t y = int32_t(integerField(r, "y", -0x80000000ll, 0x7FFFFFFF));
            const std::string ev = r.value("event", "");
            if (ev != "click" && ev != "drag") throw UsageError("\"event\" must be \"click\" or \"drag\"");
            msg["hit"] = host_->mouse(x, y, ev == "click" ? hostapi::kMouseClick : hostapi::kMouseDragLever);
            frameNow();
            addNews(msg);
            addPicture(msg, false);
        } else if (op == "frames") {
            needGauge();
            const int64_t n = integerField(r, "n", 0, kMaxFrames);
            for (int64_t i = 0; i < n; ++i) {
                frameNow();
                if ((i & 63) == 63) heartbeat();
            }
            addNews(msg);
            addPicture(msg, false);
        } else if (op == "picture") {
            needGauge();
            addNews(msg);
            addPicture(msg, true);
        } else if (op == "run") {
            if (!r.contains("rate") || !r["rate"].is_number()) throw UsageError("run wants \"rate\"");
            const double rate = r["rate"].get<double>();
            if (!(rate >= 0 && rate <= 1e6)) throw UsageError("\"rate\" must lie from 0 to 1000000");
            rate_ = rate;
            nextTick_ = nowMs();
        } else if (op == "unload") {
            unload();
        } else if (op == "quit") {
            ending_ = true;
        } else {
            throw UsageError("unknown op \"" + op + "\"");
        }
        if (op != "load" && op != "unload" && op != "quit" && host_) nextTick_ = nowMs() + (rate_ > 0 ? 1000.0 / rate_ : 0);
    } catch (const UsageError& e) {
        // The request itself is wrong: the gauge carries on.
        msg["ok"] = false;
        msg["error"] = e.what();
        msg.erase("picture");
    } catch (const json::exception& e) {
        msg["ok"] = false;
        msg["error"] = std::string("malformed request: ") + e.what();
        msg.erase("picture");
    } catch (const InputError& e) {
        failure(msg, e.what(), kExitInput);
    } catch (const Error& e) {
        failure(msg, e.what(), exitStatus(e.fault()));
    } catch (const std::exception& e) {
        failure(msg, e.what(), kExitModule);
    }
    keepLog_ = false;
    send(msg);
}

int Session::run() {
    captureSound([this](const PlayedSound& s) {
        if (sounds_.size() < 16) sounds_.push_back(s);
    });
    Inbox inbox;
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

}  // namespace

int runSession(const Options& o) {
    installGuards(nullptr, o.timeout);
    Session s(o);
    return s.run();
}

}  // namespace gaugehost
