#include "image.h"

#include <algorithm>
#include <cstring>

#include "guard.h"

namespace gh {

std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}

namespace {
std::string windowsError(DWORD code) {
    char buf[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                   sizeof buf - 1, nullptr);
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.'))
        s.pop_back();
    return "Windows error " + std::to_string(code) + (s.empty() ? "" : " (" + s + ")");
}
}  // namespace

Module::Module(const std::string& path) {
    // No error boxes: a broken file must come back as an error code.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX);
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        throw HostError("cannot open " + path + ": " + windowsError(GetLastError()));
    watchBegin("loading " + path + " (its entry point)");
    handle_ = LoadLibraryA(path.c_str());
    watchEnd();
    if (handle_ == nullptr)
        throw HostError("cannot load " + path + " as a module: " + windowsError(GetLastError()));
    base_ = uint32_t(reinterpret_cast<uintptr_t>(handle_));

    // The loader accepted the headers, but read them with the same care as
    // everything else: the first page is always mapped.
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(handle_);
    const uint32_t lfanew = uint32_t(dos->e_lfanew);
    if (lfanew > 0x1000 - sizeof(IMAGE_NT_HEADERS32)) throw HostError("PE header lies beyond the first page");
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(reinterpret_cast<const uint8_t*>(handle_) + lfanew);
    if (nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) throw HostError("not a 32-bit module");
    size_ = nt->OptionalHeader.SizeOfImage;
    const uint32_t align = std::max<uint32_t>(nt->OptionalHeader.SectionAlignment, 0x1000);
    auto roundUp = [&](uint32_t v) { return (v + align - 1) / align * align; };

    std::vector<Range> wanted;
    wanted.push_back({0, std::min(size_, roundUp(nt->OptionalHeader.SizeOfHeaders)), false, false});
    const uint32_t nsec = nt->FileHeader.NumberOfSections;
    const uint8_t* secs = reinterpret_cast<const uint8_t*>(&nt->OptionalHeader) + nt->FileHeader.SizeOfOptionalHeader;
    if (uint32_t(secs - reinterpret_cast<const uint8_t*>(handle_)) + nsec * 40 > 0x1000)
        throw HostError("section table lies beyond the first page");
    for (uint32_t i = 0; i < nsec; ++i) {
        IMAGE_SECTION_HEADER s;
        std::memcpy(&s, secs + i * 40, 40);
        const uint32_t vs = s.Misc.VirtualSize ? s.Misc.VirtualSize : s.SizeOfRawData;
        if (vs == 0 || s.VirtualAddress >= size_) continue;
        const uint32_t hi = std::min<uint64_t>(size_, uint64_t(s.VirtualAddress) + roundUp(vs));
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
    loadResources();
}

const Module::Range* Module::rangeOf(uint32_t a, uint32_t n) const {
    for (const Range& r : ranges_)
        if (a >= r.lo && a < r.hi && n <= r.hi - a) return &r;
    return nullptr;
}

bool Module::readable(uint32_t a, uint32_t n) const { return rangeOf(a, n) != nullptr; }
bool Module::writable(uint32_t a, uint32_t n) const {
    const Range* r = rangeOf(a, n);
    return r && r->write;
}
bool Module::code(uint32_t a) const {
    const Range* r = rangeOf(a, 1);
    return r && r->exec;
}

std::string Module::where(uint32_t a) const {
    if (a >= base_ && a - base_ < size_) return "offset " + hex(a - base_);
    return "address " + hex(a) + " (outside the module image)";
}

void Module::require(uint32_t a, uint32_t n, const std::string& what) const {
    if (readable(a, n)) return;
    if (a >= base_ && a - base_ < size_)
        throw HostError(what + ": " + std::to_string(n) + " bytes at " + where(a) +
                        " run outside the module's mapped sections");
    throw HostError(what + ": pointer " + hex(a) + " lies outside the module image");
}

void Module::requireWritable(uint32_t a, uint32_t n, const std::string& what) const {
    require(a, n, what);
    if (!writable(a, n)) throw HostError(what + ": record at " + where(a) + " is not in writable data");
}

void Module::requireCode(uint32_t a, const std::string& what) const {
    if (!code(a)) throw HostError(what + ": routine pointer " + hex(a) + " is not in the module's code");
}

uint32_t Module::u32(uint32_t a, const std::string& what) const {
    require(a, 4, what);
    uint32_t v;
    std::memcpy(&v, reinterpret_cast<const void*>(uintptr_t(a)), 4);
    return v;
}

double Module::f64(uint32_t a, const std::string& what) const {
    require(a, 8, what);
    double v;
    std::memcpy(&v, reinterpret_cast<const void*>(uintptr_t(a)), 8);
    return v;
}

std::string Module::text(uint32_t a, uint32_t max, const std::string& what) const {
    std::string s;
    for (uint32_t i = 0; i < max; ++i) {
        if (!readable(a + i, 1)) throw HostError(what + ": text at " + where(a) + " runs outside the image");
        const char c = *reinterpret_cast<const char*>(uintptr_t(a + i));
        if (c == 0) return s;
        s += c;
    }
    throw HostError(what + ": text at " + where(a) + " is not terminated within " + std::to_string(max) + " bytes");
}

void Module::put32(uint32_t a, uint32_t v, const std::string& what) const {
    requireWritable(a, 4, what);
    std::memcpy(reinterpret_cast<void*>(uintptr_t(a)), &v, 4);
}

void Module::put64(uint32_t a, double v, const std::string& what) const {
    requireWritable(a, 8, what);
    std::memcpy(reinterpret_cast<void*>(uintptr_t(a)), &v, 8);
}

uint32_t Module::dataDir(int index, uint32_t* size) const {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(handle_);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(reinterpret_cast<const uint8_t*>(handle_) + dos->e_lfanew);
    if (uint32_t(index) >= nt->OptionalHeader.NumberOfRvaAndSizes) return 0;
    *size = nt->OptionalHeader.DataDirectory[index].Size;
    return nt->OptionalHeader.DataDirectory[index].VirtualAddress;
}

uint32_t Module::exportAddress(const char* name) const {
    uint32_t dirSize = 0;
    const uint32_t dir = dataDir(IMAGE_DIRECTORY_ENTRY_EXPORT, &dirSize);
    if (dir == 0) return 0;
    const std::string w = "export directory";
    const uint32_t d = base_ + dir;
    const uint32_t nFunctions = u32(d + 0x14, w), nNames = u32(d + 0x18, w);
    const uint32_t functions = base_ + u32(d + 0x1C, w), names = base_ + u32(d + 0x20, w),
                   ordinals = base_ + u32(d + 0x24, w);
    if (nNames > 0x10000 || nFunctions > 0x10000) throw HostError(w + ": implausible number of exports");
    for (uint32_t i = 0; i < nNames; ++i) {
        const std::string n = text(base_ + u32(names + 4 * i, w + " name table"), 256, w + " name");
        if (n != name) continue;
        require(ordinals + 2 * i, 2, w + " ordinal table");
        const uint16_t ord = *reinterpret_cast<const uint16_t*>(uintptr_t(ordinals + 2 * i));
        if (ord >= nFunctions) throw HostError(w + ": ordinal of " + name + " is out of range");
        const uint32_t rva = u32(functions + 4 * ord, w + " address table");
        if (rva >= dir && rva < dir + dirSize) throw HostError(std::string(name) + " is a forwarded export");
        return base_ + rva;
    }
    return 0;
}

std::vector<std::string> Module::imports() const {
    std::vector<std::string> out;
    uint32_t dirSize = 0;
    const uint32_t dir = dataDir(IMAGE_DIRECTORY_ENTRY_IMPORT, &dirSize);
    if (dir == 0) return out;
    for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t e = base_ + dir + 20 * i;
        const uint32_t nameRva = u32(e + 12, "import directory");
        if (nameRva == 0) return out;
        out.push_back(text(base_ + nameRva, 256, "import directory name"));
    }
    throw HostError("import directory is not terminated");
}

const Bitmap* Module::bitmap(uint32_t id) const {
    auto it = bitmaps_.find(id);
    return it == bitmaps_.end() ? nullptr : &it->second;
}

namespace {
// Decodes a DIB resource (BITMAPINFOHEADER form, uncompressed).
void decodeDib(const uint8_t* p, uint32_t n, Bitmap& b) {
    auto rd32 = [&](uint32_t off) { uint32_t v; std::memcpy(&v, p + off, 4); return v; };
    if (n < 40) { b.problem = "shorter than a bitmap header"; return; }
    const uint32_t hs = rd32(0);
    const int32_t w = int32_t(rd32(4)), h = int32_t(rd32(8));
    const uint32_t planesBits = rd32(12), comp = rd32(16);
    uint32_t colours = rd32(32);
    b.bits = int(planesBits >> 16);
    if (hs < 40 || hs > n) { b.problem = "bad header size " + std::to_string(hs); return; }
    if (w <= 0 || w > 8192 || h == 0 || h < -8192 || h > 8192) { b.problem = "bad dimensions"; return; }
    b.width = w;
    b.height = h < 0 ? -h : h;
    if ((planesBits & 0xFFFF) != 1) { b.problem = "planes is not 1"; return; }
    if (b.bits != 1 && b.bits != 4 && b.bits != 8 && b.bits != 24 && b.bits != 32) {
        b.problem = "unsupported bit depth " + std::to_string(b.bits);
        return;
    }
    if (comp != BI_RGB) { b.problem = "compressed bitmaps are not supported"; return; }
    if (b.bits <= 8) {
        if (colours == 0) colours = 1u << b.bits;
        if (colours > (1u << b.bits)) { b.problem = "palette larger than the bit depth allows"; return; }
    } else {
        colours = 0;
    }
    const uint64_t stride = (uint64_t(w) * b.bits + 31) / 32 * 4;
    const uint64_t need = uint64_t(hs) + colours * 4ull + stride * b.height;
    if (need > n) { b.problem = "pixel data runs past the resource (" + std::to_string(need) + " > " + std::to_string(n) + " bytes)"; return; }
    const uint8_t* pal = p + hs;
    const uint8_t* bits = pal + colours * 4;
    b.pixels.resize(size_t(w) * b.height);
    for (int y = 0; y < b.height; ++y) {
        const uint8_t* row = bits + stride * (h > 0 ? b.height - 1 - y : y);
        for (int x = 0; x < w; ++x) {
            uint32_t rgb;
            if (b.bits >= 24) {
                const uint8_t* q = row + x * (b.bits / 8);
                rgb = (uint32_t(q[2]) << 16) | (uint32_t(q[1]) << 8) | q[0];
            } else {
                const int per = 8 / b.bits;
                const uint32_t byte = row[x / per];
                const uint32_t idx = (byte >> ((per - 1 - x % per) * b.bits)) & ((1u << b.bits) - 1);
                if (idx >= colours) { b.problem = "pixel refers past the palette"; b.pixels.clear(); return; }
                const uint8_t* q = pal + idx * 4;
                rgb = (uint32_t(q[2]) << 16) | (uint32_t(q[1]) << 8) | q[0];
            }
            b.pixels[size_t(y) * w + x] = rgb;
        }
    }
}
}  // namespace

void Module::loadResources() {
    uint32_t dirSize = 0;
    const uint32_t dir = dataDir(IMAGE_DIRECTORY_ENTRY_RESOURCE, &dirSize);
    if (dir == 0) return;
    const uint32_t root = base_ + dir;
    const std::string w = "resource directory";
    // Entries of one directory: (id or name flag, offset) pairs.
    auto entries = [&](uint32_t d) {
        std::vector<std::pair<uint32_t, uint32_t>> out;
        require(d, 16, w);
        const uint32_t counts = u32(d + 12, w);
        const uint32_t n = (counts & 0xFFFF) + (counts >> 16);
        if (n > 4096) throw HostError(w + " at " + where(d) + ": implausible entry count");
        for (uint32_t i = 0; i < n; ++i) out.emplace_back(u32(d + 16 + 8 * i, w), u32(d + 20 + 8 * i, w));
        return out;
    };
    for (auto [type, typeOff] : entries(root)) {
        if (type != 2 || !(typeOff & 0x80000000u)) continue;   // RT_BITMAP, a directory
        for (auto [name, nameOff] : entries(root + (typeOff & 0x7FFFFFFF))) {
            if (name & 0x80000000u) continue;                   // named bitmaps are not addressable by id
            uint32_t off = nameOff;
            if (off & 0x80000000u) {                            // language level: take the first
                auto langs = entries(root + (off & 0x7FFFFFFF));
                if (langs.empty()) continue;
                off = langs.front().second;
                if (off & 0x80000000u) throw HostError(w + ": bitmap " + std::to_string(name) + " nests too deep");
            }
            const uint32_t entry = root + off;
            const uint32_t dataRva = u32(entry, w + " data entry"), dataSize = u32(entry + 4, w + " data entry");
            Bitmap b;
            b.id = name;
            b.bytes = dataSize;
            if (!readable(base_ + dataRva, dataSize) || dataSize == 0)
                b.problem = "resource data lies outside the image";
            else
                decodeDib(reinterpret_cast<const uint8_t*>(uintptr_t(base_ + dataRva)), dataSize, b);
            bitmaps_[name] = std::move(b);
        }
    }
}

}  // namespace gh
