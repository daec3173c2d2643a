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
    try {
        mapSections(runEntryPoint ? PeLayout::BoundImage : PeLayout::Image);
        loadResources();
    } catch (...) {
        // No destructor runs for an object never made: the module goes here.
        unload();
        throw;
    }
}

ModuleImage::~ModuleImage() { unload(); }

void ModuleImage::unload() {
    if (!handle_) return;
    watchBegin("unloading " + path_ + " (its entry point)");
    FreeLibrary(handle_);
    watchEnd();
    handle_ = nullptr;
}

void ModuleImage::mapSections(PeLayout layout) {
    // The headers, read with the same care as everything else: only the
    // first page is sure to be mapped.
    const PeReader headers(reinterpret_cast<const uint8_t*>(handle_), 0x1000, layout);
    const PeHeaders& h = headers.headers();
    if (!headers.pe32()) throw ModuleError("not a 32-bit module");
    size_ = h.imageSize;
    const uint32_t align = std::max<uint32_t>(h.sectionAlignment, 0x1000);
    auto roundUp = [&](uint32_t v) { return uint32_t((uint64_t(v) + align - 1) / align * align); };

    std::vector<Range> wanted;
    wanted.push_back({0, std::min(size_, roundUp(h.headersSize)), false, false});
    for (const PeSection& s : headers.sections()) {
        const uint32_t vs = s.virtualSize ? s.virtualSize : s.rawSize;
        if (vs == 0 || s.rva >= size_) continue;
        const uint32_t hi = uint32_t(std::min<uint64_t>(size_, uint64_t(s.rva) + roundUp(vs)));
        wanted.push_back({s.rva, hi, s.writable(), s.executable()});
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
    pe_ = std::make_unique<PeReader>(reinterpret_cast<const uint8_t*>(handle_), size_, layout,
                                     [this](uint32_t offset, uint32_t n) { return readable(base_ + offset, n); });
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

uint32_t ModuleImage::exportAddress(const char* name) const {
    const uint32_t rva = pe_->exportRva(name);
    return rva ? base_ + rva : 0;
}

std::vector<std::string> ModuleImage::imports() const {
    std::vector<std::string> out;
    for (const PeImportedDll& d : pe_->importedDlls()) out.push_back(d.name);
    return out;
}

uint32_t ModuleImage::importSlot(const void* function) const {
    if (function == nullptr) return 0;
    const uint32_t target = uint32_t(uintptr_t(function));
    for (const PeImport& i : pe_->imports())
        if (i.slot && readable(base_ + i.slot, 4) && u32(base_ + i.slot, "import address table") == target)
            return base_ + i.slot;
    return 0;
}

const Bitmap* ModuleImage::bitmap(uint32_t id) const {
    auto it = bitmaps_.find(id);
    return it == bitmaps_.end() ? nullptr : &it->second;
}

void ModuleImage::loadResources() {
    for (const PeResource& r : pe_->resources(2 /* RT_BITMAP */)) {
        Bitmap b;
        b.id = r.id;
        b.bytes = r.size;
        if (r.size == 0 || !pe_->holds(r.rva, r.size)) b.problem = "resource data lies outside the image";
        else decodeDib(pe_->bytesAt(r.rva, r.size, "bitmap resource"), r.size, b);
        bitmaps_[r.id] = std::move(b);
    }
}

}  // namespace gaugehost
