// The lit face rule's cases, shared by the native tests of the rule and the
// Wine tests of the shipped update routine.
#pragma once

#include <limits>

namespace cases {

struct LitCase {
    const char* name;
    double v753;
    double v10;
    bool shown;
};

inline const LitCase kLitCases[] = {
    {"753 at 0.5, 10 at -1: shown", 0.5, -1.0, true},
    {"both 1: shown", 1.0, 1.0, true},
    {"753 at the smallest positive, 10 tiny", 4.9e-324, 1e-300, true},
    {"753 infinite: shown", std::numeric_limits<double>::infinity(), 1.0, true},
    {"753 at 0: hidden", 0.0, 1.0, false},
    {"753 at -0: hidden", -0.0, 1.0, false},
    {"753 below 0: hidden", -0.5, 1.0, false},
    {"753 well below 0: hidden", -2.0, 1.0, false},
    {"10 at 0: hidden", 1.0, 0.0, false},
    {"10 at 0, 753 above 1: hidden", 5.0, 0.0, false},
    {"10 at 0, 753 below 0: hidden", -1.0, 0.0, false},
    {"10 at -0: hidden", 1.0, -0.0, false},
    {"753 not a number: hidden", std::numeric_limits<double>::quiet_NaN(), 1.0, false},
    {"10 not a number: hidden", 1.0, std::numeric_limits<double>::quiet_NaN(), false},
    {"both not a number: hidden", std::numeric_limits<double>::quiet_NaN(),
     std::numeric_limits<double>::quiet_NaN(), false},
};

}  // namespace cases
