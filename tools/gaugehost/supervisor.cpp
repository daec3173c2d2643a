#include "supervisor.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace gh {

namespace {
// Shared with the worker: progress counter, "reported" flag, a message.
constexpr DWORD kShared = 4096;
constexpr DWORD kText = 16;
volatile LONG* gBeat = nullptr;
}

void heartbeat() {
    if (gBeat) InterlockedIncrement(gBeat);
}

void markReported() {
    if (gBeat) gBeat[1] = 1;
}

void leaveMessage(const char* text) {
    if (!gBeat) return;
    char* out = reinterpret_cast<char*>(const_cast<LONG*>(gBeat)) + kText;
    DWORD i = 0;
    for (; text[i] && i < kShared - kText - 1; ++i) out[i] = text[i];
    out[i] = 0;
}

void attachHeartbeat(const char* handle) {
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoul(handle, nullptr, 0)));
    gBeat = static_cast<volatile LONG*>(MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, kShared));
}

int superviseWorker(unsigned timeout) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE map = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, kShared, nullptr);
    if (!map) {
        std::fprintf(stderr, "gaugehost: error: cannot create the worker's progress counter\n");
        return 3;
    }
    auto* beat = static_cast<volatile LONG*>(MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, kShared));
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    char handleText[32];
    std::snprintf(handleText, sizeof handleText, "0x%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(map)));
    std::string cmd = GetCommandLineA();
    cmd += " --worker ";
    cmd += handleText;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::string line = cmd;
    if (!CreateProcessA(self, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "gaugehost: error: cannot start the worker (Windows error %lu)\n", GetLastError());
        return 3;
    }
    CloseHandle(pi.hThread);
    // The worker's own watchdog ends a call that hangs after `timeout`
    // seconds; silence for longer than that means the worker lost control.
    const DWORD silence = (timeout + 5) * 1000;
    LONG last = *beat;
    DWORD lastChange = GetTickCount();
    for (;;) {
        if (WaitForSingleObject(pi.hProcess, 100) == WAIT_OBJECT_0) break;
        if (*beat != last) {
            last = *beat;
            lastChange = GetTickCount();
        } else if (GetTickCount() - lastChange > silence) {
            TerminateProcess(pi.hProcess, 4);
            WaitForSingleObject(pi.hProcess, 5000);
            std::fprintf(stderr,
                         "gaugehost: error: the module took control of the host's worker: no progress for %u s\n",
                         timeout + 5);
            return 4;
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    const char* left = reinterpret_cast<const char*>(const_cast<LONG*>(beat)) + kText;
    if (code == 4 && left[0]) {
        std::fputs(left, stderr);
        return 4;
    }
    if (code == 0 || (code <= 5 && beat[1])) return int(code);
    std::fprintf(stderr, "gaugehost: error: the module's code ended the host's worker abnormally (exit status 0x%lX)\n",
                 static_cast<unsigned long>(code));
    return 3;
}

}  // namespace gh
