#include "guard.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "module_image.h"
#include "worker_link.h"

namespace gaugehost {

// Registers as the thunk saw them just before and just after the call:
// esp, ebx, esi, edi, ebp.
extern "C" {
uint32_t ghSavedEsp;
uint32_t ghBefore[5];
uint32_t ghAfter[5];
int __cdecl ghCallRaw(uint32_t fn, const uint32_t* args, int count, uint32_t* out, int returnsDouble);
}

// Pushes the arguments right to left, calls, notes the registers the callee
// must keep, then restores the stack pointer and frame from what was saved,
// whatever the callee did to them.
__asm__(R"(
    .text
    .globl _ghCallRaw
_ghCallRaw:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl  %esp, _ghSavedEsp
    movl  12(%ebp), %esi
    movl  16(%ebp), %ecx
1:  testl %ecx, %ecx
    jz    2f
    decl  %ecx
    pushl (%esi,%ecx,4)
    jmp   1b
2:  movl  %ebx, _ghBefore+4
    movl  %esi, _ghBefore+8
    movl  %edi, _ghBefore+12
    movl  %ebp, _ghBefore+16
    calll *8(%ebp)
    movl  %esp, _ghAfter
    movl  %ebx, _ghAfter+4
    movl  %esi, _ghAfter+8
    movl  %edi, _ghAfter+12
    movl  %ebp, _ghAfter+16
    cld
    movl  _ghSavedEsp, %esp
    leal  12(%esp), %ebp
    movl  20(%ebp), %edi
    movl  %eax, 0(%edi)
    movl  %edx, 4(%edi)
    cmpl  $0, 24(%ebp)
    je    3f
    fstpl 8(%edi)
3:  fnclex
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
)");

std::string CallBreach::describe() const {
    std::string s;
    if (stackSkew > 0)
        s = "left " + std::to_string(stackSkew) + " bytes of its arguments on the caller's stack";
    else if (stackSkew < 0)
        s = "removed " + std::to_string(-stackSkew) + " bytes more than its arguments from the caller's stack";
    if (!registers.empty()) s += (s.empty() ? "" : " and ") + std::string("changed callee-saved ") + registers;
    return s;
}

namespace {

const ModuleImage* gModule = nullptr;
void* gJump[5];
volatile bool gInCall = false;
volatile bool gWatching = false;
volatile DWORD gDeadline = 0;
DWORD gMainThread = 0;
unsigned gTimeout = 10;
uint32_t gSavedFs0 = 0;
bool gFaulted = false;
FaultInfo gFault;
std::string gCallName;
std::string gAbortMessage;
char gFaultText[384];

uint32_t readFs0() {
    uint32_t v;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(v));
    return v;
}
void writeFs0(uint32_t v) { __asm__ volatile("movl %0, %%fs:0" : : "r"(v) : "memory"); }

bool fatal(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION: case EXCEPTION_ILLEGAL_INSTRUCTION: case EXCEPTION_PRIV_INSTRUCTION:
        case EXCEPTION_INT_DIVIDE_BY_ZERO: case EXCEPTION_INT_OVERFLOW: case EXCEPTION_STACK_OVERFLOW:
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: case EXCEPTION_BREAKPOINT: case EXCEPTION_SINGLE_STEP:
        case EXCEPTION_DATATYPE_MISALIGNMENT: case EXCEPTION_IN_PAGE_ERROR: case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INVALID_OPERATION: case EXCEPTION_FLT_OVERFLOW: case EXCEPTION_FLT_UNDERFLOW:
        case EXCEPTION_FLT_STACK_CHECK: case EXCEPTION_FLT_DENORMAL_OPERAND: case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_NONCONTINUABLE_EXCEPTION: case EXCEPTION_INVALID_DISPOSITION:
            return true;
        default:
            return false;
    }
}

bool inSomeModule(uint32_t eip, char* name = nullptr, DWORD size = 0) {
    HMODULE h = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(uintptr_t(eip)), &h) ||
        h == nullptr)
        return false;
    if (name && size) {
        char full[MAX_PATH] = {};
        GetModuleFileNameA(h, full, sizeof full - 1);
        const char* base = std::strrchr(full, '\\');
        std::snprintf(name, size, "%s", base ? base + 1 : full);
    }
    return true;
}

// What the platform told about the fault. An access violation comes with
// its kind and address; where the platform delivers a write fault as some
// other exception (under emulation it may arrive as an illegal instruction
// with no parameters) the text says the address is not known here rather
// than guess.
void describe(EXCEPTION_POINTERS* e) {
    const uint32_t eip = e->ContextRecord->Eip;
    const DWORD code = e->ExceptionRecord->ExceptionCode;
    char where[160];
    char dll[96] = {};
    if (gModule && gModule->contains(eip))
        std::snprintf(where, sizeof where, "module offset 0x%X", unsigned(eip - gModule->base()));
    else if (inSomeModule(eip, dll, sizeof dll))
        std::snprintf(where, sizeof where, "address 0x%X in %s", unsigned(eip), dll);
    else
        std::snprintf(where, sizeof where, "address 0x%X", unsigned(eip));
    gFault = FaultInfo{};
    char detail[128] = "";
    if (code == EXCEPTION_ACCESS_VIOLATION && e->ExceptionRecord->NumberParameters >= 2) {
        gFault.addressKnown = true;
        gFault.address = uint32_t(e->ExceptionRecord->ExceptionInformation[1]);
        const ULONG_PTR kind = e->ExceptionRecord->ExceptionInformation[0];
        std::snprintf(detail, sizeof detail, " %s 0x%X", kind == 1 ? "writing" : kind == 8 ? "executing" : "reading",
                      unsigned(e->ExceptionRecord->ExceptionInformation[1]));
    } else if (code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_ILLEGAL_INSTRUCTION ||
               code == EXCEPTION_PRIV_INSTRUCTION) {
        std::snprintf(detail, sizeof detail, " (access address not known here)");
    }
    std::snprintf(gFaultText, sizeof gFaultText, "exception 0x%08lX at %s%s", static_cast<unsigned long>(code), where,
                  detail);
}

// First chance: a fault of the main thread in the module's own code, or at
// an address that belongs to no module (a jump into garbage), abandons the
// call. Faults in system libraries are left to their own handlers first,
// and faults of other threads to the last-chance filter.
LONG CALLBACK vectoredHandler(EXCEPTION_POINTERS* e) {
    if (!gInCall || !fatal(e->ExceptionRecord->ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
    if (GetCurrentThreadId() != gMainThread) return EXCEPTION_CONTINUE_SEARCH;
    const uint32_t eip = e->ContextRecord->Eip;
    const bool inModule = gModule && gModule->contains(eip);
    if (!inModule && inSomeModule(eip)) return EXCEPTION_CONTINUE_SEARCH;
    describe(e);
    gAbortMessage.clear();
    __builtin_longjmp(gJump, 1);
}

// Last chance: nobody handled it. Only the main thread's own call may be
// abandoned; a fault in a thread the module or a system library started
// (a sound mixer, say) ends the process, naming the thread.
LONG CALLBACK unhandledFilter(EXCEPTION_POINTERS* e) {
    describe(e);
    const DWORD thread = GetCurrentThreadId();
    if (gInCall && thread == gMainThread) {
        gAbortMessage.clear();
        __builtin_longjmp(gJump, 1);
    }
    markReported();
    if (thread != gMainThread)
        std::fprintf(stderr, "gaugehost: error: thread %lu of the module's process (not the host's own) faulted%s%s: %s\n",
                     static_cast<unsigned long>(thread), gInCall || gWatching ? " during " : "",
                     gInCall || gWatching ? gCallName.c_str() : "", gFaultText);
    else if (gWatching)
        std::fprintf(stderr, "gaugehost: error: %s: module code faulted: %s\n", gCallName.c_str(), gFaultText);
    else
        std::fprintf(stderr, "gaugehost: error: unexpected %s\n", gFaultText);
    quit(3);
}

// The message is prepared by the main thread whenever a watch begins, so
// that the watchdog itself takes no lock of the C runtime or the heap: the
// code it stops may hold them.
char gWatchMessage[512];

void prepareWatchMessage() {
    std::snprintf(gWatchMessage, sizeof gWatchMessage,
                  "gaugehost: error: %s did not return within %u s (module code hangs)\n", gCallName.c_str(), gTimeout);
}

DWORD WINAPI watchdog(void*) {
    for (;;) {
        Sleep(100);
        if ((gInCall || gWatching) && int32_t(GetTickCount() - gDeadline) > 0) {
            leaveMessage(gWatchMessage[0] ? gWatchMessage : "gaugehost: error: module code hangs\n");
            finishWorker(4);
            TerminateProcess(GetCurrentProcess(), 4);
        }
    }
}

const char* const kSavedNames[5] = {"esp", "ebx", "esi", "edi", "ebp"};

}  // namespace

void installGuards(const ModuleImage* module, unsigned timeoutSeconds) {
    gModule = module;
    if (timeoutSeconds) gTimeout = timeoutSeconds;
    static bool once = false;
    if (once) return;
    once = true;
    gMainThread = GetCurrentThreadId();
    AddVectoredExceptionHandler(1, vectoredHandler);
    SetUnhandledExceptionFilter(unhandledFilter);
    CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr);
}

bool moduleFaulted() { return gFaulted; }

const FaultInfo& lastFault() { return gFault; }

CallResult guardedCall(const std::string& what, uint32_t fn, std::initializer_list<uint32_t> args,
                       bool returnsDouble, CallBreach* breach) {
    if (gInCall) throw ModuleError(what + ": module code called back into the host while a call was running");
    uint32_t a[8] = {};
    int n = 0;
    for (uint32_t v : args) a[n++] = v;
    static uint32_t out[4];
    std::memset(out, 0, sizeof out);
    gCallName = what;
    prepareWatchMessage();
    gSavedFs0 = readFs0();
    gFaultText[0] = 0;
    if (__builtin_setjmp(gJump) == 0) {
        gDeadline = GetTickCount() + gTimeout * 1000;
        heartbeat();
        gInCall = true;
        ghCallRaw(fn, a, n, out, returnsDouble ? 1 : 0);
        gInCall = false;
        heartbeat();
    } else {
        gInCall = false;
        writeFs0(gSavedFs0);
        __asm__ volatile("fninit\n\tcld");
        const bool fault = gAbortMessage.empty();
        if (fault) gFaulted = true;
        const std::string msg = fault ? "module code faulted: " + std::string(gFaultText) : gAbortMessage;
        gAbortMessage.clear();
        throw ModuleError(what + ": " + msg);
    }
    if (breach) {
        *breach = CallBreach{};
        breach->stackSkew = int32_t(ghSavedEsp - ghAfter[0]);
        for (int i = 1; i < 5; ++i)
            if (ghBefore[i] != ghAfter[i])
                breach->registers += (breach->registers.empty() ? "" : ", ") + std::string(kSavedNames[i]);
    }
    CallResult r;
    r.eax = out[0];
    std::memcpy(&r.st0, &out[2], 8);
    return r;
}

void watchBegin(const std::string& what) {
    gCallName = what;
    prepareWatchMessage();
    gDeadline = GetTickCount() + gTimeout * 1000;
    gWatching = true;
    heartbeat();
}

void watchEnd() {
    gWatching = false;
    heartbeat();
}

void abortModuleCall(const std::string& message) {
    if (!gInCall) {
        markReported();
        std::fprintf(stderr, "gaugehost: error: %s\n", message.c_str());
        quit(2);
    }
    gAbortMessage = message.empty() ? "aborted" : message;
    __builtin_longjmp(gJump, 1);
}

void quit(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    finishWorker(code);
    TerminateProcess(GetCurrentProcess(), UINT(code));
    ExitProcess(UINT(code));
}

}  // namespace gaugehost
