#include "supervisor.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "cli.h"
#include "hostcore/errors.h"
#include "hostcore/text.h"
#include "hostcore/worker_link.h"

namespace gaugehost {

namespace {

WorkerShared* gShared = nullptr;   // the supervisor's view of the worker's page
const BatchCapture* gCapture = nullptr;   // a batch whose output its caller reads back

// The supervisor's own lines, on the stream the worker's output goes to.
void say(FILE* f, const std::string& s) {
    if (gCapture) {
        DWORD written = 0;
        WriteFile(f == stderr ? gCapture->err : gCapture->out, s.data(), DWORD(s.size()), &written, nullptr);
        return;
    }
    std::fputs(s.c_str(), f);
    std::fflush(f);
}

struct Worker {
    HANDLE process = nullptr;
    int status = 0;
};

// Starts the worker on `command` plus `extra`, waits for it to end, and
// ends it when it makes no progress for longer than `silence` milliseconds
// (then `hung` is set).
bool runWorker(HANDLE map, const std::wstring& command, const std::wstring& extra, DWORD silence, Worker& w,
               bool& hung) {
    wchar_t handleText[32];
    std::swprintf(handleText, 32, L"0x%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(map)));
    WorkerStart how;
    how.commandLine = command + L" --worker " + handleText + extra;
    how.in = GetStdHandle(STD_INPUT_HANDLE);
    how.out = gCapture ? HANDLE(gCapture->out) : GetStdHandle(STD_OUTPUT_HANDLE);
    how.err = gCapture ? HANDLE(gCapture->err) : GetStdHandle(STD_ERROR_HANDLE);
    how.shared = map;
    PROCESS_INFORMATION pi = {};
    try {
        pi.hProcess = startWorkerProcess(how);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gaugehost: error: %s\n", e.what());
        return false;
    }
    LONG last = gShared->beat;
    DWORD lastChange = GetTickCount();
    hung = false;
    for (;;) {
        if (WaitForSingleObject(pi.hProcess, 100) == WAIT_OBJECT_0) break;
        if (gCapture && gCapture->poll) gCapture->poll();
        if (gShared->beat != last) {
            last = gShared->beat;
            lastChange = GetTickCount();
        } else if (GetTickCount() - lastChange > silence) {
            TerminateProcess(pi.hProcess, 4);
            WaitForSingleObject(pi.hProcess, 5000);
            hung = true;
            break;
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    w.status = int(code);
    return true;
}

// The exit status of a worker that ended, and the message it deserves when
// the worker could not give one itself.
int outcome(const Worker& w, bool hung, unsigned timeout) {
    if (hung) {
        say(stderr, "gaugehost: error: the module took control of the host's worker: no progress for " +
                        std::to_string(timeout + 5) + " s\n");
        return 4;
    }
    if (gShared->finished && gShared->exitCode == w.status) {
        if (w.status == 4 && gShared->message[0]) say(stderr, gShared->message);
        return w.status;
    }
    // Killed from outside, or ended by a signal under Wine: the worker never
    // reached its own end, whatever status the process shows.
    char text[200];
    std::snprintf(text, sizeof text,
                  "gaugehost: error: the host's worker ended abnormally (exit status 0x%lX) without finishing: "
                  "killed, or ended by the module's code\n",
                  static_cast<unsigned long>(w.status));
    say(stderr, text);
    return 3;
}

HANDLE createShared() {
    try {
        const SharedPage page = createSharedPage();
        gShared = page.view;
        return page.map;
    } catch (const std::exception&) {
        return nullptr;
    }
}

// The rank of an exit status in kGravity, higher for graver; a status
// outside it (none is) counts as graver than all.
int gravity(int status) {
    const int n = int(sizeof kGravity / sizeof kGravity[0]);
    for (int i = 0; i < n; ++i)
        if (kGravity[i] == status) return n - i;
    return n + 1;
}

int graver(int a, int b) { return gravity(b) > gravity(a) ? b : a; }

void resetShared(int from) {
    gShared->jobStatuses = 0;
    gShared->reported = 0;
    gShared->finished = 0;
    gShared->exitCode = 0;
    gShared->job = -1;
    gShared->jobsDone = from;
    gShared->message[0] = 0;
}

}  // namespace

std::string jobBeginMarker(int index, const std::string& line) {
    return "@@gaugehost job " + std::to_string(index + 1) + " begin: " + line + "\n";
}

std::string jobEndMarker(int index, int code) {
    return "@@gaugehost job " + std::to_string(index + 1) + " end: exit " + std::to_string(code) + "\n";
}

void jobEnds(int index, int code) {
    const std::string end = jobEndMarker(index, code);
    std::fflush(stdout);
    say(stderr, end);
    say(stdout, end);
    jobEnded(index, code);
}

int superviseWorker(unsigned timeout) {
    HANDLE map = createShared();
    if (!map) {
        std::fprintf(stderr, "gaugehost: error: cannot create the worker's shared state\n");
        return 3;
    }
    resetShared(0);
    // The worker's own watchdog ends a call that hangs after `timeout`
    // seconds; silence for longer than that means the worker lost control.
    Worker w;
    bool hung = false;
    if (!runWorker(map, GetCommandLineW(), L"", (timeout + 5) * 1000, w, hung)) return 3;
    return outcome(w, hung, timeout);
}

int superviseBatch(const std::string& listFile, int jobs, unsigned timeout, const BatchCapture* capture) {
    HANDLE map = createShared();
    if (!map) {
        std::fprintf(stderr, "gaugehost: error: cannot create the worker's shared state\n");
        return 3;
    }
    gCapture = capture;
    struct Restore {
        ~Restore() { gCapture = nullptr; }
    } restore;
    // The worker runs the list itself; each line carries its own options.
    const std::wstring command = L"\"" + selfPath() + L"\" batch \"" + widen(listFile) + L"\"";
    int from = 0;
    int worst = kExitOk;
    while (from < jobs) {
        resetShared(from);
        Worker w;
        bool hung = false;
        if (!runWorker(map, command, L" --from " + std::to_wstring(from), (timeout + 5) * 1000, w, hung))
            return kExitFault;
        for (int c = 0; c < 32; ++c)
            if (gShared->jobStatuses & LONG(1u << c)) worst = graver(worst, c == 31 ? 255 : c);
        const int running = gShared->job;
        if (running >= 0 && gShared->jobsDone <= running) {
            // The worker ended inside a job: that job ends here, with the
            // status and message a single run would have given.
            const int code = outcome(w, hung, timeout);
            std::fflush(stdout);
            say(stderr, jobEndMarker(running, code));
            say(stdout, jobEndMarker(running, code));
            worst = graver(worst, code);
            from = running + 1;
        } else if (gShared->jobsDone > from) {
            // A worker that ends between jobs asks for a fresh one.
            from = gShared->jobsDone;
            if (!(gShared->finished && gShared->exitCode == w.status)) {
                outcome(w, hung, timeout);
                worst = graver(worst, kExitFault);
            }
        } else {
            // It could not start a single job: the batch itself is broken.
            const int code = outcome(w, hung, timeout);
            return graver(worst, code ? code : kExitFault);
        }
    }
    return worst;
}

// ---- worker processes --------------------------------------------------------------------

namespace {

HANDLE gJob = nullptr;                     // every worker of this process, ended with it
std::mutex gStartLock;                     // one process start at a time (inheritable handles)
std::function<void()> gGraceful;           // serve's own ending, before the workers end

BOOL WINAPI consoleEnds(DWORD) {
    static volatile LONG once = 0;
    if (InterlockedExchange(&once, 1) == 0 && gGraceful) gGraceful();
    endWorkers();
    return FALSE;   // the default handler ends the process
}

HANDLE workerJob() {
    // Made with the first worker; its handle is never inheritable and never
    // closed by hand: the system closes it when this process ends, however
    // it ends, and the job then ends every process in it.
    if (gJob) return gJob;
    gJob = CreateJobObjectW(nullptr, nullptr);
    if (!gJob) throw HostFault("cannot create the workers' job object: " + windowsError(GetLastError()));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(gJob, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        throw HostFault("cannot set the workers' job object to end them with this process: " +
                        windowsError(GetLastError()));
    SetConsoleCtrlHandler(&consoleEnds, TRUE);
    return gJob;
}

// An inheritable copy of `h` for the child (nullptr for none).
HANDLE inheritable(HANDLE h) {
    if (!h || h == INVALID_HANDLE_VALUE) return nullptr;
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

}  // namespace

std::wstring selfPath() {
    wchar_t self[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, self, sizeof self / sizeof self[0] - 1);
    return self;
}

SharedPage createSharedPage() {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
    SharedPage page;
    page.map = CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, sizeof(WorkerShared), nullptr);
    if (!page.map) throw HostFault("cannot create a worker's shared page: " + windowsError(GetLastError()));
    page.view = static_cast<WorkerShared*>(MapViewOfFile(page.map, FILE_MAP_WRITE, 0, 0, sizeof(WorkerShared)));
    if (!page.view) {
        CloseHandle(page.map);
        throw HostFault("cannot map a worker's shared page: " + windowsError(GetLastError()));
    }
    return page;
}

HANDLE startWorkerProcess(const WorkerStart& how, DWORD* pid) {
    std::lock_guard lock(gStartLock);
    const HANDLE job = workerJob();
    // The child inherits copies of its own handles and nothing else of
    // ours (no other worker's pipes, no network connection of serve's).
    std::vector<HANDLE> handles;
    const HANDLE in = inheritable(how.in), out = inheritable(how.out), err = inheritable(how.err);
    // The shared page keeps its handle value: the command line names it.
    if (how.shared) SetHandleInformation(how.shared, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    for (HANDLE h : {in, out, err, HANDLE(how.shared)})
        if (h && std::find(handles.begin(), handles.end(), h) == handles.end()) handles.push_back(h);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> listBytes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes.data());
    const bool listed = InitializeProcThreadAttributeList(list, 1, 0, &size) &&
                        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                                  handles.size() * sizeof(HANDLE), nullptr, nullptr);
    STARTUPINFOEXW si = {};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = in;
    si.StartupInfo.hStdOutput = out;
    si.StartupInfo.hStdError = err;
    si.lpAttributeList = listed ? list : nullptr;
    const std::wstring self = selfPath();
    std::wstring line = L"\"" + self + L"\" " + how.arguments;
    if (!how.commandLine.empty()) line = how.commandLine;
    const DWORD flags = CREATE_SUSPENDED | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0) |
                        (how.console ? 0 : CREATE_NO_WINDOW);
    PROCESS_INFORMATION pi = {};
    const BOOL started = CreateProcessW(self.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                        &si.StartupInfo, &pi);
    const DWORD error = GetLastError();
    if (listed) DeleteProcThreadAttributeList(list);
    for (HANDLE h : {in, out, err})
        if (h) CloseHandle(h);
    if (how.shared) SetHandleInformation(how.shared, HANDLE_FLAG_INHERIT, 0);
    if (!started) throw HostFault("cannot start the worker: " + windowsError(error));
    if (!AssignProcessToJobObject(job, pi.hProcess)) {
        const DWORD e = GetLastError();
        TerminateProcess(pi.hProcess, kExitFault);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        throw HostFault("cannot tie the worker to this process (its job object): " + windowsError(e));
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    if (pid) *pid = pi.dwProcessId;
    return pi.hProcess;
}

void endWorkers() {
    if (gJob) TerminateJobObject(gJob, kExitFault);
}

void onConsoleEnd(std::function<void()> graceful) {
    gGraceful = std::move(graceful);
    SetConsoleCtrlHandler(&consoleEnds, TRUE);
}

}  // namespace gaugehost
