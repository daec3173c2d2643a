// The worker's side of its link to the supervisor. Module code runs in a
// worker process, a second copy of gaugehost; the supervisor stays outside
// and learns through one page of shared memory how the worker is doing:
// progress beats, whether it has told the user why it ends, the status it
// ends itself with, the batch job that runs, and a message the watchdog
// leaves when it ends the worker. Every function here does nothing in a
// process that is not attached (a program of its own, the Wine tests),
// but for the watchdog's message, which such a process prints itself.
#pragma once

#include <windows.h>

namespace gaugehost {

// The shared page, as both sides see it.
struct WorkerShared {
    volatile LONG beat;       // progress counter
    volatile LONG reported;   // the worker has told the user why it ends
    volatile LONG finished;   // the worker ended itself, with `exitCode`
    volatile LONG exitCode;
    volatile LONG job;        // batch: the job running now, -1 between jobs
    volatile LONG jobsDone;   // batch: jobs before this index have ended
    volatile LONG jobStatuses;   // batch: bit C set when a job ended with status C (31: any status above 30)
    volatile LONG reserved;
    char message[4096 - 32];  // left by the watchdog for the supervisor
};
static_assert(sizeof(WorkerShared) == 4096, "one page");

// In the worker: attaches to the supervisor's shared page (the handle as
// the --worker option gives it).
void attachWorker(const char* handle);

// Marks progress (every call into the module and back).
void heartbeat();

// Notes that the worker has told the user why it ends, so that the
// supervisor does not add a message of its own.
void markReported();

// Notes, just before the process ends itself, the exit status it ends
// with. A worker that ends without this (killed from outside, or ended by a
// signal) did not finish.
void finishWorker(int code);

// In the watchdog: leaves a message for the supervisor to print (the
// worker's own streams may be in the hands of the code it stops); a process
// that is not attached writes it to its standard error handle.
void leaveMessage(const char* text);

// A batch worker: job `index` starts; job `index` has ended with `code`.
void jobBegins(int index);
void jobEnded(int index, int code);

}  // namespace gaugehost
