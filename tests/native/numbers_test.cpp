// The number grammar (tools/gaugehost/numbers.h) against the case table
// every entry point shares, tests/cases/numbers.json.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

#include "tools/gaugehost/numbers.h"

namespace {

using nlohmann::json;
using gaugehost::readInteger;
using gaugehost::readValue;
using gaugehost::readWhole;

json table() {
    std::ifstream in(GAUGE_CASES_DIR "/numbers.json");
    return json::parse(in);
}

bool sameDouble(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;   // -0 is not 0
}

TEST(NumberGrammar, CaseTable) {
    const json t = table();
    ASSERT_TRUE(t.contains("_doc"));
    ASSERT_GE(t["cases"].size(), 100u);
    for (const json& c : t["cases"]) {
        const std::string text = c["text"], kind = c["kind"];
        const json& want = c["expected"];
        const bool refused = want == "refused";
        const std::string label = kind + " '" + text + "'";
        if (kind == "value") {
            ASSERT_TRUE(c["range"].is_null()) << label;
            const std::optional<double> got = readValue(text);
            if (refused) {
                EXPECT_FALSE(got) << label << " read as " << *got;
                continue;
            }
            ASSERT_TRUE(got) << label << " refused";
            const double w = want == "nan" ? std::nan("") : want == "inf" ? HUGE_VAL : want == "-inf" ? -HUGE_VAL
                                                                                                     : want.get<double>();
            EXPECT_TRUE(sameDouble(*got, w)) << label << " read as " << *got << ", not " << w;
            continue;
        }
        ASSERT_TRUE(kind == "id" || kind == "integer") << label;
        const int64_t lo = c["range"][0], hi = c["range"][1];
        const std::optional<int64_t> got = kind == "id" ? readWhole(text, lo, hi) : readInteger(text, lo, hi);
        if (refused)
            EXPECT_FALSE(got) << label << " read as " << *got;
        else
            EXPECT_EQ(got, std::optional<int64_t>(want.get<int64_t>())) << label;
    }
}

// What the host prints, it reads back exactly: %.17g of any finite double
// (the scenario's failure messages) and the decimal of any integer.
TEST(NumberGrammar, ReadsBackWhatIsPrinted) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 200000; ++i) {
        const uint64_t bits = random();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v)) continue;
        char text[40];
        std::snprintf(text, sizeof text, "%.17g", v);
        const std::optional<double> back = readValue(text);
        ASSERT_TRUE(back && sameDouble(*back, v)) << text;
        const int64_t n = int64_t(bits);
        ASSERT_EQ(readInteger(std::to_string(n), INT64_MIN, INT64_MAX), n);
    }
    EXPECT_EQ(readInteger("-9223372036854775808", INT64_MIN, INT64_MAX), INT64_MIN);
    EXPECT_FALSE(readInteger("-9223372036854775809", INT64_MIN, INT64_MAX));
    EXPECT_FALSE(readWhole("9223372036854775808", 0, INT64_MAX));
}

TEST(NumberGrammar, Messages) {
    EXPECT_EQ(gaugehost::notWhole("--frames", "x", 0, 100000), "--frames: 'x' is not a whole number from 0 to 100000");
    EXPECT_EQ(gaugehost::notWhole("", "-1", -5, 5), "'-1' is not a whole number from -5 to 5");
    EXPECT_EQ(gaugehost::notNumber("", "abc"), "'abc' is not a number");
    EXPECT_EQ(gaugehost::notNumber("--set value", "1e999"), "--set value: '1e999' is not a number");
    EXPECT_EQ(gaugehost::notNumberIn("--rate", "0", 1, 1000), "--rate: '0' is not a number from 1 to 1000");
}

}  // namespace
