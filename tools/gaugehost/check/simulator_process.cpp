#include "check/simulator_process.h"

#include <windows.h>

#include <cctype>

#include "hostcore/text.h"
#include "hostcore/worker_link.h"

namespace gaugehost {

namespace {

std::string lowered(std::string s) {
    for (char& ch : s) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

}  // namespace

// A DLL found in the system's folder (or an API set the system resolves).
bool systemDll(const std::string& name, std::wstring* path) {
    const std::string lower = lowered(name);
    if (lower.rfind("api-ms-win-", 0) == 0 || lower.rfind("ext-ms-", 0) == 0) {
        if (path) *path = widen(name);
        return true;
    }
    wchar_t sys[MAX_PATH] = {};
    GetSystemDirectoryW(sys, MAX_PATH);
    const std::wstring p = std::wstring(sys) + L"\\" + widen(name);
    if (path) *path = p;
    return GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The simulator's process around a module: the system libraries the module
// imports are already loaded there (the simulator uses them itself), and a
// module that plays sounds meets a DirectSound device of the simulator's
// own. Both stay for the worker's life, so that loading the module again
// and again measures the module, not the first load of a system library
// (which, under Wine, leaves handles behind on every unload of some).
void simulatorProcess(const Gauge& g) {
    bool sound = false;
    for (const std::string& dll : g.importedDlls) {
        if (!systemDll(dll, nullptr)) continue;
        HMODULE h = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, widen(dll).c_str(), &h);
        sound = sound || lowered(dll) == "dsound.dll";
    }
    // Its fonts: the first text a process draws loads them, which under
    // emulation takes seconds that belong to no module call.
    static bool fonts = false;
    if (!fonts) {
        fonts = true;
        heartbeat();
        HDC dc = CreateCompatibleDC(nullptr);
        HFONT font = CreateFontA(12, 0, 0, 0, 500, 0, 0, 0, ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                 NONANTIALIASED_QUALITY, DEFAULT_PITCH, "Arial");
        HGDIOBJ old = SelectObject(dc, font);
        RECT box = {0, 0, 8, 8};
        DrawTextA(dc, "0", 1, &box, DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
        SelectObject(dc, old);
        DeleteObject(font);
        DeleteDC(dc);
        heartbeat();
    }
    static void* device = nullptr;
    if (!sound || device) return;
    typedef HRESULT(WINAPI * Create)(const GUID*, void**, void*);
    const auto create = reinterpret_cast<Create>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"dsound.dll"), "DirectSoundCreate")));
    heartbeat();
    if (create && create(nullptr, &device, nullptr) != 0) device = nullptr;
    heartbeat();
}

}  // namespace gaugehost
