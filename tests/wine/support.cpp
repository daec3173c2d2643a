#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <set>
#include <utility>

#include "tests/support/dist.h"

namespace winetest {

Module loadModule(const char* name) {
    Module m;
    const std::string path = dist::modulePath(name);
    m.handle = LoadLibraryA(path.c_str());
    if (m.handle == nullptr) {
        ADD_FAILURE() << "LoadLibrary(" << path << ") failed, error " << GetLastError();
        return m;
    }
    m.linkage = reinterpret_cast<uint8_t*>(GetProcAddress(m.handle, "Linkage"));
    m.imports = reinterpret_cast<uint8_t*>(GetProcAddress(m.handle, "ImportTable"));
    if (m.linkage == nullptr) ADD_FAILURE() << path << ": no export named Linkage";
    if (m.imports == nullptr) ADD_FAILURE() << path << ": no export named ImportTable";
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(m.handle);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
        reinterpret_cast<const uint8_t*>(m.handle) + dos->e_lfanew);
    m.imageBase = addr(m.handle);
    m.imageSize = nt->OptionalHeader.SizeOfImage;
    return m;
}

void unloadModule(Module& m) {
    if (m.handle) FreeLibrary(m.handle);
    m = Module{};
}

bool Module::inCode(uint32_t address) const {
    if (!inImage(address)) return false;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(handle);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
        reinterpret_cast<const uint8_t*>(handle) + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* s = IMAGE_FIRST_SECTION(nt);
    const uint32_t rva = address - imageBase;
    for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++s) {
        if (!(s->Characteristics & IMAGE_SCN_MEM_EXECUTE)) continue;
        if (rva >= s->VirtualAddress && rva < s->VirtualAddress + s->Misc.VirtualSize) return true;
    }
    return false;
}

namespace {
const IMAGE_SECTION_HEADER* sections(const Module& m, unsigned* count) {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(m.handle);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
        reinterpret_cast<const uint8_t*>(m.handle) + dos->e_lfanew);
    *count = nt->FileHeader.NumberOfSections;
    return IMAGE_FIRST_SECTION(nt);
}
}  // namespace

bool Module::inWritable(uint32_t address) const {
    if (!inImage(address)) return false;
    unsigned count = 0;
    const IMAGE_SECTION_HEADER* s = sections(*this, &count);
    const uint32_t rva = address - imageBase;
    bool inSection = false;
    for (unsigned i = 0; i < count; ++i, ++s) {
        if (!(s->Characteristics & IMAGE_SCN_MEM_WRITE)) continue;
        if (rva >= s->VirtualAddress && rva < s->VirtualAddress + s->Misc.VirtualSize) inSection = true;
    }
    if (!inSection) return false;
    MEMORY_BASIC_INFORMATION mbi;
    if (VirtualQuery(reinterpret_cast<const void*>(address), &mbi, sizeof mbi) == 0) return false;
    return (mbi.Protect & (PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}

std::vector<uint8_t> writableData(const Module& m) {
    std::vector<uint8_t> out;
    unsigned count = 0;
    const IMAGE_SECTION_HEADER* s = sections(m, &count);
    for (unsigned i = 0; i < count; ++i, ++s) {
        if (!(s->Characteristics & IMAGE_SCN_MEM_WRITE)) continue;
        const uint8_t* p = reinterpret_cast<const uint8_t*>(m.handle) + s->VirtualAddress;
        out.insert(out.end(), p, p + s->Misc.VirtualSize);
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

// ---- probe ---------------------------------------------------------------------

struct ProbeOut {
    uint32_t eax;      // +0
    uint32_t edx;      // +4
    int32_t stackLeft; // +8
    uint32_t pad;      // +12
    double st0;        // +16
};

extern "C" int __cdecl probeCallRaw(const void* fn, const uint32_t* args, int count,
                                    ProbeOut* out, int returnsDouble);

// Saves the stack pointer, pushes the arguments right to left, calls, and
// records how many bytes the callee left behind before restoring it.
__asm__(R"(
    .text
    .globl _probeCallRaw
_probeCallRaw:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl  12(%ebp), %esi
    movl  16(%ebp), %ecx
    movl  %esp, %ebx
1:  testl %ecx, %ecx
    jz    2f
    decl  %ecx
    pushl (%esi,%ecx,4)
    jmp   1b
2:  calll *8(%ebp)
    movl  20(%ebp), %edi
    movl  %eax, 0(%edi)
    movl  %edx, 4(%edi)
    movl  %ebx, %eax
    subl  %esp, %eax
    movl  %eax, 8(%edi)
    cmpl  $0, 24(%ebp)
    je    3f
    fstpl 16(%edi)
3:  movl  %ebx, %esp
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
)");

CallResult probeCall(const void* fn, std::initializer_list<uint32_t> args, bool returnsDouble) {
    std::vector<uint32_t> a(args);
    ProbeOut out{};
    probeCallRaw(fn, a.data(), static_cast<int>(a.size()), &out, returnsDouble ? 1 : 0);
    CallResult r;
    r.eax = out.eax;
    r.stackLeft = out.stackLeft;
    r.st0 = out.st0;
    return r;
}

// ---- recording service table -------------------------------------------------

namespace {

Recorder* gActive = nullptr;

void record(unsigned slot, std::vector<uint32_t> args) {
    if (gActive == nullptr) return;
    Recorder& r = *gActive;
    r.calls.push_back({slot, args});
    switch (slot) {
        case 25: {  // installElements: the host fills the root's image record pointer
            const uint32_t image = addr(r.image);
            std::memcpy(reinterpret_cast<uint8_t*>(args[0]) + 0x3C, &image, 4);
            break;
        }
        case 31: {  // releaseElements: the record goes away
            const uint32_t zero = 0;
            std::memcpy(reinterpret_cast<uint8_t*>(args[0]) + 0x3C, &zero, 4);
            break;
        }
        case 36:
            if (r.onKeyEvent) r.onKeyEvent(args[0], static_cast<int32_t>(args[1]));
            break;
        case 40: {  // refreshModuleVar: the cached value at +0x0C
            const uint32_t id = u32(reinterpret_cast<void*>(args[0]), 0);
            auto it = r.vars.find(id);
            const double v = it == r.vars.end() ? 0.0 : it->second;
            std::memcpy(reinterpret_cast<uint8_t*>(args[0]) + 0x0C, &v, 8);
            break;
        }
        default:
            break;
    }
}

template <unsigned S> uint32_t __stdcall svc0() { record(S, {}); return 0; }
template <unsigned S> uint32_t __stdcall svc1(uint32_t a) { record(S, {a}); return 0; }
template <unsigned S> uint32_t __stdcall svc2(uint32_t a, uint32_t b) { record(S, {a, b}); return 0; }
template <unsigned S> uint32_t __stdcall svc3(uint32_t a, uint32_t b, uint32_t c) {
    record(S, {a, b, c});
    return 0;
}

template <unsigned S>
void* slotFunction() {
    switch (serviceArgCount(S)) {
        case 1: return reinterpret_cast<void*>(&svc1<S>);
        case 2: return reinterpret_cast<void*>(&svc2<S>);
        case 3: return reinterpret_cast<void*>(&svc3<S>);
        default: return reinterpret_cast<void*>(&svc0<S>);
    }
}

template <size_t... I>
void fillTable(void** table, std::index_sequence<I...>) {
    ((table[I] = slotFunction<I>()), ...);
}

void** serviceTable() {
    static void* table[64];
    static bool filled = false;
    if (!filled) {
        fillTable(table, std::make_index_sequence<64>());
        filled = true;
    }
    return table;
}

}  // namespace

int serviceArgCount(unsigned slot) {
    switch (slot) {
        case 24: case 26: case 27: case 29: case 31: case 38: case 40: return 1;
        case 25: case 28: case 33: case 34: case 36: return 2;
        case 32: return 3;
        default: return 0;
    }
}

// ---- the module's import table ------------------------------------------------------

std::vector<Import> imports(const Module& m) {
    std::vector<Import> out;
    auto* base = reinterpret_cast<uint8_t*>(m.handle);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return out;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d) {
        const auto* lookup = reinterpret_cast<const IMAGE_THUNK_DATA32*>(
            base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
        auto* iat = reinterpret_cast<void**>(base + d->FirstThunk);
        for (int i = 0; lookup[i].u1.AddressOfData; ++i) {
            const DWORD t = lookup[i].u1.AddressOfData;
            Import imp;
            imp.dll = reinterpret_cast<const char*>(base + d->Name);
            if (IMAGE_SNAP_BY_ORDINAL32(t))
                imp.ordinal = IMAGE_ORDINAL32(t);
            else
                imp.name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + t)->Name;
            imp.slot = &iat[i];
            out.push_back(imp);
        }
    }
    return out;
}

void** importSlot(const Module& m, const char* dll, const char* name, WORD ordinal) {
    for (const Import& i : imports(m)) {
        if (lstrcmpiA(i.dll.c_str(), dll) != 0) continue;
        if (name == nullptr ? i.name.empty() && i.ordinal == ordinal : i.name == name) return i.slot;
    }
    return nullptr;
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
    CallResult r = probeCall(at(header, offset), args);
    EXPECT_EQ(r.stackLeft, 0) << "routine at header +0x" << std::hex << offset;
    return r;
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
    CallResult r = probeCall(at(header, 0x54), {0xDEADBEEF, code, extra});
    EXPECT_EQ(r.stackLeft, 0) << "GaugeCallback code " << code;
    return r;
}

uint8_t* GaugeTest::element(int number) const {
    const std::vector<uint8_t*> chain = elements();
    return number >= 1 && number <= static_cast<int>(chain.size()) ? chain[number - 1] : nullptr;
}

double GaugeTest::valueRoutine(uint8_t* e, uint32_t offset) {
    CallResult r = probeCall(at(e, offset), {addr(e)}, true);
    EXPECT_EQ(r.stackLeft, 0) << "value routine at +0x" << std::hex << offset;
    return r.st0;
}

CallResult GaugeTest::callHandler(const void* handler, int32_t x, int32_t y, uint32_t flags) {
    const int32_t point[2] = {x, y};
    CallResult r = probeCall(handler, {addr(point), flags});
    EXPECT_EQ(r.eax, 0u) << "mouse handler result";
    EXPECT_EQ(r.stackLeft, 0) << "mouse handler";
    return r;
}

void Recorder::attach(const Module& m) {
    gActive = this;
    const uint32_t table = addr(serviceTable());
    std::memcpy(m.imports + 4, &table, 4);
}

std::vector<std::pair<uint32_t, int32_t>> Recorder::keyEvents() const {
    std::vector<std::pair<uint32_t, int32_t>> out;
    for (const ServiceCall& c : calls)
        if (c.slot == 36) out.emplace_back(c.args[0], static_cast<int32_t>(c.args[1]));
    return out;
}

// ---- bitmap resources ---------------------------------------------------------

namespace {
BOOL CALLBACK collectId(HMODULE, LPCSTR, LPSTR name, LONG_PTR out) {
    if (IS_INTRESOURCE(name)) {
        reinterpret_cast<std::vector<uint32_t>*>(out)->push_back(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(name)));
    } else {
        reinterpret_cast<std::vector<uint32_t>*>(out)->push_back(0xFFFFFFFFu);  // named: never expected
    }
    return TRUE;
}
}  // namespace

std::vector<uint32_t> bitmapIds(const Module& m) {
    std::vector<uint32_t> ids;
    EnumResourceNamesA(m.handle, RT_BITMAP, collectId, reinterpret_cast<LONG_PTR>(&ids));
    return ids;
}

Dib bitmapResource(const Module& m, uint32_t id) {
    Dib d;
    HRSRC res = FindResourceA(m.handle, MAKEINTRESOURCEA(id), RT_BITMAP);
    if (res == nullptr) return d;
    d.size = SizeofResource(m.handle, res);
    d.data = static_cast<const uint8_t*>(LockResource(LoadResource(m.handle, res)));
    if (d.data == nullptr || d.size < 40) return d;
    d.headerSize = u32(d.data, 0);
    d.width = i32(d.data, 4);
    d.height = i32(d.data, 8);
    d.planes = u32(d.data, 12) & 0xFFFF;
    d.bitsPerPixel = u32(d.data, 12) >> 16;
    d.compression = u32(d.data, 16);
    d.colours = u32(d.data, 32);
    if (d.bitsPerPixel <= 8 && d.colours == 0) d.colours = 1u << d.bitsPerPixel;
    d.palette = d.data + d.headerSize;
    d.bits = d.palette + (d.bitsPerPixel <= 8 ? d.colours * 4 : 0);
    d.stride = ((static_cast<uint32_t>(d.width) * d.bitsPerPixel + 31) / 32) * 4;
    d.valid = d.bits + d.stride * static_cast<uint32_t>(d.height < 0 ? -d.height : d.height) <= d.data + d.size;
    return d;
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

void expectBitmapFormat(const Module& m, uint32_t id, int width, int height, uint32_t bitsPerPixel) {
    SCOPED_TRACE("bitmap " + std::to_string(id));
    Dib d = bitmapResource(m, id);
    ASSERT_NE(d.data, nullptr) << "no such bitmap resource";
    EXPECT_TRUE(d.valid) << "pixel rows run past the resource";
    EXPECT_EQ(d.headerSize, 40u) << "BITMAPINFOHEADER";
    EXPECT_EQ(d.width, width);
    EXPECT_EQ(d.height, height) << "bottom-up rows";
    EXPECT_EQ(d.planes, 1u);
    EXPECT_EQ(d.bitsPerPixel, bitsPerPixel);
    EXPECT_EQ(d.compression, 0u) << "uncompressed";
    if (bitsPerPixel <= 8) {
        EXPECT_LE(d.colours, 1u << bitsPerPixel);
    }
}

uint32_t Dib::index(int x, int y) const {
    const int row = height > 0 ? height - 1 - y : y;  // bottom-up unless the height is negative
    return bits[row * stride + x];
}

Rgb Dib::pixel(int x, int y) const {
    const int row = height > 0 ? height - 1 - y : y;
    if (bitsPerPixel == 24) {
        const uint8_t* p = bits + row * stride + x * 3;
        return {p[2], p[1], p[0]};
    }
    const uint8_t* q = palette + 4 * bits[row * stride + x];
    return {q[2], q[1], q[0]};
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
