// gaugehost: a headless panel host for gauge modules.
//
//   gaugehost inspect MODULE.gau [--json] [--no-run]
//   gaugehost render MODULE.gau [--set VAR=VALUE ...] [--frames N] [--scale K] [--log] -o OUT.png
//   gaugehost run MODULE.gau SCENARIO [--scale K]
//   gaugehost check MODULE.gau... [--level 1..5] [--only CHECK,...] [--seed N] [--json] [--junit FILE.xml]
//   gaugehost batch LIST
//   gaugehost session   (the worker behind serve, see docs/worker-protocol.md)
//
// The process started by the user is the supervisor; the module runs in a
// worker (the same program with --worker), see supervisor.h. Exit statuses
// are listed in cli.h.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "check.h"
#include "cli.h"
#include "hostcore/hosted_module.h"
#include "hostcore/guard.h"
#include "hostcore/files.h"
#include "report.h"
#include "scenario.h"
#include "serve/worker.h"
#include "supervisor.h"

using namespace gaugehost;

namespace {

int reportFailure(int code, const char* what) {
    markReported();
    std::fflush(stdout);
    std::fprintf(stderr, "gaugehost: error: %s\n", what);
    return code;
}

int render(const Options& o, HostedModule& hm) {
    GaugeHost& h = hm.host();
    for (auto [id, v] : o.sets) h.setVar(id, v, nullptr);
    h.start();
    for (int i = 0; i < o.frames; ++i) h.frame();
    const Picture c = h.draw();
    h.stop();
    writePng(c, o.out);
    for (const std::string& w : h.warnings) std::fprintf(stderr, "gaugehost: warning: %s\n", w.c_str());
    if (o.log) std::printf("wrote %s (%d x %d)\n", o.out.c_str(), c.width, c.height);
    return kExitOk;
}

// One command in the worker: load the module, do what was asked. Returns
// the exit status; what went wrong is on standard error.
int runCommand(const Options& o) {
    if (o.command == "check") return runCheckJob(o);
    try {
        setCallTimeout(o.timeout);
        HostedModule hm(o.module, {.runEntryPoint = true, .scale = o.scale, .log = o.log || o.command == "run"});
        if (o.command == "inspect") {
            const Inspection f = inspectModule(hm, o.run);
            const std::string text = o.json ? inspectJson(hm.image(), hm.gauge(), f) : inspectText(hm.image(), hm.gauge(), f);
            std::fputs(text.c_str(), stdout);
            return kExitOk;
        }
        if (o.command == "render") return render(o, hm);
        return runScenario(o, hm);
    } catch (const Error& e) {
        return reportFailure(exitStatus(e.fault()), e.what());
    } catch (const std::exception& e) {
        return reportFailure(kExitFault, e.what());
    }
}

std::vector<std::string> readList(const std::string& path) {
    std::ifstream in(widen(path).c_str());
    if (!in) throw InputError("cannot read the batch list " + path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (l.find_first_not_of(" \t") != std::string::npos) lines.push_back(l);
    }
    return lines;
}

// The jobs of a batch from `o.from` on, in this worker. A job that faulted
// in module code may have damaged the process: the worker then ends, and
// the supervisor starts a fresh one for the next job.
int runBatch(const Options& o) {
    const std::vector<std::string> lines = readList(o.list);
    for (int i = o.from; i < int(lines.size()); ++i) {
        jobBegins(i);
        const std::string begin = jobBeginMarker(i, lines[i]);
        std::fputs(begin.c_str(), stdout);
        std::fflush(stdout);
        std::fputs(begin.c_str(), stderr);
        std::fflush(stderr);
        int code;
        try {
            code = runCommand(parseOptions(splitCommandLine(lines[i])));
        } catch (const UsageError& e) {
            std::fprintf(stderr, "gaugehost: %s\n", e.what());
            code = kExitUsage;
        }
        jobEnds(i, code);
        if (moduleFaulted()) break;
    }
    return kExitOk;
}

}  // namespace

int wmain() {
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    // Errors reach the file at once: a worker may be ended from outside.
    setvbuf(stderr, nullptr, _IONBF, 0);
    Options o;
    try {
        o = parseOptions(commandLineArguments());
        if (o.command == "batch" && o.worker.empty()) {
            const int jobs = int(readList(o.list).size());
            unsigned timeout = o.timeout;
            for (const std::string& l : readList(o.list)) {
                try {
                    timeout = std::max(timeout, parseOptions(splitCommandLine(l)).timeout);
                } catch (const UsageError&) {
                }
            }
            quit(superviseBatch(o.list, jobs, timeout));
        }
    } catch (const UsageError& e) {
        if (e.what()[0]) std::fprintf(stderr, "gaugehost: %s\n", e.what());
        std::fputs(usageText(), stderr);
        quit(kExitUsage);
    } catch (const InputError& e) {
        std::fprintf(stderr, "gaugehost: error: %s\n", e.what());
        quit(kExitInput);
    }
    if (o.command == "check" && o.worker.empty()) {
        try {
            quit(superviseCheck(o));
        } catch (const UsageError& e) {
            std::fprintf(stderr, "gaugehost: %s\n", e.what());
            quit(kExitUsage);
        } catch (const InputError& e) {
            std::fprintf(stderr, "gaugehost: error: %s\n", e.what());
            quit(kExitInput);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "gaugehost: error: %s\n", e.what());
            quit(kExitFault);
        }
    }
    if (o.worker.empty()) quit(superviseWorker(o.timeout));
    attachWorker(o.worker.c_str());
    try {
        quit(o.command == "batch" ? runBatch(o) : o.command == "session" ? runWorker(o.timeout) : runCommand(o));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gaugehost: error: %s\n", e.what());
        quit(kExitInput);
    }
}
