#include "simenv.h"

#include <windows.h>

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace gh {

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
void put32(std::string& s, uint32_t v) { put16(s, uint16_t(v)); put16(s, uint16_t(v >> 16)); }
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
    std::string w = "RIFF";
    put32(w, uint32_t(4 + 8 + 18 + 8 + data.size()));
    w += "WAVEfmt ";
    put32(w, 18);
    put16(w, 1);            // PCM
    put16(w, 1);            // mono
    put32(w, rate);
    put32(w, rate * 2);
    put16(w, 2);
    put16(w, 16);
    put16(w, 0);            // extra size
    w += "data";
    put32(w, uint32_t(data.size()));
    return w + data;
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

}  // namespace gh
