// The host runs the module in a worker: a second copy of itself started with
// --worker. Module code shares the worker's address space and can, when it
// is broken, overwrite the host's own stack or memory and take control away
// from it; the supervisor stays outside, passes the worker's output and exit
// status on, and ends a worker that stops making progress.
#pragma once

namespace gh {

// In the worker: marks progress (every call into the module and back).
void heartbeat();

// In the worker: notes that the worker has told the user why it ends, so
// that the supervisor does not add a message of its own.
void markReported();

// In the worker's watchdog: leaves a message for the supervisor to print
// (the worker's own streams may be in the hands of the code it stops).
void leaveMessage(const char* text);

// In the supervisor: runs the worker on the same command line plus
// --worker HANDLE and returns the exit status to use. `timeout` is the
// per-call limit in seconds.
int superviseWorker(unsigned timeout);

// In the worker: attaches to the supervisor's progress counter.
void attachHeartbeat(const char* handle);

}  // namespace gh
