// The command line of gaugehost: commands, options, and the exit statuses
// every command shares.
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
struct Options {
    std::string command, module, scenario, out, list;
    bool json = false, run = true, log = false;
    int frames = 1, scale = 1;
    unsigned timeout = 10;
    // check: every module named (module is the first), the level, the
    // checks asked for (empty: all of the level), the seed of the random
    // values, and where JUnit XML goes.
    std::vector<std::string> modules;
    int level = 3;
    std::vector<std::string> only;
    uint32_t seed = 1;
    std::string junit;
    bool listChecks = false;   // check --list: every check, its level, what it proves, its budget
    std::string worker;   // in the worker: the supervisor's shared state
    int from = 0;         // in a batch worker: the first job to run
    std::vector<std::pair<uint32_t, double>> sets;
};

constexpr int kMaxFrames = 100000;

// Parses arguments (UTF-8). Throws UsageError.
Options parseOptions(const std::vector<std::string>& args);
// The usage text.
const char* usageText();

// Strict numbers: decimal, or 0x hexadecimal, within [lo, hi]; no sign on
// an unsigned field, no octal, no trailing text. Throw UsageError naming
// `what` (the caller may turn it into its own kind of error).
int64_t parseInteger(const std::string& s, int64_t lo, int64_t hi, const std::string& what);
// A double, with "nan", "inf" and "-inf" allowed.
double parseReal(const std::string& s, const std::string& what);

// The process's arguments, as UTF-8, from the wide command line.
std::vector<std::string> commandLineArguments();
// A command line split as Windows splits one (for batch lists).
std::vector<std::string> splitCommandLine(const std::string& line);

}  // namespace gaugehost
