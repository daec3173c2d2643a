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

}  // namespace gaugehost
