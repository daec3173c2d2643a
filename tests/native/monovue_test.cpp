// monovue's 28 element routines as instances of the runtime's
// forms: the readouts' texts and values, the bounded needles of each
// engine, and the spoiler and parking-brake tables.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "monovue/routines.h"

namespace {

using gaugert::kTextCapacity;
using gaugert::TextForm;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Text {
    std::string text;
    double value;
};

Text readout(const TextForm& form, double x) {
    char buf[kTextCapacity + 16];
    std::memset(buf, 0x5A, sizeof buf);
    const double v = gaugert::runTextForm(x, form, buf);
    for (size_t i = kTextCapacity; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 0x5A);
    return {std::string(buf, strnlen(buf, kTextCapacity)), v};
}

double single(double x) { return static_cast<double>(static_cast<float>(x)); }

// ---- readouts ------------------------------------------------------------------------

TEST(MonovueReadouts, N1AndN2) {
    for (const TextForm* f : {&monovue::kN1Text, &monovue::kN2Text}) {
        EXPECT_STREQ(f->format, "%03.1f");
        EXPECT_EQ(readout(*f, 0).text, "0.0");
        EXPECT_EQ(readout(*f, 100).text, "100.0");
        const Text t = readout(*f, 99.95);
        EXPECT_EQ(t.text, "99.9");
        EXPECT_EQ(t.value, single(99.95));
        EXPECT_EQ(readout(*f, 5.25).text, "5.2");   // exact tie: to even
        EXPECT_EQ(readout(*f, 5.35).text, "5.3");   // 5.3499999 as a float
        EXPECT_EQ(readout(*f, -1.0).text, "-1.0");
        EXPECT_EQ(readout(*f, 123.45).text, "123.4");  // 123.449997
    }
}

TEST(MonovueReadouts, Egt) {
    EXPECT_STREQ(monovue::kEgtText.format, "%03.0f");
    EXPECT_EQ(readout(monovue::kEgtText, 491.67).text, "000");
    EXPECT_EQ(readout(monovue::kEgtText, 1400).text, "505");
    EXPECT_EQ(readout(monovue::kEgtText, 400).text, "-51");
    EXPECT_EQ(readout(monovue::kEgtText, 1000).text, "283");
    EXPECT_EQ(readout(monovue::kEgtText, 558).text, "037");
    EXPECT_EQ(readout(monovue::kEgtText, 0).text, "-273");
    // The value returned is what was formatted: single, /1.8 - 273 in
    // double, single again.
    const Text t = readout(monovue::kEgtText, 1400);
    EXPECT_EQ(t.value, single(single(1400) / 1.8 - 273.0));
    EXPECT_EQ(readout(monovue::kEgtText, 491.67).value, single(single(491.67) / 1.8 - 273.0));
}

TEST(MonovueReadouts, FuelFlow) {
    EXPECT_STREQ(monovue::kFfText.format, "%04.0f");
    EXPECT_EQ(readout(monovue::kFfText, 0).text, "0000");
    EXPECT_EQ(readout(monovue::kFfText, 1000).text, "0037");
    EXPECT_EQ(readout(monovue::kFfText, 2724).text, "0100");
    EXPECT_EQ(readout(monovue::kFfText, 2724).value, 100.0);
    EXPECT_EQ(readout(monovue::kFfText, 1000).value, single(1000.0 / 27.24));
}

TEST(MonovueReadouts, FuelOnBoard) {
    EXPECT_STREQ(monovue::kFobText.format, "%06.0f");
    EXPECT_EQ(readout(monovue::kFobText, 454).text, "001000");
    EXPECT_EQ(readout(monovue::kFobText, 10000).text, "022026");
    EXPECT_EQ(readout(monovue::kFobText, 500000).text, "1101322");  // beyond the width
    EXPECT_EQ(readout(monovue::kFobText, 500000).value, single(500000 / 0.454));
}

TEST(MonovueReadouts, Flaps) {
    EXPECT_STREQ(monovue::kFlapsText.format, "%2.0f");
    EXPECT_EQ(readout(monovue::kFlapsText, 5).text, " 5");
    EXPECT_EQ(readout(monovue::kFlapsText, 30).text, "30");
    EXPECT_EQ(readout(monovue::kFlapsText, 100).text, "100");
    EXPECT_EQ(readout(monovue::kFlapsText, 0).text, " 0");
}

TEST(MonovueReadouts, HostileValuesStayWithinTheCapacity) {
    for (const TextForm* f : {&monovue::kN1Text, &monovue::kEgtText, &monovue::kN2Text,
                              &monovue::kFfText, &monovue::kFobText, &monovue::kFlapsText}) {
        for (double x : {kNaN, -kNaN, HUGE_VAL, -HUGE_VAL, -0.0, 3e38, -3e38, 1.7976931348623157e308,
                         -1.7976931348623157e308, 3.4028234663852886e38, 1e-320}) {
            const Text t = readout(*f, x);
            EXPECT_LT(t.text.size(), kTextCapacity) << f->format << " of " << x;
        }
    }
    EXPECT_EQ(readout(monovue::kFlapsText, 3e38).text.size(), kTextCapacity - 1);  // cut
    EXPECT_EQ(readout(monovue::kFobText, -HUGE_VAL).text, "  -inf");
    EXPECT_EQ(readout(monovue::kN1Text, kNaN).text, "nan");
    EXPECT_EQ(readout(monovue::kEgtText, -0.0).text, "-273");
}

// ---- needles ---------------------------------------------------------------------------

// The N1 needles take the runtime's pass-through routine as it is: the
// Wine tests call them through the module's records (NeedleRoutines).

TEST(MonovueNeedles, EgtEngine1) {
    const gaugert::Bounds& b = monovue::kEgtNeedle1;
    EXPECT_EQ(gaugert::bounded(3, b), 5.0);
    EXPECT_EQ(gaugert::bounded(5, b), 5.0);
    EXPECT_EQ(gaugert::bounded(400, b), 400.0);
    EXPECT_EQ(gaugert::bounded(2000, b), 2000.0);
    EXPECT_EQ(gaugert::bounded(2500, b), 2000.0);
    EXPECT_TRUE(std::isnan(gaugert::bounded(kNaN, b)));
}

TEST(MonovueNeedles, EgtEngine2) {
    const gaugert::Bounds& b = monovue::kEgtNeedle2;
    EXPECT_EQ(gaugert::bounded(400, b), 500.0);
    EXPECT_EQ(gaugert::bounded(1700, b), 1700.0);
    EXPECT_EQ(gaugert::bounded(1700.5, b), 2000.0);
    EXPECT_EQ(gaugert::bounded(1800, b), 2000.0);
    EXPECT_EQ(gaugert::bounded(500, b), 500.0);
    EXPECT_TRUE(std::isnan(gaugert::bounded(kNaN, b)));
}

TEST(MonovueNeedles, EgtEngines3And4) {
    for (const gaugert::Bounds* b : {&monovue::kEgtNeedle3, &monovue::kEgtNeedle4}) {
        EXPECT_EQ(gaugert::bounded(400, *b), 500.0);
        EXPECT_EQ(gaugert::bounded(1800, *b), 1800.0);
        EXPECT_EQ(gaugert::bounded(2500, *b), 2000.0);
        EXPECT_EQ(gaugert::bounded(2000, *b), 2000.0);
        EXPECT_TRUE(std::isnan(gaugert::bounded(kNaN, *b)));
    }
}

// ---- legends ----------------------------------------------------------------------------

TEST(MonovueLegends, Spoilers) {
    EXPECT_EQ(monovue::spoilerState(0, 0), 0.0);
    EXPECT_EQ(monovue::spoilerState(0.5, 0), 1.0);
    EXPECT_EQ(monovue::spoilerState(0, 16000.0), 0.0);
    EXPECT_EQ(monovue::spoilerState(0, 16000.5), 2.0);
    EXPECT_EQ(monovue::spoilerState(1, 16001), 2.0);
    EXPECT_EQ(monovue::spoilerState(1, 16000.0), 1.0);
    EXPECT_EQ(monovue::spoilerState(-1, 0), 0.0);
    EXPECT_EQ(monovue::spoilerState(kNaN, 0), 0.0);
    EXPECT_EQ(monovue::spoilerState(kNaN, 16000.5), 2.0);
    EXPECT_EQ(monovue::spoilerState(1, kNaN), 1.0);
}

TEST(MonovueLegends, ParkingBrake) {
    EXPECT_EQ(monovue::parkingBrakeState(0.0), 0.0);
    EXPECT_EQ(monovue::parkingBrakeState(0.25), 1.0);
    EXPECT_EQ(monovue::parkingBrakeState(3), 1.0);
    EXPECT_EQ(monovue::parkingBrakeState(-1.0), -1.0);
    EXPECT_TRUE(std::signbit(monovue::parkingBrakeState(-0.0)));
    EXPECT_TRUE(std::isnan(monovue::parkingBrakeState(kNaN)));
}

}  // namespace
