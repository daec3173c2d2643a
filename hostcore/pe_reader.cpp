#include "pe_reader.h"

#include <algorithm>
#include <cstddef>

#include "hex.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace gaugehost {

namespace {

// The PE32 records, as the format lays them out.
struct FileHeader {
    uint16_t machine, sectionCount;
    uint32_t timeDateStamp, symbolTable, symbolCount;
    uint16_t optionalSize, characteristics;
};
// The optional header's fixed part, before its data directories.
struct OptionalHeader {
    uint16_t magic;
    uint8_t linkerMajor, linkerMinor;
    uint32_t codeSize, initializedSize, uninitializedSize, entryPoint, codeBase, dataBase, imageBase;
    uint32_t sectionAlignment, fileAlignment;
    uint16_t osMajor, osMinor, imageMajor, imageMinor, subsystemMajor, subsystemMinor;
    uint32_t win32Version, imageSize, headersSize, checkSum;
    uint16_t subsystem, dllCharacteristics;
    uint32_t stackReserve, stackCommit, heapReserve, heapCommit, loaderFlags, directoryCount;
};
struct SectionHeader {
    char name[8];
    uint32_t virtualSize, rva, rawSize, fileOffset, relocations, lineNumbers;
    uint16_t relocationCount, lineNumberCount;
    uint32_t characteristics;
};
struct ImportDescriptor {
    uint32_t lookup, timeDateStamp, forwarderChain, name, addresses;
};
struct ExportDirectory {
    uint32_t characteristics, timeDateStamp;
    uint16_t major, minor;
    uint32_t name, base, functionCount, nameCount, functions, names, ordinals;
};
struct ResourceDirectory {
    uint32_t characteristics, timeDateStamp;
    uint16_t major, minor, namedCount, idCount;
};
struct ResourceEntry {
    uint32_t name;     // high bit: a name string, else the id in the low 16 bits
    uint32_t offset;   // high bit: another directory level, else a data entry
};
struct ResourceData {
    uint32_t rva, size, codePage, reserved;
};

constexpr uint32_t kDosHeaderSize = 0x40, kLfanew = 0x3C, kSignatureSize = 4;
constexpr uint32_t kNtFixedSize = kSignatureSize + sizeof(FileHeader) + sizeof(OptionalHeader);
constexpr uint32_t kImportDirectory = 1, kResourceDirectory = 2, kExportDirectory = 0, kRelocationDirectory = 5;
constexpr uint16_t kRelocsStripped = 0x0001;
constexpr uint32_t kByOrdinal = 0x80000000u, kHighBit = 0x80000000u;
constexpr uint32_t kMaxImportedDlls = 256, kMaxImportsPerDll = 65536, kMaxExports = 0x10000, kMaxResourceEntries = 4096;

static_assert(sizeof(FileHeader) == 20 && sizeof(OptionalHeader) == 0x60 && sizeof(SectionHeader) == 40 &&
                  sizeof(ImportDescriptor) == 20 && sizeof(ExportDirectory) == 40 && sizeof(ResourceDirectory) == 16 &&
                  sizeof(ResourceEntry) == 8 && sizeof(ResourceData) == 16,
              "the PE32 records as the format lays them out");
#ifdef _WIN32
static_assert(sizeof(FileHeader) == sizeof(IMAGE_FILE_HEADER) &&
                  offsetof(IMAGE_NT_HEADERS32, FileHeader) == kSignatureSize &&
                  offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes) == offsetof(OptionalHeader, directoryCount) &&
                  offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory) == sizeof(OptionalHeader) &&
                  sizeof(SectionHeader) == sizeof(IMAGE_SECTION_HEADER) &&
                  offsetof(IMAGE_SECTION_HEADER, Characteristics) == offsetof(SectionHeader, characteristics) &&
                  sizeof(ImportDescriptor) == sizeof(IMAGE_IMPORT_DESCRIPTOR) &&
                  offsetof(IMAGE_IMPORT_DESCRIPTOR, FirstThunk) == offsetof(ImportDescriptor, addresses) &&
                  sizeof(ExportDirectory) == sizeof(IMAGE_EXPORT_DIRECTORY) &&
                  offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNameOrdinals) == offsetof(ExportDirectory, ordinals) &&
                  sizeof(ResourceDirectory) == sizeof(IMAGE_RESOURCE_DIRECTORY) &&
                  sizeof(ResourceEntry) == sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY) &&
                  sizeof(ResourceData) == sizeof(IMAGE_RESOURCE_DATA_ENTRY),
              "the records match <winnt.h>");
#endif

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

}  // namespace

bool PeSection::holds(uint32_t a) const { return a >= rva && a - rva < std::max(virtualSize, rawSize); }

PeReader::PeReader(const uint8_t* bytes, uint32_t size, PeLayout layout, Readable readable)
    : bytes_(bytes), size_(size), layout_(layout), readable_(std::move(readable)) {
    if (size_ < kDosHeaderSize || !readableAt(0, kDosHeaderSize) || bytes_[0] != 'M' || bytes_[1] != 'Z')
        throw ModuleError("not a PE file: no MZ header at offset 0");
    const uint32_t nt = header<uint32_t>(kLfanew);
    if (nt > size_ || size_ - nt < kNtFixedSize || !readableAt(nt, kNtFixedSize) || std::memcmp(bytes_ + nt, "PE\0\0", 4) != 0)
        throw ModuleError("not a PE file: no PE signature at offset " + hex(nt) + " (the MZ header's e_lfanew)");
    const auto file = header<FileHeader>(nt + kSignatureSize);
    const auto opt = header<OptionalHeader>(nt + kSignatureSize + sizeof(FileHeader));
    headers_.ntOffset = nt;
    headers_.machine = file.machine;
    headers_.sectionCount = file.sectionCount;
    headers_.optionalSize = file.optionalSize;
    headers_.characteristics = file.characteristics;
    headers_.magic = opt.magic;
    headers_.entryPoint = opt.entryPoint;
    headers_.imageBase = opt.imageBase;
    headers_.sectionAlignment = opt.sectionAlignment;
    headers_.imageSize = opt.imageSize;
    headers_.headersSize = opt.headersSize;
    headers_.directoryCount = opt.directoryCount;
    readSections();
}

void PeReader::readSections() {
    const uint64_t table = uint64_t(headers_.optionalOffset()) + headers_.optionalSize;
    const uint32_t bytes = uint32_t(headers_.sectionCount) * sizeof(SectionHeader);
    if (headers_.optionalSize < sizeof(OptionalHeader) || table + bytes > size_ || !readableAt(uint32_t(table), bytes)) {
        sectionProblem_ = "the section table at offset " + hex(uint32_t(table)) + " runs past the end of the " +
                          (layout_ == PeLayout::File ? "file" : "image");
        return;
    }
    for (uint32_t i = 0; i < headers_.sectionCount; ++i) {
        const auto h = header<SectionHeader>(uint32_t(table) + i * sizeof(SectionHeader));
        PeSection s;
        s.name.assign(h.name, strnlen(h.name, sizeof h.name));
        s.rva = h.rva;
        s.virtualSize = h.virtualSize;
        s.fileOffset = h.fileOffset;
        s.rawSize = h.rawSize;
        s.characteristics = h.characteristics;
        sections_.push_back(std::move(s));
    }
}

const std::vector<PeSection>& PeReader::sections() const {
    if (!sectionProblem_.empty()) throw ModuleError(sectionProblem_);
    return sections_;
}

PeDirectory PeReader::directory(unsigned index) const {
    const uint32_t end = sizeof(OptionalHeader) + sizeof(PeDirectory) * (index + 1);
    if (index >= headers_.directoryCount || end > headers_.optionalSize) return {};
    const uint32_t at = headers_.optionalOffset() + end - sizeof(PeDirectory);
    if (uint64_t(at) + sizeof(PeDirectory) > size_ || !readableAt(at, sizeof(PeDirectory)))
        throw ModuleError("data directory " + std::to_string(index) + " at offset " + hex(at) + " lies outside the " +
                          (layout_ == PeLayout::File ? "file" : "image"));
    return header<PeDirectory>(at);
}

bool PeReader::relocatable() const {
    return directory(kRelocationDirectory).size != 0 && !(headers_.characteristics & kRelocsStripped);
}

bool PeReader::readableAt(uint32_t offset, uint32_t n) const { return !readable_ || readable_(offset, n); }

bool PeReader::locate(uint32_t rva, uint32_t n, uint32_t& offset, std::string* why) const {
    auto bytes = [&] { return std::to_string(n) + " bytes at " + where(rva); };
    if (layout_ != PeLayout::File) {
        if (rva >= size_) {
            if (why) *why = "offset " + hex(rva) + " lies outside the module image";
            return false;
        }
        if (n > size_ - rva || !readableAt(rva, n)) {
            if (why) *why = bytes() + " run outside the module's mapped sections";
            return false;
        }
        offset = rva;
        return true;
    }
    // The file: the section that holds the RVA, else the headers.
    uint64_t at = uint64_t(-1);
    for (const PeSection& s : sections_) {
        if (!s.holds(rva)) continue;
        if (rva - s.rva >= s.rawSize || n > s.rawSize - (rva - s.rva)) {
            if (why) *why = bytes() + " run past the data section " + s.name + " holds in the file";
            return false;
        }
        at = uint64_t(s.fileOffset) + (rva - s.rva);
        break;
    }
    if (at == uint64_t(-1)) {
        if (uint64_t(rva) + n > headers_.headersSize) {
            if (why) *why = "RVA " + hex(rva) + " lies in no section of the file";
            return false;
        }
        at = rva;
    }
    if (at + n > size_) {
        if (why) *why = bytes() + " run past the end of the file (" + std::to_string(size_) + " bytes)";
        return false;
    }
    offset = uint32_t(at);
    return true;
}

bool PeReader::holds(uint32_t rva, uint32_t n) const {
    uint32_t offset;
    return locate(rva, n, offset, nullptr);
}

const uint8_t* PeReader::bytesAt(uint32_t rva, uint32_t n, const std::string& what) const {
    uint32_t offset = 0;
    std::string why;
    if (!locate(rva, n, offset, &why)) throw ModuleError(what + ": " + why);
    return bytes_ + offset;
}

std::string PeReader::where(uint32_t rva) const {
    if (layout_ != PeLayout::File) return "offset " + hex(rva);
    for (const PeSection& s : sections_)
        if (s.holds(rva) && rva - s.rva < s.rawSize)
            return "RVA " + hex(rva) + " (file offset " + hex(s.fileOffset + (rva - s.rva)) + ")";
    return "RVA " + hex(rva);
}

std::string PeReader::text(uint32_t rva, uint32_t max, const std::string& what) const {
    std::string s;
    for (uint32_t i = 0; i < max; ++i) {
        uint32_t offset;
        if (!locate(rva + i, 1, offset, nullptr))
            throw ModuleError(what + ": text at " + where(rva) + " runs outside the " +
                              (layout_ == PeLayout::File ? "file's sections" : "image"));
        const char c = char(bytes_[offset]);
        if (c == 0) return s;
        s += c;
    }
    throw ModuleError(what + ": text at " + where(rva) + " is not terminated within " + std::to_string(max) + " bytes");
}

uint32_t PeReader::exportRva(const std::string& name) const {
    const PeDirectory dir = directory(kExportDirectory);
    if (dir.rva == 0) return 0;
    const std::string w = "export directory";
    const auto d = read<ExportDirectory>(dir.rva, w);
    if (d.nameCount > kMaxExports || d.functionCount > kMaxExports)
        throw ModuleError(w + " at " + where(dir.rva) + ": implausible number of exports");
    for (uint32_t i = 0; i < d.nameCount; ++i) {
        const uint32_t nameRva = read<uint32_t>(d.names + 4 * i, w + " name table");
        if (text(nameRva, 256, w + " name") != name) continue;
        const auto ordinal = read<uint16_t>(d.ordinals + 2 * i, w + " ordinal table");
        if (ordinal >= d.functionCount) throw ModuleError(w + ": ordinal of " + name + " is out of range");
        const uint32_t rva = read<uint32_t>(d.functions + 4 * ordinal, w + " address table");
        if (rva >= dir.rva && rva - dir.rva < dir.size) throw ModuleError(name + " is a forwarded export");
        return rva;
    }
    return 0;
}

std::vector<PeImportedDll> PeReader::importedDlls() const {
    std::vector<PeImportedDll> out;
    const PeDirectory dir = directory(kImportDirectory);
    if (dir.rva == 0) return out;
    for (uint32_t i = 0; i < kMaxImportedDlls; ++i) {
        const auto d = read<ImportDescriptor>(dir.rva + i * uint32_t(sizeof(ImportDescriptor)), "import directory");
        if (d.name == 0) return out;
        out.push_back({text(d.name, 256, "import directory name"), d.lookup ? d.lookup : d.addresses, d.addresses});
    }
    throw ModuleError("import directory at " + where(dir.rva) + " is not terminated within " +
                      std::to_string(kMaxImportedDlls) + " entries");
}

std::vector<PeImport> PeReader::functions(const PeImportedDll& dll) const {
    std::vector<PeImport> out;
    // A bound image keeps the names only in a lookup table of their own.
    const bool named = layout_ != PeLayout::BoundImage || dll.lookup != dll.addresses;
    for (uint32_t k = 0; dll.lookup && k < kMaxImportsPerDll; ++k) {
        const uint32_t t = read<uint32_t>(dll.lookup + 4 * k, "import name table of " + dll.name);
        if (t == 0) return out;
        PeImport imp;
        imp.dll = dll.name;
        imp.slot = dll.addresses ? dll.addresses + 4 * k : 0;
        if (named && (t & kByOrdinal)) {
            imp.byOrdinal = true;
            imp.ordinal = uint16_t(t & 0xFFFF);
        } else if (named) {
            imp.name = text(t + 2, 512, "imported name from " + dll.name);   // after the hint
        }
        out.push_back(std::move(imp));
    }
    if (dll.lookup == 0) return out;
    throw ModuleError("import name table of " + dll.name + " at " + where(dll.lookup) + " is not terminated within " +
                      std::to_string(kMaxImportsPerDll) + " entries");
}

std::vector<PeImport> PeReader::imports() const {
    std::vector<PeImport> out;
    for (const PeImportedDll& dll : importedDlls())
        for (PeImport& imp : functions(dll)) out.push_back(std::move(imp));
    return out;
}

uint32_t PeReader::importSlot(const std::string& dll, const std::string& name) const {
    for (const PeImport& i : imports())
        if (!i.byOrdinal && i.name == name && sameName(i.dll, dll)) return i.slot;
    return 0;
}

uint32_t PeReader::importSlot(const std::string& dll, uint16_t ordinal) const {
    for (const PeImport& i : imports())
        if (i.byOrdinal && i.ordinal == ordinal && sameName(i.dll, dll)) return i.slot;
    return 0;
}

std::vector<PeResource> PeReader::resources(uint32_t type) const {
    std::vector<PeResource> out;
    const PeDirectory dir = directory(kResourceDirectory);
    if (dir.rva == 0) return out;
    const uint32_t root = dir.rva;
    const std::string w = "resource directory";
    // The entries of one directory level.
    auto entries = [&](uint32_t d) {
        std::vector<ResourceEntry> level;
        const auto head = read<ResourceDirectory>(d, w);
        const uint32_t n = uint32_t(head.namedCount) + head.idCount;
        if (n > kMaxResourceEntries) throw ModuleError(w + " at " + where(d) + ": implausible entry count");
        for (uint32_t i = 0; i < n; ++i)
            level.push_back(read<ResourceEntry>(d + sizeof(ResourceDirectory) + i * sizeof(ResourceEntry), w));
        return level;
    };
    for (const ResourceEntry& t : entries(root)) {
        if (t.name != type || !(t.offset & kHighBit)) continue;
        for (const ResourceEntry& r : entries(root + (t.offset & ~kHighBit))) {
            if (r.name & kHighBit) continue;   // a named resource has no id
            const uint32_t id = r.name & 0xFFFF;
            uint32_t leaf = r.offset;
            if (leaf & kHighBit) {   // the language level: the first
                const std::vector<ResourceEntry> languages = entries(root + (leaf & ~kHighBit));
                if (languages.empty()) continue;
                if (languages.front().offset & kHighBit)
                    throw ModuleError(w + ": resource " + std::to_string(id) + " of type " + std::to_string(type) +
                                      " nests too deep");
                leaf = languages.front().offset;
            }
            const auto data = read<ResourceData>(root + leaf, w + " data entry");
            out.push_back({id, data.rva, data.size});
        }
    }
    return out;
}

}  // namespace gaugehost
