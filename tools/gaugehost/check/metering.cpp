#include "check/metering.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <vector>

namespace gaugehost {

namespace {

// Private bytes as Windows counts them; where the system gives none (Wine),
// the committed private memory of the address space.
double privateBytes(std::string& how) {
    typedef BOOL(WINAPI * Pmi)(HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD);
    static Pmi pmi = reinterpret_cast<Pmi>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "K32GetProcessMemoryInfo")));
    PROCESS_MEMORY_COUNTERS_EX pm = {};
    pm.cb = sizeof pm;
    if (pmi && pmi(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pm), sizeof pm) && pm.PrivateUsage) {
        how = "GetProcessMemoryInfo";
        return double(pm.PrivateUsage);
    }
    how = "committed private memory";
    double sum = 0;
    MEMORY_BASIC_INFORMATION m;
    for (uintptr_t a = 0; VirtualQuery(reinterpret_cast<void*>(a), &m, sizeof m);) {
        if (m.State == MEM_COMMIT && m.Type == MEM_PRIVATE) sum += double(m.RegionSize);
        const uintptr_t next = uintptr_t(m.BaseAddress) + m.RegionSize;
        if (next <= a) break;
        a = next;
    }
    return sum;
}

// Open handles: GetProcessHandleCount, or the system's handle list where
// that gives nothing (Wine).
long handleCount() {
    DWORD n = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &n) && n) return long(n);
    typedef LONG(WINAPI * Nqsi)(ULONG, void*, ULONG, ULONG*);
    static Nqsi q = reinterpret_cast<Nqsi>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!q) return -1;
    struct Entry {
        USHORT pid, backtrace;
        UCHAR type, flags;
        USHORT handle;
        void* object;
        ULONG access;
    };
    std::vector<char> buf(1 << 20);
    for (int i = 0; i < 4; ++i) {
        ULONG len = 0;
        const LONG status = q(16 /* SystemHandleInformation */, buf.data(), ULONG(buf.size()), &len);
        if (status == 0) {
            const ULONG count = *reinterpret_cast<ULONG*>(buf.data());
            const Entry* e = reinterpret_cast<const Entry*>(buf.data() + sizeof(ULONG_PTR));
            const USHORT me = USHORT(GetCurrentProcessId());
            long mine = 0;
            for (ULONG k = 0; k < count && sizeof(ULONG_PTR) + (k + 1) * sizeof(Entry) <= buf.size(); ++k) mine += e[k].pid == me;
            return mine;
        }
        buf.resize(std::max<size_t>(buf.size() * 2, len + 4096));
    }
    return -1;
}

// GDI objects: GetGuiResources, or (where it is not implemented: Wine)
// the GDI handles that resolve.
long gdiCount() {
    SetLastError(0);
    const DWORD n = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (n || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return long(n);
    long count = 0;
    for (uintptr_t i = 1; i < 0x10000; ++i) count += GetObjectType(reinterpret_cast<HGDIOBJ>(i)) != 0;
    return count;
}

}  // namespace

Usage usage(std::string& how) {
    Usage u;
    u.privateBytes = privateBytes(how);
    u.handles = handleCount();
    u.gdi = gdiCount();
    return u;
}

}  // namespace gaugehost
