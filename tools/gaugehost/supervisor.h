// The host runs the module in a worker: a second copy of itself started with
// --worker. Module code shares the worker's address space and can, when it
// is broken, overwrite the host's own stack or memory and take control away
// from it; the supervisor stays outside, passes the worker's output and exit
// status on, and ends a worker that stops making progress.
//
// A batch (gaugehost batch LIST) runs many commands in one worker, one after
// the other, and starts a fresh worker only after one that faulted or died.
// Each job's output is framed by marker lines on both streams:
//   @@gaugehost job N begin: COMMAND LINE
//   @@gaugehost job N end: exit C
#pragma once

#include <functional>
#include <string>

namespace gaugehost {

// In the worker: marks progress (every call into the module and back).
void heartbeat();

// In the worker: notes that the worker has told the user why it ends, so
// that the supervisor does not add a message of its own.
void markReported();

// In the worker: notes, just before the process ends itself, the exit
// status it ends with. A worker that ends without this (killed from
// outside, or ended by a signal) did not finish.
void finishWorker(int code);

// In the worker's watchdog: leaves a message for the supervisor to print
// (the worker's own streams may be in the hands of the code it stops).
void leaveMessage(const char* text);

// In the worker: attaches to the supervisor's shared state.
void attachWorker(const char* handle);

// In a batch worker: job `index` starts, and job `index` ended with
// `code` (when `fresh` the worker ends after it, so that the next job
// starts in a fresh process).
void jobBegins(int index);
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
// as few workers as the jobs allow. Returns 0 when every job ran (whatever
// its own exit status), or the status of a failure of the batch itself.
// Output goes to the supervisor's own streams, or to `capture`.
int superviseBatch(const std::string& listFile, int jobs, unsigned timeout, const BatchCapture* capture = nullptr);

// The marker lines (also used by the worker).
std::string jobBeginMarker(int index, const std::string& line);
std::string jobEndMarker(int index, int code);

}  // namespace gaugehost
