// PNG files of the host's pictures, written fast: the live panel encodes a
// picture each time a gauge changes, hundreds a second. Every row is
// filtered with "Sub" (the gauges' flat areas become runs of zeros), and
// compressed by a greedy LZ77 with one candidate per hash into one block of
// DEFLATE's fixed Huffman codes. Pictures of flat colours compress about as
// well as with a thorough encoder, at a small part of its time.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "errors.h"
#include "files.h"

namespace gaugehost {

namespace {

// ---- checksums -----------------------------------------------------------------------

const std::array<uint32_t, 256>& crcTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
    const auto& t = crcTable();
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) crc = t[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t adler32(const uint8_t* p, size_t n) {
    uint32_t a = 1, b = 0;
    while (n) {
        const size_t chunk = n < 5552 ? n : 5552;   // no overflow before the modulo
        for (size_t i = 0; i < chunk; ++i) {
            a += p[i];
            b += a;
        }
        a %= 65521;
        b %= 65521;
        p += chunk;
        n -= chunk;
    }
    return b << 16 | a;
}

// ---- DEFLATE with the fixed codes --------------------------------------------------------

class BitWriter {
public:
    explicit BitWriter(std::string& out) : out_(out) {}
    // `count` bits of `bits` (at most 16), least significant first.
    void put(uint32_t bits, int count) {
        acc_ |= bits << used_;
        used_ += count;
        if (used_ >= 16) {
            out_ += char(acc_ & 0xFF);
            out_ += char((acc_ >> 8) & 0xFF);
            acc_ >>= 16;
            used_ -= 16;
        }
    }
    void flush() {
        while (used_ > 0) {
            out_ += char(acc_ & 0xFF);
            acc_ >>= 8;
            used_ -= 8;
        }
        used_ = 0;
    }

private:
    std::string& out_;
    uint32_t acc_ = 0;
    int used_ = 0;
};

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// A Huffman code (most significant bit first) as the bits to put.
uint32_t reversed(uint32_t code, int count) {
    uint32_t r = 0;
    for (int i = 0; i < count; ++i) r |= ((code >> i) & 1) << (count - 1 - i);
    return r;
}

// The literal/length symbol's fixed code.
void symbol(BitWriter& w, unsigned s) {
    struct Code {
        uint16_t bits;
        uint8_t count;
    };
    static const auto codes = [] {
        std::array<Code, 288> t{};
        for (unsigned v = 0; v < 288; ++v) {
            const auto [code, count] = v < 144   ? std::pair<uint32_t, int>(0x30 + v, 8)
                                       : v < 256 ? std::pair<uint32_t, int>(0x190 + (v - 144), 9)
                                       : v < 280 ? std::pair<uint32_t, int>(v - 256, 7)
                                                 : std::pair<uint32_t, int>(0xC0 + (v - 280), 8);
            t[v] = {uint16_t(reversed(code, count)), uint8_t(count)};
        }
        return t;
    }();
    w.put(codes[s].bits, codes[s].count);
}

void match(BitWriter& w, unsigned length, unsigned distance) {
    static const auto lengthCode = [] {
        std::array<uint8_t, 259> t{};
        for (int c = 0; c < 29; ++c)
            for (unsigned l = kLengthBase[c]; l < (c < 28 ? kLengthBase[c + 1] : 259u); ++l) t[l] = uint8_t(c);
        return t;
    }();
    const unsigned lc = lengthCode[length];
    symbol(w, 257 + lc);
    if (kLengthExtra[lc]) w.put(length - kLengthBase[lc], kLengthExtra[lc]);
    // Codes 0 to 3 are distances 1 to 4; from there two codes a power of two.
    unsigned dc = distance - 1;
    if (distance > 4) {
        const unsigned top = 31u - unsigned(__builtin_clz(distance - 1));
        dc = 2 * top + (((distance - 1) >> (top - 1)) & 1);
    }
    w.put(reversed(dc, 5), 5);
    if (kDistanceExtra[dc]) w.put(distance - kDistanceBase[dc], kDistanceExtra[dc]);
}

constexpr unsigned kMinMatch = 4, kMaxMatch = 258, kWindow = 32768, kHashBits = 14;

void deflateFixed(const uint8_t* data, size_t n, std::string& out) {
    BitWriter w(out);
    w.put(1, 1);   // the last block
    w.put(1, 2);   // fixed Huffman codes
    std::vector<int32_t> head(size_t(1) << kHashBits, -1);
    auto hash = [&](size_t i) {
        uint32_t v;
        std::memcpy(&v, data + i, 4);
        return (v * 2654435761u) >> (32 - kHashBits);
    };
    size_t i = 0;
    while (i + kMinMatch <= n) {
        const uint32_t h = hash(i);
        const int32_t candidate = head[h];
        head[h] = int32_t(i);
        if (candidate >= 0 && i - size_t(candidate) <= kWindow &&
            std::memcmp(data + candidate, data + i, kMinMatch) == 0) {
            size_t length = kMinMatch;
            const size_t most = std::min<size_t>(kMaxMatch, n - i);
            while (length + 4 <= most) {   // four bytes at a time
                uint32_t a, b;
                std::memcpy(&a, data + candidate + length, 4);
                std::memcpy(&b, data + i + length, 4);
                if (a != b) {
                    length += unsigned(__builtin_ctz(a ^ b)) / 8;
                    break;
                }
                length += 4;
            }
            while (length < most && data[candidate + length] == data[i + length]) ++length;
            match(w, unsigned(length), unsigned(i - size_t(candidate)));
            // The last positions the match covers join the table: a run
            // goes on matching itself from there.
            const size_t end = i + length;
            for (size_t j = std::max(i + 1, end - 2); j + kMinMatch <= n && j < end; ++j) head[hash(j)] = int32_t(j);
            i = end;
            continue;
        }
        symbol(w, data[i]);
        ++i;
    }
    for (; i < n; ++i) symbol(w, data[i]);
    symbol(w, 256);   // the block's end
    w.flush();
}

void put32(std::string& s, uint32_t v) {
    s += char(v >> 24);
    s += char(v >> 16);
    s += char(v >> 8);
    s += char(v);
}

void chunk(std::string& png, const char* type, const std::string& data) {
    put32(png, uint32_t(data.size()));
    const size_t start = png.size();
    png.append(type, 4);
    png += data;
    put32(png, crc32(reinterpret_cast<const uint8_t*>(png.data() + start), png.size() - start));
}

}  // namespace

std::string encodePng(const Picture& p) {
    if (p.width <= 0 || p.height <= 0 || p.px.size() != size_t(p.width) * size_t(p.height))
        throw HostFault("cannot encode a PNG picture of " + std::to_string(p.width) + " x " + std::to_string(p.height));
    // The filtered rows: a filter byte (1, Sub), then each byte less the
    // same byte of the pixel to its left.
    const size_t row = size_t(p.width) * 3 + 1;
    std::vector<uint8_t> raw(row * size_t(p.height));
    for (int y = 0; y < p.height; ++y) {
        uint8_t* out = raw.data() + row * size_t(y);
        *out++ = 1;
        uint32_t left = 0;
        for (int x = 0; x < p.width; ++x) {
            const uint32_t c = p.px[size_t(y) * size_t(p.width) + size_t(x)];
            *out++ = uint8_t((c >> 16) - (left >> 16));
            *out++ = uint8_t((c >> 8) - (left >> 8));
            *out++ = uint8_t(c - left);
            left = c;
        }
    }
    std::string z;
    z.reserve(raw.size() / 4 + 64);
    z += char(0x78);   // DEFLATE, 32 KiB window
    z += char(0x01);   // no dictionary, fastest
    deflateFixed(raw.data(), raw.size(), z);
    put32(z, adler32(raw.data(), raw.size()));

    std::string png("\x89PNG\r\n\x1a\n", 8);
    std::string header;
    put32(header, uint32_t(p.width));
    put32(header, uint32_t(p.height));
    header += char(8);   // bits a sample
    header += char(2);   // RGB
    header += std::string(3, '\0');   // deflate, adaptive filtering, no interlace
    chunk(png, "IHDR", header);
    chunk(png, "IDAT", z);
    chunk(png, "IEND", "");
    return png;
}

}  // namespace gaugehost
