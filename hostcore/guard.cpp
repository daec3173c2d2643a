#include "guard.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "errors.h"
#include "module_image.h"
#include "text.h"
#include "worker_link.h"

namespace gaugehost {

// The thunk's state: registers as it saw them just before and just after
// the call (esp, ebx, esi, edi, ebp), the host's stack pointer, and the
// thread's stack fields (exception list, stack base, stack limit and the
// stack's allocation: fs:0, fs:4, fs:8 and fs:0xE0C) for the host and for
// the module's stack.
extern "C" {
uint32_t ghSavedEsp;
uint32_t ghBefore[5];
uint32_t ghAfter[5];
uint32_t ghTarget;        // the routine called
uint32_t ghModuleTop;     // where the module's stack starts: its arguments end here
uint32_t ghModuleEbp;     // the frame pointer it is handed: an empty frame record
uint32_t ghHostTeb[4];
uint32_t ghModuleTeb[4];
int __cdecl ghCallRaw(uint32_t fn, const uint32_t* args, int count, uint32_t* out, int returnsDouble);
}

// Switches to the module's stack (esp and the thread's stack fields), pushes
// the arguments right to left there, hands the callee-saved registers known
// values, calls, notes the registers the callee must keep, then switches
// back to the host's stack and restores its frame from what was saved,
// whatever the callee did to them. Nothing of the host's own stack lies
// within the module's reach.
__asm__(R"(
    .macro ghTebToModule field, saved
    movl  %fs:\field, %ecx
    movl  %ecx, _ghHostTeb+\saved
    movl  _ghModuleTeb+\saved, %ecx
    movl  %ecx, %fs:\field
    .endm
    .macro ghTebToHost field, saved
    movl  _ghHostTeb+\saved, %ecx
    movl  %ecx, %fs:\field
    .endm
    .text
    .globl _ghCallRaw
_ghCallRaw:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl  %esp, _ghSavedEsp
    movl  8(%ebp), %eax
    movl  %eax, _ghTarget
    ghTebToModule 0, 0
    ghTebToModule 4, 4
    ghTebToModule 8, 8
    ghTebToModule 0xE0C, 12
    movl  12(%ebp), %esi
    movl  16(%ebp), %ecx
    movl  _ghModuleTop, %esp
1:  testl %ecx, %ecx
    jz    2f
    decl  %ecx
    pushl (%esi,%ecx,4)
    jmp   1b
2:  movl  $0x0B0B0B0B, %ebx
    movl  $0x05050505, %esi
    movl  $0x0D0D0D0D, %edi
    movl  _ghModuleEbp, %ebp
    movl  %ebx, _ghBefore+4
    movl  %esi, _ghBefore+8
    movl  %edi, _ghBefore+12
    movl  %ebp, _ghBefore+16
    calll *_ghTarget
    movl  %esp, _ghAfter
    movl  %ebx, _ghAfter+4
    movl  %esi, _ghAfter+8
    movl  %edi, _ghAfter+12
    movl  %ebp, _ghAfter+16
    cld
    movl  _ghSavedEsp, %esp
    ghTebToHost 0, 0
    ghTebToHost 4, 4
    ghTebToHost 8, 8
    ghTebToHost 0xE0C, 12
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
bool gFaulted = false;
FaultInfo gFault;
std::string gCallName;
std::string gAbortMessage;
char gFaultText[384];

// The host's exception list and stack fields, as the thunk saved them, put
// back after a call that was abandoned on the module's stack.
void restoreHostTeb() {
    const uint32_t offsets[4] = {0, 4, 8, 0xE0C};
    for (int i = 0; i < 4; ++i)
        __asm__ volatile("movl %0, %%fs:(%1)" : : "r"(ghHostTeb[i]), "r"(offsets[i]) : "memory");
}

// The stack module code runs on: one for the process, apart from the
// host's own. From low to high:
//   kBelow bytes of no-access space;
//   kStackBytes of stack, read-write, whose top is the frame guard: above
//     the arguments of each call, bytes of kFrameGuardByte that the call
//     must leave as they were;
//   one read-only page: the exception registration record that ends the
//     module's chain (its handler abandons the call, as the last-chance
//     filter does on the host's stack) and the empty frame record ebp
//     points at;
//   kAbove bytes of no-access space.
// A routine that writes above its own frame changes the frame guard (seen
// when it returns) or faults on the pages above it; either way the host's
// own stack, on which its frames and saved registers lie, is out of reach.
class ModuleStack {
public:
    static constexpr uint32_t kPage = 4096, kBelow = 64 << 10, kStackBytes = 1 << 20, kAbove = 64 << 10;
    static constexpr uint32_t kFrameGuard = 256;   // bytes at least above the arguments
    static constexpr uint8_t kFrameGuardByte = 0xA5;

    bool ready() const { return low_ != 0; }
    void create(EXCEPTION_DISPOSITION(__cdecl* handler)(EXCEPTION_RECORD*, void*, CONTEXT*, void*)) {
        const uint32_t size = kBelow + kStackBytes + kPage + kAbove;
        void* p = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
        const uint32_t low = uint32_t(uintptr_t(p));
        void* stack = p ? VirtualAlloc(reinterpret_cast<void*>(uintptr_t(low + kBelow)), kStackBytes + kPage, MEM_COMMIT,
                                       PAGE_READWRITE)
                        : nullptr;
        DWORD old = 0;
        uint32_t* seal = reinterpret_cast<uint32_t*>(uintptr_t(low + kBelow + kStackBytes));
        if (stack) {
            seal[0] = 0xFFFFFFFFu;                        // the end of the chain
            seal[1] = uint32_t(uintptr_t(handler));
            seal[2] = seal[3] = 0;                        // an empty frame: no caller, no return address
        }
        if (!stack || !VirtualProtect(seal, kPage, PAGE_READONLY, &old)) {
            const DWORD error = GetLastError();
            if (p) VirtualFree(p, 0, MEM_RELEASE);
            throw HostFault("cannot reserve a stack for module code: " + windowsError(error));
        }
        low_ = low;
        top_ = low + kBelow + kStackBytes;
        ghModuleEbp = top_ + 8;
        ghModuleTeb[0] = top_;                 // the exception list: the record above
        ghModuleTeb[1] = top_ + kPage;         // the stack base
        ghModuleTeb[2] = low + kBelow;         // the stack limit
        ghModuleTeb[3] = low;                  // the allocation
        end_ = low + size;
    }
    // Where the arguments of a call with `count` of them end (their start
    // 16-byte aligned), the frame guard filled from there to the top.
    uint32_t prepare(int count) {
        args_ = ((top_ - kFrameGuard - 4 * uint32_t(count)) & ~15u) + 4 * uint32_t(count);
        std::memset(reinterpret_cast<void*>(uintptr_t(args_)), kFrameGuardByte, top_ - args_);
        return args_;
    }
    // The first and last byte of the frame guard the call changed, counted
    // from the end of its arguments; false when it is intact.
    bool changed(uint32_t& first, uint32_t& last) const {
        const uint8_t* g = reinterpret_cast<const uint8_t*>(uintptr_t(args_));
        const uint32_t n = top_ - args_;
        uint32_t i = 0;
        while (i < n && g[i] == kFrameGuardByte) ++i;
        if (i == n) return false;
        first = last = i;
        for (uint32_t j = i; j < n; ++j)
            if (g[j] != kFrameGuardByte) last = j;
        return true;
    }
    // Whether an address lies above the last call's arguments, within the
    // stack's reservation.
    bool above(uint32_t a) const { return a >= args_ && a < end_; }

private:
    uint32_t low_ = 0, top_ = 0, end_ = 0, args_ = 0;
};

ModuleStack gStack;

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
        gFault.write = kind == 1;
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

// The end of the exception chain on the module's stack: what no handler of
// module code or of a system library took abandons the call. (The host's
// last-chance filter lies on the host's stack, out of the chain's reach.)
EXCEPTION_DISPOSITION __cdecl moduleStackHandler(EXCEPTION_RECORD* record, void*, CONTEXT* context, void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    if (!gInCall || GetCurrentThreadId() != gMainThread) return ExceptionContinueSearch;
    EXCEPTION_POINTERS e = {record, context};
    describe(&e);
    gAbortMessage.clear();
    __builtin_longjmp(gJump, 1);
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
    gStack.create(moduleStackHandler);
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
    if (!gStack.ready()) throw HostFault(what + ": module code called before the guards were installed");
    uint32_t a[8] = {};
    int n = 0;
    for (uint32_t v : args) a[n++] = v;
    static uint32_t out[4];
    std::memset(out, 0, sizeof out);
    gCallName = what;
    prepareWatchMessage();
    gFaultText[0] = 0;
    gFault = FaultInfo{};
    ghModuleTop = gStack.prepare(n);
    uint32_t first = 0, last = 0;
    // What the call did above its frame, named.
    auto above = [&] {
        return what + " wrote above its stack frame into the host's stack (bytes +" + std::to_string(first) + " to +" +
               std::to_string(last) + " above its arguments)";
    };
    if (__builtin_setjmp(gJump) == 0) {
        gDeadline = GetTickCount() + gTimeout * 1000;
        heartbeat();
        gInCall = true;
        ghCallRaw(fn, a, n, out, returnsDouble ? 1 : 0);
        gInCall = false;
        heartbeat();
    } else {
        gInCall = false;
        restoreHostTeb();
        __asm__ volatile("fninit\n\tcld");
        const bool fault = gAbortMessage.empty();
        if (fault) gFaulted = true;
        const std::string msg = fault ? "module code faulted: " + std::string(gFaultText) : gAbortMessage;
        gAbortMessage.clear();
        // The guard tells a write above the frame whatever exception the
        // platform delivered for the page above it; so does the access
        // address where the platform gives one.
        if (gStack.changed(first, last))
            throw ModuleError(above() + (fault ? ", and faulted: " : ", and then: ") + msg);
        if (fault && gFault.addressKnown && gFault.write && gStack.above(gFault.address))
            throw ModuleError(what + " wrote above its stack frame into the host's stack, and faulted: " + msg);
        throw ModuleError(what + ": " + msg);
    }
    if (gStack.changed(first, last)) throw ModuleError(above());
    if (breach) {
        *breach = CallBreach{};
        breach->stackSkew = int32_t(ghModuleTop - ghAfter[0]);
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
