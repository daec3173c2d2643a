#include "forms.h"

#include <bit>
#include <cmath>

namespace gaugert {

double textValue(double x, const TextForm& form) {
    const float single = static_cast<float>(x);  // 1. nearest float (IEEE: out of range -> inf)
    double t = single;
    switch (form.transform) {                    // 2. in double, double constants
        case Transform::kNone:
            break;
        case Transform::kDivide:
            t = t / form.constant;
            break;
        case Transform::kRankineToCelsius:
            t = t / 1.8 - 273.0;
            break;
    }
    return static_cast<double>(static_cast<float>(t));  // 3. nearest float, 4. widened
}

namespace {

// Bounded output: keeps counting past the capacity, writes only within it.
struct Writer {
    char* out;
    size_t capacity;
    size_t length = 0;

    void put(char c) {
        if (length + 1 < capacity) out[length] = c;
        ++length;
    }
    void put(const char* s, size_t n) {
        for (size_t i = 0; i < n; ++i) put(s[i]);
    }
    void repeat(char c, size_t n) {
        for (size_t i = 0; i < n; ++i) put(c);
    }
    void finish() {
        if (capacity == 0) return;
        out[length < capacity ? length : capacity - 1] = '\0';
    }
};

constexpr uint32_t kPow10[] = {1,      10,      100,      1000,      10000,
                               100000, 1000000, 10000000, 100000000, 1000000000};

// Digits of an unsigned 64-bit number, most significant first; returns the count.
size_t decimal(uint64_t v, char* buf) {
    char tmp[20];
    size_t n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (size_t i = 0; i < n; ++i) buf[i] = tmp[n - 1 - i];
    return n;
}

// Decimal digits of round(a * 10^precision), a finite non-negative float,
// rounded to nearest with ties to even on the exact binary value. Returns
// the digit count (at most 39 + 9 = 48); `buf` holds 64.
size_t scaledDigits(float a, uint32_t precision, char* buf) {
    const uint32_t bits = std::bit_cast<uint32_t>(a);
    const uint32_t biased = bits >> 23;
    const uint32_t fraction = bits & 0x7FFFFF;
    const uint64_t m = biased == 0 ? fraction : (fraction | 0x800000);  // a = m * 2^e
    const int e = biased == 0 ? -149 : static_cast<int>(biased) - 150;
    const uint64_t scaled = m * kPow10[precision];                      // < 2^54

    if (e < 0) {
        const int s = -e;
        if (s >= 64) return decimal(0, buf);  // below half a unit: scaled < 2^63 <= 2^(s-1)
        uint64_t q = scaled >> s;
        const uint64_t rest = scaled - (q << s);
        const uint64_t half = uint64_t{1} << (s - 1);
        if (rest > half || (rest == half && (q & 1) != 0)) ++q;
        return decimal(q, buf);
    }

    // a * 10^p = scaled * 2^e, an integer below 2^(54 + 104): six 32-bit
    // limbs, least significant first.
    uint32_t limb[6] = {0, 0, 0, 0, 0, 0};
    const int word = e / 32, shift = e % 32;
    const uint64_t low = (scaled & 0xFFFFFFFFu) << shift;       // < 2^63
    const uint64_t high = ((scaled >> 32) << shift) + (low >> 32);  // < 2^54
    limb[word] = static_cast<uint32_t>(low);
    limb[word + 1] = static_cast<uint32_t>(high);
    limb[word + 2] = static_cast<uint32_t>(high >> 32);              // word <= 3
    // Repeated division by 10^9 gives nine digits at a time, least
    // significant chunk first.
    uint32_t chunks[6];
    int chunkCount = 0;
    int top = 5;
    while (top >= 0 && limb[top] == 0) --top;
    while (top >= 0) {
        uint64_t rem = 0;
        for (int i = top; i >= 0; --i) {
            const uint64_t cur = (rem << 32) | limb[i];
            limb[i] = static_cast<uint32_t>(cur / 1000000000u);
            rem = cur % 1000000000u;
        }
        chunks[chunkCount++] = static_cast<uint32_t>(rem);
        while (top >= 0 && limb[top] == 0) --top;
    }
    if (chunkCount == 0) return decimal(0, buf);
    size_t n = decimal(chunks[chunkCount - 1], buf);
    for (int c = chunkCount - 2; c >= 0; --c) {
        uint32_t v = chunks[c];
        for (int d = 8; d >= 0; --d) {
            buf[n + d] = static_cast<char>('0' + v % 10);
            v /= 10;
        }
        n += 9;
    }
    return n;
}

}  // namespace

size_t formatText(char* out, size_t capacity, const TextForm& form, float v) {
    const Conversion& c = form.conv;
    Writer w{out, capacity};
    const char* f = form.format;

    // Literal text before the conversion.
    for (uint32_t i = 0; i < c.start; ++i) {
        if (f[i] == '%') ++i;  // "%%"
        w.put(f[i]);
    }

    const bool negative = std::signbit(v);
    const char sign = negative ? '-' : c.plus ? '+' : c.space ? ' ' : '\0';
    const size_t signLength = sign != '\0' ? 1 : 0;

    char digits[64];
    const char* body;
    size_t bodyLength;
    size_t integerDigits = 0;
    bool finite = std::isfinite(v);
    if (!finite) {
        body = std::isnan(v) ? (c.upper ? "NAN" : "nan") : (c.upper ? "INF" : "inf");
        bodyLength = 3;
    } else {
        const float a = negative ? -v : v;
        size_t n = scaledDigits(a, c.precision, digits);
        if (n < c.precision + 1) {  // at least one integer digit
            const size_t pad = c.precision + 1 - n;
            for (size_t i = n; i-- > 0;) digits[i + pad] = digits[i];
            for (size_t i = 0; i < pad; ++i) digits[i] = '0';
            n = c.precision + 1;
        }
        integerDigits = n - c.precision;
        body = digits;
        bodyLength = n + (c.precision > 0 || c.alternate ? 1 : 0);
    }

    const size_t total = signLength + bodyLength;
    const size_t pad = c.width > total ? c.width - total : 0;
    auto putBody = [&] {
        if (!finite) {
            w.put(body, bodyLength);
            return;
        }
        w.put(body, integerDigits);
        if (c.precision > 0 || c.alternate) w.put('.');
        w.put(body + integerDigits, c.precision);
    };
    if (c.left) {
        if (signLength) w.put(sign);
        putBody();
        w.repeat(' ', pad);
    } else if (c.zero && finite) {
        if (signLength) w.put(sign);
        w.repeat('0', pad);
        putBody();
    } else {
        w.repeat(' ', pad);
        if (signLength) w.put(sign);
        putBody();
    }

    // Literal text after it.
    for (uint32_t i = c.end; f[i] != '\0'; ++i) {
        if (f[i] == '%') ++i;
        w.put(f[i]);
    }
    w.finish();
    return w.length;
}

double runTextForm(double x, const TextForm& form, char* out) {
    const double v = textValue(x, form);
    if (out != nullptr) formatText(out, kReadoutCapacity, form, static_cast<float>(v));
    return v;
}

}  // namespace gaugert
