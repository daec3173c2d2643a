// Writes every registered module's bitmaps as BMP files:
//   bmpgen OUTDIR            all modules, into OUTDIR/<module>/
//   bmpgen OUTDIR MODULE...  only those
// Files are rewritten only when their bytes change, so builds stay quiet.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "canvas.h"

namespace {

bool writeIfChanged(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (in) {
        std::vector<uint8_t> old((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (old == bytes) return true;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bmpgen OUTDIR [MODULE...]\n");
        return 2;
    }
    const std::string outDir = argv[1];
    mkdir(outDir.c_str(), 0755);
    int written = 0;
    for (const bmpgen::RegisteredModule& m : bmpgen::registeredModules()) {
        bool wanted = argc == 2;
        for (int i = 2; i < argc; ++i) wanted = wanted || std::strcmp(argv[i], m.module) == 0;
        if (!wanted) continue;
        const std::string dir = outDir + "/" + m.module;
        mkdir(dir.c_str(), 0755);
        for (const bmpgen::Bitmap& b : m.draw()) {
            const std::vector<uint8_t> bytes =
                b.bitsPerPixel == 8 ? bmpgen::encodeBmp8(b.canvas) : bmpgen::encodeBmp24(b.canvas);
            if (!writeIfChanged(dir + "/" + b.file, bytes)) {
                std::fprintf(stderr, "bmpgen: cannot write %s/%s\n", dir.c_str(), b.file.c_str());
                return 1;
            }
            ++written;
        }
    }
    if (written == 0) {
        std::fprintf(stderr, "bmpgen: no bitmaps for the modules asked for\n");
        return 1;
    }
    return 0;
}
