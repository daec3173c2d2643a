// The generated gauge runtime's routine forms: bounded and state
// forms, the single-precision steps of the text form, the runtime's printf
// "%f" formatter against the C library's snprintf, and the text capacity
// under hostile values.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "gaugert/forms.h"

namespace {

using gaugert::Bounds;
using gaugert::kReadoutCapacity;
using gaugert::TextForm;
using gaugert::Transform;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

uint64_t bitsOf(double d) { return std::bit_cast<uint64_t>(d); }

// ---- bounded and state forms ---------------------------------------------------------

TEST(BoundedForm, ClampEdgeCases) {
    constexpr Bounds b{2000, 2000, 500, 500};
    EXPECT_EQ(gaugert::bounded(499.9, b), 500.0);
    EXPECT_EQ(gaugert::bounded(500.0, b), 500.0);
    EXPECT_EQ(gaugert::bounded(1234.5, b), 1234.5);
    EXPECT_EQ(gaugert::bounded(2000.0, b), 2000.0);
    EXPECT_EQ(gaugert::bounded(2500.0, b), 2000.0);
    EXPECT_EQ(gaugert::bounded(kInf, b), 2000.0);
    EXPECT_EQ(gaugert::bounded(-kInf, b), 500.0);
}

TEST(BoundedForm, UpperTestFirstAndTheLowerTestSeesItsResult) {
    // Q below R: the upper replacement is then raised by the lower test.
    constexpr Bounds b{10, 1, 5, 7};
    EXPECT_EQ(gaugert::bounded(11.0, b), 7.0);
    EXPECT_EQ(gaugert::bounded(10.0, b), 10.0);  // strict
    EXPECT_EQ(gaugert::bounded(5.0, b), 5.0);    // strict
    EXPECT_EQ(gaugert::bounded(4.0, b), 7.0);
}

TEST(BoundedForm, NotANumberPassesUnchanged) {
    constexpr Bounds b{2000, 2000, 500, 500};
    const double negativeNaN = -kNaN;
    EXPECT_EQ(bitsOf(gaugert::bounded(kNaN, b)), bitsOf(kNaN));
    EXPECT_EQ(bitsOf(gaugert::bounded(negativeNaN, b)), bitsOf(negativeNaN));
    EXPECT_EQ(bitsOf(gaugert::bounded(-0.0, Bounds{1, 1, -1, -1})), bitsOf(-0.0));
}

TEST(PassThroughForm, ReturnsTheValueBitForBit) {
    for (double x : {0.0, -0.0, 1e300, -kInf, kNaN, 5e-324})
        EXPECT_EQ(bitsOf(gaugert::passThrough(x)), bitsOf(x));
}

TEST(StateForm, LaterTestsOverrideAndComparisonsAreStrict) {
    auto state = [](double a, double d) {
        return gaugert::above(gaugert::above(0.0, a, 0.0, 1.0), d, 10.0, 2.0);
    };
    EXPECT_EQ(state(0.0, 0.0), 0.0);
    EXPECT_EQ(state(0.1, 0.0), 1.0);
    EXPECT_EQ(state(0.1, 10.0), 1.0);
    EXPECT_EQ(state(0.0, 10.5), 2.0);
    EXPECT_EQ(state(kNaN, kNaN), 0.0);
    EXPECT_EQ(state(kNaN, 11.0), 2.0);
}

// ---- text form: single-precision steps --------------------------------------------

std::string run(const TextForm& form, double x, double* returned = nullptr) {
    char buf[kReadoutCapacity];
    std::memset(buf, 0x55, sizeof buf);
    const double v = gaugert::runTextForm(x, form, buf);
    if (returned) *returned = v;
    return std::string(buf, strnlen(buf, sizeof buf));
}

constexpr TextForm kPlain1 = gaugert::textForm("%03.1f");
constexpr TextForm kCelsius0 = gaugert::textForm("%03.0f", Transform::kRankineToCelsius);

TEST(TextForm, WorkedExamples) {
    double v = 0;
    EXPECT_EQ(run(kPlain1, 99.95, &v), "99.9");
    EXPECT_EQ(v, static_cast<double>(99.95f));
    EXPECT_EQ(v, 99.94999694824219);
    EXPECT_EQ(run(kPlain1, 100.0, &v), "100.0");
    EXPECT_EQ(v, 100.0);
    EXPECT_EQ(run(kCelsius0, 1000.0, &v), "283");
    EXPECT_EQ(v, static_cast<double>(static_cast<float>(1000.0 / 1.8 - 273.0)));
    EXPECT_EQ(run(kCelsius0, 558.0), "037");
}

TEST(TextForm, ValueStepsAreSingleDoubleSingle) {
    const TextForm divide = gaugert::textForm("%04.0f", Transform::kDivide, 27.24);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> dist(-1e6, 1e6);
    for (int i = 0; i < 10000; ++i) {
        const double x = dist(rng);
        const double s = static_cast<float>(x);
        EXPECT_EQ(gaugert::textValue(x, kPlain1), s);
        EXPECT_EQ(gaugert::textValue(x, divide), static_cast<double>(static_cast<float>(s / 27.24)));
        EXPECT_EQ(gaugert::textValue(x, kCelsius0),
                  static_cast<double>(static_cast<float>(s / 1.8 - 273.0)));
    }
}

TEST(TextForm, HostileValuesConvertToSingleLimits) {
    EXPECT_EQ(gaugert::textValue(1e300, kPlain1), kInf);
    EXPECT_EQ(gaugert::textValue(-1e300, kPlain1), -kInf);
    EXPECT_EQ(gaugert::textValue(DBL_MAX, kCelsius0), kInf);
    EXPECT_EQ(gaugert::textValue(5e-324, kPlain1), 0.0);
    EXPECT_TRUE(std::signbit(gaugert::textValue(-0.0, kPlain1)));
    EXPECT_TRUE(std::isnan(gaugert::textValue(kNaN, kCelsius0)));
    EXPECT_EQ(gaugert::textValue(FLT_MAX, kPlain1), static_cast<double>(FLT_MAX));
}

TEST(TextForm, NullBufferWritesNothingAndStillReturnsTheValue) {
    EXPECT_EQ(gaugert::runTextForm(100.0, kPlain1, nullptr), 100.0);
}

TEST(TextForm, FormatsAreParsedAtCompileTime) {
    constexpr TextForm f = gaugert::textForm("a%%b%-+ #012.3Fc%%");
    static_assert(f.conv.start == 4 && f.conv.end == 15);
    static_assert(f.conv.left && f.conv.plus && f.conv.space && f.conv.alternate && f.conv.zero);
    static_assert(f.conv.width == 12 && f.conv.precision == 3 && f.conv.upper);
    constexpr TextForm g = gaugert::textForm("%f");
    static_assert(g.conv.precision == 6 && g.conv.width == 0 && !g.conv.zero);
    constexpr TextForm h = gaugert::textForm("%.f");
    static_assert(h.conv.precision == 0);
}

// ---- the formatter against snprintf ---------------------------------------------------

std::string viaLibc(const char* format, float v) {
    char buf[256];
    std::snprintf(buf, sizeof buf, format, static_cast<double>(v));
    return buf;
}
std::string viaRuntime(const TextForm& form, float v) {
    char buf[256];
    const size_t n = gaugert::formatText(buf, sizeof buf, form, v);
    EXPECT_EQ(n, std::strlen(buf));
    return buf;
}

// Formats covering every flag, widths below and above the text, and every
// precision the runtime takes.
const TextForm kFormats[] = {
    gaugert::textForm("%03.1f"),   gaugert::textForm("%03.0f"),   gaugert::textForm("%04.0f"),
    gaugert::textForm("%06.0f"),   gaugert::textForm("%2.0f"),    gaugert::textForm("%f"),
    gaugert::textForm("%.0f"),     gaugert::textForm("%.1f"),     gaugert::textForm("%.2f"),
    gaugert::textForm("%.3f"),     gaugert::textForm("%.4f"),     gaugert::textForm("%.5f"),
    gaugert::textForm("%.7f"),     gaugert::textForm("%.8f"),     gaugert::textForm("%.9f"),
    gaugert::textForm("%#.0f"),    gaugert::textForm("%+08.2f"),  gaugert::textForm("% 8.1f"),
    gaugert::textForm("%-8.1f|"),  gaugert::textForm("%-08.1f|"), gaugert::textForm("%+ 010.3F"),
    gaugert::textForm("%12.0F"),   gaugert::textForm("N1 %5.1f%%"),
    gaugert::textForm("%%%015.9f"),
};

// Floats that stress rounding: ties at every precision, powers of two and
// ten, the limits, subnormals, the specials.
std::vector<float> edgeFloats() {
    std::vector<float> v = {0.0f, -0.0f, 0.5f, 1.5f, 2.5f, -0.5f, -2.5f, 0.05f, 0.25f, 0.125f, 0.375f,
                            99.95f, 99.949f, 100.0f, 1e-45f, -1e-45f, FLT_MIN, FLT_MAX, -FLT_MAX,
                            FLT_EPSILON, 16777216.0f, 16777215.0f, 3e38f, -3e38f, 1e10f, 123456789.0f,
                            0.95f, 9.5f, 0.0625f, 1e-5f, 4.5e-10f, 1234.5f, -1234.5f, 0.45f,
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(),
                            -std::numeric_limits<float>::quiet_NaN()};
    for (int e = -149; e <= 127; ++e) {
        v.push_back(std::ldexp(1.0f, e));
        v.push_back(-std::ldexp(1.5f, e > 126 ? 126 : e));
    }
    // Exact ties n + 0.5 and n / 10 + 0.05 style values near them.
    for (int n = 0; n < 200; ++n) {
        v.push_back(n + 0.5f);
        v.push_back(n / 4.0f);
        v.push_back(std::nextafter(n + 0.5f, 0.0f));
        v.push_back(std::nextafter(n + 0.5f, 1e9f));
    }
    return v;
}

TEST(Formatter, EqualsSnprintfOnEdgeValues) {
    for (const TextForm& f : kFormats)
        for (float x : edgeFloats())
            ASSERT_EQ(viaRuntime(f, x), viaLibc(f.format, x)) << f.format << " of " << x;
}

TEST(Formatter, EqualsSnprintfOnRandomBitPatterns) {
    std::mt19937 rng(2024);
    for (int i = 0; i < 1000000; ++i) {
        const float x = std::bit_cast<float>(static_cast<uint32_t>(rng()));
        const TextForm& f = kFormats[i % std::size(kFormats)];
        ASSERT_EQ(viaRuntime(f, x), viaLibc(f.format, x)) << f.format << " of bits 0x" << std::hex
                                                         << std::bit_cast<uint32_t>(x);
    }
}

TEST(Formatter, EqualsSnprintfOnReadoutRanges) {
    // The readouts' own formats over the values they meet, densely.
    const TextForm forms[] = {gaugert::textForm("%03.1f"), gaugert::textForm("%03.0f"),
                              gaugert::textForm("%04.0f"), gaugert::textForm("%06.0f"),
                              gaugert::textForm("%2.0f")};
    for (const TextForm& f : forms) {
        for (float x = -2000.0f; x < 20000.0f; x += 0.05f)
            ASSERT_EQ(viaRuntime(f, x), viaLibc(f.format, x)) << f.format << " of " << x;
    }
}

TEST(Formatter, CutsLikeSnprintfAtEveryCapacity) {
    const float values[] = {3e38f, -FLT_MAX, 1101321.6f, -0.0f, 99.95f,
                            std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()};
    for (const TextForm& f : kFormats) {
        for (float x : values) {
            for (size_t cap = 0; cap <= 64; ++cap) {
                char mine[80], libc[80];
                std::memset(mine, '@', sizeof mine);
                std::memset(libc, '@', sizeof libc);
                const size_t n = gaugert::formatText(mine, cap, f, x);
                const int m = std::snprintf(libc, cap, f.format, static_cast<double>(x));
                ASSERT_EQ(n, static_cast<size_t>(m)) << f.format << " cap " << cap;
                ASSERT_EQ(std::memcmp(mine, libc, sizeof mine), 0) << f.format << " cap " << cap;
            }
        }
    }
}

// ---- capacity under hostile values -----------------------------------------------------

const double kHostile[] = {
    kNaN, -kNaN, kInf, -kInf, -0.0, 0.0, DBL_MAX, -DBL_MAX, DBL_MIN, 5e-324, -5e-324,
    FLT_MAX, -FLT_MAX, static_cast<double>(FLT_MAX) * (1 + 1e-9), 3.4028235677973366e38,  // rounds to FLT_MAX
    3.4028235677973367e38, 3e38, -3e38, 1e38, FLT_MIN, FLT_TRUE_MIN, 1e-46, 1e300, -1e300,
    std::bit_cast<double>(uint64_t{0x7FF0000000000001}),   // signalling NaN
    std::bit_cast<double>(uint64_t{0xFFF8000000000123}),   // NaN with a payload
};

TEST(TextCapacity, AtLeastSixteenBytes) { static_assert(kReadoutCapacity >= 16); }

TEST(TextCapacity, NoTextRoutineWritesPastTheCapacity) {
    std::vector<TextForm> forms(std::begin(kFormats), std::end(kFormats));
    forms.push_back(gaugert::textForm("%06.0f", Transform::kDivide, 0.454));
    forms.push_back(gaugert::textForm("%04.0f", Transform::kDivide, 27.24));
    forms.push_back(gaugert::textForm("%03.0f", Transform::kRankineToCelsius));
    forms.push_back(gaugert::textForm("%06.0f", Transform::kDivide, 1e-30));  // blows up to inf
    forms.push_back(gaugert::textForm("%06.0f", Transform::kDivide, 1e30));   // down to 0
    for (const TextForm& f : forms) {
        for (double x : kHostile) {
            SCOPED_TRACE(std::string(f.format) + " of " + std::to_string(x));
            unsigned char buf[kReadoutCapacity + 64];
            std::memset(buf, 0xAA, sizeof buf);
            const double v = gaugert::runTextForm(x, f, reinterpret_cast<char*>(buf));
            for (size_t i = kReadoutCapacity; i < sizeof buf; ++i)
                ASSERT_EQ(buf[i], 0xAA) << "byte " << i << " written";
            const void* nul = std::memchr(buf, 0, kReadoutCapacity);
            ASSERT_NE(nul, nullptr) << "not terminated within the capacity";
            // What is there is the start of the whole text.
            const std::string whole = viaLibc(f.format, static_cast<float>(v));
            const std::string written(reinterpret_cast<const char*>(buf));
            EXPECT_EQ(written, whole.substr(0, kReadoutCapacity - 1));
            // The returned value is a widened float (or NaN).
            if (!std::isnan(v)) {
                EXPECT_EQ(v, static_cast<double>(static_cast<float>(v)));
            }
        }
    }
}

TEST(TextCapacity, LongTextIsCutAndTerminated) {
    // 3e38 under "%06.0f" is 39 digits.
    const TextForm f = gaugert::textForm("%06.0f");
    char buf[kReadoutCapacity + 8];
    std::memset(buf, 'x', sizeof buf);
    gaugert::runTextForm(3e38, f, buf);
    EXPECT_EQ(viaLibc("%06.0f", 3e38f).size(), 39u);
    EXPECT_EQ(std::string(buf), viaLibc("%06.0f", 3e38f).substr(0, kReadoutCapacity - 1));
    EXPECT_EQ(buf[kReadoutCapacity - 1], '\0');
    EXPECT_EQ(buf[kReadoutCapacity], 'x');
}

TEST(TextCapacity, SpecialsAreShortAndSigned) {
    const TextForm f = gaugert::textForm("%06.0f");
    EXPECT_EQ(run(f, kNaN), "   nan");
    EXPECT_EQ(run(f, -kNaN), "  -nan");
    EXPECT_EQ(run(f, kInf), "   inf");
    EXPECT_EQ(run(f, -kInf), "  -inf");
    EXPECT_EQ(run(f, -0.0), "-00000");
    EXPECT_EQ(run(gaugert::textForm("%2.0f"), -0.4), "-0");
}

}  // namespace
