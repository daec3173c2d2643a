// The module image: a gauge module loaded by the Windows loader as the
// simulator loads it, seen as bytes. Every read of a module record goes
// through here and is checked against the sections of the loaded image, so a
// malformed module ends in a ModuleError naming the record, never in a fault.
// Its PE structures are read through the PE reader (pe_reader.h); its bitmap
// resources are decoded here.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dib.h"
#include "errors.h"
#include "pe_reader.h"
#include "text.h"

namespace gaugehost {

class ModuleImage {
public:
    // Loads exactly the file named (full path, no search, no ".dll" added)
    // as the simulator does, and maps out its sections. Throws InputError
    // when the file is not there, ModuleError when it cannot be loaded. With `runEntryPoint` false the loader
    // only maps and relocates the image: its entry point does not run and
    // its imports are not bound, so no code of the module (or of a library
    // it imports) runs, and none may be called.
    explicit ModuleImage(const std::string& path, bool runEntryPoint = true);
    // Unloads the module (its detach code runs under the watchdog).
    ~ModuleImage();
    ModuleImage(const ModuleImage&) = delete;
    ModuleImage& operator=(const ModuleImage&) = delete;

    uint32_t base() const { return base_; }
    uint32_t size() const { return size_; }
    uint32_t rva(uint32_t a) const { return a - base_; }
    bool contains(uint32_t a) const { return a - base_ < size_; }
    std::string where(uint32_t a) const;   // "offset 0x1234" or "address 0x... (outside the module image)"
    std::string offset(uint32_t a) const;  // "+0x1234" inside the image, "0x..." outside

    bool readable(uint32_t a, uint32_t n) const;
    bool writable(uint32_t a, uint32_t n) const;
    bool code(uint32_t a) const;

    // Checked reads and writes; `what` names the record and field for the
    // error. A record is read whole: bounds checked, bytes copied, then its
    // fields are read by name from the copy.
    template <typename Record> Record read(uint32_t a, const std::string& what) const {
        require(a, sizeof(Record), what);
        Record r;
        std::memcpy(&r, reinterpret_cast<const void*>(uintptr_t(a)), sizeof r);
        return r;
    }
    template <typename Record> void write(uint32_t a, const Record& r, const std::string& what) const {
        requireWritable(a, sizeof(Record), what);
        std::memcpy(reinterpret_cast<void*>(uintptr_t(a)), &r, sizeof r);
    }
    uint32_t u32(uint32_t a, const std::string& what) const { return read<uint32_t>(a, what); }
    double f64(uint32_t a, const std::string& what) const { return read<double>(a, what); }
    std::string text(uint32_t a, uint32_t max, const std::string& what) const;  // NUL-terminated within max
    void require(uint32_t a, uint32_t n, const std::string& what) const;
    void requireWritable(uint32_t a, uint32_t n, const std::string& what) const;
    void requireCode(uint32_t a, const std::string& what) const;

    // The image's PE structures (offsets are RVAs; the imports are bound
    // when the entry point ran).
    const PeReader& pe() const { return *pe_; }
    // Exported data symbol by name (0 when absent), from the export directory.
    uint32_t exportAddress(const char* name) const;
    std::vector<std::string> imports() const;   // imported DLL names
    // The import address table slot through which the module calls
    // `function` (0 when it imports no such function).
    uint32_t importSlot(const void* function) const;

    // Bitmap resources (RT_BITMAP) by numeric id, in ascending order.
    const std::map<uint32_t, Bitmap>& bitmaps() const { return bitmaps_; }
    const Bitmap* bitmap(uint32_t id) const;

    HMODULE handle() const { return handle_; }
    const std::string& path() const { return path_; }

private:
    struct Range { uint32_t lo, hi; bool write, exec; };
    const Range* rangeOf(uint32_t a, uint32_t n) const;
    void mapSections(PeLayout layout);
    void loadResources();
    void unload();

    std::string path_;
    HMODULE handle_ = nullptr;
    uint32_t base_ = 0, size_ = 0;
    std::vector<Range> ranges_;
    std::unique_ptr<PeReader> pe_;
    std::map<uint32_t, Bitmap> bitmaps_;
};

}  // namespace gaugehost
