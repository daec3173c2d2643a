#include "worker_client.h"

#include <cstdio>
#include <vector>

#include "hostcore/text.h"
#include "hostcore/worker_link.h"
#include "../supervisor.h"

namespace gaugehost {

namespace {

constexpr DWORD kOutputBuffer = 1 << 20;   // the worker's output pipe: a few pictures in flight
constexpr DWORD kDrainMs = 500;            // after the worker ended: its last bytes
constexpr size_t kMaxErrorText = 2000;     // of its standard error, shown

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    if (s.size() > kMaxErrorText) s = "..." + s.substr(s.size() - kMaxErrorText);
    return s;
}

std::string readWhole(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "";
    std::string out;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0 && out.size() < (1 << 20)) out.append(buf, got);
    CloseHandle(h);
    return out;
}

}  // namespace

void traceLine(const std::string& worker, char direction, std::string_view line) {
    static std::mutex lock;
    static FILE* file = [] {
        const wchar_t* path = _wgetenv(L"GAUGEHOST_TRACE");
        return path && *path ? _wfopen(path, L"ab") : nullptr;
    }();
    if (!file) return;
    std::lock_guard hold(lock);
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.3f ", double(now.QuadPart) * 1000.0 / double(frequency.QuadPart));
    std::string out = ms + worker + " " + direction + " ";
    out.append(line.substr(0, line.find('\n')));
    out += '\n';
    std::fwrite(out.data(), 1, out.size(), file);
    std::fflush(file);
}

WorkerClient::WorkerClient(std::string name, std::wstring scratch, unsigned timeout, Events events)
    : name_(std::move(name)), scratch_(std::move(scratch)), timeout_(timeout), events_(std::move(events)) {}

WorkerClient::~WorkerClient() {
    close(std::chrono::milliseconds(0));
    if (output_) CloseHandle(output_);
    if (process_) CloseHandle(process_);
    if (shared_) {
        UnmapViewOfFile(shared_->view);
        CloseHandle(shared_->map);
    }
    if (!errorFile_.empty()) DeleteFileW(errorFile_.c_str());
}

void WorkerClient::start() {
    static std::atomic<unsigned> counter{0};
    const unsigned n = ++counter;
    shared_ = std::make_unique<SharedPage>(createSharedPage());
    std::memset(static_cast<void*>(shared_->view), 0, sizeof(WorkerShared));
    shared_->view->job = -1;

    // Standard input: a plain pipe.
    HANDLE childIn = nullptr;
    if (!CreatePipe(&childIn, &input_, nullptr, 1 << 20))
        throw HostFault("cannot make a worker's input pipe: " + windowsError(GetLastError()));
    // Standard output: a named pipe read overlapped, so that the reader
    // also sees the process end while a stray process of the platform (a
    // desktop the module's window brought up) keeps the pipe open.
    const std::wstring pipeName = L"\\\\.\\pipe\\gaugehost-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(n);
    output_ = CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
                               kOutputBuffer, 0, nullptr);
    if (output_ == INVALID_HANDLE_VALUE) {
        output_ = nullptr;
        CloseHandle(childIn);
        throw HostFault("cannot make a worker's output pipe: " + windowsError(GetLastError()));
    }
    HANDLE childOut = CreateFileW(pipeName.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    // Standard error: a file, read once the worker has ended.
    errorFile_ = scratch_ + L"\\" + widen(name_) + L"-" + std::to_wstring(n) + L".err";
    HANDLE childErr = CreateFileW(errorFile_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    auto closeChildEnds = [&] {
        CloseHandle(childIn);
        if (childOut != INVALID_HANDLE_VALUE) CloseHandle(childOut);
        if (childErr != INVALID_HANDLE_VALUE) CloseHandle(childErr);
    };
    if (childOut == INVALID_HANDLE_VALUE || childErr == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        closeChildEnds();
        throw HostFault("cannot make a worker's output: " + windowsError(e));
    }
    wchar_t handleText[32];
    std::swprintf(handleText, 32, L"0x%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(shared_->map)));
    WorkerStart how;
    how.arguments = L"session --worker " + std::wstring(handleText) + L" --timeout " + std::to_wstring(timeout_);
    how.in = childIn;
    how.out = childOut;
    how.err = childErr;
    how.shared = shared_->map;
    how.console = false;
    try {
        process_ = startWorkerProcess(how, &pid_);
    } catch (...) {
        closeChildEnds();
        throw;
    }
    closeChildEnds();
    reader_ = std::thread([this] { reader(); });
}

int64_t WorkerClient::send(protocol::json request) {
    std::lock_guard lock(mutex_);
    if (ended_ || closing_ || !input_) return 0;
    const int64_t seq = nextSeq_++;
    request["seq"] = seq;
    const std::string line = protocol::requestLine(request);
    traceLine(name_, '>', line);
    write(line);
    return seq;
}

// Written at once, by the caller's thread: the worker reads its input on a
// thread of its own whatever its module does, so the pipe takes a line
// without waiting, and a request reaches the worker without a hand-over
// between threads here.
void WorkerClient::write(const std::string& line) {
    size_t at = 0;
    while (at < line.size()) {
        DWORD wrote = 0;
        if (!WriteFile(input_, line.data() + at, DWORD(line.size() - at), &wrote, nullptr) || wrote == 0) {
            // The worker is gone: its reader notices the end.
            CloseHandle(input_);
            input_ = nullptr;
            return;
        }
        at += wrote;
    }
}

bool WorkerClient::wait(int64_t seq, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return lastDone_ >= seq || ended_; });
    return lastDone_ >= seq;
}

void WorkerClient::reader() {
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ConnectNamedPipe(output_, nullptr);   // the worker's end is open already: ERROR_PIPE_CONNECTED
    protocol::RecordReader parser;
    std::vector<protocol::Record> records;
    std::vector<char> buf(1 << 16);
    bool reading = false, processEnded = false, hung = false, broken = false;
    std::string protocolError;
    DWORD quietSince = GetTickCount();
    LONG lastBeat = shared_->view->beat;
    DWORD lastBeatChange = GetTickCount();
    const DWORD silence = (timeout_ + 5) * 1000;
    auto take = [&](DWORD got) {
        quietSince = GetTickCount();
        records.clear();
        try {
            parser.feed(buf.data(), got, records);
        } catch (const protocol::ProtocolError& e) {
            protocolError = e.what();
        }
        for (const protocol::Record& r : records) {
            traceLine(name_, '<', r.line);
            if (events_.record) events_.record(r);
            if (r.type() == "done" && r.seq() > 0) {
                std::lock_guard lock(mutex_);
                lastDone_ = std::max(lastDone_, r.seq());
                changed_.notify_all();
            }
        }
    };
    while (protocolError.empty()) {
        if (!reading) {
            ResetEvent(ov.hEvent);
            DWORD got = 0;
            if (ReadFile(output_, buf.data(), DWORD(buf.size()), &got, &ov)) {
                if (got) take(got);
                continue;
            }
            if (GetLastError() != ERROR_IO_PENDING) break;   // the pipe ended
            reading = true;
        }
        HANDLE waits[2] = {ov.hEvent, process_};
        const DWORD w = WaitForMultipleObjects(processEnded ? 1 : 2, waits, FALSE, 100);
        if (w == WAIT_OBJECT_0) {
            reading = false;
            DWORD got = 0;
            if (!GetOverlappedResult(output_, &ov, &got, FALSE)) {
                if (GetLastError() == ERROR_MORE_DATA) {
                    take(got);
                    continue;
                }
                break;   // the pipe ended
            }
            if (got) take(got);
            continue;
        }
        if (w == WAIT_OBJECT_0 + 1) {
            processEnded = true;
            quietSince = GetTickCount();
            continue;
        }
        if (processEnded) {
            if (GetTickCount() - quietSince > kDrainMs) break;
            continue;
        }
        const LONG beat = shared_->view->beat;
        if (beat != lastBeat) {
            lastBeat = beat;
            lastBeatChange = GetTickCount();
        } else if (GetTickCount() - lastBeatChange > silence) {
            hung = true;
            TerminateProcess(process_, kExitHang);
            WaitForSingleObject(process_, 5000);
            processEnded = true;
            quietSince = GetTickCount();
        }
    }
    if (reading) {
        CancelIo(output_);
        DWORD got = 0;
        GetOverlappedResult(output_, &ov, &got, TRUE);
    }
    CloseHandle(ov.hEvent);
    if (!protocolError.empty()) {
        // Not the worker we know: it goes.
        broken = true;
        TerminateProcess(process_, kExitFault);
    }
    WaitForSingleObject(process_, 10000);
    WorkerEnd end = why(hung);
    if (broken) {
        end.asked = false;
        end.kind = Fault::Host;
        end.text = "gaugehost: error: the worker broke the protocol: " + protocolError;
    }
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }
    if (events_.ended) events_.ended(end);
}

WorkerEnd WorkerClient::why(bool hung) const {
    WorkerEnd end;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    end.status = int(code);
    const WorkerShared& page = *shared_->view;
    const bool finished = page.finished && page.exitCode == LONG(code);
    if (hung) {
        end.kind = Fault::Module;
        end.status = kExitHang;
        end.text = "gaugehost: error: the module took control of the host's worker: no progress for " +
                   std::to_string(timeout_ + 5) + " s";
        return end;
    }
    if (finished && code == 0) {
        end.asked = true;
        return end;
    }
    end.kind = !finished ? Fault::Host : code == unsigned(kExitInput) ? Fault::Input : Fault::Module;
    const std::string message(page.message, strnlen(page.message, sizeof page.message));
    const std::string said = trimmed(readWhole(errorFile_));
    if (finished && code == unsigned(kExitHang) && !message.empty()) end.text = trimmed(message);
    else if (!said.empty()) end.text = said;
    else {
        char text[200];
        std::snprintf(text, sizeof text,
                      "gaugehost: error: the host's worker ended abnormally (exit status 0x%lX) without finishing: "
                      "killed, or ended by the module's code",
                      static_cast<unsigned long>(code));
        end.text = text;
    }
    return end;
}

void WorkerClient::close(std::chrono::milliseconds grace) {
    {
        // Quit, and the end of its input: the worker unloads and ends.
        std::lock_guard lock(mutex_);
        if (!closing_ && !ended_ && input_) {
            const std::string line = protocol::requestLine({{"op", "quit"}, {"seq", nextSeq_++}});
            traceLine(name_, '>', line);
            write(line);
        }
        closing_ = true;
        if (input_) CloseHandle(input_);
        input_ = nullptr;
    }
    if (process_ && WaitForSingleObject(process_, DWORD(grace.count())) != WAIT_OBJECT_0)
        TerminateProcess(process_, kExitFault);
    if (reader_.joinable()) reader_.join();
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

}  // namespace gaugehost
