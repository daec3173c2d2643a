// A loaded gauge module seen as bytes: every read of a module record goes
// through here and is checked against the sections of the loaded image, so a
// malformed module ends in a HostError naming the record, never in a fault.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace gh {

struct HostError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string hex(uint32_t v);

// A decoded bitmap resource: top-down rows of 0x00RRGGBB.
struct Bitmap {
    uint32_t id = 0;
    int width = 0, height = 0, bits = 0;
    uint32_t bytes = 0;        // size of the resource
    std::string problem;       // empty when the bitmap decoded
    std::vector<uint32_t> pixels;
    uint32_t at(int x, int y) const { return pixels[size_t(y) * width + x]; }
};

class Module {
public:
    // Loads the library as the simulator does (LoadLibrary) and maps out its
    // sections. Throws HostError when the file cannot be loaded.
    explicit Module(const std::string& path);

    uint32_t base() const { return base_; }
    uint32_t size() const { return size_; }
    uint32_t rva(uint32_t a) const { return a - base_; }
    std::string where(uint32_t a) const;   // "offset 0x1234" or "address 0x... (outside the image)"

    bool readable(uint32_t a, uint32_t n) const;
    bool writable(uint32_t a, uint32_t n) const;
    bool code(uint32_t a) const;

    // Checked reads; `what` names the record and field for the error.
    uint32_t u32(uint32_t a, const std::string& what) const;
    int32_t i32(uint32_t a, const std::string& what) const { return int32_t(u32(a, what)); }
    double f64(uint32_t a, const std::string& what) const;
    std::string text(uint32_t a, uint32_t max, const std::string& what) const;  // NUL-terminated within max
    void require(uint32_t a, uint32_t n, const std::string& what) const;
    void requireWritable(uint32_t a, uint32_t n, const std::string& what) const;
    void requireCode(uint32_t a, const std::string& what) const;
    void put32(uint32_t a, uint32_t v, const std::string& what) const;
    void put64(uint32_t a, double v, const std::string& what) const;

    // Exported data symbol by name (0 when absent), from the export directory.
    uint32_t exportAddress(const char* name) const;
    std::vector<std::string> imports() const;   // imported DLL names

    // Bitmap resources (RT_BITMAP) by numeric id, in ascending order.
    const std::map<uint32_t, Bitmap>& bitmaps() const { return bitmaps_; }
    const Bitmap* bitmap(uint32_t id) const;

    HMODULE handle() const { return handle_; }

private:
    struct Range { uint32_t lo, hi; bool write, exec; };
    const Range* rangeOf(uint32_t a, uint32_t n) const;
    uint32_t dataDir(int index, uint32_t* size) const;
    void loadResources();

    HMODULE handle_ = nullptr;
    uint32_t base_ = 0, size_ = 0;
    std::vector<Range> ranges_;
    std::map<uint32_t, Bitmap> bitmaps_;
};

}  // namespace gh
