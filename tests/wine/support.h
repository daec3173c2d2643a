// What the Wine tests share: loading a shipped module as the simulator does,
// reading its records as raw bytes at the host's offsets, calling its
// routines through the host core's guarded call, a recording sink behind the
// host core's service table, and the fixture every module's tests build on.
//
// Records are read as bytes on purpose: the tests never look at a record
// through the struct that defined it. Offsets, sizes, kinds, flags and
// service slots are written out here and in the tests as the numbers the
// host sees, not taken from hostapi: the tests check the bytes independently
// of the code under test, so that a wrong definition there cannot pass
// unnoticed.
//
// What the tests take from the host core (hostcore/) is the machinery
// around the records, not their layout:
//  - the module, loaded and mapped by ModuleImage; its sections (code,
//    writable data) and imports through the host's one PE reader;
//  - every call into module code through guardedCall: a fault in module
//    code, or a service no module may call, fails the test instead of
//    ending the program, and the call reports the stack and callee-saved
//    registers it left;
//  - the service table, whose argument counts are hostapi's: a wrong count
//    there shows here as an unbalanced stack or as a recorded call other
//    than the test expects;
//  - the bitmap resources as decodeDib decodes them; their format is read
//    from the resource's bytes at literal offsets.
// The tests' own reader of the PE files, their independent oracle, is the
// native suite's (tests/native/pe_file.cpp): it reads the shipped files
// from outside, without the Windows loader, and pe_reader_test.cpp holds
// the host's reader against it.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hostcore/dib.h"
#include "hostcore/module_image.h"
#include "hostcore/services.h"

namespace winetest {

// ---- run lengths -------------------------------------------------------------
// The number of rounds of a long test: `fallback` in `make test`, more when
// the environment asks for it (`make fuzz` and `make soak` set these).
inline int roundsFromEnv(const char* name, int fallback) {
    const char* v = std::getenv(name);
    if (!v || !*v) return fallback;
    char* end = nullptr;
    const long n = std::strtol(v, &end, 10);
    if (*end == 0 && n > 0 && n <= 10000000) return static_cast<int>(n);
    ADD_FAILURE() << name << "=" << v << " is not a count from 1 to 10000000";
    return fallback;
}

// ---- raw reads ---------------------------------------------------------------
inline uint32_t u32(const void* base, uint32_t off) {
    uint32_t v;
    std::memcpy(&v, static_cast<const uint8_t*>(base) + off, 4);
    return v;
}
inline int32_t i32(const void* base, uint32_t off) { return static_cast<int32_t>(u32(base, off)); }
inline uint64_t u64(const void* base, uint32_t off) {
    uint64_t v;
    std::memcpy(&v, static_cast<const uint8_t*>(base) + off, 8);
    return v;
}
inline double f64(const void* base, uint32_t off) {
    double v;
    std::memcpy(&v, static_cast<const uint8_t*>(base) + off, 8);
    return v;
}
inline uint8_t* at(const void* base, uint32_t off) {
    return reinterpret_cast<uint8_t*>(u32(base, off));  // follow a 32-bit pointer field
}
inline uint32_t addr(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }
inline uint64_t bits(double d) {
    uint64_t v;
    std::memcpy(&v, &d, 8);
    return v;
}

// One expected field of a record: `width` bytes (4 or 8) at `offset`, equal
// to `value`; or, for a pointer into the module's own data whose address is
// not known beforehand (`intoData`), a 32-bit pointer that must lie in a
// writable section of the module (what it points to is checked apart).
struct Field {
    uint32_t offset;
    uint32_t width;
    uint64_t value;
    const char* what;
    bool intoData = false;
};
inline Field w32(uint32_t off, uint32_t v, const char* what) { return {off, 4, v, what}; }
inline Field ptr(uint32_t off, const void* p, const char* what) { return {off, 4, addr(p), what}; }
inline Field dbl(uint32_t off, double d, const char* what) { return {off, 8, bits(d), what}; }
inline Field dataPtr(uint32_t off, const char* what) { return {off, 4, 0, what, true}; }
// A NUL-terminated text in a fixed field, NUL-padded to `width`.
struct TextField {
    uint32_t offset;
    uint32_t width;
    const char* text;
};

// The bytes one record takes in the module: [begin, end).
struct Span {
    uint32_t begin, end;
    std::string what;
};
inline Span span(const void* p, uint32_t size, std::string what) {
    return {addr(p), addr(p) + size, std::move(what)};
}
// Fails the test for every two records that share a byte.
void expectDisjoint(std::vector<Span> spans);

// ---- modules -------------------------------------------------------------------
struct Module {
    std::unique_ptr<gaugehost::ModuleImage> image;  // the host core's view of the loaded module
    HMODULE handle = nullptr;
    uint8_t* linkage = nullptr;
    uint8_t* imports = nullptr;
    uint32_t imageBase = 0, imageSize = 0;

    // Loaded with both exports found (loadModule has said what is missing).
    bool complete() const { return handle && linkage && imports; }
    bool inImage(uint32_t address) const {
        return address >= imageBase && address < imageBase + imageSize;
    }
    // Inside a section the image marks executable.
    bool inCode(uint32_t address) const { return image && image->code(address); }
    // Inside a section the image marks writable, on a page that is
    // writable: where records the host writes into must live.
    bool inWritable(uint32_t address) const { return image && image->writable(address, 1); }
    bool inWritable(const void* p) const { return inWritable(addr(p)); }
    const gaugehost::PeReader& pe() const { return image->pe(); }
    uint8_t* gauge() const { return at(linkage, 0x18); }
};

// Every byte of the module's writable sections, in section order: a snapshot
// of all the state the module can keep.
std::vector<uint8_t> writableData(const Module& m);

// The element chain of a version-800 gauge, walked from the header's root
// slot through the first entry of each element's child list.
struct ChainWalk {
    std::vector<uint8_t*> elements;  // in drawing order, as far as the walk got
    std::string problem;             // empty when the chain ended at a NULL child list
};
// Stops at an element without a child list (the regular end), or with a
// problem: a NULL root or child, an element or child list outside the
// module's writable data, an element met a second time, or more than
// `limit` elements.
ChainWalk walkChain(const Module& m, const uint8_t* header, size_t limit = 64);

// Checks every listed field, and that every other byte of the record is 0
// (host-owned and reserved fields are zero in the image). Routine pointers,
// whose values are not known beforehand, are listed in `codePointers`: each
// must point into an executable section of the module.
void expectRecord(const Module& m, const char* name, const void* record, uint32_t size,
                  std::vector<Field> fields, std::vector<uint32_t> codePointers = {},
                  std::vector<TextField> texts = {});

// Loads dist/<name>.gau (or $GAUGE_DIST/<name>.gau) as the host does
// (ModuleImage: the Windows loader, the entry point run) and finds both
// exports by name; module calls are guarded for it from then on. Fails the
// test on any step.
Module loadModule(const char* name);
void unloadModule(Module& m);

// The limit on any one call into the module's code from now on; a call
// that runs longer ends the program, naming the call (hostcore's watchdog).
// loadModule sets kCallSeconds.
constexpr unsigned kCallSeconds = 30;
void setCallLimit(const Module& m, unsigned seconds);

// ---- calling module code ---------------------------------------------------------
struct CallResult {
    uint32_t eax = 0;
    double st0 = 0;          // the returned double, when asked for
    int32_t stackLeft = 0;   // bytes the callee left on the stack: 0 for __stdcall
    std::string registers;   // callee-saved registers it changed: "" for any routine
    std::string failure;     // why the call did not complete, "" when it did
    bool clean() const { return failure.empty() && stackLeft == 0 && registers.empty(); }
};
// Pushes `args` (right to left, like the host) and calls `fn` through the
// host core's guarded call; `what` names the call in its failure. A call
// made from a service while a module call runs (a test's onKeyEvent asking
// a value routine) cannot be guarded again: it is a plain __stdcall call of
// one argument returning a double, whose fault still ends the running
// guarded call; its stack is measured where the tests call the same routine
// directly.
CallResult callModule(const std::string& what, const void* fn, std::initializer_list<uint32_t> args,
                      bool returnsDouble = false);
// The same, failing the test unless the call completed, removed exactly its
// own arguments and kept the callee-saved registers.
CallResult expectCall(const std::string& what, const void* fn, std::initializer_list<uint32_t> args,
                      bool returnsDouble = false);

// ---- recording host ----------------------------------------------------------------
// One entry of the recorded sequence: a service call, or, when `platform`
// is set, a platform call the module made between service calls (slot 0,
// its name and the arguments worth comparing), noted by a test's spies.
struct ServiceCall {
    unsigned slot;
    std::vector<uint32_t> args;
    std::string platform = {};
    bool operator==(const ServiceCall& o) const {
        return slot == o.slot && args == o.args && platform == o.platform;
    }
};
std::ostream& operator<<(std::ostream& os, const ServiceCall& c);

// The receiver of the host core's service table: records every call, with
// the arguments the table's slot takes. The services that have an effect
// the modules rely on act like the host's:
//  - 25 installElements stores `image` at the root element's +0x3C;
//  - 31 releaseElements clears it again;
//  - 40 refreshModuleVar writes `vars[id]` (0 if unset) as the cached value;
//  - 36 sendKeyEvent calls `onKeyEvent`, if set.
// A slot no module may call abandons the module call, and the call fails
// naming the slot.
struct Recorder final : gaugehost::ServiceSink {
    std::vector<ServiceCall> calls;
    std::map<uint32_t, double> vars;
    uint32_t image[4] = {0, 0, 0, 0};  // host image record: +4 width, +8 height
    std::function<void(uint32_t, int32_t)> onKeyEvent;

    Recorder() = default;
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;
    ~Recorder();

    void setDrawnSize(int32_t w, int32_t h) {
        image[1] = static_cast<uint32_t>(w);
        image[2] = static_cast<uint32_t>(h);
    }
    // Makes this recorder the table's receiver and stores the table into
    // the module's ImportTable + 4.
    void attach(const Module& m);
    void clear() { calls.clear(); }
    // Notes a platform call in the same sequence as the service calls.
    void note(std::string platformCall, std::vector<uint32_t> args = {}) {
        calls.push_back({0, std::move(args), std::move(platformCall)});
    }
    std::vector<std::pair<uint32_t, int32_t>> keyEvents() const;

    void service(unsigned slot, const uint32_t* args) override;
};

// ---- bitmap resources ---------------------------------------------------------
using gaugehost::Bitmap;

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
    bool operator!=(const Rgb& o) const { return !(*this == o); }
};
std::ostream& operator<<(std::ostream& os, const Rgb& c);

// Ids of every RT_BITMAP resource, ascending, and each as the host decodes
// it (a Bitmap with its problem set when there is no such resource).
std::vector<uint32_t> bitmapIds(const Module& m);
const Bitmap& bitmapResource(const Module& m, uint32_t id);
// The pixel at x right, y down from the top-left; throws (failing the test)
// outside a decoded bitmap.
Rgb pixel(const Bitmap& b, int x, int y);
// The resource's bytes as the Windows loader hands them out: the DIB,
// BITMAPINFOHEADER first. Null when there is no such resource.
const uint8_t* bitmapBytes(const Module& m, uint32_t id, uint32_t* size = nullptr);

// The resource `id` is an uncompressed bottom-up DIB of the given size and
// depth (8 bits: at most 256 palette colours), whose rows lie within it,
// and the host decodes it whole.
void expectBitmapFormat(const Module& m, uint32_t id, int width, int height, uint32_t bitsPerPixel);

// The header block of a version-800 gauge: 0xC4 bytes (the header, then
// zero), its 32-byte zero-filled name buffer, and the root slot holding the
// background (a static image of bitmap 256) followed by a zero word; each in
// writable data, none overlapping another, the mouse list of `mouseEntries`
// entries or the ImportTable.
void expectHeaderBlock800(const Module& m, const char* name, uint32_t mouseEntries);

// ---- the module's import table ------------------------------------------------------
// The module's import address table entry for `dll`'s routine `name`, or
// for its ordinal when `name` is null; null when the module has no such
// import.
void** importSlot(const Module& m, const char* dll, const char* name, WORD ordinal);
void redirect(void** slot, void* to);

// Points the module's import of `dll`'s `name` (or `ordinal`) at `spy`,
// keeping what it held in `real`. False when the module has no such import.
template <typename Fn>
bool spyOn(const Module& m, const char* dll, const char* name, WORD ordinal, Fn spy, Fn& real) {
    void** slot = importSlot(m, dll, name, ordinal);
    if (slot == nullptr) return false;
    real = reinterpret_cast<Fn>(*slot);
    redirect(slot, reinterpret_cast<void*>(spy));
    return true;
}

// ---- fixture ---------------------------------------------------------------------
// One shipped module, loaded afresh for each test, and the calls the host
// makes into it. Every call must complete, remove its own arguments and
// keep the callee-saved registers.
class GaugeTest : public ::testing::Test {
protected:
    explicit GaugeTest(const char* module) : module_(module) {}
    void SetUp() override { load(); }
    void TearDown() override { unloadModule(m); }

    // Loads the module, with both exports and its gauge header found.
    void load();
    // A fresh module: every bit of its state as at load.
    void reload() {
        unloadModule(m);
        load();
    }

    // Version 610: the header routine at `offset` (0x0C query, 0x10
    // install, 0x14 initialize, 0x18 update, 0x1C generate, 0x20 draw, 0x24
    // kill), and the root element from the header's root slot.
    CallResult routine(uint32_t offset, std::initializer_list<uint32_t> args = {});
    uint8_t* root() const { return at(at(header, 0x08), 0); }
    // Version 610: runs the install routine with `rec` as the host (its
    // calls from there on) and returns the mouse list it registered through
    // service 32; null, with a failure, when it registered none.
    uint8_t* install(Recorder& rec);

    // Version 800: GaugeCallback (header +0x54) with service code `code`.
    CallResult callback(uint32_t code, uint32_t extra = 0x12345678);
    // Version 800: the element chain, walked from the root slot as far as it
    // is sound (walkChain says where it is not), and element `number` of it
    // (1 first; null where the chain does not reach).
    std::vector<uint8_t*> elements() const { return walkChain(m, header).elements; }
    uint8_t* element(int number) const;
    // The value routine at `offset` of element `e`, called as the host does,
    // with the element's address; the double it returns.
    double valueRoutine(uint8_t* e, uint32_t offset);

    // The handler of entry `entry` (0 first) of a mouse list.
    static const void* handlerOf(const uint8_t* list, int entry) { return at(list + 44 * entry, 0x24); }
    // Calls a mouse handler as the host does, with the point (x, y) and the
    // event flags; every handler returns 0.
    CallResult callHandler(const void* handler, int32_t x, int32_t y, uint32_t flags);

    Module m;
    uint8_t* header = nullptr;

private:
    const char* module_;
};

}  // namespace winetest
