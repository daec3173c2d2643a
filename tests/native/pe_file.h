// A small reader of PE32 files, enough to check the shipped modules from the
// outside: machine, kind, entry point, sections, export names and imported
// DLLs. The tests' one reader of their own, kept as an oracle: it reads the
// files from outside, natively and without a Windows loader, written apart
// from the host's reader (hostcore/pe_reader.cpp), which the native tests
// hold against it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// One imported routine: by name, or by ordinal only.
struct PeImport {
    std::string dll;
    std::string name;      // empty when imported by ordinal
    uint32_t ordinal = 0;  // when imported by ordinal
    bool byOrdinal = false;
};

struct PeSectionEntry {
    std::string name;
    uint32_t va = 0, vsize = 0, raw = 0, rawSize = 0, characteristics = 0;
};

struct PeFile {
    bool ok = false;
    std::string error;
    uint16_t machine = 0;          // 0x14C for i386
    uint16_t characteristics = 0;  // 0x2000: DLL
    uint16_t optionalMagic = 0;    // 0x10B for PE32
    uint32_t entryRva = 0;
    std::pair<uint16_t, uint16_t> subsystemVersion, osVersion;   // the oldest Windows it says it needs
    uint16_t subsystem = 0;                                      // 2 GUI, 3 console
    uint32_t ntOffset = 0;         // of the PE signature
    std::vector<PeSectionEntry> sections;
    std::vector<std::string> exports;
    std::vector<uint32_t> exportRvas;   // of the named exports, in the order of `exports`
    std::vector<std::string> importDlls;
    std::vector<PeImport> imports;
    std::vector<uint8_t> bytes;

    // File offset of an RVA, or -1 when no section holds it.
    long offsetOf(uint32_t rva) const;
    // File offset of data directory `index`'s entry.
    uint32_t directoryOffset(unsigned index) const { return ntOffset + 24 + 96 + 8 * index; }
};

PeFile readPe(const std::string& path);
