// The host's one reader of PE32 modules: over the bytes of the file as it
// lies on disk (an RVA is found through the section table) or of the image
// as the loader mapped it (an RVA is an offset into it). Every read is
// checked against the bytes it is given; a malformed structure ends in a
// ModuleError naming the structure and where it lies, never in a read out
// of bounds.
//
// Plain C++ with its own record layouts (checked against <winnt.h> where
// that exists), so that the native tests build it too and hold it against
// their own reader of the shipped files.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "errors.h"

namespace gaugehost {

enum class PeLayout {
    File,         // the file's bytes: RVAs through the section table
    Image,        // mapped by the loader, imports not bound: an RVA is an offset into the bytes
    BoundImage,   // mapped, its imports bound: the import address table holds addresses
};

// The DOS and NT headers' fields the host uses.
struct PeHeaders {
    uint32_t ntOffset = 0;   // of the PE signature (the DOS header's e_lfanew)
    uint16_t machine = 0, sectionCount = 0, optionalSize = 0, characteristics = 0;
    uint16_t magic = 0;      // 0x10B for PE32
    uint32_t entryPoint = 0, imageBase = 0, sectionAlignment = 0, imageSize = 0, headersSize = 0;
    uint32_t directoryCount = 0;

    uint32_t fileHeaderOffset() const { return ntOffset + 4; }
    uint32_t optionalOffset() const { return ntOffset + 24; }
    uint32_t sectionTableOffset() const { return optionalOffset() + optionalSize; }
};

struct PeSection {
    std::string name;
    uint32_t rva = 0, virtualSize = 0;
    uint32_t fileOffset = 0, rawSize = 0;   // where its bytes lie in the file
    uint32_t characteristics = 0;

    bool writable() const { return (characteristics & 0x80000000u) != 0; }
    bool executable() const { return (characteristics & 0x20000000u) != 0; }
    // Whether `rva` lies in the section as mapped (its virtual or raw size,
    // whichever is larger).
    bool holds(uint32_t rva) const;
};

struct PeDirectory {
    uint32_t rva = 0, size = 0;
};

// An imported DLL, as the import directory names it.
struct PeImportedDll {
    std::string name;
    uint32_t lookup = 0;      // RVA of its lookup table (its address table when it has none)
    uint32_t addresses = 0;   // RVA of its import address table
};

// One imported function and the import address table slot the module calls
// it through. In a bound image whose DLL has no lookup table the names are
// gone: such an import has neither name nor ordinal.
struct PeImport {
    std::string dll;
    std::string name;        // empty when imported by ordinal
    uint16_t ordinal = 0;    // when byOrdinal
    bool byOrdinal = false;
    uint32_t slot = 0;       // RVA of its import address table entry (0 when the DLL has no table)
};

struct PeResource {
    uint32_t id = 0, rva = 0, size = 0;   // the data's RVA and size
};

class PeReader {
public:
    // Which of the bytes may be read, beyond lying within `size` (a mapped
    // image has pages that are not); none: all of them.
    using Readable = std::function<bool(uint32_t offset, uint32_t size)>;

    // Reads the DOS and NT headers. Throws ModuleError when there is no MZ
    // header or no PE signature with a file header and the optional
    // header's PE32 fields after it. The section table is read too; a table
    // that does not fit is reported by sections().
    PeReader(const uint8_t* bytes, uint32_t size, PeLayout layout, Readable readable = nullptr);

    PeLayout layout() const { return layout_; }
    uint32_t size() const { return size_; }
    const PeHeaders& headers() const { return headers_; }
    bool pe32() const { return headers_.magic == 0x10B; }

    // The section table, in file order. Throws when it runs past the bytes.
    const std::vector<PeSection>& sections() const;
    // Data directory `index` ({0, 0} when the optional header holds none).
    PeDirectory directory(unsigned index) const;
    // Has base relocations, and the file header does not say they were stripped.
    bool relocatable() const;

    // The RVA of the export named `name`, 0 when there is none. A forwarded
    // export is a ModuleError.
    uint32_t exportRva(const std::string& name) const;

    // The import walk: the DLLs in the import directory's order; each
    // DLL's functions with their slots; every import of every DLL.
    std::vector<PeImportedDll> importedDlls() const;
    std::vector<PeImport> functions(const PeImportedDll& dll) const;
    std::vector<PeImport> imports() const;
    // The slot of `dll`'s function `name` (or ordinal), 0 when the module
    // imports no such function; DLL names compare without case.
    uint32_t importSlot(const std::string& dll, const std::string& name) const;
    uint32_t importSlot(const std::string& dll, uint16_t ordinal) const;

    // The resources of a numeric type (2: bitmaps) with numeric ids, in the
    // directory's order; of several languages, the first.
    std::vector<PeResource> resources(uint32_t type) const;

    // Checked reads by RVA; `what` names the structure for the error.
    bool holds(uint32_t rva, uint32_t n) const;
    const uint8_t* bytesAt(uint32_t rva, uint32_t n, const std::string& what) const;
    template <typename Record> Record read(uint32_t rva, const std::string& what) const {
        Record r;
        std::memcpy(&r, bytesAt(rva, sizeof r, what), sizeof r);
        return r;
    }
    std::string text(uint32_t rva, uint32_t max, const std::string& what) const;   // NUL-terminated within max
    // "offset 0x1234" in an image; "RVA 0x1234 (file offset 0x834)" in a file.
    std::string where(uint32_t rva) const;

private:
    // Where the n bytes at `rva` lie in the bytes, or why they cannot be read.
    bool locate(uint32_t rva, uint32_t n, uint32_t& offset, std::string* why) const;
    bool readableAt(uint32_t offset, uint32_t n) const;
    template <typename Record> Record header(uint32_t offset) const {
        Record r;
        std::memcpy(&r, bytes_ + offset, sizeof r);
        return r;
    }
    void readSections();

    const uint8_t* bytes_;
    uint32_t size_;
    PeLayout layout_;
    Readable readable_;
    PeHeaders headers_;
    std::vector<PeSection> sections_;
    std::string sectionProblem_;
};

}  // namespace gaugehost
