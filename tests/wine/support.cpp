#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <set>
#include <stdexcept>
#include <utility>

#include "hostcore/errors.h"
#include "hostcore/guard.h"
#include "hostcore/hex.h"
#include "tests/support/dist.h"

namespace winetest {

using gaugehost::hex;

Module loadModule(const char* name) {
    Module m;
    const std::string path = dist::modulePath(name);
    try {
        m.image = std::make_unique<gaugehost::ModuleImage>(path);
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        return m;
    }
    gaugehost::installGuards(m.image.get(), kCallSeconds);
    m.handle = m.image->handle();
    m.linkage = reinterpret_cast<uint8_t*>(GetProcAddress(m.handle, "Linkage"));
    m.imports = reinterpret_cast<uint8_t*>(GetProcAddress(m.handle, "ImportTable"));
    if (m.linkage == nullptr) ADD_FAILURE() << path << ": no export named Linkage";
    if (m.imports == nullptr) ADD_FAILURE() << path << ": no export named ImportTable";
    m.imageBase = m.image->base();
    m.imageSize = m.image->size();
    return m;
}

void unloadModule(Module& m) {
    gaugehost::installGuards(nullptr, 0);
    m = Module{};
}

void setCallLimit(const Module& m, unsigned seconds) { gaugehost::installGuards(m.image.get(), seconds); }

std::vector<uint8_t> writableData(const Module& m) {
    std::vector<uint8_t> out;
    for (const gaugehost::PeSection& s : m.pe().sections()) {
        if (!s.writable()) continue;
        const uint8_t* p = reinterpret_cast<const uint8_t*>(m.handle) + s.rva;
        out.insert(out.end(), p, p + s.virtualSize);
    }
    return out;
}

ChainWalk walkChain(const Module& m, const uint8_t* header, size_t limit) {
    ChainWalk w;
    const uint8_t* slot = at(header, 0x08);
    if (!m.inWritable(slot)) {
        w.problem = "the root slot is not in the module's writable data";
        return w;
    }
    std::set<const uint8_t*> seen;
    uint8_t* e = at(slot, 0);
    for (;;) {
        const std::string where = "element " + std::to_string(w.elements.size() + 1);
        if (e == nullptr) {
            w.problem = where + " is NULL";
            return w;
        }
        if (!m.inWritable(e)) {
            w.problem = where + " is not in the module's writable data";
            return w;
        }
        if (!seen.insert(e).second) {
            w.problem = where + " was met before";
            return w;
        }
        if (w.elements.size() == limit) {
            w.problem = "more than " + std::to_string(limit) + " elements";
            return w;
        }
        w.elements.push_back(e);
        const uint8_t* list = at(e, 0x28);
        if (list == nullptr) return w;  // the last element
        if (!m.inWritable(list) || !m.inWritable(list + 7)) {
            w.problem = where + ": its child list is not in the module's writable data";
            return w;
        }
        e = at(list, 0);
    }
}

void expectDisjoint(std::vector<Span> spans) {
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
    for (size_t i = 0; i < spans.size(); ++i)
        for (size_t j = i + 1; j < spans.size() && spans[j].begin < spans[i].end; ++j)
            ADD_FAILURE() << spans[i].what << " and " << spans[j].what << " share bytes (0x" << std::hex
                          << spans[j].begin << " .. 0x" << spans[i].end << ")";
}

void expectRecord(const Module& m, const char* name, const void* record, uint32_t size,
                  std::vector<Field> fields, std::vector<uint32_t> codePointers,
                  std::vector<TextField> texts) {
    std::vector<bool> covered(size, false);
    auto cover = [&](uint32_t off, uint32_t width) {
        for (uint32_t i = off; i < off + width && i < size; ++i) {
            EXPECT_FALSE(covered[i]) << name << ": byte +0x" << std::hex << i << " listed twice";
            covered[i] = true;
        }
    };
    for (const Field& f : fields) {
        cover(f.offset, f.width);
        if (f.intoData) {
            EXPECT_TRUE(m.inWritable(u32(record, f.offset)))
                << name << " +0x" << std::hex << f.offset << " (" << f.what << "): pointer 0x"
                << u32(record, f.offset) << " is not in the module's writable data";
            continue;
        }
        const uint64_t got = f.width == 8 ? u64(record, f.offset) : u32(record, f.offset);
        EXPECT_EQ(got, f.value) << name << " +0x" << std::hex << f.offset << " (" << f.what << ")";
    }
    for (uint32_t off : codePointers) {
        cover(off, 4);
        EXPECT_TRUE(m.inCode(u32(record, off)))
            << name << " +0x" << std::hex << off << ": routine pointer 0x" << u32(record, off)
            << " is not in the module's code";
    }
    for (const TextField& t : texts) {
        cover(t.offset, t.width);
        const uint8_t* p = static_cast<const uint8_t*>(record) + t.offset;
        const size_t n = std::strlen(t.text);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), t.width)),
                  t.text)
            << name << " +0x" << std::hex << t.offset;
        for (uint32_t i = n; i < t.width; ++i)
            EXPECT_EQ(p[i], 0) << name << " +0x" << std::hex << (t.offset + i) << " text padding";
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(record);
    for (uint32_t i = 0; i < size; ++i) {
        if (!covered[i]) {
            EXPECT_EQ(bytes[i], 0) << name << " +0x" << std::hex << i << " should be zero";
        }
    }
}

// ---- calling module code -----------------------------------------------------------

namespace {
int gCallDepth = 0;  // guarded calls running
}  // namespace

CallResult callModule(const std::string& what, const void* fn, std::initializer_list<uint32_t> args,
                      bool returnsDouble) {
    CallResult r;
    if (gCallDepth > 0) {
        if (args.size() != 1 || !returnsDouble) {
            r.failure = what + ": only a value routine may be called from within a service";
            return r;
        }
        typedef double(__stdcall * ValueRoutine)(uint32_t);
        r.st0 = reinterpret_cast<ValueRoutine>(const_cast<void*>(fn))(*args.begin());
        return r;
    }
    ++gCallDepth;
    try {
        gaugehost::CallBreach breach;
        const gaugehost::CallResult out = gaugehost::guardedCall(what, addr(fn), args, returnsDouble, &breach);
        r.eax = out.eax;
        r.st0 = out.st0;
        r.stackLeft = breach.stackSkew;
        r.registers = breach.registers;
    } catch (const std::exception& e) {
        r.failure = e.what();
    }
    --gCallDepth;
    return r;
}

CallResult expectCall(const std::string& what, const void* fn, std::initializer_list<uint32_t> args,
                      bool returnsDouble) {
    const CallResult r = callModule(what, fn, args, returnsDouble);
    EXPECT_EQ(r.failure, "") << what;
    EXPECT_EQ(r.stackLeft, 0) << what << ": bytes of its arguments left on the stack";
    EXPECT_EQ(r.registers, "") << what << ": callee-saved registers changed";
    return r;
}

// ---- recording host ----------------------------------------------------------------

namespace {

// The receiver while no recorder is attached: module code has no host to call.
struct NoRecorder final : gaugehost::ServiceSink {
    void service(unsigned slot, const uint32_t*) override {
        gaugehost::abortModuleCall("service " + std::to_string(slot) + " was called with no recorder attached");
    }
};
NoRecorder gNoRecorder;
gaugehost::ServiceSink* gReceiver = &gNoRecorder;

void receive(gaugehost::ServiceSink* sink) {
    gReceiver = sink;
    gaugehost::setServiceSink(sink);
}

void put32(uint32_t address, uint32_t value) { std::memcpy(reinterpret_cast<void*>(address), &value, 4); }

}  // namespace

Recorder::~Recorder() {
    if (gReceiver == this) receive(&gNoRecorder);
}

void Recorder::attach(const Module& m) {
    receive(this);
    const uint32_t table = addr(gaugehost::serviceTable());
    std::memcpy(m.imports + 4, &table, 4);
}

void Recorder::service(unsigned slot, const uint32_t* args) {
    // Nothing may unwind through the module's frames: whatever goes wrong
    // here abandons the module call with its message.
    std::string failure;
    try {
        const int n = gaugehost::serviceArgCount(slot);
        calls.push_back({slot, std::vector<uint32_t>(args, args + std::max(n, 0))});
        switch (slot) {
            case 25:  // installElements: the host fills the root's image record pointer
                put32(args[0] + 0x3C, addr(image));
                break;
            case 31:  // releaseElements: the record goes away
                put32(args[0] + 0x3C, 0);
                break;
            case 36:
                if (onKeyEvent) onKeyEvent(args[0], static_cast<int32_t>(args[1]));
                break;
            case 40: {  // refreshModuleVar: the cached value at +0x0C
                auto it = vars.find(u32(reinterpret_cast<void*>(args[0]), 0));
                const double v = it == vars.end() ? 0.0 : it->second;
                std::memcpy(reinterpret_cast<uint8_t*>(args[0]) + 0x0C, &v, 8);
                break;
            }
            default:
                break;
        }
    } catch (const std::exception& e) {
        failure = "service " + std::to_string(slot) + ": " + e.what();
    }
    if (!failure.empty()) gaugehost::abortModuleCall(failure);
}

std::vector<std::pair<uint32_t, int32_t>> Recorder::keyEvents() const {
    std::vector<std::pair<uint32_t, int32_t>> out;
    for (const ServiceCall& c : calls)
        if (c.slot == 36) out.emplace_back(c.args[0], static_cast<int32_t>(c.args[1]));
    return out;
}

// ---- the module's import table ------------------------------------------------------

void** importSlot(const Module& m, const char* dll, const char* name, WORD ordinal) {
    const uint32_t rva = name ? m.pe().importSlot(dll, name) : m.pe().importSlot(dll, uint16_t(ordinal));
    return rva ? reinterpret_cast<void**>(m.imageBase + rva) : nullptr;
}

void redirect(void** slot, void* to) {
    DWORD old = 0;
    VirtualProtect(slot, 4, PAGE_READWRITE, &old);
    *slot = to;
    VirtualProtect(slot, 4, old, &old);
}

// ---- fixture ---------------------------------------------------------------------

void GaugeTest::load() {
    m = loadModule(module_);
    ASSERT_TRUE(m.complete());
    header = m.gauge();
    ASSERT_TRUE(m.inImage(addr(header))) << "the gauge list names a header in the module";
}

CallResult GaugeTest::routine(uint32_t offset, std::initializer_list<uint32_t> args) {
    return expectCall("routine at header +" + hex(offset), at(header, offset), args);
}

uint8_t* GaugeTest::install(Recorder& rec) {
    rec.attach(m);
    rec.clear();
    routine(0x10, {0});
    for (const ServiceCall& c : rec.calls)
        if (c.slot == 32) return reinterpret_cast<uint8_t*>(c.args[0]);
    ADD_FAILURE() << "install registered no mouse list";
    return nullptr;
}

CallResult GaugeTest::callback(uint32_t code, uint32_t extra) {
    return expectCall("GaugeCallback code " + std::to_string(code), at(header, 0x54), {0xDEADBEEF, code, extra});
}

uint8_t* GaugeTest::element(int number) const {
    const std::vector<uint8_t*> chain = elements();
    return number >= 1 && number <= static_cast<int>(chain.size()) ? chain[number - 1] : nullptr;
}

double GaugeTest::valueRoutine(uint8_t* e, uint32_t offset) {
    return expectCall("value routine at +" + hex(offset), at(e, offset), {addr(e)}, true).st0;
}

CallResult GaugeTest::callHandler(const void* handler, int32_t x, int32_t y, uint32_t flags) {
    const int32_t point[2] = {x, y};
    const CallResult r = expectCall("mouse handler", handler, {addr(point), flags});
    EXPECT_EQ(r.eax, 0u) << "mouse handler result";
    return r;
}

// ---- bitmap resources ---------------------------------------------------------

std::vector<uint32_t> bitmapIds(const Module& m) {
    std::vector<uint32_t> ids;
    for (const auto& [id, bitmap] : m.image->bitmaps()) ids.push_back(id);
    return ids;
}

const Bitmap& bitmapResource(const Module& m, uint32_t id) {
    static const Bitmap missing = [] {
        Bitmap b;
        b.problem = "no such bitmap resource";
        return b;
    }();
    const Bitmap* b = m.image->bitmap(id);
    return b ? *b : missing;
}

Rgb pixel(const Bitmap& b, int x, int y) {
    if (!b.problem.empty() || x < 0 || y < 0 || x >= b.width || y >= b.height ||
        b.pixels.size() != size_t(b.width) * size_t(b.height))
        throw std::out_of_range("bitmap " + std::to_string(b.id) + " has no pixel (" + std::to_string(x) + ", " +
                                std::to_string(y) + ")" + (b.problem.empty() ? "" : ": " + b.problem));
    const uint32_t p = b.at(x, y);
    return {uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p)};
}

const uint8_t* bitmapBytes(const Module& m, uint32_t id, uint32_t* size) {
    HRSRC res = FindResourceA(m.handle, MAKEINTRESOURCEA(id), RT_BITMAP);
    if (res == nullptr) return nullptr;
    if (size) *size = SizeofResource(m.handle, res);
    return static_cast<const uint8_t*>(LockResource(LoadResource(m.handle, res)));
}

void expectBitmapFormat(const Module& m, uint32_t id, int width, int height, uint32_t bitsPerPixel) {
    SCOPED_TRACE("bitmap " + std::to_string(id));
    uint32_t size = 0;
    const uint8_t* d = bitmapBytes(m, id, &size);
    ASSERT_NE(d, nullptr) << "no such bitmap resource";
    ASSERT_GE(size, 40u);
    EXPECT_EQ(u32(d, 0), 40u) << "BITMAPINFOHEADER";
    EXPECT_EQ(i32(d, 4), width);
    EXPECT_EQ(i32(d, 8), height) << "bottom-up rows";
    EXPECT_EQ(u32(d, 12) & 0xFFFF, 1u) << "planes";
    EXPECT_EQ(u32(d, 12) >> 16, bitsPerPixel);
    EXPECT_EQ(u32(d, 16), 0u) << "uncompressed";
    if (bitsPerPixel <= 8) {
        EXPECT_LE(u32(d, 32), 1u << bitsPerPixel) << "palette colours";
    }
    // The host decodes it whole (the pixel rows lie within the resource).
    const Bitmap& b = bitmapResource(m, id);
    EXPECT_EQ(b.problem, "");
    EXPECT_EQ(b.bytes, size);
    EXPECT_EQ(b.width, width);
    EXPECT_EQ(b.height, height);
}

void expectHeaderBlock800(const Module& m, const char* name, uint32_t mouseEntries) {
    uint8_t* header = m.gauge();
    expectRecord(m, "GaugeHeader", header, 0xC4,
                 {w32(0x00, 800, "version"), dataPtr(0x04, "name"), dataPtr(0x08, "root slot"),
                  w32(0x2C, 100, "size value"), dataPtr(0x50, "mouse list")},
                 {0x54});
    EXPECT_TRUE(m.inWritable(header));
    uint8_t* nameBuffer = at(header, 0x04);
    uint8_t* slot = at(header, 0x08);
    uint8_t* mouse = at(header, 0x50);
    ASSERT_TRUE(m.inWritable(nameBuffer));
    ASSERT_TRUE(m.inWritable(slot));
    ASSERT_TRUE(m.inWritable(mouse));
    expectRecord(m, "gauge name", nameBuffer, 32, {}, {}, {{0, 32, name}});
    uint8_t* root = at(slot, 0);
    ASSERT_TRUE(m.inWritable(root)) << "the slot holds the root element";
    EXPECT_EQ(u32(root, 0x00), 0u) << "kind: static image";
    EXPECT_EQ(u32(root, 0x04), 256u) << "the background bitmap";
    EXPECT_EQ(u32(slot, 4), 0u) << "the root slot is followed by a zero word";
    expectDisjoint({span(header, 0xC4, "header block"), span(nameBuffer, 32, "name buffer"),
                    span(slot, 8, "root slot"), span(mouse, mouseEntries * 44, "mouse list"),
                    span(root, 0x60, "root element"), span(m.imports, 0x10, "ImportTable")});
}

std::ostream& operator<<(std::ostream& os, const Rgb& c) {
    return os << "(" << int(c.r) << ", " << int(c.g) << ", " << int(c.b) << ")";
}

std::ostream& operator<<(std::ostream& os, const ServiceCall& c) {
    if (c.platform.empty())
        os << "service " << c.slot << "(";
    else
        os << c.platform << " (";
    for (size_t i = 0; i < c.args.size(); ++i) os << (i ? ", " : "") << "0x" << std::hex << c.args[i] << std::dec;
    return os << ")";
}

}  // namespace winetest
