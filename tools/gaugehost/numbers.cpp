#include "numbers.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace gaugehost {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexDigit(char c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The magnitude of an unsigned whole number, held at UINT64_MAX once it
// grows past it; nothing when the text is not one.
std::optional<uint64_t> magnitude(std::string_view s) {
    unsigned base = 10;
    if (s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        const int d = base == 16 ? hexDigit(c) : isDigit(c) ? c - '0' : -1;
        if (d < 0) return std::nullopt;
        v = v > (UINT64_MAX - unsigned(d)) / base ? UINT64_MAX : v * base + unsigned(d);
    }
    return v;
}

// Whether `s` is a decimal as the value grammar writes one.
bool isDecimal(std::string_view s) {
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const size_t whole = i;
    while (i < s.size() && isDigit(s[i])) ++i;
    bool digits = i > whole;
    if (i < s.size() && s[i] == '.') {
        const size_t fraction = ++i;
        while (i < s.size() && isDigit(s[i])) ++i;
        digits = digits || i > fraction;
    }
    if (!digits) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        const size_t exponent = i;
        while (i < s.size() && isDigit(s[i])) ++i;
        if (i == exponent) return false;
    }
    return i == s.size();
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const char c = a[i] >= 'A' && a[i] <= 'Z' ? char(a[i] - 'A' + 'a') : a[i];
        if (c != b[i]) return false;
    }
    return true;
}

std::string prefix(std::string_view what) { return what.empty() ? std::string() : std::string(what) + ": "; }

std::string shortest(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%g", v);
    return b;
}

}  // namespace

std::optional<int64_t> readWhole(std::string_view text, int64_t lo, int64_t hi) {
    const std::optional<uint64_t> v = magnitude(text);
    if (!v || *v > uint64_t(INT64_MAX) || int64_t(*v) < lo || int64_t(*v) > hi) return std::nullopt;
    return int64_t(*v);
}

std::optional<int64_t> readInteger(std::string_view text, int64_t lo, int64_t hi) {
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    const std::optional<uint64_t> v = magnitude(text);
    if (!v) return std::nullopt;
    // -9223372036854775808 is the one magnitude whose negation alone fits.
    if (*v > uint64_t(INT64_MAX) + (negative ? 1 : 0)) return std::nullopt;
    const int64_t r = negative ? int64_t(0 - *v) : int64_t(*v);
    if (r < lo || r > hi) return std::nullopt;
    return r;
}

std::optional<double> readValue(std::string_view text) {
    if (equalsIgnoringCase(text, "nan")) return std::nan("");
    if (equalsIgnoringCase(text, "inf")) return HUGE_VAL;
    if (equalsIgnoringCase(text, "-inf")) return -HUGE_VAL;
    if (!isDecimal(text)) return std::nullopt;
    const bool negative = text[0] == '-';
    std::string_view digits = text[0] == '+' ? text.substr(1) : text;
    double v = 0;
    const std::from_chars_result r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (r.ec == std::errc::result_out_of_range) {
        // Too large, or too small to tell from zero: strtod says which.
        const std::string copy(digits);
        if (std::isinf(std::strtod(copy.c_str(), nullptr))) return std::nullopt;
        return negative ? -0.0 : 0.0;
    }
    if (r.ec != std::errc() || r.ptr != digits.data() + digits.size() || std::isinf(v)) return std::nullopt;
    return v;
}

std::string notWhole(std::string_view what, std::string_view text, int64_t lo, int64_t hi) {
    return prefix(what) + "'" + std::string(text) + "' is not a whole number from " + std::to_string(lo) + " to " +
           std::to_string(hi);
}

std::string notNumber(std::string_view what, std::string_view text) {
    return prefix(what) + "'" + std::string(text) + "' is not a number";
}

std::string notNumberIn(std::string_view what, std::string_view text, double lo, double hi) {
    return notNumber(what, text) + " from " + shortest(lo) + " to " + shortest(hi);
}

}  // namespace gaugehost
