// The one grammar of numbers that the host reads from its users: on the
// command line, in scenarios and in requests. Pure C++ (no Windows), so the
// native tests hold it to the case table tests/cases/numbers.json.
//
//   whole    decimal digits, or 0x (or 0X) and hexadecimal digits; no sign,
//            no spaces; a leading zero is still decimal ("010" is ten).
//            Variable ids, key event ids, counts.
//   integer  a whole number with an optional leading '-'. Coordinates, key
//            event parameters.
//   value    [+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?, or nan, inf, -inf in
//            any mix of case (NaN, INF). Nothing else: no spaces, no hex
//            floats, no "infinity", no "+inf". A decimal beyond the largest
//            double (1e999) is refused, never turned into inf; one too small
//            to tell from zero (1e-999) is that zero, with its sign.
//
// Whole numbers and integers must lie within the field's range, however
// many digits they are written with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gaugehost {

// A whole number from lo to hi (lo >= 0), or nothing.
std::optional<int64_t> readWhole(std::string_view text, int64_t lo, int64_t hi);
// An integer from lo to hi, or nothing.
std::optional<int64_t> readInteger(std::string_view text, int64_t lo, int64_t hi);
// A value, or nothing.
std::optional<double> readValue(std::string_view text);

// The messages for a refused number, prefixed by the field's name (`what`)
// when it has one:
//   "--frames: 'x' is not a whole number from 0 to 100000"
//   "--set value: 'abc' is not a number"
//   "--rate: '0' is not a number from 1 to 1000"
std::string notWhole(std::string_view what, std::string_view text, int64_t lo, int64_t hi);
std::string notNumber(std::string_view what, std::string_view text);
std::string notNumberIn(std::string_view what, std::string_view text, double lo, double hi);

}  // namespace gaugehost
