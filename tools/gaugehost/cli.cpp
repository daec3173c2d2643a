#include "cli.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <shellapi.h>

#include "hostcore/module_image.h"

namespace gaugehost {

const char* usageText() {
    return "usage: gaugehost inspect MODULE.gau [--json] [--no-run]\n"
           "       gaugehost render MODULE.gau [--set VAR=VALUE ...] [--frames N] [--scale K] [--log] -o OUT.png\n"
           "       gaugehost run MODULE.gau SCENARIO [--scale K]\n"
           "       gaugehost check MODULE.gau... [--level 1..5] [--only CHECK,...] [--seed N] [--json] [--junit FILE.xml]\n"
           "       gaugehost batch LIST   (one command line of the above per line)\n"
           "       gaugehost session      (the worker behind serve: docs/worker-protocol.md)\n"
           "       gaugehost serve [MODULE.gau ... | --panel PANEL.cfg] [--gauges DIR] [--port N] [--host H]\n"
           "       gaugehost render --panel PANEL.cfg [--gauges DIR] [--set VAR=VALUE ...] [--frames N] -o OUT.png\n"
           "options: --timeout S  seconds any one call into the module may take (default 10)\n";
}

int64_t parseInteger(const std::string& s, int64_t lo, int64_t hi, const std::string& what) {
    auto bad = [&]() -> int64_t {
        throw UsageError(what + ": '" + s + "' is not a whole number from " + std::to_string(lo) + " to " +
                         std::to_string(hi));
    };
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    int base = 10;
    if (s.size() > i + 1 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }   // a leading zero is still decimal: "010" is ten, never eight
    if (i >= s.size()) bad();
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return bad();
        v = v * base + uint64_t(d);
        if (v > (uint64_t(1) << 40)) bad();
    }
    const int64_t r = negative ? -int64_t(v) : int64_t(v);
    if (r < lo || r > hi) bad();
    return r;
}

double parseReal(const std::string& s, const std::string& what) {
    if (s == "nan" || s == "NaN" || s == "NAN") return std::nan("");
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end || std::isspace(static_cast<unsigned char>(s[0])))
        throw UsageError(what + ": '" + s + "' is not a number");
    return v;
}

Options parseOptions(const std::vector<std::string>& args) {
    Options o;
    std::vector<std::string> pos;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            return args[++i];
        };
        if (a == "--json") o.json = true;
        else if (a == "--no-run") o.run = false;
        else if (a == "--log") o.log = true;
        else if (a == "-o") o.out = next();
        else if (a == "--frames") o.frames = int(parseInteger(next(), 0, kMaxFrames, "--frames"));
        else if (a == "--scale") o.scale = int(parseInteger(next(), 1, 8, "--scale"));
        else if (a == "--worker") o.worker = next();
        else if (a == "--from") o.from = int(parseInteger(next(), 0, 1 << 30, "--from"));
        else if (a == "--timeout") o.timeout = unsigned(parseInteger(next(), 1, 3600, "--timeout"));
        else if (a == "--level") o.level = int(parseInteger(next(), 1, 5, "--level"));
        else if (a == "--seed") o.seed = uint32_t(parseInteger(next(), 0, 0xFFFFFFFFll, "--seed"));
        else if (a == "--junit") o.junit = next();
        else if (a == "--only") {
            const std::string names = next();
            for (size_t p = 0; p <= names.size();) {
                const size_t comma = std::min(names.find(',', p), names.size());
                if (comma == p) throw UsageError("--only wants CHECK[,CHECK...], not '" + names + "'");
                o.only.push_back(names.substr(p, comma - p));
                p = comma + 1;
            }
        }
        else if (a == "--set") {
            const std::string s = next();
            const size_t eq = s.find('=');
            if (eq == std::string::npos) throw UsageError("--set wants VAR=VALUE, not '" + s + "'");
            o.sets.emplace_back(uint32_t(parseInteger(s.substr(0, eq), 0, 0xFFFFFFFFll, "--set variable id")),
                                parseReal(s.substr(eq + 1), "--set value"));
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError("unknown option " + a);
        } else {
            pos.push_back(a);
        }
    }
    if (pos.empty()) throw UsageError("");
    o.command = pos[0];
    if (o.command == "batch") {
        if (pos.size() != 2) throw UsageError("batch wants one LIST file");
        o.list = pos[1];
        return o;
    }
    if (o.command == "session") {
        if (pos.size() != 1) throw UsageError("session takes its modules from its input, not the command line");
        return o;
    }
    if (o.command != "inspect" && o.command != "render" && o.command != "run" && o.command != "check")
        throw UsageError("unknown command " + o.command);
    if (pos.size() < 2) throw UsageError("name a module");
    o.module = pos[1];
    if (o.command == "check") {
        o.modules.assign(pos.begin() + 1, pos.end());
        return o;
    }
    if (o.command == "run") {
        if (pos.size() != 3) throw UsageError("run wants MODULE and SCENARIO");
        o.scenario = pos[2];
    } else if (pos.size() != 2) {
        throw UsageError("too many arguments");
    }
    if (o.command == "render" && o.out.empty()) throw UsageError("render needs -o OUT.png");
    return o;
}

std::vector<std::string> commandLineArguments() {
    int n = 0;
    LPWSTR* w = CommandLineToArgvW(GetCommandLineW(), &n);
    std::vector<std::string> out;
    for (int i = 1; i < n; ++i) out.push_back(narrow(w[i]));
    LocalFree(w);
    return out;
}

std::vector<std::string> splitCommandLine(const std::string& line) {
    std::vector<std::string> out;
    if (line.find_first_not_of(" \t") == std::string::npos) return out;
    int n = 0;
    const std::wstring whole = L"gaugehost " + widen(line);
    LPWSTR* w = CommandLineToArgvW(whole.c_str(), &n);
    for (int i = 1; i < n; ++i) out.push_back(narrow(w[i]));
    LocalFree(w);
    return out;
}

}  // namespace gaugehost
