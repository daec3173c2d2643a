#include "check/framework.h"

#include <windows.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "check/results.h"
#include "check/simulator_process.h"
#include "hostcore/guard.h"
#include "hostcore/simenv.h"

namespace gaugehost {

Effort effortOf(int level) {
    switch (level) {
        case 4: return {1000, 1000, 0.0, 1000, 10.0, 0.0};
        case 5: return {5000, 5000, 60.0, 5000, 30.0, 30.0};
        default: return {200, 100, 0.0, 200, 2.0, 0.0};
    }
}

double now() {
    LARGE_INTEGER c, f;
    QueryPerformanceCounter(&c);
    QueryPerformanceFrequency(&f);
    return double(c.QuadPart) / double(f.QuadPart);
}

CheckRun::CheckRun(const Options& o, int lvl) : options(o), level(lvl), path(o.module), effort(effortOf(lvl)) {}

CheckRun::~CheckRun() = default;

namespace {

void emit(const char* kind, const std::string& text) {
    const std::string line = "\n" + std::string(kFindingMark) +
                             nlohmann::json{{kind, text}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                             "\n";
    std::fflush(stdout);
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

void CheckRun::fail(const std::string& reason) {
    failures.push_back(reason);
    emit("fail", reason);
}
void CheckRun::warn(const std::string& reason) {
    warnings.push_back(reason);
    emit("warn", reason);
}
void CheckRun::note(const std::string& line) {
    notes.push_back(line);
    emit("note", line);
}

std::unique_ptr<HostedModule> CheckRun::load(bool runEntryPoint, bool readRecords) {
    auto m = std::make_unique<HostedModule>(
        path, HostedModule::Options{.runEntryPoint = runEntryPoint, .readRecords = readRecords});
    if (runEntryPoint && readRecords) {
        simulatorProcess(m->gauge());
        if (!standIn_ && SimulatorStandIn::wanted(m->gauge())) standIn_ = SimulatorStandIn::shared(false);
    }
    return m;
}

const std::vector<Check>& allChecks() {
    static const std::vector<Check> all = [] {
        std::vector<Check> list;
        for (auto family : {staticChecks, lifecycleChecks, valueChecks, mouseChecks, repetitionChecks, costChecks})
            for (const Check& c : family()) list.push_back(c);
        return list;
    }();
    return all;
}

const Check* findCheck(const std::string& name) {
    for (const Check& c : allChecks())
        if (name == c.name) return &c;
    return nullptr;
}

int runCheckJob(const Options& o) {
    if (o.modules.size() != 1 || o.only.size() != 1)
        throw UsageError("in a batch, a check line names one module and one check (--only NAME)");
    const Check* check = findCheck(o.only[0]);
    if (!check) throw UsageError("unknown check " + o.only[0]);
    installGuards(nullptr, o.timeout);
    Result r;
    {
        CheckRun run(o, o.level);
        const double t0 = now();
        try {
            check->run(run);
        } catch (const std::exception& e) {
            run.fail(e.what());
        }
        r.seconds = now() - t0;
        r.failures = run.failures;
        r.warnings = run.warnings;
        r.notes = run.notes;
    }
    r.name = check->name;
    r.level = check->level;
    r.status = !r.failures.empty() ? "FAIL" : !r.warnings.empty() ? "warn" : "ok";
    std::fflush(stdout);
    const std::string line = "\n" + std::string(kResultMark) +
                             toJson(r).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    return r.failures.empty() ? kExitOk : kExitModule;
}

}  // namespace gaugehost
