// gaugehost: a headless panel host for gauge modules. Its commands and
// options are the tables of cli.cpp (`gaugehost --help` prints them).
//
// The process started by the user is the supervisor; the module runs in a
// worker (the same program with --worker), see supervisor.h. Exit statuses
// are listed in hostcore/errors.h.
#include <windows.h>

#include <cstdio>
#include <memory>

#include "check/command.h"
#include "cli.h"
#include "hostcore/hosted_module.h"
#include "hostcore/guard.h"
#include "hostcore/files.h"
#include "report.h"
#include "scenario.h"
#include "serve/render_panel.h"
#include "serve/serve.h"
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
    if (o.help) {
        std::fputs(usageText(o.helpTopic).c_str(), stdout);
        return kExitOk;
    }
    if (o.command == "check") return runCheckJob(o);
    try {
        if (o.commandBit == kRenderPanel) return renderPanel(o);
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

// The batch list's command lines: a text file as an editor saves it (see
// readTextFile), one command line a line; blank lines are passed over.
std::vector<std::string> readList(const std::string& path) {
    const std::string text = readTextFile(path, "batch list");
    std::vector<std::string> lines;
    for (size_t p = 0; p < text.size();) {
        size_t end = text.find('\n', p);
        if (end == std::string::npos) end = text.size();
        std::string l = text.substr(p, end - p);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (l.find_first_not_of(" \t") != std::string::npos) lines.push_back(l);
        p = end + 1;
    }
    return lines;
}

// The options of a command line as a job of a batch runs them.
Options jobOptions(const std::string& line) {
    Options o = parseOptions(splitCommandLine(line));
    if (!o.help) expandModules(o);
    return o;
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
            code = runCommand(jobOptions(lines[i]));
        } catch (const UsageError& e) {
            std::fprintf(stderr, "gaugehost: %s\n", e.what());
            code = kExitUsage;
        } catch (const InputError& e) {
            code = reportFailure(kExitInput, e.what());
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
        if (o.help) {
            std::fputs(usageText(o.helpTopic).c_str(), stdout);
            quit(kExitOk);
        }
        expandModules(o);
        // serve runs no module code itself: it is the supervisor of a
        // worker per module.
        if (o.commandBit == kServe) quit(runServe(o));
        if (o.command == "batch" && o.worker.empty()) {
            // Each line carries its own --timeout: the worker's watchdog
            // allows the longest.
            const std::vector<std::string> lines = readList(o.list);
            unsigned timeout = o.timeout;
            for (const std::string& l : lines) {
                try {
                    timeout = std::max(timeout, parseOptions(splitCommandLine(l)).timeout);
                } catch (const UsageError&) {
                }
            }
            quit(superviseBatch(o.list, int(lines.size()), timeout));
        }
    } catch (const UsageError& e) {
        // Without arguments, the usage; after a mistake, where to find it.
        if (e.what()[0])
            std::fprintf(stderr, "gaugehost: %s\n(gaugehost --help lists the commands and options)\n", e.what());
        else
            std::fputs(usageText().c_str(), stderr);
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
