// lumivane.gau as the simulator loads it: records byte by byte, the
// lifecycle's service calls, the lit face rule, the four bitmaps, and clicks
// end to end with the real window lookup, registry, files and DirectSound.
//
// The module's imports of the window lookup, the registry, global memory,
// multimedia file I/O and DirectSoundCreate, and the methods of the device
// and its buffers, are redirected to spies that call the real routines. They
// note each call in the same sequence as the service calls, so the tests see
// where the sound player acts within the lifecycle, what it handed the
// platform, what DirectSound accepted and what is still alive. Offsets and
// values are the host's numbers, written out on purpose (support.h).
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "support.h"
#include "tests/cases/lumivane_lit_cases.h"
#include "hostcore/wave_file.h"

using namespace winetest;

namespace {

// ---- the module's imports, watched -----------------------------------------------

// What the spies saw. Every call the sound player makes to the platform is
// also noted in the recorder's sequence (`log`, set while a test runs),
// between the service calls, with the arguments that only the Win32 layer
// supplies.
struct SoundSpy {
    Recorder* log = nullptr;
    int devicesCreated = 0, devicesFreed = 0;
    int buffersCreated = 0, buffersFreed = 0;
    int fileOpens = 0;
    std::vector<HRESULT> createResults, playResults;
    std::vector<DWORD> bufferBytes, bufferFlags;
    // The latest buffer description exactly as handed over, and the 18
    // format bytes it pointed at.
    uint8_t desc[36] = {};
    uint8_t format[18] = {};
    bool descSeen = false;
    // The regions the latest lock handed out.
    void* locked[2] = {};
    DWORD lockedBytes[2] = {};
    HKEY openedKey = nullptr;
    std::set<HGLOBAL> blocks;  // memory the module allocated and holds

    void* deviceVtbl[11] = {};
    void* const* realDeviceVtbl = nullptr;
    void* bufferVtbl[21] = {};
    void* const* realBufferVtbl = nullptr;
    int liveBuffers() const { return buffersCreated - buffersFreed; }
};
SoundSpy gSpy;

void note(std::string name, std::vector<uint32_t> args = {}) {
    if (gSpy.log) gSpy.log->note(std::move(name), std::move(args));
}
std::string text(LPCSTR s) {
    if (s == nullptr) return "(null)";
    if (IS_INTRESOURCE(s)) return "(atom)";
    return s;
}

// The routines the module's import table held before the spies came.
struct RealImports {
    HWND(WINAPI* findWindow)(LPCSTR, LPCSTR);
    LONG(WINAPI* regOpen)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);
    LONG(WINAPI* regQuery)(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    LONG(WINAPI* regClose)(HKEY);
    HGLOBAL(WINAPI* globalAlloc)(UINT, SIZE_T);
    HGLOBAL(WINAPI* globalFree)(HGLOBAL);
    HRESULT(WINAPI* createDevice)(LPCGUID, LPDIRECTSOUND*, LPUNKNOWN);
    HMMIO(WINAPI* mmioOpen)(LPSTR, LPMMIOINFO, DWORD);
    MMRESULT(WINAPI* mmioDescend)(HMMIO, LPMMCKINFO, const MMCKINFO*, UINT);
    LONG(WINAPI* mmioRead)(HMMIO, HPSTR, LONG);
    LONG(WINAPI* mmioSeek)(HMMIO, LONG, int);
    MMRESULT(WINAPI* mmioAscend)(HMMIO, LPMMCKINFO, UINT);
    MMRESULT(WINAPI* mmioClose)(HMMIO, UINT);
};
RealImports gReal;

// Slots of the two interfaces' method tables.
enum {
    kRelease = 2,
    kCreateSoundBuffer = 3, kSetCooperativeLevel = 6,                           // IDirectSound
    kLock = 11, kBufferPlay = 12, kSetCurrentPosition = 13, kUnlock = 19,      // IDirectSoundBuffer
};
template <typename Fn> Fn realMethod(void* const* vtbl, int slot) { return reinterpret_cast<Fn>(vtbl[slot]); }

// ---- IDirectSoundBuffer
ULONG WINAPI spyBufferRelease(void* self) {
    note("IDirectSoundBuffer::Release");
    const ULONG left = realMethod<ULONG(WINAPI*)(void*)>(gSpy.realBufferVtbl, kRelease)(self);
    if (left == 0) ++gSpy.buffersFreed;
    return left;
}

HRESULT WINAPI spyLock(IDirectSoundBuffer* self, DWORD offset, DWORD bytes, LPVOID* first, LPDWORD firstBytes,
                       LPVOID* second, LPDWORD secondBytes, DWORD flags) {
    note("IDirectSoundBuffer::Lock", {offset, bytes, flags});
    typedef HRESULT(WINAPI * Fn)(IDirectSoundBuffer*, DWORD, DWORD, LPVOID*, LPDWORD, LPVOID*, LPDWORD, DWORD);
    const HRESULT hr = realMethod<Fn>(gSpy.realBufferVtbl, kLock)(self, offset, bytes, first, firstBytes, second,
                                                                 secondBytes, flags);
    if (hr == DS_OK) {
        gSpy.locked[0] = *first;
        gSpy.lockedBytes[0] = *firstBytes;
        gSpy.locked[1] = second ? *second : nullptr;
        gSpy.lockedBytes[1] = secondBytes ? *secondBytes : 0;
    }
    return hr;
}

// Noted with 1 when the regions given back are exactly those the lock
// handed out.
HRESULT WINAPI spyUnlock(IDirectSoundBuffer* self, LPVOID first, DWORD firstBytes, LPVOID second,
                         DWORD secondBytes) {
    const bool same = first == gSpy.locked[0] && firstBytes == gSpy.lockedBytes[0] &&
                      second == gSpy.locked[1] && secondBytes == gSpy.lockedBytes[1];
    note("IDirectSoundBuffer::Unlock", {same ? 1u : 0u});
    typedef HRESULT(WINAPI * Fn)(IDirectSoundBuffer*, LPVOID, DWORD, LPVOID, DWORD);
    return realMethod<Fn>(gSpy.realBufferVtbl, kUnlock)(self, first, firstBytes, second, secondBytes);
}

HRESULT WINAPI spySetCurrentPosition(IDirectSoundBuffer* self, DWORD position) {
    note("IDirectSoundBuffer::SetCurrentPosition", {position});
    typedef HRESULT(WINAPI * Fn)(IDirectSoundBuffer*, DWORD);
    return realMethod<Fn>(gSpy.realBufferVtbl, kSetCurrentPosition)(self, position);
}

HRESULT WINAPI spyPlay(IDirectSoundBuffer* self, DWORD reserved, DWORD priority, DWORD flags) {
    note("IDirectSoundBuffer::Play", {reserved, priority, flags});
    typedef HRESULT(WINAPI * Fn)(IDirectSoundBuffer*, DWORD, DWORD, DWORD);
    const HRESULT hr = realMethod<Fn>(gSpy.realBufferVtbl, kBufferPlay)(self, reserved, priority, flags);
    gSpy.playResults.push_back(hr);
    return hr;
}

// ---- IDirectSound
HRESULT WINAPI spyCreateSoundBuffer(IDirectSound* self, LPCDSBUFFERDESC d, LPDIRECTSOUNDBUFFER* out,
                                    LPUNKNOWN outer) {
    note("IDirectSound::CreateSoundBuffer", {addr(outer)});
    gSpy.descSeen = d != nullptr;
    if (d != nullptr) {
        std::memcpy(gSpy.desc, d, sizeof gSpy.desc);
        if (d->lpwfxFormat != nullptr) std::memcpy(gSpy.format, d->lpwfxFormat, sizeof gSpy.format);
    }
    typedef HRESULT(WINAPI * Fn)(IDirectSound*, LPCDSBUFFERDESC, LPDIRECTSOUNDBUFFER*, LPUNKNOWN);
    const HRESULT hr = realMethod<Fn>(gSpy.realDeviceVtbl, kCreateSoundBuffer)(self, d, out, outer);
    gSpy.createResults.push_back(hr);
    gSpy.bufferBytes.push_back(d->dwBufferBytes);
    gSpy.bufferFlags.push_back(d->dwFlags);
    if (hr == DS_OK) {
        ++gSpy.buffersCreated;
        void*** object = reinterpret_cast<void***>(*out);
        if (gSpy.realBufferVtbl == nullptr) {
            gSpy.realBufferVtbl = *object;
            for (int i = 0; i < 21; ++i) gSpy.bufferVtbl[i] = gSpy.realBufferVtbl[i];
            gSpy.bufferVtbl[kRelease] = reinterpret_cast<void*>(spyBufferRelease);
            gSpy.bufferVtbl[kLock] = reinterpret_cast<void*>(spyLock);
            gSpy.bufferVtbl[kBufferPlay] = reinterpret_cast<void*>(spyPlay);
            gSpy.bufferVtbl[kSetCurrentPosition] = reinterpret_cast<void*>(spySetCurrentPosition);
            gSpy.bufferVtbl[kUnlock] = reinterpret_cast<void*>(spyUnlock);
        }
        *object = gSpy.bufferVtbl;
    }
    return hr;
}

HRESULT WINAPI spySetCooperativeLevel(IDirectSound* self, HWND window, DWORD level) {
    note("IDirectSound::SetCooperativeLevel", {addr(window), level});
    typedef HRESULT(WINAPI * Fn)(IDirectSound*, HWND, DWORD);
    return realMethod<Fn>(gSpy.realDeviceVtbl, kSetCooperativeLevel)(self, window, level);
}

ULONG WINAPI spyDeviceRelease(void* self) {
    note("IDirectSound::Release");
    const ULONG left = realMethod<ULONG(WINAPI*)(void*)>(gSpy.realDeviceVtbl, kRelease)(self);
    if (left == 0) ++gSpy.devicesFreed;
    return left;
}

// ---- imported routines
HRESULT WINAPI spyDirectSoundCreate(LPCGUID guid, LPDIRECTSOUND* out, LPUNKNOWN outer) {
    note("DirectSoundCreate", {addr(guid), addr(outer)});
    const HRESULT hr = gReal.createDevice(guid, out, outer);
    if (hr == DS_OK) {
        ++gSpy.devicesCreated;
        void*** object = reinterpret_cast<void***>(*out);
        gSpy.realDeviceVtbl = *object;
        for (int i = 0; i < 11; ++i) gSpy.deviceVtbl[i] = gSpy.realDeviceVtbl[i];
        gSpy.deviceVtbl[kRelease] = reinterpret_cast<void*>(spyDeviceRelease);
        gSpy.deviceVtbl[kCreateSoundBuffer] = reinterpret_cast<void*>(spyCreateSoundBuffer);
        gSpy.deviceVtbl[kSetCooperativeLevel] = reinterpret_cast<void*>(spySetCooperativeLevel);
        *object = gSpy.deviceVtbl;
    }
    return hr;
}

HWND WINAPI spyFindWindow(LPCSTR windowClass, LPCSTR title) {
    note("FindWindowA " + text(windowClass), {addr(title)});
    return gReal.findWindow(windowClass, title);
}

LONG WINAPI spyRegOpenKeyEx(HKEY root, LPCSTR subkey, DWORD options, REGSAM access, PHKEY key) {
    note("RegOpenKeyExA " + text(subkey), {addr(root), options, access});
    const LONG rc = gReal.regOpen(root, subkey, options, access, key);
    gSpy.openedKey = rc == ERROR_SUCCESS ? *key : nullptr;
    return rc;
}

// Noted with: the reserved word, whether a size is asked for, whether data
// is asked for, and the data capacity offered (0 when no data is asked for).
LONG WINAPI spyRegQueryValueEx(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                               LPDWORD bytes) {
    note("RegQueryValueExA " + text(name),
         {addr(reserved), bytes != nullptr, data != nullptr, data != nullptr && bytes ? *bytes : 0u});
    return gReal.regQuery(key, name, reserved, type, data, bytes);
}

LONG WINAPI spyRegCloseKey(HKEY key) {
    note("RegCloseKey", {key == gSpy.openedKey ? 1u : 0u});
    return gReal.regClose(key);
}

HGLOBAL WINAPI spyGlobalAlloc(UINT flags, SIZE_T bytes) {
    note("GlobalAlloc", {uint32_t(bytes)});
    HGLOBAL block = gReal.globalAlloc(flags, bytes);
    if (block != nullptr) gSpy.blocks.insert(block);
    return block;
}

// Noted with 1 when the block is one the module allocated and still held.
HGLOBAL WINAPI spyGlobalFree(HGLOBAL block) {
    note("GlobalFree", {gSpy.blocks.erase(block) ? 1u : 0u});
    return gReal.globalFree(block);
}

HMMIO WINAPI spyMmioOpen(LPSTR path, LPMMIOINFO info, DWORD flags) {
    ++gSpy.fileOpens;
    note("mmioOpenA " + text(path), {addr(info), flags});
    return gReal.mmioOpen(path, info, flags);
}

// Noted with the flags, the chunk (or, for a RIFF search, the form type) it
// came to, and whether a parent chunk bounds it.
MMRESULT WINAPI spyMmioDescend(HMMIO file, LPMMCKINFO chunk, const MMCKINFO* parent, UINT flags) {
    const MMRESULT rc = gReal.mmioDescend(file, chunk, parent, flags);
    note("mmioDescend", {flags, (flags & MMIO_FINDRIFF) ? chunk->fccType : chunk->ckid, parent != nullptr});
    return rc;
}

LONG WINAPI spyMmioRead(HMMIO file, HPSTR data, LONG bytes) {
    note("mmioRead", {uint32_t(bytes)});
    return gReal.mmioRead(file, data, bytes);
}

LONG WINAPI spyMmioSeek(HMMIO file, LONG offset, int origin) {
    note("mmioSeek", {uint32_t(offset), uint32_t(origin)});
    return gReal.mmioSeek(file, offset, origin);
}

MMRESULT WINAPI spyMmioAscend(HMMIO file, LPMMCKINFO chunk, UINT flags) {
    note("mmioAscend", {flags});
    return gReal.mmioAscend(file, chunk, flags);
}

MMRESULT WINAPI spyMmioClose(HMMIO file, UINT flags) {
    note("mmioClose", {flags});
    return gReal.mmioClose(file, flags);
}

// ---- the simulator around the module -------------------------------------------

const char kKey[] = "SOFTWARE\\Microsoft\\Microsoft Games\\Flight Simulator\\7.0";
const char kSound[] = "kolt_toggle_light.wav";

// The tests' windows live on a desktop of their own, so that a simulator
// window of another program is never found in their place.
void useOwnDesktop() {
    static bool done = false;
    if (done) return;
    done = true;
    char name[64];
    std::snprintf(name, sizeof name, "lumivane-tests-%lu", GetCurrentProcessId());
    HDESK desk = CreateDesktopA(name, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (desk == nullptr || !SetThreadDesktop(desk))
        std::printf("[ note     ] no desktop of our own (error %lu): sharing the default one\n", GetLastError());
}

HWND createSimulatorWindow() {
    static bool registered = false;
    if (!registered) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "FS98MAIN";
        registered = RegisterClassA(&wc) != 0;
    }
    return CreateWindowA("FS98MAIN", "simulator", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
}

// A mono PCM file: `samples` bytes of data.
std::vector<uint8_t> pcmWav(uint16_t bits, uint32_t rate, uint32_t samples) {
    wave::Bytes data(samples);
    for (uint32_t i = 0; i < samples; ++i) data[i] = uint8_t(i % 2 ? 0x90 : 0x70);
    return wave::file(wave::pcm(1, bits, rate), data);
}

struct SimulatorFolder {
    std::string root, sound, file;
    SimulatorFolder() {
        char tmp[MAX_PATH];
        GetTempPathA(sizeof tmp, tmp);
        root = std::string(tmp) + "lumivane-sim-" + std::to_string(GetCurrentProcessId());
        sound = root + "\\Sound";
        file = sound + "\\" + kSound;
        CreateDirectoryA(root.c_str(), nullptr);
        CreateDirectoryA(sound.c_str(), nullptr);
    }
    ~SimulatorFolder() {
        DeleteFileA(file.c_str());
        RemoveDirectoryA(sound.c_str());
        RemoveDirectoryA(root.c_str());
    }
    void putSound(const std::vector<uint8_t>& bytes) const {
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    void removeSound() const { DeleteFileA(file.c_str()); }
    // The simulator's registry values, written right before an install
    // reads them.
    void registerPath() const {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), 0);
        RegSetValueExA(key, "PlayerName", 0, REG_SZ, reinterpret_cast<const BYTE*>("Pilot"), 6);
        RegSetValueExA(key, "path", 0, REG_SZ, reinterpret_cast<const BYTE*>(root.c_str()), DWORD(root.size() + 1));
        RegCloseKey(key);
    }
};

// The process's private bytes: committed memory of its own, summed over its
// address space.
size_t privateBytes() {
    size_t total = 0;
    MEMORY_BASIC_INFORMATION mbi;
    for (uintptr_t p = 0x10000; p < 0x7FFF0000u && VirtualQuery(reinterpret_cast<void*>(p), &mbi, sizeof mbi);
         p = reinterpret_cast<uintptr_t>(mbi.BaseAddress) + mbi.RegionSize) {
        if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE) total += mbi.RegionSize;
        if (mbi.RegionSize == 0) break;
    }
    return total;
}

// The working set as the process memory counters report it.
size_t workingSet() {
    typedef BOOL(WINAPI * InfoFn)(HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD);
    auto info = reinterpret_cast<InfoFn>(reinterpret_cast<void*>(GetProcAddress(LoadLibraryA("psapi.dll"), "GetProcessMemoryInfo")));
    PROCESS_MEMORY_COUNTERS c = {};
    c.cb = sizeof c;
    return info && info(GetCurrentProcess(), &c, sizeof c) ? c.WorkingSetSize : 0;
}

// ---- fixture ----------------------------------------------------------------------

class Lumivane : public GaugeTest {
protected:
    Lumivane() : GaugeTest("lumivane") {}
    void SetUp() override {
        gSpy = SoundSpy{};
        ASSERT_NO_FATAL_FAILURE(GaugeTest::SetUp());
        ASSERT_TRUE(spyOn(m, "dsound.dll", nullptr, 1, spyDirectSoundCreate, gReal.createDevice))
            << "DirectSoundCreate by ordinal 1";
        RealImports& r = gReal;
        ASSERT_TRUE(spyOn(m, "user32.dll", "FindWindowA", 0, spyFindWindow, r.findWindow));
        ASSERT_TRUE(spyOn(m, "advapi32.dll", "RegOpenKeyExA", 0, spyRegOpenKeyEx, r.regOpen));
        ASSERT_TRUE(spyOn(m, "advapi32.dll", "RegQueryValueExA", 0, spyRegQueryValueEx, r.regQuery));
        ASSERT_TRUE(spyOn(m, "advapi32.dll", "RegCloseKey", 0, spyRegCloseKey, r.regClose));
        ASSERT_TRUE(spyOn(m, "kernel32.dll", "GlobalAlloc", 0, spyGlobalAlloc, r.globalAlloc));
        ASSERT_TRUE(spyOn(m, "kernel32.dll", "GlobalFree", 0, spyGlobalFree, r.globalFree));
        ASSERT_TRUE(spyOn(m, "winmm.dll", "mmioOpenA", 0, spyMmioOpen, r.mmioOpen));
        ASSERT_TRUE(spyOn(m, "winmm.dll", "mmioDescend", 0, spyMmioDescend, r.mmioDescend));
        ASSERT_TRUE(spyOn(m, "winmm.dll", "mmioRead", 0, spyMmioRead, r.mmioRead));
        ASSERT_TRUE(spyOn(m, "winmm.dll", "mmioSeek", 0, spyMmioSeek, r.mmioSeek));
        ASSERT_TRUE(spyOn(m, "winmm.dll", "mmioAscend", 0, spyMmioAscend, r.mmioAscend));
        ASSERT_TRUE(spyOn(m, "winmm.dll", "mmioClose", 0, spyMmioClose, r.mmioClose));
        gSpy.log = &rec;
        std::memcpy(importsAsLoaded, m.imports, sizeof importsAsLoaded);
        rec.setDrawnSize(290, 109);
        rec.attach(m);
    }
    void TearDown() override {
        gSpy.log = nullptr;
        GaugeTest::TearDown();
        if (window) DestroyWindow(window);
    }

    uint8_t* litFace() const { return at(at(root(), 0x28), 0); }
    uint8_t* icon(int i) const { return at(at(litFace(), 0x28), 4 * i); }
    uint8_t* install() { return GaugeTest::install(rec); }
    // Clicks mouse entry `entry` (1 to 5) as the host does; returns its key
    // events.
    std::vector<std::pair<uint32_t, int32_t>> click(uint8_t* list, int entry) {
        rec.clear();
        callHandler(handlerOf(list, entry), 10, 20, 0x20000000);
        return rec.keyEvents();
    }

    // The simulator as the module finds it: its main window, on a desktop of
    // the test's own, and the sound file in the folder its "path" value names.
    void startSimulator(const SimulatorFolder& sim, const std::vector<uint8_t>& wav) {
        useOwnDesktop();
        window = createSimulatorWindow();
        ASSERT_NE(window, nullptr);
        sim.putSound(wav);
        sim.registerPath();
    }

    uint8_t importsAsLoaded[16] = {};  // before the test host filled it
    Recorder rec;
    HWND window = nullptr;
};

// Mouse entries 1 to 5 and the key events they send.
const uint32_t kEvents[6] = {0, 66376, 66379, 65560, 66239, 66378};

// ---- records -------------------------------------------------------------------

TEST_F(Lumivane, LinkageImportTableAndHeaderBytes) {
    expectRecord(m, "Linkage", m.linkage, 0x20,
                 {w32(0x00, 0x13, "module id"), w32(0x14, 0, "linkage version"),
                  ptr(0x18, m.linkage - 0x58, "gauge list: the header, right before Linkage")},
                 {0x04, 0x08});
    expectRecord(m, "ImportTable", importsAsLoaded, 0x10, {w32(0x00, 0x0F, "import id")});
    uint8_t* slot = at(header, 0x08);
    expectRecord(m, "GaugeHeader", header, 0x58,
                 {w32(0x00, 610, "version"), ptr(0x04, at(header, 0x04), "name"), ptr(0x08, slot, "root slot"),
                  w32(0x2C, 100, "size value")},
                 {0x0C, 0x10, 0x14, 0x18, 0x1C, 0x20, 0x24});
    EXPECT_STREQ(reinterpret_cast<const char*>(at(header, 0x04)), "lumivane");
    EXPECT_TRUE(m.inImage(addr(slot)));
    EXPECT_EQ(u32(slot, 4), 0u) << "root slot is followed by a zero word";
}

struct IconRow {
    const char* name;
    int32_t x;
    uint32_t var;
};
const IconRow kIcons[5] = {
    {"STAB", 2, 620},
    {"POSITION STEADY", 108, 619},
    {"POSITION STROBE", 54, 11},
    {"ANTI COLLISION", 175, 368},
    {"WING", 245, 621},
};

TEST_F(Lumivane, ElementTreeBytes) {
    uint8_t* plain = root();
    uint8_t* plainList = at(plain, 0x28);
    expectRecord(m, "plain face", plain, 0x50,
                 {w32(0x04, 4096, "bitmap"), ptr(0x20, header, "gauge"), ptr(0x28, plainList, "child list"),
                  w32(0x30, 0x1, "image flags")});
    uint8_t* lit = at(plainList, 0);
    EXPECT_EQ(u32(plainList, 4), 0u) << "one child, then the zero word";
    uint8_t* litList = at(lit, 0x28);
    expectRecord(m, "lit face", lit, 0x50,
                 {w32(0x04, 4099, "bitmap"), ptr(0x20, header, "gauge"), ptr(0x28, litList, "child list"),
                  w32(0x30, 0x7, "image flags")});
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(kIcons[i].name);
        uint8_t* ic = at(litList, 4 * i);
        ASSERT_TRUE(m.inImage(addr(ic)));
        expectRecord(m, "icon", ic, 0x84,
                     {w32(0x00, 4, "kind"), w32(0x04, 4608, "bitmap"), w32(0x08, uint32_t(kIcons[i].x), "x"),
                      w32(0x0C, 39, "y"), ptr(0x20, header, "gauge"), w32(0x30, 0x3, "image flags"),
                      w32(0x3C, kIcons[i].var, "variable"), w32(0x70, 2, "images")});
        EXPECT_EQ(addr(ic), addr(at(litList, 0)) + 0x88 * i) << "icons 0x88 apart";
        if (i < 4) {
            EXPECT_EQ(u32(ic, 0x84), 0u) << "the gap after an icon";
        }
    }
    EXPECT_EQ(u32(litList, 20), 0u) << "five icons, then the zero word";
}

TEST_F(Lumivane, ModuleVariablesBytes) {
    routine(0x14);
    ASSERT_EQ(rec.calls.size(), 3u);
    uint8_t* v10 = reinterpret_cast<uint8_t*>(rec.calls[1].args.at(0));
    uint8_t* v753 = reinterpret_cast<uint8_t*>(rec.calls[2].args.at(0));
    ASSERT_TRUE(m.inImage(addr(v10)));
    EXPECT_EQ(v753 - v10, 32) << "32 bytes apart";
    expectRecord(m, "variable 10", v10, 28, {w32(0x00, 10, "id")});
    expectRecord(m, "variable 753", v753, 28, {w32(0x00, 753, "id")});
    EXPECT_EQ(u32(v10, 28), 0u);
}

TEST_F(Lumivane, MouseListBytes) {
    uint8_t* list = install();
    ASSERT_NE(list, nullptr);
    EXPECT_TRUE(m.inImage(addr(list)));
    struct Row { uint32_t type; int32_t x, y; uint32_t w, h, cursor, mask; bool handler; };
    const Row rows[8] = {
        {1, 0, 0, 0, 0, 0xFFFFFFFF, 0, false},
        {2, 2, 39, 35, 43, 5, 0x20000000, true},     // STAB
        {2, 108, 39, 35, 43, 5, 0x20000000, true},   // POSITION STEADY
        {2, 54, 39, 35, 43, 5, 0x20000000, true},    // POSITION STROBE
        {2, 175, 40, 35, 43, 5, 0x20000000, true},   // ANTI COLLISION: one pixel lower
        {2, 245, 40, 35, 43, 5, 0x20000000, true},   // WING: one pixel lower
        {3, 0, 0, 0, 0, 0xFFFFFFFF, 0, false},
        {0, 0, 0, 0, 0, 0xFFFFFFFF, 0, false},
    };
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE("mouse entry " + std::to_string(i + 1));
        const Row& r = rows[i];
        std::vector<uint32_t> code;
        if (r.handler) code.push_back(0x24);
        expectRecord(m, "MouseRect", list + 44 * i, 44,
                     {w32(0x00, r.type, "type"), w32(0x04, uint32_t(r.x), "x"), w32(0x08, uint32_t(r.y), "y"),
                      w32(0x0C, r.w, "width"), w32(0x10, r.h, "height"), w32(0x14, r.cursor, "cursor"),
                      w32(0x1C, r.mask, "event mask")},
                     code);
    }
}

// ---- lifecycle ----------------------------------------------------------------------

// A platform call of the sound player in the recorded sequence.
ServiceCall platform(std::string name, std::vector<uint32_t> args = {}) {
    return {0, std::move(args), std::move(name)};
}

// The first argument of the first call of service `slot` in `calls`.
uint32_t firstArgOf(const std::vector<ServiceCall>& calls, unsigned slot) {
    for (const ServiceCall& c : calls)
        if (c.slot == slot && !c.args.empty()) return c.args[0];
    return 0;
}

// Without a simulator window the sound player gives up at its first step:
// it looks for the window between the element install and the mouse list,
// and has nothing to release at kill.
TEST_F(Lumivane, LifecycleCallsItsServicesInOrder) {
    const uint32_t r = addr(root()), h = addr(header);
    routine(0x0C);
    routine(0x10, {0xABCD});
    routine(0x14);
    routine(0x18);
    routine(0x1C, {0x77});
    routine(0x20);
    const uint32_t list = firstArgOf(rec.calls, 32);
    const uint32_t v10 = firstArgOf(rec.calls, 38);
    const uint32_t v753 = v10 + 32;
    ASSERT_NE(v10, 0u);
    routine(0x24);
    const std::vector<ServiceCall> expected = {
        {24, {r}},
        {25, {r, 0xABCD}},
        platform("FindWindowA FS98MAIN", {0}),
        {32, {list, h, addr(&rec.image[1])}},
        {33, {list, h}},
        {26, {r}},
        {38, {v10}},
        {38, {v753}},
        {27, {r}},
        {40, {v10}},
        {40, {v753}},
        {28, {r, 0x77}},
        {29, {r}},
        {34, {list, h}},
        {31, {r}},
    };
    EXPECT_EQ(rec.calls, expected);
    EXPECT_EQ(u32(reinterpret_cast<void*>(v10), 0), 10u);
}

// With the simulator there, the sound player opens between the element
// install and the mouse list, plays after the key event, and closes between
// the withdrawal of the mouse list and the release of the elements. Each
// platform call carries what the Win32 layer alone supplies: the default
// device and no outer object, the simulator's key opened for reading, the
// "path" value read into the 260-byte folder buffer, the file opened for
// reading with a buffer of its own, its RIFF header read and its size learnt
// before the RIFF search, its chunks then taken one by one without a search,
// and the buffer played once from 0.
TEST_F(Lumivane, SoundPlayerCallsTakeTheirPlaceAmongTheServices) {
    SimulatorFolder sim;
    ASSERT_NO_FATAL_FAILURE(startSimulator(sim, pcmWav(16, 22050, 882)));
    const uint32_t r = addr(root()), h = addr(header), hklm = addr(HKEY_LOCAL_MACHINE);

    uint8_t* list = install();
    ASSERT_NE(list, nullptr);
    const uint32_t l = addr(list);
    const std::vector<ServiceCall> installed = {
        {25, {r, 0}},
        platform("FindWindowA FS98MAIN", {0}),
        platform("DirectSoundCreate", {0, 0}),
        platform("IDirectSound::SetCooperativeLevel", {addr(window), DSSCL_NORMAL}),
        platform(std::string("RegOpenKeyExA ") + kKey, {hklm, 0, KEY_READ}),
        platform("RegQueryValueExA PlayerName", {0, 1, 0, 0}),
        platform("GlobalAlloc", {260}),
        platform("RegQueryValueExA path", {0, 1, 1, 260}),
        platform("RegCloseKey", {1}),
        {32, {l, h, addr(&rec.image[1])}},
        {33, {l, h}},
    };
    EXPECT_EQ(rec.calls, installed);
    EXPECT_EQ(gSpy.blocks.size(), 1u) << "the folder text";

    EXPECT_EQ(click(list, 1), (std::vector<std::pair<uint32_t, int32_t>>{{66376, 0}}));
    // Memory of the click comes and goes; what stays is checked below.
    std::vector<ServiceCall> played;
    for (const ServiceCall& c : rec.calls)
        if (c.platform != "GlobalAlloc" && c.platform != "GlobalFree") played.push_back(c);
    const uint32_t wave = mmioFOURCC('W', 'A', 'V', 'E'), fmt = mmioFOURCC('f', 'm', 't', ' '),
                   data = mmioFOURCC('d', 'a', 't', 'a');
    const std::vector<ServiceCall> clicked = {
        {36, {66376, 0}},
        platform("mmioOpenA " + sim.file, {0, 0x10000}),
        platform("mmioRead", {12}),
        platform("mmioSeek", {0, SEEK_END}),
        platform("mmioSeek", {0, SEEK_SET}),
        platform("mmioDescend", {MMIO_FINDRIFF, wave, 0}),
        platform("mmioDescend", {0, fmt, 1}),
        platform("mmioRead", {18}),
        platform("mmioAscend", {0}),
        platform("mmioDescend", {0, data, 1}),
        platform("mmioRead", {882}),
        platform("mmioClose", {0}),
        platform("IDirectSound::CreateSoundBuffer", {0}),
        platform("IDirectSoundBuffer::Lock", {0, 882, 0}),
        platform("IDirectSoundBuffer::Unlock", {1}),
        platform("IDirectSoundBuffer::SetCurrentPosition", {0}),
        platform("IDirectSoundBuffer::Play", {0, 0, 0}),
    };
    EXPECT_EQ(played, clicked);
    EXPECT_EQ(gSpy.blocks.size(), 1u) << "the path and the sample copy are released";

    rec.clear();
    routine(0x24);
    const std::vector<ServiceCall> killed = {
        {34, {l, h}},
        platform("GlobalFree", {1}),
        platform("IDirectSoundBuffer::Release"),
        platform("IDirectSound::Release"),
        {31, {r}},
    };
    EXPECT_EQ(rec.calls, killed);
    EXPECT_TRUE(gSpy.blocks.empty()) << "the module holds no memory after kill";
    EXPECT_EQ(gSpy.liveBuffers(), 0);
    EXPECT_EQ(gSpy.devicesFreed, 1);
}

// The buffer description reaches DirectSound whole: its 36 bytes and the
// format they point at. The file's fmt chunk is the 16-byte PCM form, right
// before the data chunk: the extra size past it is zero, not "da".
TEST_F(Lumivane, DirectSoundGetsTheWholeBufferDescription) {
    SimulatorFolder sim;
    ASSERT_NO_FATAL_FAILURE(startSimulator(sim, pcmWav(8, 11025, 301)));
    uint8_t* list = install();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(click(list, 3).size(), 1u);
    ASSERT_TRUE(gSpy.descSeen);
    ASSERT_EQ(gSpy.createResults, std::vector<HRESULT>{DS_OK});
    expectRecord(m, "DSBUFFERDESC", gSpy.desc, 36,
                 {w32(0x00, 36, "size"), w32(0x04, 0xE0, "flags: frequency, pan, volume"),
                  w32(0x08, 301, "buffer bytes: the data chunk"), w32(0x0C, 0, "reserved"),
                  w32(0x10, u32(gSpy.desc, 0x10), "format")});
    EXPECT_NE(u32(gSpy.desc, 0x10), 0u) << "a format is given";
    const uint8_t expectedFormat[18] = {1, 0, 1, 0, 0x11, 0x2B, 0, 0, 0x11, 0x2B, 0, 0, 1, 0, 8, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(gSpy.format, gSpy.format + 18),
              std::vector<uint8_t>(expectedFormat, expectedFormat + 18))
        << "tag 1, one channel, 11025 per second, 11025 bytes per second, align 1, 8 bits, extra 0";
    ASSERT_EQ(gSpy.playResults, std::vector<HRESULT>{DS_OK});
    routine(0x24);
}

TEST_F(Lumivane, UpdateShowsTheLitFaceByTheRuleWritingOnlyItsBit) {
    install();
    routine(0x14);
    uint8_t* lit = litFace();
    for (const cases::LitCase& c : cases::kLitCases) {
        SCOPED_TRACE(c.name);
        rec.vars[753] = c.v753;
        rec.vars[10] = c.v10;
        // Whatever else the host keeps in the flags stays as it is.
        for (uint32_t before : {0x7u, 0x40000007u, 0xBFFFFFFFu, 0xFFFFFFFFu}) {
            std::memcpy(lit + 0x30, &before, 4);
            routine(0x18);
            const uint32_t expected = c.shown ? before & ~0x40000000u : before | 0x40000000u;
            EXPECT_EQ(u32(lit, 0x30), expected) << std::hex << before;
            routine(0x18);
            EXPECT_EQ(u32(lit, 0x30), expected) << "a second update with the same values";
        }
    }
    routine(0x24);
}

// ---- clicks -------------------------------------------------------------------------

TEST_F(Lumivane, ClicksSendTheirEventAndPlayThroughDirectSound) {
    SimulatorFolder sim;
    ASSERT_NO_FATAL_FAILURE(startSimulator(sim, pcmWav(16, 22050, 882)));
    uint8_t* list = install();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(gSpy.devicesCreated, 1);

    for (int entry = 1; entry <= 5; ++entry) {
        SCOPED_TRACE("mouse entry " + std::to_string(entry));
        EXPECT_EQ(click(list, entry), (std::vector<std::pair<uint32_t, int32_t>>{{kEvents[entry], 0}}));
        EXPECT_EQ(gSpy.fileOpens, entry);
        ASSERT_EQ(gSpy.createResults.size(), size_t(entry));
        EXPECT_EQ(gSpy.createResults.back(), DS_OK) << "DirectSound accepts the buffer";
        EXPECT_EQ(gSpy.bufferBytes.back(), 882u) << "the data chunk's size";
        EXPECT_EQ(gSpy.bufferFlags.back(), 0xE0u);
        ASSERT_EQ(gSpy.playResults.size(), size_t(entry));
        EXPECT_EQ(gSpy.playResults.back(), DS_OK);
    }
    // The same switch twice: two events, two sounds.
    EXPECT_EQ(click(list, 1).size(), 1u);
    EXPECT_EQ(click(list, 1).size(), 1u);
    EXPECT_EQ(gSpy.playResults.size(), 7u);

    // The file goes away: the event still goes out, and from then on the
    // player is silent, even once the file is back.
    sim.removeSound();
    EXPECT_EQ(click(list, 4), (std::vector<std::pair<uint32_t, int32_t>>{{66239, 0}}));
    EXPECT_EQ(gSpy.fileOpens, 8);
    sim.putSound(pcmWav(16, 22050, 882));
    for (int entry = 1; entry <= 5; ++entry)
        EXPECT_EQ(click(list, entry), (std::vector<std::pair<uint32_t, int32_t>>{{kEvents[entry], 0}}));
    EXPECT_EQ(gSpy.fileOpens, 8) << "disabled: no file is opened";
    EXPECT_EQ(gSpy.createResults.size(), 7u);

    routine(0x24);
    EXPECT_EQ(gSpy.devicesFreed, 1) << "kill releases the device";
    EXPECT_EQ(gSpy.liveBuffers(), 0) << "and every buffer";
}

TEST_F(Lumivane, WithoutASimulatorWindowClicksStillSendTheirEvents) {
    useOwnDesktop();
    ASSERT_EQ(FindWindowA("FS98MAIN", nullptr), nullptr);
    SimulatorFolder sim;
    sim.putSound(pcmWav(8, 8000, 80));
    sim.registerPath();
    uint8_t* list = install();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(gSpy.devicesCreated, 0);
    for (int entry = 1; entry <= 5; ++entry)
        EXPECT_EQ(click(list, entry), (std::vector<std::pair<uint32_t, int32_t>>{{kEvents[entry], 0}}));
    EXPECT_EQ(gSpy.fileOpens, 0);
    routine(0x24);

    // A later install, now with the window, finds the player disabled.
    window = createSimulatorWindow();
    sim.registerPath();
    list = install();
    EXPECT_EQ(click(list, 1), (std::vector<std::pair<uint32_t, int32_t>>{{66376, 0}}));
    EXPECT_EQ(gSpy.fileOpens, 0);
    routine(0x24);
    EXPECT_EQ(gSpy.devicesCreated, gSpy.devicesFreed);
}

TEST_F(Lumivane, ClickAfterAnotherInstanceWasKilledSendsItsEventSilently) {
    SimulatorFolder sim;
    ASSERT_NO_FATAL_FAILURE(startSimulator(sim, pcmWav(8, 8000, 80)));
    uint8_t* list = install();   // first instance
    install();                   // second instance: the same module-wide player
    EXPECT_EQ(gSpy.devicesCreated, 2);
    EXPECT_EQ(gSpy.devicesFreed, 1) << "the first device is not lost";
    routine(0x24);               // first instance killed: the player is closed
    EXPECT_EQ(click(list, 2), (std::vector<std::pair<uint32_t, int32_t>>{{66379, 0}}));
    EXPECT_EQ(gSpy.fileOpens, 0);
    routine(0x24);
}

// Clicks in a row, at about one every few milliseconds: memory stays flat,
// every play succeeds, and the buffers of sounds that have ended are given
// back. `make test` clicks 500 times; `make soak` sets GAUGE_SOAK_CLICKS.
TEST_F(Lumivane, SoakOfClicksDoesNotGrow) {
    const int clicks = roundsFromEnv("GAUGE_SOAK_CLICKS", 500);
    SimulatorFolder sim;
    ASSERT_NO_FATAL_FAILURE(startSimulator(sim, pcmWav(16, 22050, 441)));  // 10 ms
    uint8_t* list = install();
    ASSERT_NE(list, nullptr);
    // Warm up, so that what the platform sets up once is in the baseline.
    for (int i = 0; i < 100; ++i) {
        click(list, 1 + i % 5);
        Sleep(1);
    }
    const size_t before = privateBytes(), setBefore = workingSet();
    const int liveBefore = gSpy.liveBuffers();
    const size_t blocksBefore = gSpy.blocks.size();
    int maxLive = 0;
    for (int i = 0; i < clicks; ++i) {
        click(list, 1 + i % 5);
        if (gSpy.liveBuffers() > maxLive) maxLive = gSpy.liveBuffers();
        Sleep(1);
    }
    const size_t after = privateBytes(), setAfter = workingSet();
    // Sounds still playing keep their buffers until the next click after
    // they end. Where the mixer lags (a loaded or emulated machine) many
    // may still play now, so wait for them: a click every 250 ms, for up
    // to 10 s, until no more than the newest one is held.
    int settleClicks = 0;
    for (; settleClicks < 40 && gSpy.liveBuffers() > 1; ++settleClicks) {
        Sleep(250);
        click(list, 1);
    }
    const int liveAfter = gSpy.liveBuffers();
    std::printf("[ soak     ] %d clicks: private bytes %zu before, %zu after (%+lld); "
                "live sound buffers %d before, at most %d, %d after %d settling clicks; "
                "buffers made %d, released %d; the module's memory blocks %zu before, %zu after\n",
                clicks, before, after, static_cast<long long>(after) - static_cast<long long>(before), liveBefore,
                maxLive, liveAfter, settleClicks, gSpy.buffersCreated, gSpy.buffersFreed, blocksBefore,
                gSpy.blocks.size());
    std::printf("[ soak     ] working set %zu before, %zu after\n", setBefore, setAfter);
    EXPECT_EQ(gSpy.playResults.size(), size_t(100 + clicks + settleClicks));
    for (HRESULT hr : gSpy.playResults) ASSERT_EQ(hr, DS_OK);
    EXPECT_LE(liveAfter, 1) << "buffers whose sound has ended are released";
    EXPECT_GT(before, 0u);
    EXPECT_LE(gSpy.blocks.size(), blocksBefore) << "the module's own memory blocks do not pile up";
    // Everything else: what the platform's sound mixer leaves behind grows
    // slowly with the clicks (30 to 50 bytes each over 10,000 here, in
    // 64 KiB heap steps, more the more sounds overlap).
    const size_t bound = 512 * 1024 + 64 * size_t(clicks);
    EXPECT_LT(after, before + bound) << "memory must not keep growing";
    routine(0x24);
    EXPECT_EQ(gSpy.liveBuffers(), 0);
}

// ---- bitmaps ----------------------------------------------------------------------------

TEST_F(Lumivane, BitmapResources) {
    std::vector<uint32_t> ids = bitmapIds(m);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<uint32_t>{4096, 4099, 4608, 4611}));
    struct Expected { uint32_t id; int w, h; };
    for (const Expected& e : {Expected{4096, 290, 109}, Expected{4099, 290, 109}, Expected{4608, 35, 43},
                              Expected{4611, 35, 43}})
        expectBitmapFormat(m, e.id, e.w, e.h, 8);

    // The two faces carry the same labels: cool white on the plain face
    // exactly where warm white is on the lit face; the lit face adds its
    // rings; everything else is black.
    const Bitmap &plain = bitmapResource(m, 4096), &lit = bitmapResource(m, 4099);
    ASSERT_EQ(plain.problem, "");
    ASSERT_EQ(lit.problem, "");
    const Rgb black{0, 0, 0}, cool{241, 242, 238}, warm{253, 254, 227};
    int labelPixels = 0, ringPixels = 0;
    for (int y = 0; y < 109; ++y)
        for (int x = 0; x < 290; ++x) {
            const Rgb p = pixel(plain, x, y), l = pixel(lit, x, y);
            ASSERT_TRUE(p == black || p == cool) << x << "," << y << " " << p;
            if (p == cool) {
                ++labelPixels;
                ASSERT_EQ(l, warm) << x << "," << y;
            } else {
                ASSERT_NE(l, warm) << x << "," << y;
                ringPixels += l != black;
            }
        }
    EXPECT_GT(labelPixels, 300);
    EXPECT_GT(ringPixels, 5 * 60) << "a ring around each switch";
    // A ring passes left and right of each switch's middle, clear of its
    // lever (STAB's left side lies beyond the face's edge).
    for (int cx : {19, 71, 125, 192, 262}) {
        SCOPED_TRACE("ring at x " + std::to_string(cx));
        int left = 0, right = 0;
        for (int x = std::max(0, cx - 24); x < cx - 17; ++x) left += pixel(lit, x, 60) != black;
        for (int x = cx + 18; x <= std::min(289, cx + 24); ++x) right += pixel(lit, x, 60) != black;
        EXPECT_GE(right, 1);
        if (cx != 19) {
            EXPECT_GE(left, 1);
        }
        EXPECT_EQ(pixel(lit, cx, 60), black);
    }

    // Lever up shows the lever above the nut, lever down below it.
    const Bitmap &up = bitmapResource(m, 4608), &down = bitmapResource(m, 4611);
    EXPECT_NE(pixel(up, 17, 5), black);
    EXPECT_EQ(pixel(up, 17, 38), black);
    EXPECT_EQ(pixel(down, 17, 5), black);
    EXPECT_NE(pixel(down, 17, 38), black);
    EXPECT_EQ(pixel(up, 17, 21), pixel(down, 17, 21)) << "the same nut";
}

}  // namespace
