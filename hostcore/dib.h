// Device-independent bitmaps, as a module's bitmap resources and a panel's
// background files hold them: the one reader of their pixels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gaugehost {

// A decoded bitmap: top-down rows of 0x00RRGGBB.
struct Bitmap {
    uint32_t id = 0;
    int width = 0, height = 0, bits = 0;
    uint32_t bytes = 0;        // size of the resource or file
    std::string problem;       // empty when the bitmap decoded
    std::vector<uint32_t> pixels;
    uint32_t at(int x, int y) const { return pixels[size_t(y) * width + x]; }
};

// Decodes a DIB (BITMAPINFOHEADER form or a later one, uncompressed, 1 to
// 32 bits, bottom-up or top-down) of `n` bytes. Sets `problem` when it cannot.
void decodeDib(const uint8_t* p, uint32_t n, Bitmap& b);

// The same for a .bmp file's bytes: the file header, then the DIB.
void decodeBmpFile(const std::string& bytes, Bitmap& b);

}  // namespace gaugehost
