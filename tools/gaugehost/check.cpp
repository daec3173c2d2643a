#include "check.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "checks.h"
#include "hostcore/guard.h"
#include "hostcore/module_image.h"
#include "hostcore/files.h"
#include "supervisor.h"

namespace gaugehost {

using nlohmann::json;

namespace {

const char kResultMark[] = "@@check ";
const char kFindingMark[] = "@@check-finding ";
const char kJobMark[] = "@@gaugehost job ";

double seconds() {
    LARGE_INTEGER c, f;
    QueryPerformanceCounter(&c);
    QueryPerformanceFrequency(&f);
    return double(c.QuadPart) / double(f.QuadPart);
}

struct Result {
    std::string module, name, status;
    int level = 0;
    double seconds = 0;
    std::vector<std::string> failures, warnings, notes;

    // The line's reason: the first failure, else the first warning.
    std::string reason() const {
        const std::vector<std::string>& v = failures.empty() ? warnings : failures;
        if (v.empty()) return "";
        return v[0] + (v.size() > 1 ? " (and " + std::to_string(v.size() - 1) + " more)" : "");
    }
};

json toJson(const Result& r) {
    return {{"name", r.name},         {"level", r.level},       {"status", r.status},
            {"seconds", r.seconds},   {"reason", r.reason()},   {"failures", r.failures},
            {"warnings", r.warnings}, {"notes", r.notes}};
}

Result fromJson(const json& j) {
    Result r;
    r.name = j.value("name", "");
    r.level = j.value("level", 0);
    r.status = j.value("status", "FAIL");
    r.seconds = j.value("seconds", 0.0);
    r.failures = j.value("failures", std::vector<std::string>{});
    r.warnings = j.value("warnings", std::vector<std::string>{});
    r.notes = j.value("notes", std::vector<std::string>{});
    return r;
}

std::string textLine(const Result& r) {
    char head[96];
    std::snprintf(head, sizeof head, "%-4s  %-14s %7.2f s", r.status.c_str(), r.name.c_str(), r.seconds);
    std::string s = head;
    const std::string why = r.reason();
    if (!why.empty()) s += "  " + why;
    s += "\n";
    for (const std::string& n : r.notes) s += "        " + n + "\n";
    return s;
}

struct Counts {
    int passed = 0, failed = 0, warnings = 0;
    void add(const Result& r) {
        if (r.status == "ok") ++passed;
        else if (r.status == "warn") ++warnings;
        else ++failed;
    }
    std::string text() const {
        return std::to_string(passed) + " passed, " + std::to_string(failed) + " failed, " + std::to_string(warnings) +
               " warnings";
    }
};

// Text for XML: the five special characters escaped, control characters
// and bytes that are not UTF-8 replaced.
std::string xml(const std::string& s) {
    std::string o;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        for (int k = 1; k < len; ++k)
            if (i + size_t(k) >= s.size() || (static_cast<unsigned char>(s[i + k]) >> 6) != 2) len = 0;
        if (len == 0) {
            o += '?';
            ++i;
            continue;
        }
        if (len > 1) {
            o.append(s, i, size_t(len));
            i += size_t(len);
            continue;
        }
        switch (c) {
            case '&': o += "&amp;"; break;
            case '<': o += "&lt;"; break;
            case '>': o += "&gt;"; break;
            case '"': o += "&quot;"; break;
            case '\'': o += "&apos;"; break;
            default: o += (c < 0x20 && c != '\t' && c != '\n' && c != '\r') ? '?' : char(c);
        }
        ++i;
    }
    return o;
}

std::string junit(const std::vector<std::string>& modules, const std::vector<Result>& results, double total) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    Counts all;
    for (const Result& r : results) all.add(r);
    char t[32];
    std::snprintf(t, sizeof t, "%.3f", total);
    out += "<testsuites name=\"gaugehost check\" tests=\"" + std::to_string(results.size()) + "\" failures=\"" +
           std::to_string(all.failed) + "\" time=\"" + t + "\">\n";
    for (const std::string& m : modules) {
        Counts c;
        double time = 0;
        for (const Result& r : results)
            if (r.module == m) c.add(r), time += r.seconds;
        std::snprintf(t, sizeof t, "%.3f", time);
        out += "  <testsuite name=\"" + xml(m) + "\" tests=\"" + std::to_string(c.passed + c.failed + c.warnings) +
               "\" failures=\"" + std::to_string(c.failed) + "\" errors=\"0\" skipped=\"0\" time=\"" + t + "\">\n";
        for (const Result& r : results) {
            if (r.module != m) continue;
            std::snprintf(t, sizeof t, "%.3f", r.seconds);
            out += "    <testcase classname=\"gaugehost.check\" name=\"" + xml(r.name) + "\" time=\"" + t + "\">\n";
            if (!r.failures.empty()) {
                std::string all;
                for (const std::string& f : r.failures) all += f + "\n";
                out += "      <failure message=\"" + xml(r.reason()) + "\">" + xml(all) + "</failure>\n";
            }
            std::string text;
            for (const std::string& w : r.warnings) text += "warning: " + w + "\n";
            for (const std::string& n : r.notes) text += n + "\n";
            if (!text.empty()) out += "      <system-out>" + xml(text) + "</system-out>\n";
            out += "    </testcase>\n";
        }
        out += "  </testsuite>\n";
    }
    return out + "</testsuites>\n";
}

// A module path as one argument of a batch line (Windows file names hold
// no quotes).
std::string quoted(const std::string& s) { return "\"" + s + "\""; }

struct TempFile {
    std::wstring path;
    HANDLE write = INVALID_HANDLE_VALUE;
    TempFile(const std::wstring& folder, const wchar_t* tag) {
        path = folder + L"gaugehost-check-" + std::to_wstring(GetCurrentProcessId()) + L"-" + tag + L".txt";
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        write = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (write == INVALID_HANDLE_VALUE)
            throw HostFault("cannot create a temporary file for the worker's output: " + windowsError(GetLastError()));
    }
    ~TempFile() {
        if (write != INVALID_HANDLE_VALUE) CloseHandle(write);
        DeleteFileW(path.c_str());
    }
    // Everything written so far.
    std::string read() const {
        std::string s;
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return s;
        char buf[65536];
        DWORD got = 0;
        while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got) s.append(buf, got);
        CloseHandle(h);
        return s;
    }
};

// Follows the batch's output: each job's result line and end marker, in
// the order the jobs run; a job that ended without a result (its worker
// died: a fault outside a guarded call, a hang) is a failure with the
// message the worker or the supervisor left on the error stream.
class Follower {
public:
    Follower(const TempFile& out, const TempFile& err, std::vector<Result>& results, std::function<void(size_t)> ended)
        : out_(out), err_(err), results_(results), partial_(results.size()), began_(results.size(), 0.0),
          have_(results.size(), false), ended_(std::move(ended)) {}

    void poll() {
        const std::string text = out_.read();
        while (true) {
            const size_t eol = text.find('\n', parsed_);
            if (eol == std::string::npos) break;
            std::string line = text.substr(parsed_, eol - parsed_);
            parsed_ = eol + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            take(line);
        }
    }
    size_t done() const { return next_; }

private:
    void take(const std::string& line) {
        const size_t mark = line.find(kJobMark);
        if (mark != std::string::npos) {
            const std::string rest = line.substr(mark + sizeof kJobMark - 1);
            const size_t space = rest.find(' ');
            const long n = std::strtol(rest.c_str(), nullptr, 10) - 1;
            if (n < 0 || size_t(n) >= results_.size() || space == std::string::npos) return;
            if (rest.compare(space + 1, 6, "begin:") == 0) {
                current_ = n;
                began_[size_t(n)] = seconds();
            } else if (rest.compare(space + 1, 10, "end: exit ") == 0) {
                finish(size_t(n), int(std::strtol(rest.c_str() + space + 11, nullptr, 10)));
                current_ = -1;
            }
            return;
        }
        const size_t f = line.find(kFindingMark);
        if (f != std::string::npos && current_ >= 0) {
            try {
                const json j = json::parse(line.substr(f + sizeof kFindingMark - 1));
                Result& p = partial_[size_t(current_)];
                for (const auto& [kind, text] : j.items()) {
                    if (!text.is_string()) continue;
                    (kind == "fail" ? p.failures : kind == "warn" ? p.warnings : p.notes).push_back(text.get<std::string>());
                }
            } catch (const json::exception&) {
            }
            return;
        }
        const size_t r = line.find(kResultMark);
        if (r == std::string::npos || current_ < 0) return;
        try {
            Result got = fromJson(json::parse(line.substr(r + sizeof kResultMark - 1)));
            Result& slot = results_[size_t(current_)];
            got.module = slot.module;
            got.level = slot.level;
            if (got.name == slot.name) slot = got, have_[size_t(current_)] = true;
        } catch (const json::exception&) {
        }
    }

    void finish(size_t n, int code) {
        Result& r = results_[n];
        if (!have_[n]) {
            // What the check found before, then why it ended.
            const Result& p = partial_[n];
            r.status = "FAIL";
            r.seconds = began_[n] > 0 ? seconds() - began_[n] : 0;
            r.failures = p.failures;
            r.failures.push_back(diedBecause(n, code));
            r.warnings = p.warnings;
            r.notes = p.notes;
            r.notes.push_back("the worker running this check ended (exit " + std::to_string(code) +
                              "); a fresh worker runs the next check");
        }
        while (next_ <= n) ended_(next_++);
    }

    // The last error line of job n on the error stream.
    std::string diedBecause(size_t n, int code) const {
        const std::string text = err_.read();
        const std::string begin = kJobMark + std::to_string(n + 1) + " begin:";
        const std::string end = kJobMark + std::to_string(n + 1) + " end:";
        size_t from = text.find(begin), to = text.find(end);
        if (from == std::string::npos) from = 0;
        if (to == std::string::npos || to < from) to = text.size();
        std::string why;
        for (size_t p = from; p < to;) {
            size_t eol = text.find('\n', p);
            if (eol == std::string::npos || eol > to) eol = to;
            std::string l = text.substr(p, eol - p);
            p = eol + 1;
            if (!l.empty() && l.back() == '\r') l.pop_back();
            const size_t e = l.find("gaugehost: error: ");
            if (e != std::string::npos) why = l.substr(e + 18);
        }
        return why.empty() ? "the check ended without a result (exit " + std::to_string(code) + ")" : why;
    }

    const TempFile& out_;
    const TempFile& err_;
    std::vector<Result>& results_;
    std::vector<Result> partial_;   // findings of the job so far
    std::vector<double> began_;
    std::vector<bool> have_;
    std::function<void(size_t)> ended_;
    size_t parsed_ = 0, next_ = 0;
    long current_ = -1;
};

}  // namespace

int runCheckJob(const Options& o) {
    if (o.modules.size() != 1 || o.only.size() != 1)
        throw UsageError("in a batch, a check line names one module and one check (--only NAME)");
    const Check* check = findCheck(o.only[0]);
    if (!check) throw UsageError("unknown check " + o.only[0]);
    installGuards(nullptr, o.timeout);
    Result r;
    {
        CheckRun run(o, o.level);
        const double t0 = seconds();
        try {
            check->run(run);
        } catch (const std::exception& e) {
            run.fail(e.what());
        }
        r.seconds = seconds() - t0;
        r.failures = run.failures;
        r.warnings = run.warnings;
        r.notes = run.notes;
    }
    r.name = check->name;
    r.level = check->level;
    r.status = !r.failures.empty() ? "FAIL" : !r.warnings.empty() ? "warn" : "ok";
    std::fflush(stdout);
    const std::string line =
        "\n" + std::string(kResultMark) + toJson(r).dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    return r.failures.empty() ? kExitOk : kExitModule;
}

int superviseCheck(const Options& o) {
    std::vector<const Check*> chosen;
    for (const std::string& name : o.only) {
        const Check* c = findCheck(name);
        if (!c) {
            std::string names;
            for (const Check& k : allChecks()) names += std::string(names.empty() ? "" : ", ") + k.name;
            throw UsageError("unknown check " + name + " (the checks: " + names + ")");
        }
        chosen.push_back(c);
    }
    if (o.only.empty())
        for (const Check& c : allChecks())
            if (c.level <= o.level) chosen.push_back(&c);
    // Each module once, in the order named.
    std::vector<std::string> modules;
    for (const std::string& m : o.modules)
        if (std::find(modules.begin(), modules.end(), m) == modules.end()) modules.push_back(m);
    for (const std::string& m : modules) {
        const DWORD a = GetFileAttributesW(widen(m).c_str());
        if (a == INVALID_FILE_ATTRIBUTES) throw InputError("cannot open " + m + ": " + windowsError(GetLastError()));
        if (a & FILE_ATTRIBUTE_DIRECTORY) throw InputError("cannot open " + m + ": it is a folder, not a file");
    }

    // One job per module and check.
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::vector<Result> results;
    std::string list;
    for (const std::string& m : modules)
        for (const Check* c : chosen) {
            Result r;
            r.module = m;
            r.name = c->name;
            r.level = c->level;
            results.push_back(r);
            list += "check " + quoted(m) + " --only " + c->name + " --level " + std::to_string(o.level) +
                    " --timeout " + std::to_string(o.timeout) + " --seed " + std::to_string(o.seed) + "\n";
        }
    const std::wstring listPath = std::wstring(temp) + L"gaugehost-check-" + std::to_wstring(GetCurrentProcessId()) + L"-jobs.txt";
    {
        std::ofstream f(listPath.c_str(), std::ios::binary);
        f << list;
        if (!f.flush()) throw HostFault("cannot write the list of checks to the temporary folder");
    }
    struct Remove {
        std::wstring p;
        ~Remove() { DeleteFileW(p.c_str()); }
    } removeList{listPath};
    TempFile out(temp, L"out"), err(temp, L"err");

    const double t0 = seconds();
    auto header = [&](const std::string& m) {
        std::printf("== %s: level %d, %zu checks\n", m.c_str(), o.level, chosen.size());
    };
    if (!o.json && !results.empty()) header(results[0].module);
    Follower follow(out, err, results, [&](size_t i) {
        if (o.json) return;
        std::fputs(textLine(results[i]).c_str(), stdout);
        const bool last = i + 1 == results.size() || results[i + 1].module != results[i].module;
        if (last && modules.size() > 1) {
            Counts c;
            for (const Result& r : results)
                if (r.module == results[i].module) c.add(r);
            std::printf("%s: %s\n", results[i].module.c_str(), c.text().c_str());
        }
        if (last && i + 1 < results.size()) header(results[i + 1].module);
        std::fflush(stdout);
    });
    BatchCapture capture;
    capture.out = out.write;
    capture.err = err.write;
    capture.poll = [&] { follow.poll(); };
    const int batch = superviseBatch(narrow(listPath), int(results.size()), o.timeout, &capture);
    follow.poll();
    if (follow.done() < results.size()) {
        // The batch itself broke down: no worker could run the checks.
        std::string why = err.read();
        const size_t e = why.rfind("gaugehost: error: ");
        why = e == std::string::npos ? "the checks' worker did not run" : why.substr(e + 18);
        while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
        std::fprintf(stderr, "gaugehost: error: %s\n", why.c_str());
        return batch ? batch : kExitFault;
    }

    Counts all;
    for (const Result& r : results) all.add(r);
    const double total = seconds() - t0;
    if (o.json) {
        json perModule = json::array();
        for (const std::string& m : modules) {
            Counts c;
            json checks = json::array();
            for (const Result& r : results)
                if (r.module == m) c.add(r), checks.push_back(toJson(r));
            perModule.push_back({{"module", m}, {"passed", c.passed}, {"failed", c.failed}, {"warnings", c.warnings},
                                 {"checks", checks}});
        }
        const json doc = {{"level", o.level}, {"seed", o.seed},     {"modules", perModule},     {"passed", all.passed},
                          {"failed", all.failed}, {"warnings", all.warnings}, {"seconds", total}};
        std::fputs((doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n").c_str(), stdout);
    } else {
        std::printf("check: %s\n", all.text().c_str());
    }
    std::fflush(stdout);
    if (!o.junit.empty()) writeFileAtomically(o.junit, junit(modules, results, total));
    return all.failed ? kExitModule : kExitOk;
}

}  // namespace gaugehost
