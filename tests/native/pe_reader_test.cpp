// The host's PE reader (hostcore/pe_reader.cpp) held against the tests' own
// reader (pe_file.cpp) on every shipped module, as a file and as an image
// mapped the way the loader maps one; and malformed modules, each refused
// with the structure and the offset named.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "hostcore/hex.h"
#include "hostcore/pe_reader.h"
#include "pe_file.h"
#include "tests/support/dist.h"

namespace {

using gaugehost::hex;
using gaugehost::ModuleError;
using gaugehost::PeLayout;
using gaugehost::PeReader;

uint32_t get32(const std::vector<uint8_t>& b, long at) {
    uint32_t v = 0;
    std::memcpy(&v, &b.at(size_t(at)), 4);
    return v;
}
void put32(std::vector<uint8_t>& b, long at, uint32_t v) { std::memcpy(&b.at(size_t(at)), &v, 4); }
void put16(std::vector<uint8_t>& b, long at, uint16_t v) { std::memcpy(&b.at(size_t(at)), &v, 2); }

// The file laid out as the loader maps it: the headers (all before the
// first section's data), then each section's bytes at its RVA.
std::vector<uint8_t> mapped(const PeFile& f, uint32_t imageSize) {
    std::vector<uint8_t> image(imageSize, 0);
    uint32_t headers = uint32_t(f.bytes.size());
    for (const PeSectionEntry& s : f.sections)
        if (s.rawSize) headers = std::min(headers, s.raw);
    std::copy_n(f.bytes.begin(), headers, image.begin());
    for (const PeSectionEntry& s : f.sections)
        std::copy_n(f.bytes.begin() + s.raw, std::min(s.rawSize, s.vsize), image.begin() + s.va);
    return image;
}

class Shipped : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        oracle = readPe(dist::modulePath(GetParam()));
        ASSERT_TRUE(oracle.ok) << oracle.error;
    }
    PeFile oracle;
};

TEST_P(Shipped, FileReadsAsTheOracleReadsIt) {
    const PeReader pe(oracle.bytes.data(), uint32_t(oracle.bytes.size()), PeLayout::File);
    EXPECT_EQ(pe.headers().machine, oracle.machine);
    EXPECT_EQ(pe.headers().characteristics, oracle.characteristics);
    EXPECT_EQ(pe.headers().magic, oracle.optionalMagic);
    EXPECT_EQ(pe.headers().entryPoint, oracle.entryRva);
    EXPECT_EQ(pe.headers().ntOffset, oracle.ntOffset);
    EXPECT_TRUE(pe.relocatable());

    ASSERT_EQ(pe.sections().size(), oracle.sections.size());
    for (size_t i = 0; i < oracle.sections.size(); ++i) {
        const auto& s = pe.sections()[i];
        const PeSectionEntry& o = oracle.sections[i];
        EXPECT_EQ(s.name, o.name);
        EXPECT_EQ(s.rva, o.va) << o.name;
        EXPECT_EQ(s.virtualSize, o.vsize) << o.name;
        EXPECT_EQ(s.fileOffset, o.raw) << o.name;
        EXPECT_EQ(s.rawSize, o.rawSize) << o.name;
        EXPECT_EQ(s.writable(), (o.characteristics & 0x80000000u) != 0) << o.name;
        EXPECT_EQ(s.executable(), (o.characteristics & 0x20000000u) != 0) << o.name;
    }

    for (size_t i = 0; i < oracle.exportRvas.size(); ++i)
        EXPECT_EQ(pe.exportRva(oracle.exports[i]), oracle.exportRvas[i]) << oracle.exports[i];
    EXPECT_EQ(pe.exportRva("NoSuchExport"), 0u);

    std::vector<std::string> dlls;
    for (const auto& d : pe.importedDlls()) dlls.push_back(d.name);
    EXPECT_EQ(dlls, oracle.importDlls);
    const std::vector<gaugehost::PeImport> imports = pe.imports();
    ASSERT_EQ(imports.size(), oracle.imports.size());
    for (size_t i = 0; i < imports.size(); ++i) {
        const gaugehost::PeImport& got = imports[i];
        const PeImport& want = oracle.imports[i];
        const std::string what = want.dll + "!" + (want.byOrdinal ? std::to_string(want.ordinal) : want.name);
        EXPECT_EQ(got.dll, want.dll) << what;
        EXPECT_EQ(got.byOrdinal, want.byOrdinal) << what;
        EXPECT_EQ(got.name, want.name) << what;
        EXPECT_EQ(got.ordinal, want.ordinal) << what;
        // Unbound, the slot holds what the lookup table holds: the RVA of
        // the hint and name, or the ordinal with the high bit.
        const long slot = oracle.offsetOf(got.slot);
        ASSERT_GE(slot, 0) << what;
        const uint32_t held = get32(oracle.bytes, slot);
        if (want.byOrdinal) {
            EXPECT_EQ(held, 0x80000000u | want.ordinal) << what;
        } else {
            ASSERT_GE(oracle.offsetOf(held + 2), 0) << what;
            EXPECT_STREQ(reinterpret_cast<const char*>(&oracle.bytes[size_t(oracle.offsetOf(held + 2))]), want.name.c_str());
        }
        // The slot of DLL X's function Y, whatever the case of X.
        std::string upper = want.dll;
        std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return char(std::toupper(c)); });
        EXPECT_EQ(want.byOrdinal ? pe.importSlot(upper, uint16_t(want.ordinal)) : pe.importSlot(upper, want.name), got.slot)
            << what;
    }
    if (!imports.empty()) {
        EXPECT_EQ(pe.importSlot(imports[0].dll, "NoSuchFunction"), 0u);
        EXPECT_EQ(pe.importSlot("nosuch.dll", imports[0].name), 0u);
    }

    // Bitmaps: device-independent bitmaps, each whole in the file.
    const auto bitmaps = pe.resources(2);
    ASSERT_FALSE(bitmaps.empty());
    for (const auto& r : bitmaps) {
        ASSERT_TRUE(pe.holds(r.rva, r.size)) << "bitmap " << r.id;
        uint32_t headerSize;
        std::memcpy(&headerSize, pe.bytesAt(r.rva, 4, "bitmap"), 4);
        EXPECT_EQ(headerSize, 40u) << "bitmap " << r.id << ": a BITMAPINFOHEADER";
    }
}

TEST_P(Shipped, ImageReadsAsTheFileReads) {
    const PeReader file(oracle.bytes.data(), uint32_t(oracle.bytes.size()), PeLayout::File);
    const std::vector<uint8_t> image = mapped(oracle, file.headers().imageSize);
    const PeReader pe(image.data(), uint32_t(image.size()), PeLayout::Image);
    EXPECT_EQ(pe.sections().size(), file.sections().size());
    EXPECT_EQ(pe.exportRva("Linkage"), file.exportRva("Linkage"));
    const auto a = pe.imports(), b = file.imports();
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].name, b[i].name);
        EXPECT_EQ(a[i].slot, b[i].slot);
    }
    const auto ra = pe.resources(2), rb = file.resources(2);
    ASSERT_EQ(ra.size(), rb.size());
    for (size_t i = 0; i < ra.size(); ++i) {
        EXPECT_EQ(ra[i].id, rb[i].id);
        EXPECT_EQ(0, std::memcmp(pe.bytesAt(ra[i].rva, ra[i].size, "bitmap"), file.bytesAt(rb[i].rva, rb[i].size, "bitmap"),
                                 ra[i].size));
    }
}

INSTANTIATE_TEST_SUITE_P(Modules, Shipped, ::testing::ValuesIn(std::vector<const char*>{GAUGE_SHIPPED_MODULES}),
                         [](const auto& info) { return std::string(info.param); });

// A malformed copy of a shipped module: what is changed, what is read, and
// the error it must end in, exactly.
struct Malformed {
    const char* name;
    PeLayout layout;
    std::function<void(std::vector<uint8_t>&, const PeFile&)> change;
    std::function<void(const PeReader&)> read;
    std::function<std::string(const PeFile&)> error;
};

const PeSectionEntry& sectionNamed(const PeFile& f, const std::string& name) {
    for (const PeSectionEntry& s : f.sections)
        if (s.name == name) return s;
    throw std::runtime_error("no section " + name);
}
uint32_t directory(const PeFile& f, unsigned index) { return get32(f.bytes, long(f.directoryOffset(index))); }
std::string fileWhere(const PeFile& f, uint32_t rva) {
    return "RVA " + hex(rva) + " (file offset " + hex(uint32_t(f.offsetOf(rva))) + ")";
}
constexpr uint32_t kFar = 0x7FFF0000;
// The module the malformed copies are made of: one that imports functions.
constexpr char kModule[] = "lumivane";

const Malformed kMalformed[] = {
    {"NoMzHeader", PeLayout::File, [](auto& b, auto&) { b[0] = 'X'; }, nullptr,
     [](auto&) { return std::string("not a PE file: no MZ header at offset 0"); }},
    {"PeHeaderBeyondTheFile", PeLayout::File, [](auto& b, auto&) { put32(b, 0x3C, kFar); }, nullptr,
     [](auto&) { return "not a PE file: no PE signature at offset " + hex(kFar) + " (the MZ header's e_lfanew)"; }},
    {"OptionalHeaderCutShort", PeLayout::File, [](auto& b, auto& f) { b.resize(f.ntOffset + 100); }, nullptr,
     [](auto& f) { return "not a PE file: no PE signature at offset " + hex(f.ntOffset) + " (the MZ header's e_lfanew)"; }},
    {"SectionTableCutShort", PeLayout::File, [](auto& b, auto& f) { b.resize(f.ntOffset + 24 + 0xE0 + 20); },
     [](const PeReader& pe) { pe.sections(); },
     [](auto& f) { return "the section table at offset " + hex(f.ntOffset + 24 + 0xE0) + " runs past the end of the file"; }},
    {"ImportDirectoryInNoSection", PeLayout::File, [](auto& b, auto& f) { put32(b, long(f.directoryOffset(1)), kFar); },
     [](const PeReader& pe) { pe.importedDlls(); },
     [](auto&) { return "import directory: RVA " + hex(kFar) + " lies in no section of the file"; }},
    {"ImportedDllNameRunsOffItsSection", PeLayout::File,
     [](auto& b, auto& f) {
         // The first DLL's name: the last byte of .text's data, not a NUL.
         const PeSectionEntry& text = sectionNamed(f, ".text");
         put32(b, f.offsetOf(directory(f, 1)) + 12, text.va + text.rawSize - 1);
         b[text.raw + text.rawSize - 1] = 'A';
     },
     [](const PeReader& pe) { pe.importedDlls(); },
     [](auto& f) {
         const PeSectionEntry& text = sectionNamed(f, ".text");
         return "import directory name: text at " + fileWhere(f, text.va + text.rawSize - 1) +
                " runs outside the file's sections";
     }},
    {"ImportNameTableRunsOffItsSection", PeLayout::File,
     [](auto& b, auto& f) {
         const PeSectionEntry& text = sectionNamed(f, ".text");
         put32(b, f.offsetOf(directory(f, 1)), text.va + text.rawSize - 2);
     },
     [](const PeReader& pe) { pe.imports(); },
     [](auto& f) {
         const PeSectionEntry& text = sectionNamed(f, ".text");
         return "import name table of " + f.importDlls[0] + ": 4 bytes at " + fileWhere(f, text.va + text.rawSize - 2) +
                " run past the data section .text holds in the file";
     }},
    {"ImplausibleExportCount", PeLayout::File, [](auto& b, auto& f) { put32(b, f.offsetOf(directory(f, 0)) + 24, 0x10001); },
     [](const PeReader& pe) { pe.exportRva("Linkage"); },
     [](auto& f) { return "export directory at " + fileWhere(f, directory(f, 0)) + ": implausible number of exports"; }},
    {"ImplausibleResourceCount", PeLayout::File, [](auto& b, auto& f) { put16(b, f.offsetOf(directory(f, 2)) + 12, 0xFFFF); },
     [](const PeReader& pe) { pe.resources(2); },
     [](auto& f) { return "resource directory at " + fileWhere(f, directory(f, 2)) + ": implausible entry count"; }},
    {"ImportDirectoryOutsideTheImage", PeLayout::Image, [](auto& b, auto& f) { put32(b, long(f.directoryOffset(1)), kFar); },
     [](const PeReader& pe) { pe.importedDlls(); },
     [](auto&) { return "import directory: offset " + hex(kFar) + " lies outside the module image"; }},
};

void PrintTo(const Malformed& m, std::ostream* os) { *os << m.name; }

class MalformedModule : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedModule, EndsInAnErrorNamingTheStructure) {
    const Malformed& m = GetParam();
    const PeFile oracle = readPe(dist::modulePath(kModule));
    ASSERT_TRUE(oracle.ok) << oracle.error;
    std::vector<uint8_t> bytes = oracle.bytes;
    m.change(bytes, oracle);
    if (m.layout == PeLayout::Image) {
        PeFile changed = oracle;
        changed.bytes = bytes;
        bytes = mapped(changed, PeReader(oracle.bytes.data(), uint32_t(oracle.bytes.size()), PeLayout::File).headers().imageSize);
    }
    try {
        const PeReader pe(bytes.data(), uint32_t(bytes.size()), m.layout);
        ASSERT_TRUE(m.read) << "the reader took the headers";
        m.read(pe);
        FAIL() << "no error";
    } catch (const ModuleError& e) {
        EXPECT_EQ(std::string(e.what()), m.error(oracle));
    }
}

INSTANTIATE_TEST_SUITE_P(Lumivane, MalformedModule, ::testing::ValuesIn(kMalformed),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PeReader, AnImageReadsOnlyWhatIsMapped) {
    const PeFile oracle = readPe(dist::modulePath(kModule));
    ASSERT_TRUE(oracle.ok) << oracle.error;
    const PeReader file(oracle.bytes.data(), uint32_t(oracle.bytes.size()), PeLayout::File);
    const std::vector<uint8_t> image = mapped(oracle, file.headers().imageSize);
    // The page that holds the import directory is not mapped.
    const uint32_t dir = file.directory(1).rva, page = dir & ~0xFFFu;
    const PeReader pe(image.data(), uint32_t(image.size()), PeLayout::Image,
                      [&](uint32_t offset, uint32_t n) { return offset + n <= page || offset >= page + 0x1000; });
    try {
        pe.importedDlls();
        FAIL() << "no error";
    } catch (const ModuleError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "import directory: 20 bytes at offset " + hex(dir) + " run outside the module's mapped sections");
    }
    EXPECT_FALSE(pe.holds(dir, 1));
    EXPECT_TRUE(pe.holds(page - 4, 4));
}

TEST(PeReader, RelocationsStrippedOrAbsent) {
    const PeFile oracle = readPe(dist::modulePath(kModule));
    ASSERT_TRUE(oracle.ok) << oracle.error;
    std::vector<uint8_t> none = oracle.bytes, stripped = oracle.bytes;
    put32(none, long(oracle.directoryOffset(5)) + 4, 0);
    stripped[oracle.ntOffset + 22] |= 1;   // IMAGE_FILE_RELOCS_STRIPPED
    EXPECT_FALSE(PeReader(none.data(), uint32_t(none.size()), PeLayout::File).relocatable());
    EXPECT_FALSE(PeReader(stripped.data(), uint32_t(stripped.size()), PeLayout::File).relocatable());
}

}  // namespace
