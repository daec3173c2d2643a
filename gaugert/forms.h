// The arithmetic of the generated gauge runtime's routine forms,
// free of any host record so that it builds and is tested natively too.
//
// The forms:
//   pass-through  x unchanged;
//   bounded       if x > P then Q; then, if x < R, S (strict, NaN passes);
//   state         a whole-number state chosen by strict tests, later ones
//                 overriding earlier ones (`above`);
//   text          x -> float, transform in double, -> float, widen, format
//                 into the text buffer, return the widened value.
//
// Text is written by the runtime's own printf-style formatter (C99 "%f"
// semantics, see formatText), never by the C library's printf: the result is
// then the same bit for bit in the 32-bit module and in the native tests, it
// does not depend on a locale the host may have set, and it allocates
// nothing. Every text routine writes at most kReadoutCapacity bytes, the
// terminating NUL included, whatever the value: this is the size of text
// buffer the host must provide for each string element.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gaugert {

// Bytes a text routine may write into a string element's buffer, the
// terminating NUL included. Longer texts are cut to kReadoutCapacity - 1
// characters; the text is always terminated.
inline constexpr size_t kReadoutCapacity = 16;

// ---- pass-through and bounded forms -------------------------------------------

constexpr double passThrough(double x) { return x; }

// Bounded form constants: above P becomes Q; then below R becomes S.
struct Bounds {
    double p, q, r, s;
};

constexpr double bounded(double x, const Bounds& b) {
    if (x > b.p) x = b.q;
    if (x < b.r) x = b.s;
    return x;
}

// ---- state forms ---------------------------------------------------------------

// One step of a state form: `next` if v > threshold (strict, false for NaN),
// else the state so far. Chain steps so that later tests override earlier
// ones: above(above(0.0, a, 0.0, 1.0), d, 16000.0, 2.0).
constexpr double above(double state, double v, double threshold, double next) {
    return v > threshold ? next : state;
}

// ---- text form -----------------------------------------------------------------

enum class Transform : uint32_t {
    kNone,              // the single-precision value itself
    kDivide,            // divided by the constant
    kRankineToCelsius,  // divided by 1.8, then 273.0 subtracted
};

// A parsed printf conversion "%[flags][width][.precision]f" (or F), with
// literal text before and after it. Built at compile time by textForm().
struct Conversion {
    uint32_t start = 0;          // index of its '%' in the format
    uint32_t end = 0;            // index of the first format character after it
    uint32_t width = 0;
    uint32_t precision = 6;
    bool left = false;           // '-'
    bool plus = false;           // '+'
    bool space = false;          // ' '
    bool zero = false;           // '0'
    bool alternate = false;      // '#'
    bool upper = false;          // 'F'
};

inline constexpr uint32_t kMaxFormatLength = 23;
inline constexpr uint32_t kMaxPrecision = 9;
inline constexpr uint32_t kMaxWidth = 99;

// One text routine instance: the format and the transform.
struct TextForm {
    char format[kMaxFormatLength + 1];  // NUL-terminated; "%%" is a literal '%'
    Transform transform;
    double constant;      // the divisor of kDivide
    Conversion conv;
};

namespace detail {
// Not a constant expression: reached only by a format textForm() rejects,
// which makes the compile fail.
inline void unsupportedFormat() {}

constexpr Conversion parseFormat(const char* f) {
    Conversion c;
    uint32_t i = 0;
    bool found = false;
    while (f[i] != '\0') {
        if (f[i] != '%') { ++i; continue; }
        if (f[i + 1] == '%') { i += 2; continue; }
        if (found) unsupportedFormat();  // one conversion only
        found = true;
        c.start = i;
        ++i;
        for (;; ++i) {
            if (f[i] == '-') c.left = true;
            else if (f[i] == '+') c.plus = true;
            else if (f[i] == ' ') c.space = true;
            else if (f[i] == '0') c.zero = true;
            else if (f[i] == '#') c.alternate = true;
            else break;
        }
        while (f[i] >= '0' && f[i] <= '9') c.width = c.width * 10 + uint32_t(f[i++] - '0');
        if (f[i] == '.') {
            ++i;
            c.precision = 0;
            while (f[i] >= '0' && f[i] <= '9') c.precision = c.precision * 10 + uint32_t(f[i++] - '0');
        }
        if (f[i] == 'F') c.upper = true;
        else if (f[i] != 'f') unsupportedFormat();  // only the f conversion
        ++i;
        c.end = i;
        if (c.width > kMaxWidth || c.precision > kMaxPrecision) unsupportedFormat();
    }
    if (!found) unsupportedFormat();
    return c;
}
}  // namespace detail

// Builds a text form; a format the runtime does not support does not compile
// (when used in a constant expression, as every gauge does).
consteval TextForm textForm(const char* format, Transform transform = Transform::kNone,
                            double constant = 1.0) {
    TextForm t{};
    uint32_t n = 0;
    while (format[n] != '\0') {
        if (n == kMaxFormatLength) detail::unsupportedFormat();
        t.format[n] = format[n];
        ++n;
    }
    t.transform = transform;
    t.constant = constant;
    t.conv = detail::parseFormat(t.format);
    return t;
}

// Steps 1 to 4 of the text form: the widened single-precision value that the
// routine formats and returns.
double textValue(double x, const TextForm& form);

// Formats the single-precision value `v`, exactly, with the form's format into
// `out`, writing at most `capacity` bytes including the terminating NUL
// (nothing when capacity is 0). The text equals C99 snprintf's for the
// widened value (glibc's, as the native tests check). Follows
// C99 printf "%f": correctly rounded, ties to even on the exact binary value,
// "-0" for negative zero, "inf"/"nan" (upper case for F) with a sign when the
// sign bit is set and space padding. Returns the length the whole text has
// (like snprintf), which may exceed what was written.
size_t formatText(char* out, size_t capacity, const TextForm& form, float v);

// The whole text form: writes the text into `out` (kReadoutCapacity bytes at
// most; nothing when out is null) and returns the formatted value.
double runTextForm(double x, const TextForm& form, char* out);

}  // namespace gaugert
