#include "check/command.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "check/framework.h"
#include "check/results.h"
#include "hostcore/files.h"
#include "hostcore/text.h"
#include "supervisor.h"

namespace gaugehost {

using nlohmann::json;

namespace {

const char kJobMark[] = "@@gaugehost job ";

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
        std::string why;
        return readFileBytes(narrow(path), why).value_or("");
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
                began_[size_t(n)] = now();
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
            r.seconds = began_[n] > 0 ? now() - began_[n] : 0;
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

// A check's budget at each level it runs at.
std::vector<std::pair<int, std::string>> budgets(const Check& c) {
    std::vector<std::pair<int, std::string>> out;
    for (int level = c.level; level <= kTopLevel; ++level) out.emplace_back(level, c.budget(level));
    return out;
}

// Words of `text` in lines of at most `width` characters, each after `indent`.
std::string wrapped(const std::string& text, size_t width, const std::string& indent) {
    std::string out, line;
    size_t p = 0;
    while (p < text.size()) {
        size_t end = text.find(' ', p);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(p, end - p);
        if (!line.empty() && line.size() + 1 + word.size() > width) out += indent + line + "\n", line.clear();
        line += (line.empty() ? "" : " ") + word;
        p = end + 1;
    }
    return out + (line.empty() ? "" : indent + line + "\n");
}

std::string listingText() {
    std::string out;
    for (const Check& c : allChecks()) {
        char head[64];
        std::snprintf(head, sizeof head, "%-14s level %d\n", c.name, c.level);
        out += head + wrapped(c.proves, 90, "    ");
        // Levels that spend the same, together.
        const auto b = budgets(c);
        std::string spent;
        for (size_t i = 0, j; i < b.size(); i = j) {
            for (j = i + 1; j < b.size() && b[j].second == b[i].second;) ++j;
            const std::string levels = j - i == b.size() ? ""
                                       : j - i == 1      ? "level " + std::to_string(b[i].first) + ": "
                                                         : "levels " + std::to_string(b[i].first) + " to " +
                                                          std::to_string(b[j - 1].first) + ": ";
            spent += (spent.empty() ? "" : "; ") + levels + b[i].second;
        }
        out += wrapped("budget: " + spent, 90, "    ");
    }
    return out;
}

json listingJson() {
    json checks = json::array();
    for (const Check& c : allChecks()) {
        json budget = json::object();
        for (const auto& [level, text] : budgets(c)) budget[std::to_string(level)] = text;
        checks.push_back({{"name", c.name}, {"level", c.level}, {"proves", c.proves}, {"budget", budget}});
    }
    return {{"checks", checks}};
}

}  // namespace

int superviseCheck(const Options& o) {
    if (o.listChecks) {
        const std::string listing = o.json ? listingJson().dump(2) + "\n" : listingText();
        std::fputs(listing.c_str(), stdout);
        return kExitOk;
    }
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

    const double t0 = now();
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
    const double total = now() - t0;
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
