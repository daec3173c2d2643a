// The command line of gaugehost: one table of commands and one of options
// give both the parser and the usage text. The parser and the tables are
// pure C++ (the native tests run them); reading the process's own command
// line and expanding wildcards are the Windows part (cli_windows.cpp).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "hostcore/errors.h"

namespace gaugehost {

// A mistake in the command line (exit 1).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The commands, as bits: an option row names the commands that take it.
// `render --panel` is a command of its own (render with --panel given).
enum Command : unsigned {
    kInspect = 1u << 0,
    kRender = 1u << 1,
    kRenderPanel = 1u << 2,
    kRun = 1u << 3,
    kCheck = 1u << 4,
    kBatch = 1u << 5,
    kSession = 1u << 6,
    kServe = 1u << 7,
    kHelp = 1u << 8,
    kAnyCommand = (1u << 9) - 1,
};

// The options of one command line. Options are made by parseOptions only:
// the fields that have a default in the option table get it from there.
struct Options {
    std::string command, module, scenario, out, list;
    unsigned commandBit = 0;   // the Command
    bool json = false, run = true, log = false;
    int frames = 0, scale = 0;
    unsigned timeout = 0;
    // check: every module named (module is the first), the level, the
    // checks asked for (empty: all of the level), the seed of the random
    // values, and where JUnit XML goes. serve: the modules named.
    std::vector<std::string> modules;
    int level = 0;
    std::vector<std::string> only;
    uint32_t seed = 0;
    std::string junit;
    bool listChecks = false;   // check --list: every check, its level, what it proves, its budget
    std::string worker;   // in the worker: the supervisor's shared state
    int from = 0;         // in a batch worker: the first job to run
    std::vector<std::pair<uint32_t, double>> sets;
    // serve and render --panel: the panel file, the folders its modules are
    // looked for in after its own (empty: the default, see the --gauges
    // row), where serve listens, its frame rate, the panel window shown
    // (empty: the main window), and whether the panel reader is strict.
    std::string panel;
    std::vector<std::string> gauges;
    int port = 0;
    std::string host;
    double rate = 0;
    std::string window;
    bool strict = false;
    // --help, -h, /? or the help command: the usage is asked for, of the
    // command named in `helpTopic` (empty: of every command).
    bool help = false;
    std::string helpTopic;
};

// A row of the command table. `least` and `most` count the operands after
// the command word (most -1: any number); the first `modules` of them (-1:
// all) are modules, whose wildcards are expanded on Windows.
struct CommandRow {
    Command id;
    const char* name;       // the word on the command line
    const char* operands;   // as the usage shows them ("MODULE.gau SCENARIO")
    int least, most, modules;
    const char* summary;    // one line
};

// A row of the option table.
//   names      the option's spellings, '|' between aliases ("--help|-h|/?")
//   value      the value's name in the usage ("N"), or nullptr for a flag
//   commands   the commands that take it (Command bits); any other refuses it
//   required   the commands that cannot do without it
//   repeatable whether it may be given more than once (else: a usage error)
//   lo, hi     the range of a number (both 0: not a number)
//   fallback   the default, as text: read by `take` before the command line
//              is, and shown in the usage (nullptr: none, or said in help)
//   help       one line for the usage (nullptr: internal, not shown)
//   take       stores the value (text) in the options; throws UsageError
struct OptionRow {
    const char* names;
    const char* value;
    unsigned commands, required;
    bool repeatable;
    int64_t lo, hi;
    const char* fallback;
    const char* help;
    void (*take)(Options& o, const OptionRow& row, const std::string& text);
};

const std::vector<CommandRow>& commandTable();
const std::vector<OptionRow>& optionTable();

constexpr int kMaxFrames = 100000;

// Parses arguments (UTF-8), checking each against the tables: an option the
// command does not take, a number out of its range, a missing operand.
// Throws UsageError (with an empty text when there are no arguments at all).
Options parseOptions(const std::vector<std::string>& args);

// The usage: of every command (topic empty), or of one command (its name;
// "render" shows both of its forms). Throws UsageError for an unknown topic.
std::string usageText(const std::string& topic = "");

// The number grammar of numbers.h, throwing UsageError naming `what`.
int64_t parseWhole(const std::string& s, int64_t lo, int64_t hi, const std::string& what);
double parseReal(const std::string& s, const std::string& what);

// The exit statuses from the gravest: a batch exits with the gravest of its
// jobs' statuses. Module code that took its worker down or hung it comes
// first, as it can hide whatever else is wrong; then a module that
// misbehaves; then a job that could not run at all (its files, its command
// line); last an expectation that did not hold.
inline constexpr int kGravity[] = {kExitFault, kExitHang, kExitModule, kExitInput, kExitUsage, kExitExpectation, kExitOk};

// ---- Windows (cli_windows.cpp) -----------------------------------------------------

// The process's arguments, as UTF-8, from the wide command line.
std::vector<std::string> commandLineArguments();
// A command line split as Windows splits one (for batch lists).
std::vector<std::string> splitCommandLine(const std::string& line);
// Expands the wildcards (* and ?) of the module operands in `o`, quoted or
// not (a Windows file name cannot hold either): each such operand becomes
// the files of its folder whose names match, sorted. Throws InputError for
// a pattern that matches no file, UsageError for one that matches several
// where the command takes one module, or that has wildcards in its folder.
void expandModules(Options& o);

}  // namespace gaugehost
