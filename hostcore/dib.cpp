#include "dib.h"

#include <windows.h>

#include <cstring>

namespace gaugehost {

void decodeDib(const uint8_t* p, uint32_t n, Bitmap& b) {
    if (n < sizeof(BITMAPINFOHEADER)) { b.problem = "shorter than a bitmap header"; return; }
    BITMAPINFOHEADER h;
    std::memcpy(&h, p, sizeof h);
    b.bits = h.biBitCount;
    if (h.biSize < sizeof h || h.biSize > n) { b.problem = "bad header size " + std::to_string(h.biSize); return; }
    const int32_t w = h.biWidth, ht = h.biHeight;
    if (w <= 0 || w > 8192 || ht == 0 || ht < -8192 || ht > 8192) { b.problem = "bad dimensions"; return; }
    b.width = w;
    b.height = ht < 0 ? -ht : ht;
    if (h.biPlanes != 1) { b.problem = "planes is not 1"; return; }
    if (b.bits != 1 && b.bits != 4 && b.bits != 8 && b.bits != 24 && b.bits != 32) {
        b.problem = "unsupported bit depth " + std::to_string(b.bits);
        return;
    }
    if (h.biCompression != BI_RGB) { b.problem = "compressed bitmaps are not supported"; return; }
    uint32_t colours = h.biClrUsed;
    if (b.bits <= 8) {
        if (colours == 0) colours = 1u << b.bits;
        if (colours > (1u << b.bits)) { b.problem = "palette larger than the bit depth allows"; return; }
    } else {
        colours = 0;
    }
    const uint64_t stride = (uint64_t(w) * b.bits + 31) / 32 * 4;
    const uint64_t need = uint64_t(h.biSize) + colours * uint64_t(sizeof(RGBQUAD)) + stride * b.height;
    if (need > n) {
        b.problem = "pixel data runs past the resource (" + std::to_string(need) + " > " + std::to_string(n) + " bytes)";
        return;
    }
    const uint8_t* pal = p + h.biSize;
    const uint8_t* bits = pal + colours * sizeof(RGBQUAD);
    b.pixels.resize(size_t(w) * b.height);
    for (int y = 0; y < b.height; ++y) {
        const uint8_t* row = bits + stride * (ht > 0 ? b.height - 1 - y : y);
        for (int x = 0; x < w; ++x) {
            const uint8_t* q;
            if (b.bits >= 24) {
                q = row + x * (b.bits / 8);
            } else {
                const int per = 8 / b.bits;
                const uint32_t byte = row[x / per];
                const uint32_t idx = (byte >> ((per - 1 - x % per) * b.bits)) & ((1u << b.bits) - 1);
                if (idx >= colours) { b.problem = "pixel refers past the palette"; b.pixels.clear(); return; }
                q = pal + idx * sizeof(RGBQUAD);
            }
            b.pixels[size_t(y) * w + x] = (uint32_t(q[2]) << 16) | (uint32_t(q[1]) << 8) | q[0];
        }
    }
}

void decodeBmpFile(const std::string& bytes, Bitmap& b) {
    b.bytes = uint32_t(bytes.size());
    BITMAPFILEHEADER f;
    if (bytes.size() < sizeof f + sizeof(BITMAPINFOHEADER)) { b.problem = "shorter than a bitmap file's headers"; return; }
    std::memcpy(&f, bytes.data(), sizeof f);
    if (f.bfType != 0x4D42) { b.problem = "not a bitmap file (no BM signature)"; return; }
    const auto* dib = reinterpret_cast<const uint8_t*>(bytes.data()) + sizeof f;
    const uint32_t n = uint32_t(bytes.size() - sizeof f);
    // The pixels may lie elsewhere than right after the palette: the file
    // header says where. Build the DIB as the resource form has it.
    BITMAPINFOHEADER h;
    std::memcpy(&h, dib, sizeof h);
    if (f.bfOffBits < sizeof f + h.biSize || f.bfOffBits > bytes.size()) { b.problem = "bad pixel data offset"; return; }
    uint32_t colours = h.biBitCount <= 8 ? (h.biClrUsed ? h.biClrUsed : 1u << h.biBitCount) : 0;
    const uint64_t tableEnd = uint64_t(sizeof f) + h.biSize + uint64_t(colours) * 4;
    if (tableEnd == f.bfOffBits || tableEnd > bytes.size() || f.bfOffBits < tableEnd) {
        decodeDib(dib, n, b);
    } else {
        std::string joined(reinterpret_cast<const char*>(dib), size_t(tableEnd - sizeof f));
        joined.append(bytes, f.bfOffBits, std::string::npos);
        decodeDib(reinterpret_cast<const uint8_t*>(joined.data()), uint32_t(joined.size()), b);
    }
    b.bytes = uint32_t(bytes.size());
}

}  // namespace gaugehost
