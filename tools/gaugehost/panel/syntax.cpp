// The panel file's syntax, line by line (syntax.h).
#include "syntax.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace gaugehost::panel {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t'; }

Span trimmed(std::string_view s, std::size_t begin, std::size_t end) {
    while (begin < end && isSpace(s[begin])) ++begin;
    while (end > begin && isSpace(s[end - 1])) --end;
    return {begin, end};
}

// Comma-separated fields of `value`, each trimmed.
std::vector<Span> fieldsOf(std::string_view line, Span value) {
    std::vector<Span> out;
    std::size_t start = value.begin;
    for (std::size_t i = value.begin; i <= value.end; ++i) {
        if (i == value.end || line[i] == ',') {
            out.push_back(trimmed(line, start, i));
            start = i + 1;
        }
    }
    return out;
}

// [+-]digits; numbers too long for any range here read as +-10^12.
std::optional<std::int64_t> integer(std::string_view s) {
    std::size_t i = 0;
    const bool negative = !s.empty() && s[0] == '-';
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) i = 1;
    if (i == s.size()) return std::nullopt;
    std::int64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return std::nullopt;
        v = std::min<std::int64_t>(v * 10 + (s[i] - '0'), 1000000000000);
    }
    return negative ? -v : v;
}

// COUNT_MIN to COUNT_MAX whole numbers from LO to HI, separated by commas.
std::string integers(std::string_view text, std::size_t countMin, std::size_t countMax, int lo, int hi,
                     const std::string& what, std::vector<int>& out) {
    const std::vector<Span> parts = fieldsOf(text, {0, text.size()});
    std::vector<std::int64_t> values;
    for (const Span& p : parts) {
        const auto v = integer(p.of(text));
        if (!v) return what;
        values.push_back(*v);
    }
    if (values.size() < countMin || values.size() > countMax) return what;
    for (std::int64_t v : values) {
        if (v < lo || v > hi)
            return what + " (" + std::to_string(v) + " lies outside " + std::to_string(lo) + " to " +
                   std::to_string(hi) + ")";
        out.push_back(static_cast<int>(v));
    }
    return "";
}

bool fileOk(std::string_view f) {
    if (f.empty() || f[0] == '/' || f[0] == '\\' || f.find(':') != std::string_view::npos) return false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= f.size(); ++i) {
        if (i == f.size() || f[i] == '/' || f[i] == '\\') {
            if (f.substr(start, i - start) == "..") return false;
            start = i + 1;
        }
    }
    return std::none_of(f.begin(), f.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

}  // namespace

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string quoted(std::string_view s) {
    std::string out(1, '\'');
    out.append(s);
    out += '\'';
    return out;
}

Lexed lex(std::string_view line) {
    Lexed l;
    const std::size_t end = std::min({line.find(';'), line.find("//"), line.size()});
    l.body = trimmed(line, 0, end);
    const std::string_view body = l.body.of(line);
    if (body.empty()) return l;
    if (body[0] == '[') {
        if (body.size() < 2 || body.back() != ']') {
            l.kind = Lexed::BadHeader;
        } else {
            l.kind = Lexed::Header;
            l.name = trimmed(line, l.body.begin + 1, l.body.end - 1);
        }
        return l;
    }
    const std::size_t eq = body.find('=');
    l.kind = Lexed::NoPair;
    if (eq == std::string_view::npos) return l;
    l.key = trimmed(line, l.body.begin, l.body.begin + eq);
    l.value = trimmed(line, l.body.begin + eq + 1, l.body.end);
    if (l.key.begin != l.key.end) l.kind = Lexed::Pair;
    return l;
}

std::optional<int> numbered(std::string_view lowerName, std::string_view prefix) {
    if (!lowerName.starts_with(prefix) || lowerName.size() == prefix.size()) return std::nullopt;
    std::string_view digits = lowerName.substr(prefix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    while (digits.size() > 1 && digits[0] == '0') digits.remove_prefix(1);
    if (digits.size() > 9) return -1;
    return static_cast<int>(*integer(digits));
}

bool moduleNameOk(std::string_view m) {
    if (m.empty() || m[0] == '.' || isSpace(m.front()) || isSpace(m.back())) return false;
    for (char c : m)
        if (static_cast<unsigned char>(c) < 0x20 || std::string_view("/\\:*?\"<>|!,;").find(c) != std::string_view::npos)
            return false;
    // Names Windows opens as devices, whatever follows them.
    const std::string stem = lower(m.substr(0, m.find('.')));
    for (const char* device : {"con", "prn", "aux", "nul"})
        if (stem == device) return false;
    return !((stem.starts_with("com") || stem.starts_with("lpt")) && stem.size() == 4 && stem[3] >= '0' &&
             stem[3] <= '9');
}

bool plainValueOk(std::string_view v, bool allowComma) {
    if (!v.empty() && (isSpace(v.front()) || isSpace(v.back()))) return false;
    if (v.find(';') != std::string_view::npos || v.find("//") != std::string_view::npos) return false;
    if (!allowComma && v.find(',') != std::string_view::npos) return false;
    return std::none_of(v.begin(), v.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

std::string readGauge(std::string_view line, Span value, std::string_view key, GaugeValue& out) {
    const std::string expected = "expected " + std::string(key) + "=module!gauge, x, y[, width[, height]]";
    out.fields = fieldsOf(line, value);
    const std::string_view first = out.fields[0].of(line);
    const std::size_t bang = first.find('!');
    if (out.fields.size() < 3 || bang == std::string_view::npos) return expected;
    const std::size_t b = out.fields[0].begin;
    out.moduleSpan = trimmed(line, b, b + bang);
    out.gaugeSpan = trimmed(line, b + bang + 1, out.fields[0].end);
    out.module = out.moduleSpan.of(line);
    out.gauge = out.gaugeSpan.of(line);
    if (!moduleNameOk(out.module)) return quoted(out.module) + " is not a module name";
    if (out.gauge.empty()) return "no gauge name after " + quoted(out.module + "!");
    std::int64_t numbers[4] = {};
    const std::size_t count = std::min<std::size_t>(out.fields.size() - 1, 4);
    for (std::size_t i = 0; i < count; ++i) {
        const auto v = integer(out.fields[i + 1].of(line));
        if (!v) return expected + " with whole numbers";
        numbers[i] = *v;
    }
    for (std::size_t i = 0; i < 2; ++i)
        if (numbers[i] < -kMaxSize || numbers[i] > kMaxSize)
            return expected + " with whole numbers (" + std::to_string(numbers[i]) + " lies outside " +
                   std::to_string(-kMaxSize) + " to " + std::to_string(kMaxSize) + ")";
    for (std::size_t i = 2; i < count; ++i) {
        const char* name = i == 2 ? "width" : "height";
        if (numbers[i] < 1) return std::string("the gauge's ") + name + " must be at least 1";
        if (numbers[i] > kMaxSize) return std::string("the gauge's ") + name + " must be at most " + std::to_string(kMaxSize);
    }
    out.x = static_cast<int>(numbers[0]);
    out.y = static_cast<int>(numbers[1]);
    if (count > 2) out.width = static_cast<int>(numbers[2]);
    if (count > 3) out.height = static_cast<int>(numbers[3]);
    for (std::size_t i = 5; i < out.fields.size(); ++i) out.extra.emplace_back(out.fields[i].of(line));
    return "";
}

std::string settingKey(std::string_view k) {
    if (k == "background_colour") return "background_color";
    for (const char* known : {"file", "background_color", "size_mm", "visible", "ident", "position"})
        if (k == known) return known;
    return "";
}

std::string readSetting(Window& w, std::string_view key, std::string_view value) {
    std::vector<int> v;
    if (key == "file") {
        if (!fileOk(value))
            return "file= names a bitmap beside the panel file (or in a folder below it), not " + quoted(value);
        w.file = std::string(value);
    } else if (key == "background_color") {
        if (auto e = integers(value, 3, 3, 0, 255, "background_color wants R,G,B from 0 to 255", v); !e.empty())
            return e;
        w.background = Rgb{v[0], v[1], v[2]};
    } else if (key == "size_mm") {
        if (auto e = integers(value, 1, 2, 1, kMaxSize, "size_mm wants WIDTH[,HEIGHT] in whole units", v); !e.empty())
            return e;
        w.sizeMm = SizeMm{v[0], v.size() > 1 ? std::optional(v[1]) : std::nullopt};
    } else if (key == "visible") {
        if (value != "0" && value != "1") return "visible wants 0 or 1, not " + quoted(value);
        w.visible = value == "1";
    } else if (key == "ident") {
        if (value.empty()) return "ident wants a name or a number";
        w.ident = std::string(value);
    } else if (key == "position") {
        const auto p = integer(value);
        if (!p || *p < INT_MIN || *p > INT_MAX) return "position wants a whole number, not " + quoted(value);
        w.position = static_cast<int>(*p);
    }
    return "";
}

}  // namespace gaugehost::panel
