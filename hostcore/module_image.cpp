#include "image.h"

#include <algorithm>
#include <cstdio>

#include "guard.h"

namespace gaugehost {

std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}

std::string windowsError(DWORD code) {
    wchar_t buf[256] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                   sizeof buf / sizeof buf[0] - 1, nullptr);
    std::string s = narrow(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    return "Windows error " + std::to_string(code) + (s.empty() ? "" : " (" + s + ")");
}

std::wstring widen(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
    return w;
}

std::string narrow(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

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
    if (attributes == INVALID_FILE_ATTRIBUTES) throw HostError("cannot open " + path + ": " + windowsError(GetLastError()));
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) throw HostError("cannot open " + path + ": it is a folder, not a file");
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
    if (handle_ == nullptr) throw HostError("cannot load " + path + " as a module: " + windowsError(error));
    // A module of the same name that is already loaded (a system DLL) is
    // handed back instead of the file: that is not the module asked for.
    wchar_t loaded[MAX_PATH * 4] = {};
    const DWORD n = GetModuleFileNameW(handle_, loaded, sizeof loaded / sizeof loaded[0]);
    if (!sameFile(std::wstring(loaded, n), full)) {
        FreeLibrary(handle_);
        handle_ = nullptr;
        throw HostError("cannot load " + path + " as a module: the loader gave " + narrow(std::wstring(loaded, n)) +
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
    if (uint32_t(dos->e_lfanew) > 0x1000 - sizeof(IMAGE_NT_HEADERS32)) throw HostError("PE header lies beyond the first page");
    const IMAGE_NT_HEADERS32& nt = ntHeaders();
    if (nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) throw HostError("not a 32-bit module");
    size_ = nt.OptionalHeader.SizeOfImage;
    const uint32_t align = std::max<uint32_t>(nt.OptionalHeader.SectionAlignment, 0x1000);
    auto roundUp = [&](uint32_t v) { return uint32_t((uint64_t(v) + align - 1) / align * align); };

    std::vector<Range> wanted;
    wanted.push_back({0, std::min(size_, roundUp(nt.OptionalHeader.SizeOfHeaders)), false, false});
    const uint32_t count = nt.FileHeader.NumberOfSections;
    const auto* first = reinterpret_cast<const uint8_t*>(&nt.OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    if (uint32_t(first - reinterpret_cast<const uint8_t*>(handle_)) + count * sizeof(IMAGE_SECTION_HEADER) > 0x1000)
        throw HostError("section table lies beyond the first page");
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
        throw HostError(what + ": " + std::to_string(n) + " bytes at " + where(a) +
                        " run outside the module's mapped sections");
    throw HostError(what + ": pointer " + hex(a) + " lies outside the module image");
}

void ModuleImage::requireWritable(uint32_t a, uint32_t n, const std::string& what) const {
    require(a, n, what);
    if (!writable(a, n)) throw HostError(what + ": record at " + where(a) + " is not in writable data");
}

void ModuleImage::requireCode(uint32_t a, const std::string& what) const {
    if (!code(a)) throw HostError(what + ": routine pointer " + hex(a) + " is not in the module's code");
}

std::string ModuleImage::text(uint32_t a, uint32_t max, const std::string& what) const {
    std::string s;
    for (uint32_t i = 0; i < max; ++i) {
        if (!readable(a + i, 1)) throw HostError(what + ": text at " + where(a) + " runs outside the image");
        const char c = *reinterpret_cast<const char*>(uintptr_t(a + i));
        if (c == 0) return s;
        s += c;
    }
    throw HostError(what + ": text at " + where(a) + " is not terminated within " + std::to_string(max) + " bytes");
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
        throw HostError(w + ": implausible number of exports");
    for (uint32_t i = 0; i < d.NumberOfNames; ++i) {
        const uint32_t nameRva = u32(base_ + d.AddressOfNames + 4 * i, w + " name table");
        if (text(base_ + nameRva, 256, w + " name") != name) continue;
        const auto ordinal = read<uint16_t>(base_ + d.AddressOfNameOrdinals + 2 * i, w + " ordinal table");
        if (ordinal >= d.NumberOfFunctions) throw HostError(w + ": ordinal of " + name + " is out of range");
        const uint32_t rva = u32(base_ + d.AddressOfFunctions + 4 * ordinal, w + " address table");
        if (rva >= dir.VirtualAddress && rva < dir.VirtualAddress + dir.Size)
            throw HostError(std::string(name) + " is a forwarded export");
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
    throw HostError("import directory is not terminated");
}

uint32_t ModuleImage::importSlot(const void* function) const {
    const IMAGE_DATA_DIRECTORY dir = dataDir(IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (dir.VirtualAddress == 0 || function == nullptr) return 0;
    const uint32_t target = uint32_t(uintptr_t(function));
    for (uint32_t d = base_ + dir.VirtualAddress; readable(d, sizeof(IMAGE_IMPORT_DESCRIPTOR));
         d += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto desc = read<IMAGE_IMPORT_DESCRIPTOR>(d, "import directory");
        if (desc.Name == 0) break;
        if (desc.FirstThunk == 0) continue;
        for (uint32_t t = base_ + desc.FirstThunk; readable(t, 4); t += 4) {
            const uint32_t v = u32(t, "import address table");
            if (v == 0) break;
            if (v == target) return t;
        }
    }
    return 0;
}

const Bitmap* ModuleImage::bitmap(uint32_t id) const {
    auto it = bitmaps_.find(id);
    return it == bitmaps_.end() ? nullptr : &it->second;
}

void decodeDib(const uint8_t* p, uint32_t n, Bitmap& b) {
    if (n < sizeof(BITMAPINFOHEADER)) { b.problem = "shorter than a bitmap header"; return; }
    BITMAPINFOHEADER h;
    std::memcpy(&h, p, sizeof h);
    b.bits = h.biBitCount;
    if (h.biSize < sizeof h || h.biSize > n) { b.problem = "bad header size " + std::to_string(h.biSize); return; }
    const int32_t w = h.biWidth, ht = h.biHeight;
    if (w <= 0 || w > 8192 || ht == 0 || ht < -8192 || ht > 8192) { b.problem = "bad dimensions"; return; }
    b.width = w;
    b.height = ht < 0 ? -ht : ht;
    if (h.biPlanes != 1) { b.problem = "planes is not 1"; return; }
    if (b.bits != 1 && b.bits != 4 && b.bits != 8 && b.bits != 24 && b.bits != 32) {
        b.problem = "unsupported bit depth " + std::to_string(b.bits);
        return;
    }
    if (h.biCompression != BI_RGB) { b.problem = "compressed bitmaps are not supported"; return; }
    uint32_t colours = h.biClrUsed;
    if (b.bits <= 8) {
        if (colours == 0) colours = 1u << b.bits;
        if (colours > (1u << b.bits)) { b.problem = "palette larger than the bit depth allows"; return; }
    } else {
        colours = 0;
    }
    const uint64_t stride = (uint64_t(w) * b.bits + 31) / 32 * 4;
    const uint64_t need = uint64_t(h.biSize) + colours * uint64_t(sizeof(RGBQUAD)) + stride * b.height;
    if (need > n) {
        b.problem = "pixel data runs past the resource (" + std::to_string(need) + " > " + std::to_string(n) + " bytes)";
        return;
    }
    const uint8_t* pal = p + h.biSize;
    const uint8_t* bits = pal + colours * sizeof(RGBQUAD);
    b.pixels.resize(size_t(w) * b.height);
    for (int y = 0; y < b.height; ++y) {
        const uint8_t* row = bits + stride * (ht > 0 ? b.height - 1 - y : y);
        for (int x = 0; x < w; ++x) {
            const uint8_t* q;
            if (b.bits >= 24) {
                q = row + x * (b.bits / 8);
            } else {
                const int per = 8 / b.bits;
                const uint32_t byte = row[x / per];
                const uint32_t idx = (byte >> ((per - 1 - x % per) * b.bits)) & ((1u << b.bits) - 1);
                if (idx >= colours) { b.problem = "pixel refers past the palette"; b.pixels.clear(); return; }
                q = pal + idx * sizeof(RGBQUAD);
            }
            b.pixels[size_t(y) * w + x] = (uint32_t(q[2]) << 16) | (uint32_t(q[1]) << 8) | q[0];
        }
    }
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
        if (n > 4096) throw HostError(w + " at " + where(d) + ": implausible entry count");
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
                if (langs.front().DataIsDirectory) throw HostError(w + ": bitmap " + std::to_string(id) + " nests too deep");
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
