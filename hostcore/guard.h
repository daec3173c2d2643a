// Calling into module code safely: on a stack of its own, apart from the
// host's (a routine that writes above its frame reaches a guard, never the
// host's frames), with the stack pointer and the callee-saved registers
// restored afterwards (a routine that removes the wrong number of arguments
// or clobbers ebx, esi, edi or ebp cannot unbalance the host; what it did is
// noted as a breach), faults inside the module turned into a ModuleError,
// and a watchdog that ends the process with a clear message when module
// code does not return.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace gaugehost {

class ModuleImage;

struct CallResult {
    uint32_t eax = 0;
    double st0 = 0;
};

// A break of the calling convention seen after a call returned: the stack
// left unbalanced (by `stackSkew` bytes, positive when the routine removed
// too few) or callee-saved registers changed (their names).
struct CallBreach {
    int32_t stackSkew = 0;
    std::string registers;   // "esi, edi", empty when all were kept
    bool any() const { return stackSkew != 0 || !registers.empty(); }
    std::string describe() const;
};

// Installs the exception handlers, the watchdog (seconds per call) and the
// module's stack; throws HostFault when the stack cannot be reserved.
void installGuards(const ModuleImage* module, unsigned timeoutSeconds);

// Calls `fn` (__stdcall) with 32-bit arguments; `what` names the call in
// error messages. Throws ModuleError on a fault, on a service failure raised
// with abortModuleCall, on a call to an unknown service, or when the routine
// wrote above its stack frame (the message names it so). `breach`, when
// given, receives what the call did to the calling convention.
CallResult guardedCall(const std::string& what, uint32_t fn, std::initializer_list<uint32_t> args,
                       bool returnsDouble = false, CallBreach* breach = nullptr);

// What the platform delivered with the fault of the last guarded call: the
// access address, where it told one (nothing when the call did not fault).
struct FaultInfo {
    bool addressKnown = false;
    uint32_t address = 0;
    bool write = false;   // a write, where the address is known
};
const FaultInfo& lastFault();

// Whether the last guarded call ended in a fault of module code (the
// process may be damaged: a batch worker starts afresh after one).
bool moduleFaulted();

// Puts a stretch of host work that runs module code outside guardedCall
// (loading the library runs its entry point) under the watchdog.
void watchBegin(const std::string& what);
void watchEnd();

// From a service called by module code: abandons the running module call
// with `message` (never returns).
[[noreturn]] void abortModuleCall(const std::string& message);

// Flushes output and ends the process at once with `code`, without running
// the module's detach code.
[[noreturn]] void quit(int code);

}  // namespace gaugehost
