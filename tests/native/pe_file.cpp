#include "pe_file.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

uint32_t rd32(const std::vector<uint8_t>& b, size_t o) {
    uint32_t v = 0;
    if (o + 4 <= b.size()) std::memcpy(&v, &b[o], 4);
    return v;
}
uint16_t rd16(const std::vector<uint8_t>& b, size_t o) {
    uint16_t v = 0;
    if (o + 2 <= b.size()) std::memcpy(&v, &b[o], 2);
    return v;
}

}  // namespace

long PeFile::offsetOf(uint32_t rva) const {
    for (const PeSectionEntry& s : sections)
        if (rva >= s.va && rva < s.va + std::max(s.vsize, s.rawSize)) return static_cast<long>(rva - s.va + s.raw);
    return -1;
}

static std::string cString(const PeFile& pe, uint32_t rva) {
    const long off = pe.offsetOf(rva);
    if (off < 0) return "<bad rva>";
    std::string s;
    for (size_t i = static_cast<size_t>(off); i < pe.bytes.size() && pe.bytes[i]; ++i) s += static_cast<char>(pe.bytes[i]);
    return s;
}

PeFile readPe(const std::string& path) {
    PeFile pe;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        pe.error = "cannot open " + path;
        return pe;
    }
    pe.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const auto& b = pe.bytes;
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') {
        pe.error = "no MZ header";
        return pe;
    }
    const uint32_t nt = rd32(b, 0x3C);
    if (rd32(b, nt) != 0x00004550) {
        pe.error = "no PE signature";
        return pe;
    }
    pe.machine = rd16(b, nt + 4);
    const uint16_t nsec = rd16(b, nt + 6);
    const uint16_t optSize = rd16(b, nt + 20);
    pe.characteristics = rd16(b, nt + 22);
    const uint32_t opt = nt + 24;
    pe.optionalMagic = rd16(b, opt);
    pe.entryRva = rd32(b, opt + 16);
    pe.subsystemVersion = {rd16(b, opt + 48), rd16(b, opt + 50)};
    pe.osVersion = {rd16(b, opt + 40), rd16(b, opt + 42)};
    pe.subsystem = rd16(b, opt + 68);
    const uint32_t dirs = opt + 96;  // PE32 data directories
    pe.ntOffset = nt;
    for (uint16_t i = 0; i < nsec; ++i) {
        const uint32_t s = opt + optSize + 40 * i;
        PeSectionEntry e;
        for (uint32_t k = 0; k < 8 && s + k < b.size() && b[s + k]; ++k) e.name += static_cast<char>(b[s + k]);
        e.va = rd32(b, s + 12);
        e.vsize = rd32(b, s + 8);
        e.raw = rd32(b, s + 20);
        e.rawSize = rd32(b, s + 16);
        e.characteristics = rd32(b, s + 36);
        pe.sections.push_back(e);
    }
    // Exports: names by the name pointer table.
    const uint32_t expRva = rd32(b, dirs + 0);
    if (expRva) {
        const long e = pe.offsetOf(expRva);
        const uint32_t nNames = rd32(b, e + 24);
        const long names = pe.offsetOf(rd32(b, e + 32));
        const uint32_t nFunctions = rd32(b, e + 20);
        const long ordinals = pe.offsetOf(rd32(b, e + 36));
        const long functions = pe.offsetOf(rd32(b, e + 28));
        for (uint32_t i = 0; i < nNames; ++i) {
            pe.exports.push_back(cString(pe, rd32(b, names + 4 * i)));
            pe.exportRvas.push_back(rd32(b, functions + 4 * rd16(b, ordinals + 2 * i)));
        }
        // An export by ordinal only would show as a function without a name.
        for (uint32_t i = nNames; i < nFunctions; ++i) pe.exports.push_back("<ordinal only>");
    }
    // Imports: one descriptor per DLL, ended by a zero descriptor.
    const uint32_t impRva = rd32(b, dirs + 8);
    if (impRva) {
        for (long d = pe.offsetOf(impRva); d >= 0 && rd32(b, d + 12) != 0; d += 20) {
            const std::string dll = cString(pe, rd32(b, d + 12));
            pe.importDlls.push_back(dll);
            // PE32 thunks: the lookup table, or the address table when there
            // is none; the high bit marks an import by ordinal.
            const uint32_t lookup = rd32(b, d) ? rd32(b, d) : rd32(b, d + 16);
            for (long t = pe.offsetOf(lookup); t >= 0 && rd32(b, t) != 0; t += 4) {
                const uint32_t thunk = rd32(b, t);
                PeImport imp;
                imp.dll = dll;
                if (thunk & 0x80000000u) {
                    imp.byOrdinal = true;
                    imp.ordinal = thunk & 0xFFFF;
                } else {
                    imp.name = cString(pe, thunk + 2);  // after the hint
                }
                pe.imports.push_back(imp);
            }
        }
    }
    pe.ok = true;
    return pe;
}
