// Small gauge modules that break the host's contracts on purpose, one fault
// per build (the macro BROKEN names it). The host must meet each with a
// clear error, or draw a picture where the fault is harmless.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "../../../hostapi/elements.h"
#include "../../../hostapi/gauge_module.h"
#include "../../../hostapi/service_slots.h"

#define EXPORT extern "C" __declspec(dllexport)
#define IS(name) (BROKEN_##name)

#ifndef BROKEN_control
#define BROKEN_control 0
#endif
#ifndef BROKEN_root_outside
#define BROKEN_root_outside 0
#endif
#ifndef BROKEN_cycle
#define BROKEN_cycle 0
#endif
#ifndef BROKEN_unterminated_children
#define BROKEN_unterminated_children 0
#endif
#ifndef BROKEN_bad_kind
#define BROKEN_bad_kind 0
#endif
#ifndef BROKEN_mouse_unclosed
#define BROKEN_mouse_unclosed 0
#endif
#ifndef BROKEN_handler_in_data
#define BROKEN_handler_in_data 0
#endif
#ifndef BROKEN_header_version
#define BROKEN_header_version 0
#endif
#ifndef BROKEN_name_unterminated
#define BROKEN_name_unterminated 0
#endif
#ifndef BROKEN_fault_install
#define BROKEN_fault_install 0
#endif
#ifndef BROKEN_hang_update
#define BROKEN_hang_update 0
#endif
#ifndef BROKEN_unknown_service
#define BROKEN_unknown_service 0
#endif
#ifndef BROKEN_stack_skew
#define BROKEN_stack_skew 0
#endif
#ifndef BROKEN_bad_var_argument
#define BROKEN_bad_var_argument 0
#endif
#ifndef BROKEN_text_overrun
#define BROKEN_text_overrun 0
#endif
#ifndef BROKEN_text_runaway
#define BROKEN_text_runaway 0
#endif
#ifndef BROKEN_no_import_table
#define BROKEN_no_import_table 0
#endif
#ifndef BROKEN_value_routine_fault
#define BROKEN_value_routine_fault 0
#endif
#ifndef BROKEN_needle_table_outside
#define BROKEN_needle_table_outside 0
#endif
#ifndef BROKEN_clobber_esi
#define BROKEN_clobber_esi 0
#endif
#ifndef BROKEN_cdecl_routine
#define BROKEN_cdecl_routine 0
#endif
#ifndef BROKEN_leak_registration
#define BROKEN_leak_registration 0
#endif
#ifndef BROKEN_wild_key
#define BROKEN_wild_key 0
#endif
#ifndef BROKEN_text_unterminated
#define BROKEN_text_unterminated 0
#endif
#ifndef BROKEN_grow_memory
#define BROKEN_grow_memory 0
#endif
#ifndef BROKEN_random_fault
#define BROKEN_random_fault 0
#endif
#ifndef BROKEN_leak_load
#define BROKEN_leak_load 0
#endif
#ifndef BROKEN_entry_fails
#define BROKEN_entry_fails 0
#endif
#ifndef BROKEN_missing_bitmap
#define BROKEN_missing_bitmap 0
#endif
#ifndef BROKEN_slow_frame
#define BROKEN_slow_frame 0
#endif
#ifndef BROKEN_thread_fault
#define BROKEN_thread_fault 0
#endif
#ifndef BROKEN_install_above_frame
#define BROKEN_install_above_frame 0
#endif
#ifndef BROKEN_value_above_frame
#define BROKEN_value_above_frame 0
#endif
#ifndef BROKEN_mouse_above_frame
#define BROKEN_mouse_above_frame 0
#endif
#ifndef BROKEN_stack_runaway
#define BROKEN_stack_runaway 0
#endif
#ifndef BROKEN_point_overrun
#define BROKEN_point_overrun 0
#endif
#ifndef BROKEN_point_kept
#define BROKEN_point_kept 0
#endif
#ifndef BROKEN_registry_probe
#define BROKEN_registry_probe 0
#endif
#ifndef BROKEN_registry_fault
#define BROKEN_registry_fault 0
#endif
#ifndef BROKEN_registry_unknown
#define BROKEN_registry_unknown 0
#endif
#ifndef BROKEN_system_fault
#define BROKEN_system_fault 0
#endif
#define REGISTRY (IS(registry_probe) || IS(registry_fault) || IS(registry_unknown))

// Version 800 for the faults that need value routines.
#define V800 (IS(text_overrun) || IS(text_runaway) || IS(value_routine_fault) || IS(needle_table_outside) || \
              IS(text_unterminated) || IS(random_fault) || IS(value_above_frame))


extern "C" {
#if IS(no_import_table)
uint32_t ImportTable[4] = {0x0F, 0, 0, 0};
#else
EXPORT uint32_t ImportTable[4] = {0x0F, 0, 0, 0};
#endif
}

namespace {

void** services() { return reinterpret_cast<void**>(ImportTable[1]); }

// Calls panel service S with 32-bit arguments, as many as the service takes.
template <typename> using Word = uint32_t;
template <hostapi::PanelServiceSlot S, typename... Args>
void call(Args... args) {
    static_assert(hostapi::serviceArgCount(S) == int(sizeof...(Args)), "argument count of the slot");
    reinterpret_cast<void(__stdcall*)(Word<Args>...)>(services()[S])(uint32_t(args)...);
}

extern hostapi::GaugeHeader header;
extern uint8_t root[0x60];
extern uint8_t child[0x144];
hostapi::ElementHeader* rootSlot[2] = {reinterpret_cast<hostapi::ElementHeader*>(root), nullptr};
#if IS(unterminated_children)
// A child list that fills its own section to the end of the page.
__attribute__((section(".zlist"), used)) hostapi::ElementHeader* rootChildren[1024];
#else
hostapi::ElementHeader* rootChildren[2] = {reinterpret_cast<hostapi::ElementHeader*>(child), nullptr};
#endif
hostapi::ElementHeader* childChildren[2] = {reinterpret_cast<hostapi::ElementHeader*>(root), nullptr};
hostapi::ModuleVar moduleVar = {7, 0, 0, 0.0, {}};
char longName[300];

// Writes `words` words just above the argument at `last` (the last one a
// routine was given): into its caller's frame.
// (The pointer passes through an empty asm, so that the compiler keeps
// writes it would otherwise drop as lying outside the argument.)
void writeAbove(volatile uint32_t* last, int words) {
    __asm__ volatile("" : "+r"(last));
    for (int i = 1; i <= words; ++i) last[i] = 0x0BAD0000u + uint32_t(i);
}

// point_kept: the point a mouse handler was given, kept for later.
hostapi::MousePoint* keptPoint = nullptr;

int32_t __stdcall clickHandler(const hostapi::MousePoint* point, uint32_t event) {
    // wild_key: an id far outside the simulator's key events (from 0x10000).
    call<hostapi::kSendKeyEvent>(IS(wild_key) ? 0x7FFFFF00u : 0x10000u + 1234u, 0);
#if IS(mouse_above_frame)
    writeAbove(reinterpret_cast<volatile uint32_t*>(&event), 4);
#elif IS(point_overrun)
    // Clears 64 bytes from the 8-byte point.
    std::memset(const_cast<hostapi::MousePoint*>(point), 0, 64);
#elif IS(point_kept)
    keptPoint = const_cast<hostapi::MousePoint*>(point);
#else
    (void)point;
    (void)event;
#endif
    return 0;
}

hostapi::MouseRect mouseList[] = {
    {1, 0, 0, 0, 0, 0xFFFFFFFFu, 0, 0, 0, nullptr, 0},
    {2, 0, 0, 4, 4, 5, 0, 0x20000000u, 0,
#if IS(handler_in_data)
     reinterpret_cast<hostapi::MouseHandler>(&moduleVar),
#else
     clickHandler,
#endif
     0},
#if !IS(mouse_unclosed)
    {3, 0, 0, 0, 0, 0xFFFFFFFFu, 0, 0, 0, nullptr, 0},
#endif
    {0, 0, 0, 0, 0, 0xFFFFFFFFu, 0, 0, 0, nullptr, 0},
};

uint32_t rootAddr() { return reinterpret_cast<uint32_t>(root); }

#if IS(thread_fault)
// A thread of the module's own (as a sound mixer would be) that faults
// while the host's main thread waits inside installRoutine.
DWORD __stdcall faultingThread(void*) {
    *reinterpret_cast<volatile uint32_t*>(24) = 1;
    return 0;
}
#endif

#if REGISTRY
// Reads the simulator's key as a module would, and tries to write: each
// result goes to the host as key event 0x11000 + step, with the result as
// its parameter.
void probeRegistry() {
    uint32_t step = 0x11000;
    auto tell = [&](uint32_t v) { call<hostapi::kSendKeyEvent>(step++, v); };
    const char sim[] = "SOFTWARE\\Microsoft\\Microsoft Games\\Flight Simulator\\7.0";
    HKEY key = nullptr, other = nullptr, below = nullptr, made = nullptr;
    DWORD type = 0, size = 0, disposition = 0;
    char text[260], small[4], name[32];
    wchar_t wide[260];
    tell(RegOpenKeyExA(HKEY_LOCAL_MACHINE, sim, 0, KEY_READ, &key));
    tell(RegQueryValueExA(key, "PlayerName", nullptr, &type, nullptr, &size));
    tell(type);
    tell(size);
    size = sizeof small;
    tell(RegQueryValueExA(key, "path", nullptr, &type, reinterpret_cast<BYTE*>(small), &size));
    const DWORD need = size;
    tell(need);
    std::memset(text, 'x', sizeof text);
    size = sizeof text;
    tell(RegQueryValueExA(key, "PATH", nullptr, &type, reinterpret_cast<BYTE*>(text), &size));
    tell(size == need && text[size - 1] == 0 && std::strlen(text) + 1 == size);
    tell(RegQueryValueExA(key, "nosuch", nullptr, nullptr, nullptr, &size));
    size = sizeof wide;
    tell(RegQueryValueExW(key, L"path", nullptr, &type, reinterpret_cast<BYTE*>(wide), &size));
    tell(size == 2 * need && wide[need - 1] == 0);
    DWORD chars = sizeof name;
    size = sizeof text;
    tell(RegEnumValueA(key, 1, name, &chars, nullptr, &type, reinterpret_cast<BYTE*>(text), &size));
    tell(std::strcmp(name, "path") == 0 && chars == 4 && size == need);
    chars = sizeof name;
    tell(RegEnumValueA(key, 2, name, &chars, nullptr, nullptr, nullptr, nullptr));
    tell(RegSetValueExA(key, "path", 0, REG_SZ, reinterpret_cast<const BYTE*>("C:\\elsewhere"), 13));
    tell(RegDeleteValueA(key, "PlayerName"));
    tell(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\gaugehost-probe", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made,
                         &disposition));
    tell(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft", 0, KEY_ALL_ACCESS, &other));
    tell(RegSetValueExA(other, "gaugehost-probe", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2));
    // The simulator's key again, below a real key the module holds.
    tell(RegOpenKeyExA(other, "Microsoft Games\\Flight Simulator\\7.0", 0, KEY_READ, &below));
    size = sizeof text;
    tell(RegQueryValueExA(below, "PlayerName", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size));
    tell(std::strcmp(text, "gaugehost") == 0);
    // Other ways of reading it.
    HKEY again = nullptr, sub = nullptr;
    tell(RegOpenKeyA(HKEY_LOCAL_MACHINE, sim, &again));
    size = sizeof text;
    tell(RegGetValueA(HKEY_LOCAL_MACHINE, sim, "PlayerName", RRF_RT_REG_SZ, &type, text, &size));
    tell(size == 10 && std::strcmp(text, "gaugehost") == 0);
    size = sizeof text;
    tell(RegGetValueA(again, nullptr, "path", RRF_RT_REG_DWORD, &type, text, &size));
    DWORD subkeys = 9, values = 9, longest = 9, largest = 9;
    tell(RegQueryInfoKeyA(again, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, &longest, &largest,
                          nullptr, nullptr));
    tell(subkeys);
    tell(values);
    tell(longest);
    tell(largest == need);
    chars = sizeof name;
    tell(RegEnumKeyExA(again, 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
    LONG bytes = sizeof text;
    tell(RegQueryValueA(again, nullptr, text, &bytes));
    tell(bytes == 1 && text[0] == 0);
    tell(RegCreateKeyA(again, "Sub", &sub));
    size = sizeof text;
    tell(RegQueryValueExA(again, "path", &type, nullptr, reinterpret_cast<BYTE*>(text), &size));
    tell(RegCloseKey(again));
    tell(RegCloseKey(below));
    tell(RegCloseKey(other));
    tell(RegCloseKey(key));
    size = sizeof text;
    tell(RegQueryValueExA(key, "path", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size));
#if IS(registry_unknown)
    // A registry function the host does not know.
    RegDisablePredefinedCache();
#endif
}
#endif

#if IS(cdecl_routine)
// Declared to the host as __stdcall: the host's argument stays on its stack.
void __cdecl install(uint32_t arg) {
#else
void __stdcall install(uint32_t arg) {
#endif
    call<hostapi::kInstallElements>(rootAddr(), arg);
#if IS(thread_fault)
    HANDLE t = CreateThread(nullptr, 0, faultingThread, nullptr, 0, nullptr);
    WaitForSingleObject(t, 5000);
#endif
#if IS(grow_memory)
    // Memory taken on every install and never given back.
    std::memset(HeapAlloc(GetProcessHeap(), 0, 64 * 1024), 1, 64 * 1024);
#endif
#if REGISTRY
    probeRegistry();
#endif
#if IS(fault_install) || IS(registry_fault)
    *reinterpret_cast<volatile uint32_t*>(16) = 1;
#endif
#if IS(system_fault)
    // A system library, handed a bad pointer, faults with no handler of its own.
    typedef void(WINAPI * Fill)(void*, SIZE_T, BYTE);
    reinterpret_cast<Fill>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "RtlFillMemory")))(
        reinterpret_cast<void*>(16), 4, 0);
#endif
#if IS(install_above_frame)
    writeAbove(reinterpret_cast<volatile uint32_t*>(&arg), 4);
#elif IS(stack_runaway)
    // Runs up from its argument through everything above it.
    writeAbove(reinterpret_cast<volatile uint32_t*>(&arg), 1 << 20);
#endif
#if IS(unknown_service)
    reinterpret_cast<void(__stdcall*)(uint32_t)>(services()[50])(1);
#endif
    const uint32_t record = *reinterpret_cast<uint32_t*>(root + 0x3C);
    call<hostapi::kRegisterMouseRects>(reinterpret_cast<uint32_t>(mouseList), reinterpret_cast<uint32_t>(&header), record + 4);
    call<hostapi::kAttachMouseRects>(reinterpret_cast<uint32_t>(mouseList), reinterpret_cast<uint32_t>(&header));
}
void __stdcall initialize() {
    call<hostapi::kInitializeElements>(rootAddr());
    call<hostapi::kInitializeModuleVar>(IS(bad_var_argument) ? 0x10u : reinterpret_cast<uint32_t>(&moduleVar));
}
#if IS(stack_skew)
// Declared to the host as __stdcall with no arguments, but removes 8 bytes
// more than it was given and clobbers every callee-saved register.
__attribute__((naked)) void update() {
    __asm__("xorl %ebx, %ebx\n\txorl %esi, %esi\n\txorl %edi, %edi\n\txorl %ebp, %ebp\n\tret $8");
}
#elif IS(clobber_esi)
// Returns as it should, but with esi changed.
__attribute__((naked)) void update() { __asm__("xorl %esi, %esi\n\tret"); }
#else
void __stdcall update() {
#if IS(hang_update)
    for (volatile int i = 0;; i = i + 1) {
    }
#endif
    call<hostapi::kUpdateElements>(rootAddr());
    call<hostapi::kRefreshModuleVar>(reinterpret_cast<uint32_t>(&moduleVar));
#if IS(point_kept)
    // Writes through the point of the last click, long after its handler returned.
    if (keptPoint) keptPoint->x = 99;
#endif
#if IS(slow_frame)
    // Several milliseconds of arithmetic in every frame.
    volatile double x = 0.5;
    for (int i = 0; i < 500000; ++i) x = x * 1.0000001 + 0.25;
#endif
}
#endif
void __stdcall kill() {
#if !IS(leak_registration)
    call<hostapi::kReleaseMouseRects>(reinterpret_cast<uint32_t>(mouseList), reinterpret_cast<uint32_t>(&header));
#endif
    call<hostapi::kReleaseElements>(rootAddr());
}

double __stdcall valueRoutine(hostapi::ElementHeader* e) {
#if IS(text_overrun)
    char* text = *reinterpret_cast<char**>(reinterpret_cast<uint8_t*>(e) + 0xB8);
    std::memset(text, 'x', 299);
    text[299] = 0;
#elif IS(text_runaway)
    // Runs on byte by byte far past any guard the host could check.
    volatile char* text = *reinterpret_cast<char**>(reinterpret_cast<uint8_t*>(e) + 0xB8);
    for (int i = 0; i < 65536; ++i) text[i] = 'x';
#elif IS(value_routine_fault)
    (void)e;
    return double(*reinterpret_cast<volatile int*>(0x20));
#elif IS(value_above_frame)
    writeAbove(reinterpret_cast<volatile uint32_t*>(&e), 4);
#elif IS(text_unterminated)
    // Fills the whole buffer, with no room left for the terminating NUL.
    char* text = *reinterpret_cast<char**>(reinterpret_cast<uint8_t*>(e) + 0xB8);
    std::memset(text, 'x', 256);
#elif IS(random_fault)
    // Divides by zero for some ordinary values (whole parts 3, 10, 17, ...)
    // but for none of the extremes.
    double x;
    std::memcpy(&x, reinterpret_cast<uint8_t*>(e) + 0x48, 8);
    volatile int k = int(x) % 7 - 3;
    return double(100 / k);
#else
    (void)e;
#endif
    return 1.0;
}

void __stdcall callback(uint32_t, int32_t code, uint32_t) {
    if (code == 6) call<hostapi::kRefreshModuleVar>(reinterpret_cast<uint32_t>(&moduleVar));
}

void setWords(uint8_t* p, uint32_t off, uint32_t v) { std::memcpy(p + off, &v, 4); }

hostapi::PointEntry points[2] = {{0, 0, 0.0, {}}, {4, 0, 1.0, {}}};

}  // namespace

namespace {
hostapi::GaugeHeader header;
uint8_t root[0x60];
uint8_t child[0x144];
uint8_t failures[12];
// Builds the records before the host reads them (the module's entry point
// runs at load).
struct Records {
    Records() {
        std::memset(&header, 0, sizeof header);
        uint8_t* h = reinterpret_cast<uint8_t*>(&header);
        setWords(h, 0x00, IS(header_version) ? 700 : V800 ? 800 : 610);
        std::memset(longName, 'n', sizeof longName);
        static char name[] = "broken";
        setWords(h, 0x04, IS(name_unterminated) ? reinterpret_cast<uint32_t>(longName) : reinterpret_cast<uint32_t>(name));
        // root_outside: the slot holds a pointer to nowhere.
        setWords(h, 0x08, IS(root_outside) ? reinterpret_cast<uint32_t>(&fakeSlot) : reinterpret_cast<uint32_t>(rootSlot));
        setWords(h, 0x2C, 100);
        if (V800) {
            setWords(h, 0x50, reinterpret_cast<uint32_t>(mouseList));
            setWords(h, 0x54, reinterpret_cast<uint32_t>(&callback));
        } else {
            setWords(h, 0x10, reinterpret_cast<uint32_t>(&install));
            setWords(h, 0x14, reinterpret_cast<uint32_t>(&initialize));
            setWords(h, 0x18, reinterpret_cast<uint32_t>(&update));
            setWords(h, 0x24, reinterpret_cast<uint32_t>(&kill));
        }
        setWords(root, 0x00, 0);
        setWords(root, 0x04, 100);
        setWords(root, 0x20, reinterpret_cast<uint32_t>(&header));
#if IS(unterminated_children)
        for (auto& c : rootChildren) c = reinterpret_cast<hostapi::ElementHeader*>(child);
#endif
        setWords(root, 0x28, reinterpret_cast<uint32_t>(rootChildren));
        setWords(root, 0x30, 1);
        // The child: an icon (610) or a string / needle (800).
        const uint32_t kind = IS(bad_kind) ? 9 : IS(needle_table_outside) ? 1 : V800 ? 2 : 4;
        setWords(child, 0x00, kind);
        setWords(child, 0x04, kind == 2 ? 0xFFFFFFFFu : IS(missing_bitmap) ? 101 : 100);
        setWords(child, 0x20, reinterpret_cast<uint32_t>(&header));
        if (IS(cycle)) setWords(child, 0x28, reinterpret_cast<uint32_t>(childChildren));
        if (V800) setWords(child, 0x2C, reinterpret_cast<uint32_t>(failures));
        setWords(child, 0x30, 3);
        setWords(child, 0x3C, 5);
        if (kind == 4) setWords(child, 0x70, 1);
        if (kind == 2) {
            setWords(child, 0xC0, 4);
            setWords(child, 0xC4, 4);
            setWords(child, 0xD0, 0xFFFF);
            std::memcpy(child + 0xF8, "Arial", 5);
            setWords(child, 0x118, 500);
            setWords(child, 0x138, reinterpret_cast<uint32_t>(&valueRoutine));
        }
        if (kind == 1) {
            setWords(child, 0x70, IS(needle_table_outside) ? 0x7FFF0000u : reinterpret_cast<uint32_t>(points));
            setWords(child, 0x74, 2);
        }
    }
    static uint32_t fakeSlot;
} records;
uint32_t Records::fakeSlot = 0x10;
}  // namespace

extern "C" {
EXPORT uint32_t Linkage[8] = {0x13, 0, 0, 0, 0, 0, 0, 0};
struct SetLinkage {
    SetLinkage() { Linkage[6] = reinterpret_cast<uint32_t>(&header); }
} setLinkage;
}

#if IS(leak_load) || IS(entry_fails)
// leak_load: memory taken at every load and never given back;
// entry_fails: the entry point refuses the load.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    if (IS(entry_fails)) return FALSE;
    std::memset(HeapAlloc(GetProcessHeap(), 0, 64 * 1024), 1, 64 * 1024);
    return TRUE;
}
#endif
