// The server's side of one worker (docs/worker-protocol.md): it starts
// `gaugehost.exe session --worker H --timeout S` as the worker's supervisor
// (shared page, job object), writes requests to it, reads its records on a
// thread of its own, and watches it: a worker whose beat stops for longer
// than its timeout plus 5 s is ended as hung.
//
// Records are handed over on the reading thread, in order; a turn's `done`
// record after the rest of it, and only then is the turn waited for
// (wait()) over. When the worker has ended, `ended` runs once, after its
// last record, with why it ended.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "hostcore/errors.h"
#include "protocol.h"

namespace gaugehost {

struct SharedPage;

// Why a worker ended, when it did not end as asked.
struct WorkerEnd {
    bool asked = false;       // it ended after a quit or the end of its input, with status 0
    Fault kind = Fault::Host; // else whose fault, as far as its status tells
    std::string text;         // one line or a few, as the command line would print them
    int status = 0;           // its exit status
};

class WorkerClient {
public:
    struct Events {
        std::function<void(const protocol::Record&)> record;
        std::function<void(const WorkerEnd&)> ended;
    };
    // `name` names the worker in traces ("m0"); `scratch` is a folder for
    // its standard error; `timeout` is its limit on one module call.
    WorkerClient(std::string name, std::wstring scratch, unsigned timeout, Events events);
    ~WorkerClient();
    WorkerClient(const WorkerClient&) = delete;
    WorkerClient& operator=(const WorkerClient&) = delete;

    // Starts the worker. Throws HostFault.
    void start();
    // Queues a request (its "seq" set here) and returns its seq, or 0 when
    // the worker has ended.
    int64_t send(protocol::json request);
    // Waits until turn `seq` is over: true when it is, false when the
    // worker ended first or `limit` passed.
    bool wait(int64_t seq, std::chrono::milliseconds limit);
    bool alive() const { return !ended_; }
    DWORD pid() const { return pid_; }
    // Asks the worker to quit, gives it `grace` to do so, then ends it; its
    // threads are joined. Idempotent.
    void close(std::chrono::milliseconds grace);

private:
    void write(const std::string& line);
    void reader();
    WorkerEnd why(bool hung) const;

    const std::string name_;
    const std::wstring scratch_;
    const unsigned timeout_;
    Events events_;
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
    HANDLE input_ = nullptr;    // our end of its standard input
    HANDLE output_ = nullptr;   // our end of its standard output (overlapped)
    std::wstring errorFile_;    // its standard error
    std::unique_ptr<SharedPage> shared_;

    std::mutex mutex_;                // held while a request is written, and for the turns' progress
    std::condition_variable changed_;
    bool closing_ = false;            // no more requests
    int64_t nextSeq_ = 1;
    int64_t lastDone_ = 0;
    std::atomic<bool> ended_{false};
    std::thread reader_;
};

// The trace of every request and record (GAUGEHOST_TRACE=FILE), or nothing:
// "MS WORKER > LINE" or "MS WORKER < LINE", MS the time in milliseconds.
void traceLine(const std::string& worker, char direction, std::string_view line);

}  // namespace gaugehost
