// Pictures as PNG files, with stb's writer. The live panel encodes a
// picture each time a gauge changes, hundreds a second: every row takes the
// "Sub" filter (a gauge's flat areas become runs of zeros) rather than the
// best of five tried per row, and the compressor looks for matches briefly.
// Pictures of flat colours still compress to a few kilobytes.
#include <cstdint>
#include <string>
#include <vector>

#include "errors.h"
#include "files.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb_image_write.h>

namespace gaugehost {

std::string encodePng(const Picture& p) {
    if (p.width <= 0 || p.height <= 0 || p.px.size() != size_t(p.width) * size_t(p.height))
        throw HostFault("cannot encode a PNG picture of " + std::to_string(p.width) + " x " + std::to_string(p.height));
    std::vector<uint8_t> rgb(p.px.size() * 3);
    for (size_t i = 0; i < p.px.size(); ++i) {
        rgb[3 * i] = uint8_t(p.px[i] >> 16);
        rgb[3 * i + 1] = uint8_t(p.px[i] >> 8);
        rgb[3 * i + 2] = uint8_t(p.px[i]);
    }
    // stb's settings are globals; the host sets them once, to the same values.
    stbi_write_force_png_filter = 1;   // Sub
    stbi_write_png_compression_level = 2;
    std::string out;
    auto append = [](void* context, void* data, int size) {
        static_cast<std::string*>(context)->append(static_cast<const char*>(data), size_t(size));
    };
    if (!stbi_write_png_to_func(append, &out, p.width, p.height, 3, rgb.data(), p.width * 3))
        throw HostFault("cannot encode a PNG picture of " + std::to_string(p.width) + " x " + std::to_string(p.height));
    return out;
}

}  // namespace gaugehost
