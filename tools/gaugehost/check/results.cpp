#include "check/results.h"

#include <cstdio>

namespace gaugehost {

using nlohmann::json;

namespace {

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

}  // namespace

std::string Result::reason() const {
    const std::vector<std::string>& v = failures.empty() ? warnings : failures;
    if (v.empty()) return "";
    return v[0] + (v.size() > 1 ? " (and " + std::to_string(v.size() - 1) + " more)" : "");
}

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

void Counts::add(const Result& r) {
    if (r.status == "ok") ++passed;
    else if (r.status == "warn") ++warnings;
    else ++failed;
}

std::string Counts::text() const {
    return std::to_string(passed) + " passed, " + std::to_string(failed) + " failed, " + std::to_string(warnings) +
           " warnings";
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

}  // namespace gaugehost
