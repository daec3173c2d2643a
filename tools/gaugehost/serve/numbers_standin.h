// A stand-in for the number grammar of numbers.h until it is here: values
// only. To be deleted.
#pragma once

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace gaugehost {

inline std::optional<double> readValue(std::string_view t) {
    std::string s(t);
    for (auto& c : s) c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (s == "nan") return std::numeric_limits<double>::quiet_NaN();
    if (s == "inf") return std::numeric_limits<double>::infinity();
    if (s == "-inf") return -std::numeric_limits<double>::infinity();
    if (s.empty() || s.find_first_not_of("0123456789+-.e") != std::string::npos) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (*end || !std::isfinite(v)) return std::nullopt;
    return v;
}

}  // namespace gaugehost
