// Failures of the host, typed by whose fault they are. The kind decides the
// exit status of a command, what a worker reports to its server, and what a
// caller may do next (a module that misbehaves is unloaded; the user's input
// is named back to the user; the host's own trouble ends the run).
#pragma once

#include <stdexcept>
#include <string>

namespace gaugehost {

enum class Fault {
    Input,    // the user's input: a file that is missing or malformed, an output that cannot be written
    Module,   // the module is malformed or misbehaves (the text names the record, offset or routine)
    Host,     // the host's own: something the platform refused it
};

// "input", "module" or "host": the kinds as reports and the worker protocol name them.
const char* faultName(Fault f);

class Error : public std::runtime_error {
public:
    Error(Fault fault, const std::string& what) : std::runtime_error(what), fault_(fault) {}
    Fault fault() const { return fault_; }

private:
    Fault fault_;
};

struct InputError : Error {
    explicit InputError(const std::string& what) : Error(Fault::Input, what) {}
};
struct ModuleError : Error {
    explicit ModuleError(const std::string& what) : Error(Fault::Module, what) {}
};
struct HostFault : Error {
    explicit HostFault(const std::string& what) : Error(Fault::Host, what) {}
};

// Exit statuses, shared by every command.
enum Exit : int {
    kExitOk = 0,
    kExitUsage = 1,        // the command line is wrong
    kExitModule = 2,       // the module is malformed or misbehaves
    kExitFault = 3,        // module code faulted outside a guarded call, the worker died, or the host failed
    kExitHang = 4,         // module code did not return
    kExitExpectation = 5,  // a scenario expectation failed
    kExitInput = 6,        // the user's own files: a missing module or scenario, a malformed line, an unwritable output
};

// The exit status a failure of this kind ends a command with.
int exitStatus(Fault f);

}  // namespace gaugehost
