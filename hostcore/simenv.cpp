#include "simenv.h"

#include "module_image.h"
#include "records.h"
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
        if (d == "dsound.dll") return true;
    }
    return false;
}

namespace {
const char kKey[] = "SOFTWARE\\Microsoft\\Microsoft Games\\Flight Simulator\\7.0";

LRESULT CALLBACK windowProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) { return DefWindowProcA(w, msg, wp, lp); }

bool readValue(HKEY key, const char* name, std::string& out) {
    char buf[1024];
    DWORD size = sizeof buf - 1, type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS) return false;
    out.assign(buf, size && buf[size - 1] == 0 ? size - 1 : size);
    return true;
}

void put16(std::string& s, uint16_t v) { s += char(v & 0xFF); s += char(v >> 8); }
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
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof temp, temp);
    folder_ = std::string(temp) + "gaugehost-sim";
    CreateDirectoryA(folder_.c_str(), nullptr);
    const std::string sound = folder_ + "\\Sound";
    CreateDirectoryA(sound.c_str(), nullptr);
    const std::string wav = sound + "\\kolt_toggle_light.wav";
    const std::string bytes = clickWave();
    if (FILE* f = std::fopen(wav.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }

    WNDCLASSA wc = {};
    wc.lpfnWndProc = windowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "FS98MAIN";
    RegisterClassA(&wc);
    window_ = CreateWindowA("FS98MAIN", "gaugehost", WS_OVERLAPPEDWINDOW, 0, 0, 320, 240, nullptr, nullptr,
                            wc.hInstance, nullptr);

    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, &disposition) ==
        ERROR_SUCCESS) {
        createdKey_ = disposition == REG_CREATED_NEW_KEY;
        hadPath_ = readValue(key, "path", oldPath_);
        hadPlayer_ = readValue(key, "PlayerName", oldPlayer_);
        const char player[] = "gaugehost";
        RegSetValueExA(key, "PlayerName", 0, REG_SZ, reinterpret_cast<const BYTE*>(player), sizeof player);
        RegSetValueExA(key, "path", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder_.c_str()), DWORD(folder_.size() + 1));
        RegCloseKey(key);
    }
    if (log) {
        std::printf("    simulator stand-in: window FS98MAIN %s, registry path = %s, %s (%u bytes)\n",
                    window_ ? "created" : "NOT created", folder_.c_str(), wav.c_str(), unsigned(bytes.size()));
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
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | KEY_WRITE, &key) == ERROR_SUCCESS) {
        if (hadPath_)
            RegSetValueExA(key, "path", 0, REG_SZ, reinterpret_cast<const BYTE*>(oldPath_.c_str()), DWORD(oldPath_.size() + 1));
        else
            RegDeleteValueA(key, "path");
        if (hadPlayer_)
            RegSetValueExA(key, "PlayerName", 0, REG_SZ, reinterpret_cast<const BYTE*>(oldPlayer_.c_str()),
                           DWORD(oldPlayer_.size() + 1));
        else
            RegDeleteValueA(key, "PlayerName");
        RegCloseKey(key);
    }
    if (createdKey_) RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
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

void SimulatorStandIn::watchSound(const ModuleImage& m, std::function<void(const std::string&)> log) {
    // A module loaded before may have taken DirectSound with it: learn the
    // method tables afresh.
    gDeviceVtbl = nullptr;
    gBufferVtbl = nullptr;
    HMODULE ds = GetModuleHandleA("dsound.dll");
    if (!ds) return;
    gRealCreate = reinterpret_cast<CreateFn>(reinterpret_cast<void*>(GetProcAddress(ds, MAKEINTRESOURCEA(1))));
    if (!gRealCreate) return;
    gSoundLog = std::move(log);
    // The module's import address table: replace the slot that holds
    // DirectSoundCreate.
    const uint32_t slot = m.importSlot(reinterpret_cast<const void*>(gRealCreate));
    if (slot == 0) return;
    DWORD old = 0;
    void* p = reinterpret_cast<void*>(uintptr_t(slot));
    if (VirtualProtect(p, 4, PAGE_READWRITE, &old)) {
        const uint32_t hook = uint32_t(uintptr_t(&hostDirectSoundCreate));
        std::memcpy(p, &hook, 4);
        VirtualProtect(p, 4, old, &old);
    }
}

}  // namespace gaugehost
