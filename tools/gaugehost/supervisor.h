// The host runs the module in a worker: a second copy of itself started with
// --worker. Module code shares the worker's address space and can, when it
// is broken, overwrite the host's own stack or memory and take control away
// from it; the supervisor stays outside, passes the worker's output and exit
// status on, and ends a worker that stops making progress.
//
// A batch (gaugehost batch LIST) runs many commands in one worker, one after
// the other, and starts a fresh worker only after one that faulted or died.
// Each job's output is framed by marker lines on both streams (and the
// batch exits with the gravest of the jobs' statuses):
//   @@gaugehost job N begin: COMMAND LINE
//   @@gaugehost job N end: exit C
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "hostcore/worker_link.h"

namespace gaugehost {

// In a batch worker: job `index` ended with `code` (its end markers on
// both streams, and the shared page told).
void jobEnds(int index, int code);

// In the supervisor: runs the worker on the same command line plus
// --worker HANDLE and returns the exit status to use. `timeout` is the
// per-call limit in seconds.
int superviseWorker(unsigned timeout);

// Where a batch's output goes when its caller reads it back (the check
// command) rather than passing it on: the worker's two streams, and the
// supervisor's own messages about a worker that died, are written to these
// files (handles the worker can inherit), and `poll` is called about every
// 100 ms while a worker runs, to follow the output as it grows.
struct BatchCapture {
    void* out = nullptr;
    void* err = nullptr;
    std::function<void()> poll;
};

// In the supervisor: runs `jobs` command lines (the LIST file's lines) in
// as few workers as the jobs allow. Returns the gravest of the jobs' exit
// statuses and of the batch's own failures (a worker that died between
// jobs is 3), gravest first: 3, 4, 2, 6, 1, 5, 0. Output goes to the
// supervisor's own streams, or to `capture`.
int superviseBatch(const std::string& listFile, int jobs, unsigned timeout, const BatchCapture* capture = nullptr);

// The marker lines (also used by the worker).
std::string jobBeginMarker(int index, const std::string& line);
std::string jobEndMarker(int index, int code);

// ---- worker processes ----------------------------------------------------------------
//
// Every worker a process starts runs in one job object of that process,
// which ends every worker when the process ends in any way (killed
// included): no worker outlives its supervisor. A console's Ctrl-C,
// Ctrl-Break or closing ends the workers, then the process.

// This program's own path.
std::wstring selfPath();

// The page a worker shares with its supervisor (hostcore/worker_link.h).
struct SharedPage {
    HANDLE map = nullptr;
    WorkerShared* view = nullptr;
};
SharedPage createSharedPage();   // throws HostFault

struct WorkerStart {
    std::wstring arguments;       // after the program's path: "session --worker 0x1C --timeout 10"
    std::wstring commandLine;     // or the whole command line, when given
    HANDLE in = nullptr, out = nullptr, err = nullptr;   // its standard handles
    HANDLE shared = nullptr;      // the shared page's mapping, named on the command line
    bool console = true;          // false: no console, so console events never reach it
};
// Starts a worker that inherits its standard handles and the shared page
// and nothing else, in the job. Returns its process handle (the caller
// closes it). Throws HostFault.
HANDLE startWorkerProcess(const WorkerStart& how, DWORD* pid = nullptr);

// Ends every worker of this process at once.
void endWorkers();

// What runs first when the console ends the process (serve ends its server
// and removes its files); the workers end after it, then the process.
void onConsoleEnd(std::function<void()> graceful);

}  // namespace gaugehost
