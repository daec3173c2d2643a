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
#include "tests/cases/monovue_readout_cases.h"

namespace {

using gaugert::kReadoutCapacity;
using gaugert::TextForm;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Text {
    std::string text;
    double value;
};

Text readout(const TextForm& form, double x) {
    char buf[kReadoutCapacity + 16];
    std::memset(buf, 0x5A, sizeof buf);
    const double v = gaugert::runTextForm(x, form, buf);
    for (size_t i = kReadoutCapacity; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 0x5A);
    return {std::string(buf, strnlen(buf, kReadoutCapacity)), v};
}

double single(double x) { return static_cast<double>(static_cast<float>(x)); }

// ---- readouts ------------------------------------------------------------------------

const TextForm& formOf(cases::Readout r) {
    switch (r) {
        case cases::kN1: return monovue::kN1Text;
        case cases::kEgt: return monovue::kEgtText;
        case cases::kN2: return monovue::kN2Text;
        case cases::kFf: return monovue::kFfText;
        case cases::kFob: return monovue::kFobText;
        case cases::kFlaps: return monovue::kFlapsText;
    }
    return monovue::kN1Text;
}

// The shared cases of a readout: its format, and the text of every case.
void expectCases(cases::Readout r) {
    const TextForm& f = formOf(r);
    EXPECT_STREQ(f.format, cases::formatOf(r));
    int n = 0;
    for (const cases::ReadoutCase& c : cases::kReadoutCases) {
        if (!cases::appliesTo(c, r)) continue;
        ++n;
        EXPECT_EQ(readout(f, c.x).text, cases::shown(c.text, kReadoutCapacity)) << f.format << " of " << c.x;
    }
    EXPECT_GT(n, 0);
}

TEST(MonovueReadouts, N1AndN2) {
    expectCases(cases::kN1);
    expectCases(cases::kN2);
    EXPECT_EQ(readout(monovue::kN1Text, 99.95).value, single(99.95));
}

TEST(MonovueReadouts, Egt) {
    expectCases(cases::kEgt);
    // The value returned is what was formatted: single, /1.8 - 273 in
    // double, single again.
    EXPECT_EQ(readout(monovue::kEgtText, 1400).value, single(single(1400) / 1.8 - 273.0));
    EXPECT_EQ(readout(monovue::kEgtText, 491.67).value, single(single(491.67) / 1.8 - 273.0));
}

TEST(MonovueReadouts, FuelFlow) {
    expectCases(cases::kFf);
    EXPECT_EQ(readout(monovue::kFfText, 2724).value, 100.0);
    EXPECT_EQ(readout(monovue::kFfText, 1000).value, single(1000.0 / 27.24));
}

TEST(MonovueReadouts, FuelOnBoard) {
    expectCases(cases::kFob);
    EXPECT_EQ(readout(monovue::kFobText, 500000).value, single(500000 / 0.454));
}

TEST(MonovueReadouts, Flaps) { expectCases(cases::kFlaps); }

TEST(MonovueReadouts, HostileValuesStayWithinTheCapacity) {
    for (const TextForm* f : {&monovue::kN1Text, &monovue::kEgtText, &monovue::kN2Text,
                              &monovue::kFfText, &monovue::kFobText, &monovue::kFlapsText}) {
        for (double x : {kNaN, -kNaN, HUGE_VAL, -HUGE_VAL, -0.0, 3e38, -3e38, 1.7976931348623157e308,
                         -1.7976931348623157e308, 3.4028234663852886e38, 1e-320}) {
            const Text t = readout(*f, x);
            EXPECT_LT(t.text.size(), kReadoutCapacity) << f->format << " of " << x;
        }
    }
    EXPECT_EQ(readout(monovue::kFlapsText, 3e38).text.size(), kReadoutCapacity - 1);  // cut
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
