// lumivane.gau and sound files from anyone. Whoever replaces
// "kolt_toggle_light.wav" controls its bytes; whatever they are, a click on
// the real module under Wine sends its key event and returns within a bound,
// and the process lives on: the file plays, or DirectSound refuses it, or
// the module refuses it itself.
//
// A table holds one file of every kind that was seen to hang the click,
// crash DirectSound's mixer or play what the gauge does not vouch for; a
// seeded fuzz mutates the click file some 300 times. Every file gets a
// freshly loaded module (the player disables itself on its first failure),
// installed beside the simulator's window with its registry values, and two
// quick clicks; DirectSound's mixer then gets a moment with what was played
// before the gauge is killed. A fault in the module's code fails the test at
// that file; a click that hangs, or a crash outside the module's code (in
// DirectSound's mixer, say), ends the process, naming the file.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "hostcore/guard.h"
#include "hostcore/wave_file.h"
#include "support.h"

using namespace winetest;

namespace {

const char kKey[] = "SOFTWARE\\Microsoft\\Microsoft Games\\Flight Simulator\\7.0";
const char kSound[] = "kolt_toggle_light.wav";
constexpr uint32_t kStabEvent = 66376;
constexpr unsigned kClickBoundSeconds = 5;  // a click that takes longer hangs
constexpr DWORD kMixMs = 20;           // for the mixer to work on a played sound

// ---- DirectSound and memory as the module uses them --------------------------------

// Counts of the latest file's clicks, and the memory the module holds.
struct Watch {
    int buffersAsked = 0;       // CreateSoundBuffer calls
    int plays = 0;              // Play calls that DirectSound accepted
    uint16_t extraSize = 0;     // of the latest format handed to DirectSound
    std::set<HGLOBAL> blocks;   // allocated by the module and not yet freed

    void* deviceVtbl[11] = {};
    void* const* realDevice = nullptr;
    void* bufferVtbl[21] = {};
    void* const* realBuffer = nullptr;
    HRESULT(WINAPI* create)(LPCGUID, LPDIRECTSOUND*, LPUNKNOWN) = nullptr;
    HGLOBAL(WINAPI* alloc)(UINT, SIZE_T) = nullptr;
    HGLOBAL(WINAPI* free)(HGLOBAL) = nullptr;
};
Watch gWatch;

enum { kCreateSoundBuffer = 3, kBufferPlay = 12 };

HRESULT WINAPI watchPlay(IDirectSoundBuffer* self, DWORD reserved, DWORD priority, DWORD flags) {
    typedef HRESULT(WINAPI * Fn)(IDirectSoundBuffer*, DWORD, DWORD, DWORD);
    const HRESULT hr = reinterpret_cast<Fn>(gWatch.realBuffer[kBufferPlay])(self, reserved, priority, flags);
    if (hr == DS_OK) ++gWatch.plays;
    return hr;
}

HRESULT WINAPI watchCreateBuffer(IDirectSound* self, LPCDSBUFFERDESC d, LPDIRECTSOUNDBUFFER* out, LPUNKNOWN outer) {
    ++gWatch.buffersAsked;
    if (d != nullptr && d->lpwfxFormat != nullptr) gWatch.extraSize = d->lpwfxFormat->cbSize;
    typedef HRESULT(WINAPI * Fn)(IDirectSound*, LPCDSBUFFERDESC, LPDIRECTSOUNDBUFFER*, LPUNKNOWN);
    const HRESULT hr = reinterpret_cast<Fn>(gWatch.realDevice[kCreateSoundBuffer])(self, d, out, outer);
    if (hr == DS_OK) {
        void*** object = reinterpret_cast<void***>(*out);
        if (gWatch.realBuffer == nullptr) {
            gWatch.realBuffer = *object;
            for (int i = 0; i < 21; ++i) gWatch.bufferVtbl[i] = gWatch.realBuffer[i];
            gWatch.bufferVtbl[kBufferPlay] = reinterpret_cast<void*>(watchPlay);
        }
        *object = gWatch.bufferVtbl;
    }
    return hr;
}

HRESULT WINAPI watchDirectSoundCreate(LPCGUID guid, LPDIRECTSOUND* out, LPUNKNOWN outer) {
    const HRESULT hr = gWatch.create(guid, out, outer);
    if (hr == DS_OK) {
        void*** object = reinterpret_cast<void***>(*out);
        if (gWatch.realDevice == nullptr) {
            gWatch.realDevice = *object;
            for (int i = 0; i < 11; ++i) gWatch.deviceVtbl[i] = gWatch.realDevice[i];
            gWatch.deviceVtbl[kCreateSoundBuffer] = reinterpret_cast<void*>(watchCreateBuffer);
        }
        *object = gWatch.deviceVtbl;
    }
    return hr;
}

HGLOBAL WINAPI watchGlobalAlloc(UINT flags, SIZE_T bytes) {
    HGLOBAL block = gWatch.alloc(flags, bytes);
    if (block != nullptr) gWatch.blocks.insert(block);
    return block;
}

HGLOBAL WINAPI watchGlobalFree(HGLOBAL block) {
    gWatch.blocks.erase(block);
    return gWatch.free(block);
}

// Routes the module's import of `name` (or of `ordinal` when `name` is
// null) in `dll` to `to`; returns what the slot held, null when the module
// imports no such function.
void* redirectImport(const Module& m, const char* dll, const char* name, WORD ordinal, void* to) {
    void** slot = importSlot(m, dll, name, ordinal);
    if (slot == nullptr) return nullptr;
    void* was = *slot;
    redirect(slot, to);
    return was;
}

// ---- the simulator around the module --------------------------------------------

// What a fault nobody handled should name: the file being played. The
// host core's filter, which comes next, fails a module call the fault
// happened in or ends the process.
std::string gCurrentFile;
LPTOP_LEVEL_EXCEPTION_FILTER gHostFilter = nullptr;

LONG WINAPI nameTheFile(EXCEPTION_POINTERS* e) {
    std::printf("[ fault    ] exception 0x%08lX while playing: %s\n",
                static_cast<unsigned long>(e->ExceptionRecord->ExceptionCode), gCurrentFile.c_str());
    std::fflush(stdout);
    return gHostFilter ? gHostFilter(e) : EXCEPTION_EXECUTE_HANDLER;
}

// The simulator's folder, registry values and main window, for one test.
class Simulator {
public:
    Simulator() {
        char tmp[MAX_PATH];
        GetTempPathA(sizeof tmp, tmp);
        root_ = std::string(tmp) + "lumivane-files-" + std::to_string(GetCurrentProcessId());
        file_ = root_ + "\\Sound\\" + kSound;
        CreateDirectoryA(root_.c_str(), nullptr);
        CreateDirectoryA((root_ + "\\Sound").c_str(), nullptr);
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) == 0) {
            RegSetValueExA(key, "PlayerName", 0, REG_SZ, reinterpret_cast<const BYTE*>("Pilot"), 6);
            RegSetValueExA(key, "path", 0, REG_SZ, reinterpret_cast<const BYTE*>(root_.c_str()),
                           DWORD(root_.size() + 1));
            RegCloseKey(key);
        }
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "FS98MAIN";
        RegisterClassA(&wc);  // may be registered already
        window_ = CreateWindowA("FS98MAIN", "simulator", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    }
    ~Simulator() {
        if (window_) DestroyWindow(window_);  // no simulator window outlives the test
        DeleteFileA(file_.c_str());
        RemoveDirectoryA((root_ + "\\Sound").c_str());
        RemoveDirectoryA(root_.c_str());
    }
    bool ready() const { return window_ != nullptr; }
    void putSound(const wave::Bytes& bytes) const {
        HANDLE f = CreateFileA(file_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        if (f != INVALID_HANDLE_VALUE) {
            WriteFile(f, bytes.data(), DWORD(bytes.size()), &written, nullptr);
            CloseHandle(f);
        }
        EXPECT_EQ(written, bytes.size()) << "writing " << file_;
    }

private:
    std::string root_, file_;
    HWND window_ = nullptr;
};

// ---- one file, two clicks -----------------------------------------------------------

enum class Outcome { Played, Silent, Refused };
const char* outcomeName(Outcome o) {
    return o == Outcome::Played ? "played" : o == Outcome::Silent ? "silent" : "refused";
}

// What became of one file.
struct Result {
    Outcome outcome = Outcome::Refused;  // of the first click
    bool eventsSent = true;              // each click sent the STAB event, once, with 0
    bool returnedZero = true;            // and returned 0 with its stack and registers as they were
    std::string failure;                 // why a call into the module did not complete
    bool secondAsFirst = true;           // the second click played only if the first did
    size_t blocksAfterClick = 0;         // memory the module held after the first click
    size_t blocksAfterKill = 0;
    uint16_t extraSize = 0;              // handed to DirectSound
    double slowestMs = 0;
};

// Loads the module afresh, installs it, plays `bytes` with two STAB clicks,
// lets the mixer work, kills and unloads it.
Result playFile(const Simulator& sim, const wave::Bytes& bytes, const std::string& what) {
    Result r;
    gCurrentFile = what;
    sim.putSound(bytes);

    Module m = loadModule("lumivane");
    if (!m.complete()) {
        ADD_FAILURE() << "lumivane.gau did not load";
        return r;
    }
    gWatch = Watch{};
    gWatch.create = reinterpret_cast<decltype(gWatch.create)>(
        redirectImport(m, "dsound.dll", nullptr, 1, reinterpret_cast<void*>(watchDirectSoundCreate)));
    gWatch.alloc = reinterpret_cast<decltype(gWatch.alloc)>(
        redirectImport(m, "kernel32.dll", "GlobalAlloc", 0, reinterpret_cast<void*>(watchGlobalAlloc)));
    gWatch.free = reinterpret_cast<decltype(gWatch.free)>(
        redirectImport(m, "kernel32.dll", "GlobalFree", 0, reinterpret_cast<void*>(watchGlobalFree)));
    if (!gWatch.create || !gWatch.alloc || !gWatch.free) {
        ADD_FAILURE() << "lumivane.gau does not import DirectSoundCreate, GlobalAlloc and GlobalFree";
        unloadModule(m);
        return r;
    }
    Recorder rec;
    rec.setDrawnSize(290, 109);
    rec.attach(m);
    uint8_t* header = m.gauge();
    expectCall("install routine, " + what, at(header, 0x10), {0});
    const uint8_t* list = nullptr;
    for (const ServiceCall& c : rec.calls)
        if (c.slot == 32) list = reinterpret_cast<const uint8_t*>(c.args[0]);
    if (list == nullptr || gWatch.realDevice == nullptr) {
        ADD_FAILURE() << "install registered no mouse list or made no sound device";
        unloadModule(m);
        return r;
    }

    setCallLimit(m, kClickBoundSeconds);
    for (int click = 0; click < 2 && r.failure.empty(); ++click) {
        rec.clear();
        const int asked = gWatch.buffersAsked, playsBefore = gWatch.plays;
        const int32_t point[2] = {10, 20};
        LARGE_INTEGER f, t0, t1;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&t0);
        const CallResult call = callModule("click " + std::to_string(click + 1) + " on STAB, " + what,
                                           at(list + 44, 0x24), {addr(point), 0x20000000});  // mouse entry 1
        QueryPerformanceCounter(&t1);
        const double ms = double(t1.QuadPart - t0.QuadPart) * 1000.0 / double(f.QuadPart);
        if (ms > r.slowestMs) r.slowestMs = ms;
        r.eventsSent &= rec.keyEvents() == std::vector<std::pair<uint32_t, int32_t>>{{kStabEvent, 0}};
        r.failure = call.failure;
        r.returnedZero &= call.eax == 0 && call.clean();
        const bool played = gWatch.plays > playsBefore;
        if (click == 0) {
            r.outcome = played ? Outcome::Played : gWatch.buffersAsked > asked ? Outcome::Silent : Outcome::Refused;
            r.blocksAfterClick = gWatch.blocks.size();
        } else {
            r.secondAsFirst = played == (r.outcome == Outcome::Played);
        }
    }
    setCallLimit(m, kCallSeconds);
    r.extraSize = gWatch.extraSize;
    if (gWatch.plays > 0) Sleep(kMixMs);
    expectCall("kill routine, " + what, at(header, 0x24), {});
    r.blocksAfterKill = gWatch.blocks.size();
    unloadModule(m);
    gCurrentFile.clear();
    return r;
}

class LumivaneSoundFiles : public ::testing::Test {
protected:
    void SetUp() override {
        gaugehost::installGuards(nullptr, 0);  // the host core's filter first, to come after ours
        gHostFilter = SetUnhandledExceptionFilter(nameTheFile);
    }
    void TearDown() override { SetUnhandledExceptionFilter(gHostFilter); }
};

// ---- files --------------------------------------------------------------------------

// The 40 ms click: 1,764 bytes of mono 16-bit samples at 22050 Hz after an
// 18-byte fmt chunk, 1,810 bytes in all.
wave::Bytes clickSamples(size_t bytes = 1764) {
    wave::Bytes s(bytes);
    for (size_t i = 0; i < s.size(); ++i) s[i] = uint8_t((i * 37) ^ (i >> 3));
    return s;
}
wave::Bytes clickFile() { return wave::file(wave::pcm(1, 16, 22050), clickSamples(), 18); }

constexpr size_t kRiffSize = 4, kFmtSize = 16, kFmt = 20, kDataSize = 42;  // offsets in the click file

wave::Bytes poked(wave::Bytes b, size_t offset, uint32_t value) {
    wave::poke32(b, offset, value);
    return b;
}
wave::Bytes poked16(wave::Bytes b, size_t offset, uint16_t value) {
    b.at(offset) = uint8_t(value);
    b.at(offset + 1) = uint8_t(value >> 8);
    return b;
}
wave::Bytes cut(wave::Bytes b, size_t bytes) {
    b.resize(bytes);
    return b;
}
// The click file with its format changed; `consistent` sets block align and
// average bytes as the other fields give them (in 32-bit arithmetic).
wave::Bytes withFormat(wave::Format f, bool consistent = true) {
    if (consistent) {
        f.blockAlign = uint16_t(f.channels * (f.bits / 8));
        f.averageBytes = f.rate * f.blockAlign;
    }
    return wave::file(f, clickSamples(), 18);
}
wave::Format pcmWith(uint16_t channels, uint16_t bits, uint32_t rate, uint16_t tag = 1) {
    wave::Format f = wave::pcm(channels, bits, rate);
    f.tag = tag;
    return f;
}
wave::Bytes junkBefore(const char* chunk, uint32_t size) {
    const wave::Bytes fmt = wave::chunk("fmt ", wave::fmt(wave::pcm(1, 16, 22050), 18));
    const wave::Bytes junk = wave::chunk("JUNK", size, {});
    const wave::Bytes data = wave::chunk("data", clickSamples());
    return wave::riff("WAVE", std::string(chunk) == "fmt " ? wave::join({junk, fmt, data}) : wave::join({fmt, junk, data}));
}

struct FileCase {
    const char* name;
    wave::Bytes bytes;
    Outcome expected;
};

std::vector<FileCase> fileCases() {
    const wave::Bytes click = clickFile();
    const wave::Bytes fmt = wave::chunk("fmt ", wave::fmt(wave::pcm(1, 16, 22050), 18));
    const wave::Bytes samples = clickSamples();
    return {
        {"the click file", click, Outcome::Played},
        {"100 Hz mono 8-bit", withFormat(pcmWith(1, 8, 100)), Outcome::Played},
        {"192 kHz stereo 16-bit", withFormat(pcmWith(2, 16, 192000)), Outcome::Played},
        {"extra size 0xFFFF in the 18-byte fmt chunk", poked16(click, kFmt + 16, 0xFFFF),
         Outcome::Played},
        {"data chunk cut short by the end of the file", cut(click, 1000), Outcome::Played},
        {"fmt size F8 FF FF FF", poked(click, kFmtSize, 0xFFFFFFF8u), Outcome::Refused},
        {"fmt size F7 FF FF FF", poked(click, kFmtSize, 0xFFFFFFF7u), Outcome::Refused},
        {"JUNK of 0xFFFFFFF8 before fmt", junkBefore("fmt ", 0xFFFFFFF8u), Outcome::Refused},
        {"JUNK of 0xFFFFFFF7 before fmt", junkBefore("fmt ", 0xFFFFFFF7u), Outcome::Refused},
        {"JUNK of 0xFFFFFFF8 before data", junkBefore("data", 0xFFFFFFF8u), Outcome::Refused},
        {"JUNK of 0xFFFFFFF7 before data", junkBefore("data", 0xFFFFFFF7u), Outcome::Refused},
        {"RIFF of 0xFFFFFFF8 with form AVI ", wave::riff("AVI ", 0xFFFFFFF8u, wave::join({fmt, wave::chunk("data", samples)})),
         Outcome::Refused},
        {"RIFF of 0xFFFFFFF8 with form WAVE", poked(click, kRiffSize, 0xFFFFFFF8u), Outcome::Refused},
        {"48-bit samples", withFormat(pcmWith(1, 48, 22050)), Outcome::Refused},
        {"64-bit samples", withFormat(pcmWith(1, 64, 22050)), Outcome::Refused},
        {"rate 0x7FFFFFFF", withFormat(pcmWith(1, 16, 0x7FFFFFFF)), Outcome::Refused},
        {"rate 0x80000000", withFormat(pcmWith(1, 16, 0x80000000u)), Outcome::Refused},
        {"rate 0xFFFFFFFF", withFormat(pcmWith(1, 16, 0xFFFFFFFFu)), Outcome::Refused},
        {"rate 0x1E005622 with its average bytes", withFormat(pcmWith(1, 16, 0x1E005622)), Outcome::Refused},
        {"IEEE float", withFormat(pcmWith(1, 32, 22050, 3)), Outcome::Refused},
        {"255 channels", withFormat(pcmWith(255, 16, 22050)), Outcome::Refused},
        {"1 Hz", withFormat(pcmWith(1, 16, 1)), Outcome::Refused},
        {"384 kHz", withFormat(pcmWith(1, 16, 384000)), Outcome::Refused},
        {"block align 1 for 16-bit samples", poked16(click, kFmt + 12, 1), Outcome::Refused},
        {"data chunk past its RIFF chunk", poked(click, kDataSize, 1765), Outcome::Refused},
        {"data chunk cut short by more than 1 MiB",
         poked(poked(click, kRiffSize, 0xFFFFFFF0u), kDataSize, 1764 + 0x100001), Outcome::Refused},
        {"data chunk larger than any sound buffer",
         poked(poked(click, kRiffSize, 0xFFFFFFF0u), kDataSize, 0x10000000), Outcome::Refused},
        {"JUNK past the end of the file", junkBefore("data", 0x10000), Outcome::Refused},
        {"JUNK past its RIFF chunk",
         wave::join({wave::riff("WAVE", 4 + 26 + 8, wave::join({fmt, wave::chunk("JUNK", 16, {})})),
                     wave::chunk("data", samples)}),
         Outcome::Refused},
        {"fmt past the end of the file", cut(click, 30), Outcome::Refused},
        {"data chunk of two bytes", wave::file(wave::pcm(1, 16, 22050), {0, 0}, 18), Outcome::Silent},
    };
}

// One file of every kind seen to hang, crash or play what it should not.
TEST_F(LumivaneSoundFiles, EachClassOfFilePlaysOrStaysSilentAndEveryClickReturns) {
    Simulator sim;
    ASSERT_TRUE(sim.ready());
    const wave::Bytes click = clickFile();
    ASSERT_EQ(click.size(), 1810u);
    const uint8_t head[] = {'R', 'I', 'F', 'F', 0x0a, 0x07, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 18, 0, 0, 0,
                            1, 0, 1, 0, 0x22, 0x56, 0, 0, 0x44, 0xac, 0, 0, 2, 0, 16, 0, 0, 0,
                            'd', 'a', 't', 'a', 0xe4, 0x06, 0, 0};
    ASSERT_EQ(wave::Bytes(click.begin(), click.begin() + sizeof head), wave::Bytes(head, head + sizeof head));

    for (const FileCase& c : fileCases()) {
        SCOPED_TRACE(c.name);
        const Result r = playFile(sim, c.bytes, c.name);
        ASSERT_EQ(r.failure, "");
        EXPECT_TRUE(r.eventsSent) << "each click sends its key event";
        EXPECT_TRUE(r.returnedZero);
        EXPECT_EQ(outcomeName(r.outcome), outcomeName(c.expected));
        EXPECT_TRUE(r.secondAsFirst) << "the second click plays only if the first did";
        EXPECT_EQ(r.extraSize, 0) << "extra size handed to DirectSound";
        EXPECT_EQ(r.blocksAfterClick, 1u) << "the folder text only: no samples are kept";
        EXPECT_EQ(r.blocksAfterKill, 0u);
        std::printf("[ file     ] %-46s %-7s slowest click %.0f ms\n", c.name, outcomeName(r.outcome), r.slowestMs);
    }
}

// ---- the fuzz --------------------------------------------------------------------------

// splitmix64: the same numbers on every machine.
struct Rng {
    uint64_t state;
    uint32_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return uint32_t((z ^ (z >> 31)) >> 32);
    }
    uint32_t below(uint32_t n) { return n == 0 ? 0 : next() % n; }
    template <typename T, size_t N> T pick(const T (&list)[N]) { return list[below(N)]; }
};

constexpr uint64_t kFuzzSeed = 0x6C756D6976616E65ull;  // "lumivane"
// Files per run: a quick pass in `make test`; `make fuzz` sets
// GAUGE_FUZZ_FILES for a long run from the same seed.
constexpr int kFuzzFilesInTest = 64;

// A file to mutate: the click file, or the click file with a LIST chunk
// between fmt and data, with the offsets of its size fields and its format.
struct Base {
    const char* name;
    wave::Bytes bytes;
    std::vector<size_t> sizes;  // RIFF, fmt, [LIST,] data
    size_t format;
};

std::vector<Base> fuzzBases() {
    const wave::Bytes fmt = wave::chunk("fmt ", wave::fmt(wave::pcm(1, 16, 22050), 18));
    const wave::Bytes list = wave::chunk("LIST", {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 6, 0, 0, 0, 'c', 'l', 'i', 'c', 'k', 0});
    return {
        {"click", clickFile(), {kRiffSize, kFmtSize, kDataSize}, kFmt},
        {"click+LIST", wave::riff("WAVE", wave::join({fmt, list, wave::chunk("data", clickSamples())})),
         {kRiffSize, kFmtSize, kFmt + 18 + 4, kFmt + 18 + list.size() + 4}, kFmt},
    };
}

std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}

// One mutation of `b`, described in `what`.
void mutateOnce(Rng& rng, const Base& base, wave::Bytes& b, std::string& what) {
    static const uint32_t kSizes[] = {0, 1, 2, 3, 4, 7, 8, 16, 17, 18, 0x7FFFFFFF, 0x80000000u, 0x0FFFFFFF,
                                      0x10000000, 0xFFFFFFF6u, 0xFFFFFFF7u, 0xFFFFFFF8u, 0xFFFFFFFEu, 0xFFFFFFFFu};
    switch (rng.below(4)) {
        case 0: {  // a chunk size
            const size_t at = base.sizes[rng.below(uint32_t(base.sizes.size()))];
            if (at + 4 > b.size()) return;
            uint32_t v;
            std::memcpy(&v, &b[at], 4);
            switch (rng.below(4)) {
                case 0: v = rng.pick(kSizes); break;
                case 1: v += rng.below(33) - 16; break;
                case 2: v = rng.below(uint32_t(2 * b.size())); break;
                default: v = rng.next(); break;
            }
            wave::poke32(b, at, v);
            what += " size@" + std::to_string(at) + "=" + hex(v);
            break;
        }
        case 1: {  // a format field, then block align and average bytes agreeing or not
            static const uint32_t kValues[] = {0, 1, 2, 3, 8, 16, 24, 48, 64, 99, 100, 255, 8000, 192000, 192001,
                                               384000, 0xFFFE, 0xFFFF, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu,
                                               0x1E005622};
            static_assert(offsetof(wave::Format, extraSize) == 16, "wave::Format in file order");
            if (base.format + 18 > b.size()) return;
            wave::Format f;
            std::memcpy(&f, &b[base.format], 18);
            const uint32_t v = rng.below(3) == 0 ? rng.next() : rng.pick(kValues);
            static const char* const kFields[] = {"tag", "channels", "rate", "average", "align", "bits", "extra"};
            const uint32_t field = rng.below(7);
            switch (field) {
                case 0: f.tag = uint16_t(v); break;
                case 1: f.channels = uint16_t(v); break;
                case 2: f.rate = v; break;
                case 3: f.averageBytes = v; break;
                case 4: f.blockAlign = uint16_t(v); break;
                case 5: f.bits = uint16_t(v); break;
                default: f.extraSize = uint16_t(v); break;
            }
            what += std::string(" ") + kFields[field] + "=" + hex(v);
            if (rng.below(2) == 0) {
                f.blockAlign = uint16_t(f.channels * (f.bits / 8));
                f.averageBytes = f.rate * f.blockAlign;
                what += " (agreeing)";
            }
            std::memcpy(&b[base.format], &f, 18);
            break;
        }
        case 2: {  // the file cut short
            const uint32_t n = rng.below(uint32_t(b.size()));
            b.resize(n);
            what += " cut=" + std::to_string(n);
            break;
        }
        default: {  // random bytes, most often in the headers
            const uint32_t n = 1 + rng.below(8);
            for (uint32_t i = 0; i < n && !b.empty(); ++i) {
                const uint32_t at = rng.below(rng.below(2) ? 64 : uint32_t(b.size())) % uint32_t(b.size());
                b[at] = uint8_t(rng.next());
                what += " byte@" + std::to_string(at);
            }
            break;
        }
    }
}

// Mutations of the click file, the same ones on every run: chunk sizes,
// format fields, truncation and random bytes, one or two at a time. Each
// file gets two clicks under the real module. None may hang the click,
// lose its key event, crash the process or leave memory held; the counts
// of files played, left silent by DirectSound and refused by the module
// are printed.
TEST_F(LumivaneSoundFiles, FuzzOfMutatedClickFiles) {
    const int files = roundsFromEnv("GAUGE_FUZZ_FILES", kFuzzFilesInTest);
    Simulator sim;
    ASSERT_TRUE(sim.ready());
    const std::vector<Base> bases = fuzzBases();
    Rng rng{kFuzzSeed};
    int counts[3] = {0, 0, 0};
    int problems = 0;
    double slowest = 0;
    const DWORD start = GetTickCount();
    for (int i = 0; i < files; ++i) {
        const Base& base = bases[rng.below(uint32_t(bases.size()))];
        wave::Bytes bytes = base.bytes;
        std::string what = "file " + std::to_string(i) + ": " + base.name;
        const int mutations = rng.below(4) == 0 ? 2 : 1;
        for (int k = 0; k < mutations; ++k) mutateOnce(rng, base, bytes, what);

        const Result r = playFile(sim, bytes, what);
        ASSERT_EQ(r.failure, "") << what;
        ++counts[int(r.outcome)];
        if (r.slowestMs > slowest) slowest = r.slowestMs;
        const bool fine = r.eventsSent && r.returnedZero && r.secondAsFirst && r.extraSize == 0 &&
                          r.blocksAfterClick == 1 && r.blocksAfterKill == 0;
        if (!fine && ++problems <= 10) {
            ADD_FAILURE() << what << ": events sent " << r.eventsSent << ", returned 0 " << r.returnedZero
                          << ", second click as the first " << r.secondAsFirst << ", extra size " << r.extraSize
                          << ", blocks held after the click " << r.blocksAfterClick << " and after kill "
                          << r.blocksAfterKill;
        }
    }
    std::printf("[ fuzz     ] %d files (seed 0x%llX): %d played, %d silent, %d refused; 0 hangs, 0 crashes; "
                "slowest click %.0f ms; %lu ms in all\n",
                files, static_cast<unsigned long long>(kFuzzSeed), counts[int(Outcome::Played)],
                counts[int(Outcome::Silent)], counts[int(Outcome::Refused)], slowest,
                static_cast<unsigned long>(GetTickCount() - start));
    EXPECT_EQ(problems, 0);
    // The mutations reach both ends: files that still play, files refused.
    EXPECT_GT(counts[int(Outcome::Played)], files / 10);
    EXPECT_GT(counts[int(Outcome::Refused)], files / 10);
}

}  // namespace
