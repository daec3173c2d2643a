#include "simenv.h"

#include "module_image.h"
#include "files.h"
#include "records.h"
#include "sim_registry.h"
#include "wave_file.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace gaugehost {

// The leading part of DSBUFFERDESC that the log reads.
struct DSBUFFERDESC_LIKE {
    DWORD size, flags, bytes;
};

bool SimulatorStandIn::wanted(const Gauge& g) {
    for (std::string d : g.importedDlls) {
        for (char& c : d) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (d == "dsound.dll" || d == "advapi32.dll") return true;
    }
    return false;
}

namespace {

LRESULT CALLBACK windowProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) { return DefWindowProcA(w, msg, wp, lp); }

void put16(std::string& s, uint16_t v) { s += char(v & 0xFF); s += char(v >> 8); }

const wchar_t kFolderName[] = L"gaugehost-sim";
const wchar_t kSoundName[] = L"kolt_toggle_light.wav";
// What the module appends to the folder it reads: "\Sound\" and the file's
// name; the whole must fit an ANSI path.
const size_t kAppended = 7 + sizeof "kolt_toggle_light.wav" - 1;

[[noreturn]] void cannotPrepare(const std::wstring& folder, const std::string& why) {
    throw HostFault("cannot prepare the simulator's sound folder " + narrow(folder) + ": " + why);
}

// The temporary folder, with its trailing backslash.
std::wstring tempFolder() {
    const DWORD n = GetTempPathW(0, nullptr);
    std::wstring t(n ? n : 1, L'\0');
    const DWORD got = n ? GetTempPathW(n, t.data()) : 0;
    if (got == 0 || got >= n) throw HostFault("cannot find the temporary folder: " + windowsError(GetLastError()));
    t.resize(got);
    return t;
}

void makeFolder(const std::wstring& root, const std::wstring& path) {
    if (CreateDirectoryW(path.c_str(), nullptr)) return;
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    cannotPrepare(root, "cannot create " + narrow(path) + ": " +
                            (error == ERROR_ALREADY_EXISTS ? "a file of that name is in the way" : windowsError(error)));
}

// Whether the file holds exactly `bytes`.
bool holds(const std::wstring& path, const std::string& bytes) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    std::string got(bytes.size() + 1, '\0');
    DWORD n = 0;
    const bool read = ReadFile(f, got.data(), DWORD(got.size()), &n, nullptr);
    CloseHandle(f);
    return read && n == bytes.size() && got.compare(0, n, bytes) == 0;
}

// The folder with its Sound folder and click; whether the click had to be
// written (another run may have put it there already).
bool prepareFolder(const std::wstring& folder, const std::string& wave) {
    makeFolder(folder, folder);
    makeFolder(folder, folder + L"\\Sound");
    const std::wstring file = folder + L"\\Sound\\" + kSoundName;
    if (holds(file, wave)) return false;
    try {
        writeFileAtomically(narrow(file), wave);
    } catch (const Error& e) {
        // Another run may have put the same bytes there meanwhile.
        if (!holds(file, wave)) cannotPrepare(folder, e.what());
    }
    return true;
}

// The name in the ANSI code page, when it has every character of it and
// the module's path below it fits.
bool ansiName(const std::wstring& w, std::string& out) {
    if (w.empty()) return false;
    const bool utf8 = GetACP() == CP_UTF8;
    BOOL lost = FALSE;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int n = WideCharToMultiByte(CP_ACP, flags, w.data(), int(w.size()), nullptr, 0, nullptr, utf8 ? nullptr : &lost);
    if (n <= 0 || lost) return false;
    out.assign(size_t(n), '\0');
    WideCharToMultiByte(CP_ACP, flags, w.data(), int(w.size()), out.data(), n, nullptr, nullptr);
    const int back = MultiByteToWideChar(CP_ACP, 0, out.data(), n, nullptr, 0);
    std::wstring again(size_t(back > 0 ? back : 0), L'\0');
    if (back > 0) MultiByteToWideChar(CP_ACP, 0, out.data(), n, again.data(), back);
    return again == w && out.size() + kAppended < MAX_PATH;
}

std::wstring shortName(const std::wstring& path) {
    const DWORD n = GetShortPathNameW(path.c_str(), nullptr, 0);
    std::wstring s(n ? n : 1, L'\0');
    const DWORD got = n ? GetShortPathNameW(path.c_str(), s.data(), n) : 0;
    if (got == 0 || got >= n) return L"";
    s.resize(got);
    return s;
}

}  // namespace

std::string clickWave() {
    const uint32_t rate = 22050, samples = rate / 25;
    std::string data;
    uint32_t seed = 12345;
    for (uint32_t i = 0; i < samples; ++i) {
        seed = seed * 1103515245u + 12345u;
        const double noise = double((seed >> 16) & 0x7FFF) / 16384.0 - 1.0;
        const double env = std::exp(-double(i) / (rate * 0.006));
        put16(data, uint16_t(int16_t(noise * env * 20000.0)));
    }
    // Mono 16-bit PCM, with the 18-byte fmt chunk (extra size 0).
    const wave::Bytes w = wave::file(wave::pcm(1, 16, rate), wave::Bytes(data.begin(), data.end()), 18);
    return std::string(w.begin(), w.end());
}

SimulatorStandIn::SimulatorStandIn(bool log) {
    // The install folder, in the temporary folder. The module reads its
    // name with ANSI calls: where the name has characters outside the ANSI
    // code page, it is given the folder's short name, or else a folder of
    // ours in the machine's common application data.
    const std::string wave = clickWave();
    std::wstring folder = tempFolder() + kFolderName;
    bool wrote = prepareFolder(folder, wave);
    std::string ansi, why;
    if (ansiName(folder, ansi)) {
        modulePath_ = folder;
    } else {
        why = narrow(folder) + " cannot be named in the ANSI code page " + std::to_string(GetACP()) +
              " within a path's length: ";
        const std::wstring brief = shortName(folder);
        wchar_t common[MAX_PATH] = {};
        const DWORD n = GetEnvironmentVariableW(L"ProgramData", common, MAX_PATH);
        if (ansiName(brief, ansi)) {
            modulePath_ = brief;
            why += "the module is given its short name";
        } else if (n > 0 && n < MAX_PATH) {
            folder = std::wstring(common) + L"\\" + kFolderName;
            wrote = prepareFolder(folder, wave);
            if (!ansiName(folder, ansi)) {
                const std::wstring alternative = shortName(folder);
                if (!ansiName(alternative, ansi))
                    cannotPrepare(folder, "neither it nor the temporary folder can be named in the ANSI code page");
                modulePath_ = alternative;
            } else {
                modulePath_ = folder;
            }
            why += "the module is given " + narrow(modulePath_) + " instead";
        } else {
            cannotPrepare(folder, "its name has characters outside the ANSI code page, and it has no short name");
        }
    }
    folder_ = narrow(modulePath_);

    WNDCLASSA wc = {};
    wc.lpfnWndProc = windowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "FS98MAIN";
    RegisterClassA(&wc);
    window_ = CreateWindowA("FS98MAIN", "gaugehost", WS_OVERLAPPEDWINDOW, 0, 0, 320, 240, nullptr, nullptr,
                            wc.hInstance, nullptr);
    if (log) {
        std::printf("    simulator stand-in: window FS98MAIN %s; %s\\Sound\\%s %s (%u bytes)\n",
                    window_ ? "created" : "NOT created", narrow(folder).c_str(), narrow(kSoundName).c_str(),
                    wrote ? "written" : "already there", unsigned(wave.size()));
        if (!why.empty()) std::printf("    simulator stand-in: %s\n", why.c_str());
        std::printf("    simulator stand-in: the module's registry reads are answered by the host: path = %s, "
                    "PlayerName = gaugehost (the registry is not written)\n",
                    folder_.c_str());
    }
}

std::shared_ptr<SimulatorStandIn> SimulatorStandIn::shared(bool log) {
    static std::weak_ptr<SimulatorStandIn> current;
    std::shared_ptr<SimulatorStandIn> s = current.lock();
    if (!s) {
        s = std::make_shared<SimulatorStandIn>(log);
        current = s;
    }
    return s;
}

SimulatorStandIn::~SimulatorStandIn() {
    if (window_) DestroyWindow(static_cast<HWND>(window_));
}

// ---- DirectSound seen from the host ------------------------------------------------

namespace {

// Slots of the DirectSound interfaces' method tables that the host routes
// through itself.
enum DeviceSlot { kDeviceCreateSoundBuffer = 3, kDeviceSetCooperativeLevel = 6, kDeviceMethods = 11 };
enum BufferSlot { kBufferGetCaps = 3, kBufferGetFormat = 5, kBufferLock = 11, kBufferPlay = 12, kBufferUnlock = 19,
                  kBufferMethods = 21 };

std::function<void(const std::string&)> gSoundLog;
void** gDeviceVtbl = nullptr;     // the original tables
void** gBufferVtbl = nullptr;
void* gDeviceHooked[kDeviceMethods];          // copies with a few entries routed here
void* gBufferHooked[kBufferMethods];
typedef HRESULT(WINAPI* CreateFn)(const GUID*, void**, void*);
CreateFn gRealCreate = nullptr;
std::function<void(const PlayedSound&)> gCapture;

// The leading fields of WAVEFORMATEX and DSBCAPS.
struct WaveFormatLike {
    WORD tag, channels;
    DWORD rate, bytesPerSecond;
    WORD blockAlign, bits, extra;
};
struct BufferCapsLike {
    DWORD size, flags, bytes, transferRate, overhead;
};

void say(const std::string& s) {
    if (gSoundLog) gSoundLog(s);
}
std::string hr(HRESULT h) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%08lX", static_cast<unsigned long>(h));
    return b;
}

// The buffer's format and samples, through its own methods (a lock of the
// whole buffer from its start, given back untouched).
bool readBuffer(void* self, PlayedSound& out) {
    typedef HRESULT(WINAPI * CapsFn)(void*, BufferCapsLike*);
    typedef HRESULT(WINAPI * FormatFn)(void*, WaveFormatLike*, DWORD, DWORD*);
    typedef HRESULT(WINAPI * LockFn)(void*, DWORD, DWORD, void**, DWORD*, void**, DWORD*, DWORD);
    typedef HRESULT(WINAPI * UnlockFn)(void*, void*, DWORD, void*, DWORD);
    BufferCapsLike caps = {sizeof caps, 0, 0, 0, 0};
    if (reinterpret_cast<CapsFn>(gBufferVtbl[kBufferGetCaps])(self, &caps) != 0) return false;
    WaveFormatLike wf = {};
    DWORD got = 0;
    if (reinterpret_cast<FormatFn>(gBufferVtbl[kBufferGetFormat])(self, &wf, sizeof wf, &got) != 0) return false;
    out.formatTag = wf.tag;
    out.channels = wf.channels;
    out.samplesPerSecond = wf.rate;
    out.blockAlign = wf.blockAlign;
    out.bitsPerSample = wf.bits;
    out.bufferBytes = caps.bytes;
    const DWORD want = std::min<DWORD>(caps.bytes, kMaxCapturedSound);
    if (want == 0) return true;
    void *p1 = nullptr, *p2 = nullptr;
    DWORD n1 = 0, n2 = 0;
    if (reinterpret_cast<LockFn>(gBufferVtbl[kBufferLock])(self, 0, want, &p1, &n1, &p2, &n2, 0) != 0) return false;
    if (p1) out.bytes.assign(static_cast<const char*>(p1), n1);
    if (p2) out.bytes.append(static_cast<const char*>(p2), n2);
    reinterpret_cast<UnlockFn>(gBufferVtbl[kBufferUnlock])(self, p1, n1, p2, n2);
    return true;
}

HRESULT WINAPI bufferPlay(void* self, DWORD r, DWORD prio, DWORD flags) {
    typedef HRESULT(WINAPI * Fn)(void*, DWORD, DWORD, DWORD);
    PlayedSound sound;
    const bool captured = gCapture && readBuffer(self, sound);
    // A captured sound plays where the capture sends it (serve's page), not here too.
    const HRESULT h = captured ? 0 : reinterpret_cast<Fn>(gBufferVtbl[kBufferPlay])(self, r, prio, flags);
    say("sound: buffer Play(flags " + std::to_string(flags) + ") -> " + hr(h));
    if (captured) gCapture(sound);
    return h;
}

HRESULT WINAPI deviceCreateBuffer(void* self, const DSBUFFERDESC_LIKE* desc, void** out, void* outer);

HRESULT WINAPI deviceCooperative(void* self, HWND w, DWORD level) {
    typedef HRESULT(WINAPI * Fn)(void*, HWND, DWORD);
    const HRESULT h = reinterpret_cast<Fn>(gDeviceVtbl[kDeviceSetCooperativeLevel])(self, w, level);
    char cls[64] = {};
    GetClassNameA(w, cls, sizeof cls - 1);
    say("sound: SetCooperativeLevel(window of class " + std::string(cls) + ", " + std::to_string(level) + ") -> " + hr(h));
    return h;
}

HRESULT WINAPI deviceCreateBuffer(void* self, const DSBUFFERDESC_LIKE* desc, void** out, void* outer) {
    typedef HRESULT(WINAPI * Fn)(void*, const void*, void**, void*);
    const HRESULT h = reinterpret_cast<Fn>(gDeviceVtbl[kDeviceCreateSoundBuffer])(self, desc, out, outer);
    std::string what = "sound: CreateSoundBuffer(";
    if (desc) what += std::to_string(desc->bytes) + " bytes";
    say(what + ") -> " + hr(h));
    if (h == 0 && out && *out) {
        void*** obj = reinterpret_cast<void***>(*out);
        if (!gBufferVtbl) {
            gBufferVtbl = *obj;
            for (int i = 0; i < kBufferMethods; ++i) gBufferHooked[i] = gBufferVtbl[i];
            gBufferHooked[kBufferPlay] = reinterpret_cast<void*>(&bufferPlay);
        }
        if (*obj == gBufferVtbl) *obj = gBufferHooked;
    }
    return h;
}

HRESULT WINAPI hostDirectSoundCreate(const GUID* guid, void** out, void* outer) {
    const HRESULT h = gRealCreate(guid, out, outer);
    say("sound: DirectSoundCreate -> " + hr(h));
    if (h == 0 && out && *out) {
        void*** obj = reinterpret_cast<void***>(*out);
        if (!gDeviceVtbl) {
            gDeviceVtbl = *obj;
            for (int i = 0; i < kDeviceMethods; ++i) gDeviceHooked[i] = gDeviceVtbl[i];
            gDeviceHooked[kDeviceCreateSoundBuffer] = reinterpret_cast<void*>(&deviceCreateBuffer);
            gDeviceHooked[kDeviceSetCooperativeLevel] = reinterpret_cast<void*>(&deviceCooperative);
        }
        if (*obj == gDeviceVtbl) *obj = gDeviceHooked;
    }
    return h;
}

}  // namespace

void captureSound(std::function<void(const PlayedSound&)> sink) { gCapture = std::move(sink); }

void SimulatorStandIn::quiet() {
    gSoundLog = nullptr;
    quietRegistry();
}

void SimulatorStandIn::watch(const ModuleImage& m, std::function<void(const std::string&)> log) {
    routeRegistry(m, SimulatorValues{modulePath_, L"gaugehost"}, log);
    // A module loaded before may have taken DirectSound with it: learn the
    // method tables afresh.
    gDeviceVtbl = nullptr;
    gBufferVtbl = nullptr;
    gSoundLog = std::move(log);
    HMODULE ds = GetModuleHandleA("dsound.dll");
    if (!ds) return;
    gRealCreate = reinterpret_cast<CreateFn>(reinterpret_cast<void*>(GetProcAddress(ds, MAKEINTRESOURCEA(1))));
    if (!gRealCreate) return;
    // The module's import address table: replace the slot that holds
    // DirectSoundCreate.
    const uint32_t slot = m.importSlot(reinterpret_cast<const void*>(gRealCreate));
    if (slot != 0) m.routeImport(slot, reinterpret_cast<const void*>(&hostDirectSoundCreate));
}

}  // namespace gaugehost
