#include "worker_link.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace gaugehost {

namespace {
WorkerShared* gShared = nullptr;
}  // namespace

void attachWorker(const char* handle) {
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoul(handle, nullptr, 0)));
    gShared = static_cast<WorkerShared*>(MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, sizeof(WorkerShared)));
}

void heartbeat() {
    if (gShared) InterlockedIncrement(&gShared->beat);
}

void markReported() {
    if (gShared) gShared->reported = 1;
}

void finishWorker(int code) {
    if (!gShared) return;
    gShared->exitCode = code;
    gShared->finished = 1;
}

void leaveMessage(const char* text) {
    if (!gShared) {
        // A program of its own (the Wine tests) has no supervisor to print
        // it: standard error, through the handle, taking no runtime lock.
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, DWORD(std::strlen(text)), &written, nullptr);
        return;
    }
    size_t i = 0;
    for (; text[i] && i < sizeof gShared->message - 1; ++i) gShared->message[i] = text[i];
    gShared->message[i] = 0;
}

void jobBegins(int index) {
    if (!gShared) return;
    gShared->job = index;
    heartbeat();
}

void jobEnded(int index, int code) {
    if (!gShared) return;
    gShared->jobStatuses = gShared->jobStatuses | LONG(1u << (code >= 0 && code <= 30 ? code : 31));
    gShared->jobsDone = index + 1;
    gShared->job = -1;
    heartbeat();
}

}  // namespace gaugehost
