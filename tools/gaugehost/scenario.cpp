#include "scenario.h"

#include <cmath>
#include <cstdio>
#include <memory>

#include "hostcore/files.h"
#include "hostcore/text.h"
#include "hostcore/hosted_module.h"
#include "numbers.h"
#include "supervisor.h"

namespace gaugehost {

namespace {

std::string dbl(double v) {
    if (std::isnan(v)) return "NaN";
    char b[64];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
}

// Whether a variable's value meets an expected one: NaN meets NaN, anything
// else within a relative 1e-9.
bool meets(double got, double want) {
    if (std::isnan(want) || std::isnan(got)) return std::isnan(want) && std::isnan(got);
    if (std::isinf(want) || std::isinf(got)) return got == want;
    return std::fabs(got - want) <= 1e-9 * std::max(1.0, std::fabs(want));
}

// One line of a scenario, split into words, with checked fields.
struct Line {
    const std::string& file;
    int number;
    std::vector<std::string> w;
    std::string body;   // the line up to its comment, without trailing spaces
    const char* form = "";

    // Splits `text` at spaces and tabs. Double quotes group characters
    // (spaces and # too) into a word and are not part of it, so that a path
    // may hold spaces; outside quotes, # starts a comment.
    Line(const std::string& f, int n, const std::string& text) : file(f), number(n) {
        bool quoted = false, inWord = false;
        std::string word;
        size_t i = 0;
        for (; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '"') {
                quoted = !quoted;
                inWord = true;
            } else if (!quoted && c == '#') {
                break;
            } else if (!quoted && std::isspace(static_cast<unsigned char>(c))) {
                if (inWord) w.push_back(word);
                word.clear();
                inWord = false;
            } else {
                word += c;
                inWord = true;
            }
        }
        if (quoted) bad("a quote is not closed");
        if (inWord) w.push_back(word);
        body = text.substr(0, i);
        while (!body.empty() && std::isspace(static_cast<unsigned char>(body.back()))) body.pop_back();
    }

    [[noreturn]] void bad(const std::string& why) const {
        throw InputError(file + ":" + std::to_string(number) + ": " + why);
    }
    void want(size_t words, const char* f) {
        form = f;
        if (w.size() != words) bad(std::string("expected '") + f + "'");
    }
    std::string what(const char* field) const { return std::string(form) + ": " + field; }
    // A whole number (ids, counts), an integer (coordinates, key event
    // parameters) or a value, as numbers.h reads them.
    int64_t whole(size_t i, const char* field, int64_t lo, int64_t hi) const {
        if (const std::optional<int64_t> v = readWhole(w[i], lo, hi)) return *v;
        bad(notWhole(what(field), w[i], lo, hi));
    }
    int64_t integer(size_t i, const char* field, int64_t lo, int64_t hi) const {
        if (const std::optional<int64_t> v = readInteger(w[i], lo, hi)) return *v;
        bad(notWhole(what(field), w[i], lo, hi));
    }
    double real(size_t i, const char* field) const {
        if (const std::optional<double> v = readValue(w[i])) return *v;
        bad(notNumber(what(field), w[i]));
    }
};

// A path a scenario names: a relative one is taken from the scenario file's
// folder, so that a scenario works from wherever it is run.
std::string fromScenario(const std::string& scenario, const std::string& path) {
    const bool rooted = path[0] == '/' || path[0] == '\\' || (path.size() > 1 && path[1] == ':');
    const size_t slash = scenario.find_last_of("/\\");
    if (rooted || slash == std::string::npos) return path;
    return scenario.substr(0, slash + 1) + path;
}

constexpr int64_t kU32 = 0xFFFFFFFFll, kI32Min = -0x80000000ll, kI32Max = 0x7FFFFFFFll;

}  // namespace

int runScenario(const Options& o, HostedModule& hm) {
    const std::string text = readTextFile(o.scenario, "scenario");
    const Gauge& g = hm.gauge();
    std::printf("gaugehost: %s (%s, version %u)\n", g.path.c_str(), g.name.c_str(), g.version);
    GaugeHost& h = hm.host();
    std::printf("start\n");
    h.start();
    int lineNo = 0;
    size_t seenKeys = 0;   // key events not yet expected (from the start action on)
    std::unique_ptr<Picture> cached;
    auto picture = [&]() -> const Picture& {
        if (!cached) cached = std::make_unique<Picture>(h.draw());
        return *cached;
    };
    auto fail = [&](const std::string& why) {
        markReported();
        std::printf("FAILED at %s:%d: %s\n", o.scenario.c_str(), lineNo, why.c_str());
        std::fprintf(stderr, "gaugehost: %s:%d: expectation failed: %s\n", o.scenario.c_str(), lineNo, why.c_str());
        return int(kExitExpectation);
    };
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string raw = text.substr(at, end - at);
        at = end + 1;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        ++lineNo;
        heartbeat();
        Line l(o.scenario, lineNo, raw);
        if (l.w.empty()) continue;
        std::printf("%3d %s\n", lineNo, l.body.c_str());
        const std::string& c = l.w[0];
        if (c == "set") {
            l.want(3, "set VAR VALUE");
            h.setVar(uint32_t(l.whole(1, "VAR", 0, kU32)), l.real(2, "VALUE"), "set");
        } else if (c == "frame") {
            l.form = "frame [N]";
            if (l.w.size() > 2) l.bad("expected 'frame [N]'");
            const int64_t n = l.w.size() == 2 ? l.whole(1, "N", 0, kMaxFrames) : 1;
            seenKeys = h.keys.size();
            for (int64_t i = 0; i < n; ++i) h.frame();
            cached.reset();
        } else if (c == "click" || c == "drag") {
            l.want(3, c == "click" ? "click X Y" : "drag X Y");
            const int32_t x = int32_t(l.integer(1, "X", kI32Min, kI32Max));
            const int32_t y = int32_t(l.integer(2, "Y", kI32Min, kI32Max));
            seenKeys = h.keys.size();
            h.mouse(x, y, c == "click" ? hostapi::kMouseClick : hostapi::kMouseDragLever);
            cached.reset();
        } else if (c == "render") {
            l.want(2, "render FILE.png");
            if (l.w[1].empty()) l.bad("render FILE.png: the file name is empty");
            const std::string path = fromScenario(o.scenario, l.w[1]);
            writePng(picture(), path);
            std::printf("    wrote %s\n", path.c_str());
        } else if (c == "expect") {
            const std::string k = l.w.size() >= 2 ? l.w[1] : "";
            if (k == "key") {
                l.want(4, "expect key ID PARAM");
                const uint32_t id = uint32_t(l.whole(2, "ID", 0, kU32));
                const int32_t p = int32_t(l.integer(3, "PARAM", kI32Min, kI32Max));
                if (seenKeys >= h.keys.size())
                    return fail("expected key event " + std::to_string(id) + " " + std::to_string(p) + ", none was sent");
                const KeyEvent got = h.keys[seenKeys++];
                if (got.id != id || got.param != p)
                    return fail("expected key event " + std::to_string(id) + " " + std::to_string(p) + ", got " +
                                std::to_string(got.id) + " " + std::to_string(got.param));
            } else if (k == "no-key") {
                l.want(2, "expect no-key");
                if (seenKeys < h.keys.size())
                    return fail("expected no further key event, got " + std::to_string(h.keys[seenKeys].id) + " " +
                                std::to_string(h.keys[seenKeys].param));
            } else if (k == "var") {
                l.want(4, "expect var ID VALUE");
                const uint32_t id = uint32_t(l.whole(2, "ID", 0, kU32));
                const double want = l.real(3, "VALUE"), got = h.sim.var(id);
                if (!meets(got, want))
                    return fail("expected var " + std::to_string(id) + " = " + dbl(want) + ", it is " + dbl(got));
            } else if (k == "selector") {
                l.want(3, "expect selector N");
                const int want = int(l.whole(2, "N", 0, 5));
                if (h.sim.brakeSelector() != want)
                    return fail("expected brake selector " + std::to_string(want) + ", it is " +
                                std::to_string(h.sim.brakeSelector()));
            } else if (k == "pixel") {
                l.want(7, "expect pixel X Y R G B");
                const int64_t x = l.whole(2, "X", 0, kI32Max), y = l.whole(3, "Y", 0, kI32Max);
                const int64_t r = l.whole(4, "R", 0, 255), gg = l.whole(5, "G", 0, 255), b = l.whole(6, "B", 0, 255);
                const Picture& pic = picture();
                if (x >= pic.width || y >= pic.height)
                    return fail("pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") lies outside the " +
                                std::to_string(pic.width) + " x " + std::to_string(pic.height) + " picture");
                const uint32_t p = pic.at(int(x), int(y));
                const int pr = int(p >> 16 & 0xFF), pg = int(p >> 8 & 0xFF), pb = int(p & 0xFF);
                if (pr != r || pg != gg || pb != b)
                    return fail("pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") is (" + std::to_string(pr) +
                                ", " + std::to_string(pg) + ", " + std::to_string(pb) + "), expected (" +
                                std::to_string(r) + ", " + std::to_string(gg) + ", " + std::to_string(b) + ")");
            } else {
                l.bad("expected 'expect key|no-key|var|selector|pixel ...'");
            }
            std::printf("    ok\n");
        } else {
            l.bad("unknown action '" + c + "'");
        }
    }
    std::printf("stop\n");
    h.stop();
    for (const std::string& w : h.warnings) std::fprintf(stderr, "gaugehost: warning: %s\n", w.c_str());
    std::printf("scenario passed (%d lines)\n", lineNo);
    return kExitOk;
}

}  // namespace gaugehost
