// A small reader of PE32 files, enough to check the shipped modules from the
// outside: machine, kind, entry point, export names and imported DLLs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One imported routine: by name, or by ordinal only.
struct PeImport {
    std::string dll;
    std::string name;      // empty when imported by ordinal
    uint32_t ordinal = 0;  // when imported by ordinal
    bool byOrdinal = false;
};

struct PeFile {
    bool ok = false;
    std::string error;
    uint16_t machine = 0;          // 0x14C for i386
    uint16_t characteristics = 0;  // 0x2000: DLL
    uint16_t optionalMagic = 0;    // 0x10B for PE32
    uint32_t entryRva = 0;
    std::vector<std::string> exports;
    std::vector<std::string> importDlls;
    std::vector<PeImport> imports;
    std::vector<uint8_t> bytes;

    // File offset of an RVA, or -1 when no section holds it.
    long offsetOf(uint32_t rva) const;
};

PeFile readPe(const std::string& path);
