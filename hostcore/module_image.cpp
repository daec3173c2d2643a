#include "module_image.h"

#include <algorithm>
#include <cstdio>

#include "guard.h"

namespace gaugehost {

namespace {

std::wstring fullPath(const std::wstring& path) {
    const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return path;
    std::wstring out(n, L'\0');
    const DWORD got = GetFullPathNameW(path.c_str(), n, out.data(), nullptr);
    out.resize(got);
    return out;
}

bool sameFile(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

ModuleImage::ModuleImage(const std::string& path, bool runEntryPoint) : path_(path) {
    // No error boxes: a broken file must come back as an error code.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX);
    const std::wstring full = fullPath(widen(path));
    const DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) throw InputError("cannot open " + path + ": " + windowsError(GetLastError()));
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) throw InputError("cannot open " + path + ": it is a folder, not a file");
    // The loader adds ".dll" to a name without an extension; a trailing dot
    // tells it not to, so exactly the file named is loaded.
    std::wstring load = full;
    const size_t slash = load.find_last_of(L"\\/");
    if (load.find(L'.', slash == std::wstring::npos ? 0 : slash) == std::wstring::npos) load += L'.';
    watchBegin("loading " + path + " (its entry point)");
    handle_ = LoadLibraryExW(load.c_str(), nullptr,
                             LOAD_WITH_ALTERED_SEARCH_PATH | (runEntryPoint ? 0 : DONT_RESOLVE_DLL_REFERENCES));
    const DWORD error = GetLastError();
    watchEnd();
    if (handle_ == nullptr) throw ModuleError("cannot load " + path + " as a module: " + windowsError(error));
    // A module of the same name that is already loaded (a system DLL) is
    // handed back instead of the file: that is not the module asked for.
    wchar_t loaded[MAX_PATH * 4] = {};
    const DWORD n = GetModuleFileNameW(handle_, loaded, sizeof loaded / sizeof loaded[0]);
    if (!sameFile(std::wstring(loaded, n), full)) {
        FreeLibrary(handle_);
        handle_ = nullptr;
        throw ModuleError("cannot load " + path + " as a module: the loader gave " + narrow(std::wstring(loaded, n)) +
                        ", a module of the same name, instead of this file");
    }
    base_ = uint32_t(reinterpret_cast<uintptr_t>(handle_));
    mapSections();
    loadResources();
}

ModuleImage::~ModuleImage() {
    if (!handle_) return;
    watchBegin("unloading " + path_ + " (its entry point)");
    FreeLibrary(handle_);
    watchEnd();
}

const IMAGE_NT_HEADERS32& ModuleImage::ntHeaders() const {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(handle_);
    return *reinterpret_cast<const IMAGE_NT_HEADERS32*>(reinterpret_cast<const uint8_t*>(handle_) + dos->e_lfanew);
}

void ModuleImage::mapSections() {
    // The loader accepted the headers, but read them with the same care as
    // everything else: the first page is always mapped.
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(handle_);
    if (uint32_t(dos->e_lfanew) > 0x1000 - sizeof(IMAGE_NT_HEADERS32)) throw ModuleError("PE header lies beyond the first page");
    const IMAGE_NT_HEADERS32& nt = ntHeaders();
    if (nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) throw ModuleError("not a 32-bit module");
    size_ = nt.OptionalHeader.SizeOfImage;
    const uint32_t align = std::max<uint32_t>(nt.OptionalHeader.SectionAlignment, 0x1000);
    auto roundUp = [&](uint32_t v) { return uint32_t((uint64_t(v) + align - 1) / align * align); };

    std::vector<Range> wanted;
    wanted.push_back({0, std::min(size_, roundUp(nt.OptionalHeader.SizeOfHeaders)), false, false});
    const uint32_t count = nt.FileHeader.NumberOfSections;
    const auto* first = reinterpret_cast<const uint8_t*>(&nt.OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    if (uint32_t(first - reinterpret_cast<const uint8_t*>(handle_)) + count * sizeof(IMAGE_SECTION_HEADER) > 0x1000)
        throw ModuleError("section table lies beyond the first page");
    for (uint32_t i = 0; i < count; ++i) {
        IMAGE_SECTION_HEADER s;
        std::memcpy(&s, first + i * sizeof s, sizeof s);
        const uint32_t vs = s.Misc.VirtualSize ? s.Misc.VirtualSize : s.SizeOfRawData;
        if (vs == 0 || s.VirtualAddress >= size_) continue;
        const uint32_t hi = uint32_t(std::min<uint64_t>(size_, uint64_t(s.VirtualAddress) + roundUp(vs)));
        wanted.push_back({s.VirtualAddress, hi, (s.Characteristics & IMAGE_SCN_MEM_WRITE) != 0,
                          (s.Characteristics & IMAGE_SCN_MEM_EXECUTE) != 0});
    }
    // Keep only what the memory manager really has committed and readable.
    for (const Range& r : wanted) {
        uint32_t a = r.lo;
        while (a < r.hi) {
            MEMORY_BASIC_INFORMATION mbi;
            if (!VirtualQuery(reinterpret_cast<void*>(uintptr_t(base_ + a)), &mbi, sizeof mbi)) break;
            const uint32_t regionEnd = uint32_t(uintptr_t(mbi.BaseAddress)) + uint32_t(mbi.RegionSize) - base_;
            const uint32_t end = std::min(r.hi, regionEnd);
            const DWORD p = mbi.Protect & 0xFF;
            const bool canRead = mbi.State == MEM_COMMIT && !(mbi.Protect & PAGE_GUARD) && p != PAGE_NOACCESS;
            const bool canWrite = p == PAGE_READWRITE || p == PAGE_WRITECOPY || p == PAGE_EXECUTE_READWRITE ||
                                  p == PAGE_EXECUTE_WRITECOPY;
            if (canRead && end > a) ranges_.push_back({base_ + a, base_ + end, r.write && canWrite, r.exec});
            if (end <= a) break;
            a = end;
        }
    }
}

const ModuleImage::Range* ModuleImage::rangeOf(uint32_t a, uint32_t n) const {
    for (const Range& r : ranges_)
        if (a >= r.lo && a < r.hi && n <= r.hi - a) return &r;
    return nullptr;
}

bool ModuleImage::readable(uint32_t a, uint32_t n) const { return rangeOf(a, n) != nullptr; }
bool ModuleImage::writable(uint32_t a, uint32_t n) const {
    const Range* r = rangeOf(a, n);
    return r && r->write;
}
bool ModuleImage::code(uint32_t a) const {
    const Range* r = rangeOf(a, 1);
    return r && r->exec;
}

std::string ModuleImage::where(uint32_t a) const {
    if (contains(a)) return "offset " + hex(a - base_);
    return "address " + hex(a) + " (outside the module image)";
}

std::string ModuleImage::offset(uint32_t a) const { return contains(a) ? "+" + hex(a - base_) : hex(a); }

void ModuleImage::require(uint32_t a, uint32_t n, const std::string& what) const {
    if (readable(a, n)) return;
    if (contains(a))
        throw ModuleError(what + ": " + std::to_string(n) + " bytes at " + where(a) +
                        " run outside the module's mapped sections");
    throw ModuleError(what + ": pointer " + hex(a) + " lies outside the module image");
}

void ModuleImage::requireWritable(uint32_t a, uint32_t n, const std::string& what) const {
    require(a, n, what);
    if (!writable(a, n)) throw ModuleError(what + ": record at " + where(a) + " is not in writable data");
}

void ModuleImage::requireCode(uint32_t a, const std::string& what) const {
    if (!code(a)) throw ModuleError(what + ": routine pointer " + hex(a) + " is not in the module's code");
}

std::string ModuleImage::text(uint32_t a, uint32_t max, const std::string& what) const {
    std::string s;
    for (uint32_t i = 0; i < max; ++i) {
        if (!readable(a + i, 1)) throw ModuleError(what + ": text at " + where(a) + " runs outside the image");
        const char c = *reinterpret_cast<const char*>(uintptr_t(a + i));
        if (c == 0) return s;
        s += c;
    }
    throw ModuleError(what + ": text at " + where(a) + " is not terminated within " + std::to_string(max) + " bytes");
}

IMAGE_DATA_DIRECTORY ModuleImage::dataDir(int index) const {
    const IMAGE_NT_HEADERS32& nt = ntHeaders();
    if (uint32_t(index) >= nt.OptionalHeader.NumberOfRvaAndSizes) return {0, 0};
    return nt.OptionalHeader.DataDirectory[index];
}

uint32_t ModuleImage::exportAddress(const char* name) const {
    const IMAGE_DATA_DIRECTORY dir = dataDir(IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (dir.VirtualAddress == 0) return 0;
    const std::string w = "export directory";
    const auto d = read<IMAGE_EXPORT_DIRECTORY>(base_ + dir.VirtualAddress, w);
    if (d.NumberOfNames > 0x10000 || d.NumberOfFunctions > 0x10000)
        throw ModuleError(w + ": implausible number of exports");
    for (uint32_t i = 0; i < d.NumberOfNames; ++i) {
        const uint32_t nameRva = u32(base_ + d.AddressOfNames + 4 * i, w + " name table");
        if (text(base_ + nameRva, 256, w + " name") != name) continue;
        const auto ordinal = read<uint16_t>(base_ + d.AddressOfNameOrdinals + 2 * i, w + " ordinal table");
        if (ordinal >= d.NumberOfFunctions) throw ModuleError(w + ": ordinal of " + name + " is out of range");
        const uint32_t rva = u32(base_ + d.AddressOfFunctions + 4 * ordinal, w + " address table");
        if (rva >= dir.VirtualAddress && rva < dir.VirtualAddress + dir.Size)
            throw ModuleError(std::string(name) + " is a forwarded export");
        return base_ + rva;
    }
    return 0;
}

std::vector<std::string> ModuleImage::imports() const {
    std::vector<std::string> out;
    const IMAGE_DATA_DIRECTORY dir = dataDir(IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (dir.VirtualAddress == 0) return out;
    for (uint32_t i = 0; i < 256; ++i) {
        const auto d = read<IMAGE_IMPORT_DESCRIPTOR>(base_ + dir.VirtualAddress + i * sizeof(IMAGE_IMPORT_DESCRIPTOR),
                                                     "import directory");
        if (d.Name == 0) return out;
        out.push_back(text(base_ + d.Name, 256, "import directory name"));
    }
    throw ModuleError("import directory is not terminated");
}

uint32_t ModuleImage::importSlot(const void* function) const {
    if (function == nullptr) return 0;
    const uint32_t target = uint32_t(uintptr_t(function));
    for (const ImportedFunction& f : importedFunctions())
        if (u32(f.slot, "import address table") == target) return f.slot;
    return 0;
}

std::vector<ModuleImage::ImportedFunction> ModuleImage::importedFunctions() const {
    std::vector<ImportedFunction> out;
    const IMAGE_DATA_DIRECTORY dir = dataDir(IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (dir.VirtualAddress == 0) return out;
    for (uint32_t d = base_ + dir.VirtualAddress; readable(d, sizeof(IMAGE_IMPORT_DESCRIPTOR));
         d += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto desc = read<IMAGE_IMPORT_DESCRIPTOR>(d, "import directory");
        if (desc.Name == 0) break;
        if (desc.FirstThunk == 0) continue;
        const std::string dll = text(base_ + desc.Name, 256, "import directory name");
        // The name table, where the image keeps one, says what each slot of
        // the address table (bound by now) was bound to.
        const uint32_t names = desc.OriginalFirstThunk ? base_ + desc.OriginalFirstThunk : 0;
        for (uint32_t i = 0; readable(base_ + desc.FirstThunk + 4 * i, 4); ++i) {
            const uint32_t slot = base_ + desc.FirstThunk + 4 * i;
            if (u32(slot, "import address table") == 0) break;
            ImportedFunction f{dll, "", 0, slot};
            const uint32_t entry = names && readable(names + 4 * i, 4) ? u32(names + 4 * i, "import name table") : 0;
            if (entry & IMAGE_ORDINAL_FLAG32)
                f.ordinal = uint16_t(IMAGE_ORDINAL32(entry));
            else if (entry)
                f.name = text(base_ + entry + 2, 256, "import name");
            out.push_back(std::move(f));
        }
    }
    return out;
}

void ModuleImage::routeImport(uint32_t slot, const void* routine) const {
    require(slot, 4, "import address table");
    void* p = reinterpret_cast<void*>(uintptr_t(slot));
    DWORD old = 0;
    if (!VirtualProtect(p, 4, PAGE_READWRITE, &old))
        throw HostFault("cannot route the module's import at " + where(slot) + ": " + windowsError(GetLastError()));
    const uint32_t value = uint32_t(uintptr_t(routine));
    std::memcpy(p, &value, 4);
    VirtualProtect(p, 4, old, &old);
}

const Bitmap* ModuleImage::bitmap(uint32_t id) const {
    auto it = bitmaps_.find(id);
    return it == bitmaps_.end() ? nullptr : &it->second;
}

void ModuleImage::loadResources() {
    const IMAGE_DATA_DIRECTORY dir = dataDir(IMAGE_DIRECTORY_ENTRY_RESOURCE);
    if (dir.VirtualAddress == 0) return;
    const uint32_t root = base_ + dir.VirtualAddress;
    const std::string w = "resource directory";
    // Entries of one directory level: (name or id, offset) pairs.
    auto entries = [&](uint32_t d) {
        std::vector<IMAGE_RESOURCE_DIRECTORY_ENTRY> out;
        const auto level = read<IMAGE_RESOURCE_DIRECTORY>(d, w);
        const uint32_t n = uint32_t(level.NumberOfNamedEntries) + level.NumberOfIdEntries;
        if (n > 4096) throw ModuleError(w + " at " + where(d) + ": implausible entry count");
        for (uint32_t i = 0; i < n; ++i)
            out.push_back(read<IMAGE_RESOURCE_DIRECTORY_ENTRY>(
                d + sizeof(IMAGE_RESOURCE_DIRECTORY) + i * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY), w));
        return out;
    };
    for (const auto& type : entries(root)) {
        if (type.Name != uint32_t(uintptr_t(RT_BITMAP)) || !type.DataIsDirectory) continue;
        for (const auto& named : entries(root + type.OffsetToDirectory)) {
            if (named.NameIsString) continue;                   // named bitmaps are not addressable by id
            const uint32_t id = named.Id;
            uint32_t leaf = named.OffsetToData;
            if (named.DataIsDirectory) {                        // language level: take the first
                const auto langs = entries(root + named.OffsetToDirectory);
                if (langs.empty()) continue;
                if (langs.front().DataIsDirectory) throw ModuleError(w + ": bitmap " + std::to_string(id) + " nests too deep");
                leaf = langs.front().OffsetToData;
            }
            const auto data = read<IMAGE_RESOURCE_DATA_ENTRY>(root + leaf, w + " data entry");
            Bitmap b;
            b.id = id;
            b.bytes = data.Size;
            if (data.Size == 0 || !readable(base_ + data.OffsetToData, data.Size))
                b.problem = "resource data lies outside the image";
            else
                decodeDib(reinterpret_cast<const uint8_t*>(uintptr_t(base_ + data.OffsetToData)), data.Size, b);
            bitmaps_[id] = std::move(b);
        }
    }
}

}  // namespace gaugehost
