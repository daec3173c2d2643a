// One monovue display frame through the shipped module under Wine: code 6
// through GaugeCallback (two refreshes by the recording host), then the 28
// element routines through their records' pointers, as the host calls
// them. Prints the time per frame; the native benchmark of the same frame
// is tests/bench/monovue_bench.cpp.
//
//   wine build/win32/bin/wine_bench.exe [frames]
#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/wine/support.h"

using namespace winetest;

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 20000;
    Module m = loadModule("monovue");
    if (!m.complete()) return 1;
    uint8_t* header = m.gauge();
    const std::vector<uint8_t*> chain = walkChain(m, header).elements;
    if (chain.size() != 29) {
        std::fprintf(stderr, "monovue: %zu elements in the chain, not 29\n", chain.size());
        return 1;
    }
    Recorder rec;
    rec.attach(m);
    rec.vars[324] = 1;
    rec.vars[325] = 100;

    typedef void(__stdcall * Callback)(uint32_t, int32_t, uint32_t);
    typedef double(__stdcall * Routine)(void*);
    const Callback callback = reinterpret_cast<Callback>(at(header, 0x54));
    struct Call {
        Routine fn;
        uint8_t* element;
    };
    std::vector<Call> calls;
    static char buffers[29][16];
    for (size_t i = 1; i < chain.size(); ++i) {
        uint8_t* e = chain[i];
        const uint32_t kind = u32(e, 0x00);  // 1 needle, 2 string, 4 icon
        const uint32_t routine = kind == 1 ? 0xE0 : kind == 2 ? 0x138 : 0x84;
        if (kind == 2) {
            const uint32_t p = addr(buffers[i]);
            std::memcpy(e + 0xB8, &p, 4);
        }
        const double value = 1234.5 + i;
        std::memcpy(e + 0x48, &value, 8);
        calls.push_back({reinterpret_cast<Routine>(at(e, routine)), e});
    }

    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    double sink = 0;
    for (int n = 0; n < frames; ++n) {
        callback(0, 6, 0);
        for (const Call& c : calls) sink += c.fn(c.element);
        rec.calls.clear();
    }
    QueryPerformanceCounter(&t1);
    const double ns = double(t1.QuadPart - t0.QuadPart) * 1e9 / double(f.QuadPart) / frames;
    std::printf("monovue frame through the module under Wine: %.0f ns (code 6 + %zu routines, %d frames)%s\n", ns,
                calls.size(), frames, std::isnan(sink) ? " [a routine returned not-a-number]" : "");
    unloadModule(m);
    return 0;
}
