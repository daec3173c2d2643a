// RIFF WAVE files as bytes, well-formed or not: the one writer of the native
// and Wine tests and of gaugehost's click sound. Header-only, for the native
// compiler and for 32-bit Windows alike.
//
//   wave::file(wave::pcm(1, 16, 22050), samples)         a valid PCM file
//   wave::riff("WAVE", wave::join({wave::chunk("fmt ", wave::fmt(f)), wave::chunk("data", samples)}))
//
// Every size is written as given where a declared size is passed, so that
// sizes may disagree with the bytes that follow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace wave {

using Bytes = std::vector<uint8_t>;

// The fields of a "fmt " chunk, in file order (WAVEFORMATEX).
struct Format {
    uint16_t tag;
    uint16_t channels;
    uint32_t rate;
    uint32_t averageBytes;
    uint16_t blockAlign;
    uint16_t bits;
    uint16_t extraSize;
};

// A PCM format whose block align and average bytes follow from the rest.
inline Format pcm(uint16_t channels, uint16_t bits, uint32_t rate) {
    const uint16_t block = uint16_t(channels * (bits / 8));
    return {1, channels, rate, rate * block, block, bits, 0};
}

inline void put16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void put32(Bytes& b, uint32_t v) {
    put16(b, uint16_t(v));
    put16(b, uint16_t(v >> 16));
}
// Overwrites the 32-bit little-endian word at `offset`.
inline void poke32(Bytes& b, size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(offset + i) = uint8_t(v >> (8 * i));
}
inline void putTag(Bytes& b, const char* tag) { b.insert(b.end(), tag, tag + 4); }

// The parts one after another.
inline Bytes join(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}

// The body of a "fmt " chunk: the 18 bytes of `f`, cut to (or padded with
// zeros to) `bytes`. 16 is the short PCM form without the extra size.
inline Bytes fmt(const Format& f, size_t bytes = 16) {
    Bytes b;
    put16(b, f.tag);
    put16(b, f.channels);
    put32(b, f.rate);
    put32(b, f.averageBytes);
    put16(b, f.blockAlign);
    put16(b, f.bits);
    put16(b, f.extraSize);
    b.resize(bytes, 0);
    return b;
}

// A chunk declaring `declared` bytes of data, followed by `data` and, after
// an odd count, a pad byte.
inline Bytes chunk(const char* id, uint32_t declared, const Bytes& data) {
    Bytes b;
    putTag(b, id);
    put32(b, declared);
    b.insert(b.end(), data.begin(), data.end());
    if (data.size() % 2) b.push_back(0);
    return b;
}
inline Bytes chunk(const char* id, const Bytes& data) { return chunk(id, uint32_t(data.size()), data); }

// A RIFF chunk of form type `form` around `body`, its size declared as given
// or as what follows the size field.
inline Bytes riff(const char* form, uint32_t declared, const Bytes& body) {
    Bytes b;
    putTag(b, "RIFF");
    put32(b, declared);
    putTag(b, form);
    return join({b, body});
}
inline Bytes riff(const char* form, const Bytes& body) { return riff(form, uint32_t(4 + body.size()), body); }

// A well-formed file: a fmt chunk of `fmtBytes` bytes, then the data chunk.
inline Bytes file(const Format& f, const Bytes& samples, size_t fmtBytes = 16) {
    return riff("WAVE", join({chunk("fmt ", fmt(f, fmtBytes)), chunk("data", samples)}));
}

}  // namespace wave
