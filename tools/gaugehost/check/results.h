// A check's result, in every form the check command gives it: the worker's
// line of JSON, the line a person reads, the counts of the summary, and
// JUnit XML.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace gaugehost {

// The worker's lines on standard output: a finding as the check makes it,
// and the check's result, each followed by JSON on one line.
constexpr char kFindingMark[] = "@@check-finding ";
constexpr char kResultMark[] = "@@check ";

struct Result {
    std::string module, name, status;   // status: "ok", "warn" or "FAIL"
    int level = 0;
    double seconds = 0;
    std::vector<std::string> failures, warnings, notes;

    // The line's reason: the first failure, else the first warning.
    std::string reason() const;
};

// A check's result as JSON (the worker's "@@check" line and --json), and back.
nlohmann::json toJson(const Result& r);
Result fromJson(const nlohmann::json& j);

// "ok    file              0.03 s  reason", then the notes, indented.
std::string textLine(const Result& r);

struct Counts {
    int passed = 0, failed = 0, warnings = 0;
    void add(const Result& r);
    std::string text() const;   // "N passed, N failed, N warnings"
};

// The results as JUnit XML: a test suite per module, a test case per check.
std::string junit(const std::vector<std::string>& modules, const std::vector<Result>& results, double seconds);

}  // namespace gaugehost
