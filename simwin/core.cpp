// The simulated kernel: virtual clock, deterministic scheduler, processes,
// threads, kernel objects, memory, call log and debugger output.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kernel.h"
#include "sim/core.h"
#include "sim/files.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);

namespace {

const HINSTANCE kProgramInstance = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000));
const HANDLE kProcessHeap = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7f0000));
const DWORD kTestProcessId = 1;
const DWORD kStatusPossibleDeadlock = 0xC0000194;  // STATUS_POSSIBLE_DEADLOCK

// --- Registries of subsystem hooks -----------------------------------------

std::vector<std::function<void()>> &ResetHooks() {
    static std::vector<std::function<void()>> hooks;
    return hooks;
}

std::vector<std::function<void(DWORD)>> &ProcessExitHooks() {
    static std::vector<std::function<void(DWORD)>> hooks;
    return hooks;
}

std::vector<std::function<void(DWORD)>> &ProcessStartHooks() {
    static std::vector<std::function<void(DWORD)>> hooks;
    return hooks;
}

std::vector<std::function<void()>> &MachineChangeHooks() {
    static std::vector<std::function<void()>> hooks;
    return hooks;
}

void MachineChanged() {
    for (auto &hook : MachineChangeHooks())
        hook();
}

// --- Threads and the scheduler ---------------------------------------------

struct KObject;

struct SimThread {
    DWORD Id = 0;
    DWORD ProcessId = 0;
    std::thread Real;
    std::condition_variable Cv;
    bool Running = false;   // holds the CPU (guarded by gHandoff)
    bool Started = false;   // its real thread exists
    bool Finished = false;
    bool KillRequested = false;
    std::function<bool()> Ready;  // set while blocked
    uint64_t Deadline = simk::kForever;
    std::function<DWORD()> Body;
    DWORD ExitCode = STILL_ACTIVE;
    std::shared_ptr<KObject> Object;  // the waitable thread object
};

struct KObject {
    enum Kind { Mutex, Event, Thread, Process, Namespace, Token } Type;
    std::wstring Name;
    std::wstring Key;  // where the name lives: the object directory's path and the name
    // Mutex
    DWORD OwnerThread = 0;
    int Recursion = 0;
    // Event
    bool ManualReset = false;
    bool Signaled = false;
    // Thread / process
    SimThread *ThreadRef = nullptr;
    DWORD ProcessId = 0;  // a process's, or the process whose main thread this is
    int Holders = 0;  // handles plus outside holds, for named objects
    std::wstring Owner;  // a mutex's: the SID of its creator's default owner
};

struct ProcessState {
    sim::Process Info;
    std::wstring Tail;            // writable command line given to wWinMain
    std::vector<WCHAR> TailBuffer;
    bool RunsProgram = false;     // its main thread is the program's wWinMain
    bool NativeBuild = false;     // started from the program's x64 or ARM64 build (sim::kProgramImage64, ...Arm64)
    bool Child = false;           // created by CreateProcessW, not by the test
    std::shared_ptr<KObject> Object;
    std::wstring WorkingDirectory;  // its current folder
    bool Suspended = false;         // created with CREATE_SUSPENDED, not resumed yet
    bool StartWhenResumed = false;  // the test asked to start it meanwhile
};

// A boundary descriptor: its name, the SIDs a process must hold, and the
// integrity label (a SID "S-1-16-N", or empty) it must reach to create the
// namespace.
struct Boundary {
    std::wstring Name;
    std::vector<std::wstring> Sids;
    std::wstring Label;
};

struct ClockEvent {
    uint64_t Time;
    uint64_t Seq;
    std::function<void()> Fn;
};

std::mutex gHandoff;
std::condition_variable gHostCv;
bool gHostRunning = true;  // the test's own thread holds the CPU

thread_local SimThread *tCurrent = nullptr;
thread_local DWORD tHostLastError = 0;
thread_local bool tInCallHook = false;

struct Machine {
    uint64_t Now = 0;
    uint64_t EventSeq = 0;
    uint64_t TimeLimit = UINT64_MAX;
    std::vector<ClockEvent> Events;
    std::vector<std::unique_ptr<SimThread>> Threads;
    std::map<DWORD, DWORD> LastErrors;  // per simulated thread
    std::vector<std::unique_ptr<ProcessState>> Processes;
    std::vector<sim::Process> ProcessView;
    DWORD NextProcessId = 100;
    DWORD NextThreadId = 1000;
    size_t RunFirstProcess = SIZE_MAX;
    std::wstring TestImage = L"C:\\Program Files\\Corvane\\setup.exe";
    std::map<HANDLE, std::shared_ptr<KObject>> Handles;
    std::map<HANDLE, DWORD> HandleOwners;
    std::set<HANDLE> GivenHandles;  // made by DuplicateHandle for another process
    std::map<std::wstring, std::weak_ptr<KObject>> Named;
    std::vector<std::shared_ptr<KObject>> OutsideHolds;
    std::map<HANDLE, Boundary> Boundaries;
    sim::Account StartingAccount = sim::Account::Administrator;
    DWORD StartingSession = 1;
    std::wstring StartingDirectory = L"C:\\";
    std::map<void *, size_t> Allocations;
    std::vector<sim::Call> Calls;
    struct Failure {
        DWORD Error;
        int Times;
    };
    std::map<std::string, Failure> Failures;
    std::map<std::string, std::vector<std::function<void()>>> CallHooks;
    std::map<std::string, int> Occurrences;                    // calls of each API so far
    std::map<std::pair<std::string, int>, DWORD> FailuresAt;  // (API, occurrence) -> error
    std::vector<sim::Call> InjectedFailures;                  // the calls an injected failure failed
    int BadFrees = 0;
    // Calls made since the clock last moved (the step bound).
    uint64_t StepsClock = 0;
    uint64_t Steps = 0;
    std::vector<std::wstring> DebugWrites;
    WORD Architecture = PROCESSOR_ARCHITECTURE_AMD64;
    sim::WindowsVersion Version = sim::WindowsVersion::Windows11;
    bool Program32Bit = false;
    uintptr_t NextHandle = 0x1000;
    std::vector<std::function<void(const sim::Process &)>> ProcessCreatedHooks;
    std::vector<std::function<void(const sim::Process &)>> ProcessEndHooks;
    // The product's globals of each process (and of the test process) while
    // another one's are in the region; LiveGlobals names whose are there.
    std::map<DWORD, std::vector<uint64_t>> Globals;
    DWORD LiveGlobals = kTestProcessId;
};

Machine &M() {
    static Machine machine;
    return machine;
}

// --- The product's globals ------------------------------------------------------
//
// On Windows every process has its own copy of the program's globals, from
// the program file's initial values. Here every simulated process runs the
// same product code in one address space, so the host build gathers the
// product's writable globals into one region (simwin/process_globals.ld), and
// the kernel keeps a copy per process: whenever a thread of another process
// gets the CPU, the region is saved into the copy of the process whose it
// was and filled from the new one's.
//
// A process that a simulated program creates (CreateProcessW, run with
// sim::StartCreatedProcess) starts from the initial values, taken before any
// other static initialisation ran. The test process (product code that a test
// calls directly) has a copy too: the one the test sets and reads. A process
// that the test starts (sim::StartProgram, RunProgram, RunInProcess) starts
// from the test's copy as it is then, and when it ends the test's copy
// becomes what it left, so that a test sets globals before a run and reads
// them after it.

}  // namespace
extern "C" {
extern uint64_t __product_globals_start[] __attribute__((weak));
extern uint64_t __product_globals_end[] __attribute__((weak));
}
namespace {

size_t GlobalsWords() {
    return __product_globals_start == nullptr ? 0
                                              : static_cast<size_t>(__product_globals_end - __product_globals_start);
}

// Word by word, unchecked by AddressSanitizer: the region holds the redzones
// it poisons between the globals. The volatile keeps the compiler from
// making a checked memcpy of it.
__attribute__((no_sanitize_address)) void CopyWords(volatile uint64_t *to, const volatile uint64_t *from,
                                                    size_t words) {
    for (size_t i = 0; i < words; i++)
        to[i] = from[i];
}

std::vector<uint64_t> ReadGlobals() {
    std::vector<uint64_t> words(GlobalsWords());
    CopyWords(words.data(), __product_globals_start, words.size());
    return words;
}

std::vector<uint64_t> &InitialGlobals() {
    static std::vector<uint64_t> initial;
    return initial;
}
__attribute__((constructor(101))) void TakeInitialGlobals() { InitialGlobals() = ReadGlobals(); }

// A process's globals as they are now, wherever they are.
std::vector<uint64_t> GlobalsOf(DWORD pid) {
    if (M().LiveGlobals == pid)
        return ReadGlobals();
    auto it = M().Globals.find(pid);
    return it != M().Globals.end() ? it->second : std::vector<uint64_t>();
}

void SetGlobalsOf(DWORD pid, const std::vector<uint64_t> &words) {
    if (M().LiveGlobals == pid)
        CopyWords(__product_globals_start, words.data(), std::min(words.size(), GlobalsWords()));
    else
        M().Globals[pid] = words;
}

// Puts the process's globals into the region (a process without any, one
// that runs no product code, leaves it as it is). Each process keeps its
// buffer; the live one's is stale until it is saved into again.
void MakeGlobalsLive(DWORD pid) {
    auto &m = M();
    auto it = m.Globals.find(pid);
    if (pid == m.LiveGlobals || it == m.Globals.end() || GlobalsWords() == 0)
        return;
    std::vector<uint64_t> &saved = m.Globals[m.LiveGlobals];
    saved.resize(GlobalsWords());
    CopyWords(saved.data(), __product_globals_start, saved.size());
    CopyWords(__product_globals_start, it->second.data(), std::min(it->second.size(), GlobalsWords()));
    m.LiveGlobals = pid;
}

ProcessState *FindProcess(DWORD pid) {
    for (auto &p : M().Processes)
        if (p->Info.Id == pid)
            return p.get();
    return nullptr;
}

// The processor a program file is the program's build for, by its content:
// PROCESSOR_ARCHITECTURE_AMD64 or _ARM64, or _UNKNOWN for any other file
// (the 32-bit program, the system's own programs).
WORD ImageProcessor(const std::wstring &file) {
    std::string content = sim::files::ReadFile(file);
    if (content.compare(0, strlen(sim::kProgramImage64), sim::kProgramImage64) == 0)
        return PROCESSOR_ARCHITECTURE_AMD64;
    if (content.compare(0, strlen(sim::kProgramImageArm64), sim::kProgramImageArm64) == 0)
        return PROCESSOR_ARCHITECTURE_ARM64;
    return PROCESSOR_ARCHITECTURE_UNKNOWN;
}

// Whether a process that runs the program runs it under WOW64: the 32-bit
// build on a machine whose processor is not x86. The x64 and ARM64 builds run
// natively. Null is the test process.
bool ProgramUnderWow64(const ProcessState *p) {
    return M().Program32Bit && M().Architecture != PROCESSOR_ARCHITECTURE_INTEL && !(p && p->NativeBuild);
}

void SyncProcessView() {
    auto &m = M();
    m.ProcessView.clear();
    for (auto &p : m.Processes)
        m.ProcessView.push_back(p->Info);
}

bool AnySimThreadAlive() {
    for (auto &t : M().Threads)
        if (!t->Finished)
            return true;
    return false;
}

void RunDueEvents() {
    auto &m = M();
    for (;;) {
        auto it = std::min_element(m.Events.begin(), m.Events.end(), [](const ClockEvent &a, const ClockEvent &b) {
            return a.Time != b.Time ? a.Time < b.Time : a.Seq < b.Seq;
        });
        if (it == m.Events.end() || it->Time > m.Now)
            return;
        std::function<void()> fn = std::move(it->Fn);
        m.Events.erase(it);
        fn();
    }
}

uint64_t NextEventTime() {
    uint64_t t = simk::kForever;
    for (auto &e : M().Events)
        t = std::min(t, e.Time);
    return t;
}

void KillProcessThreads(DWORD pid) {
    for (auto &t : M().Threads)
        if (!t->Finished && (pid == 0 || t->ProcessId == pid))
            t->KillRequested = true;
}

// Chooses the thread that runs next, advancing the clock when nothing is
// ready. Null when no simulated thread can ever run again.
SimThread *PickNext() {
    auto &m = M();
    for (;;) {
        for (auto &t : m.Threads) {
            if (t->Finished)
                continue;
            if (t->KillRequested)
                return t.get();
            if ((t->Ready && t->Ready()) || t->Deadline <= m.Now)
                return t.get();
        }
        if (!AnySimThreadAlive())
            return nullptr;
        uint64_t next = NextEventTime();
        for (auto &t : m.Threads)
            if (!t->Finished)
                next = std::min(next, t->Deadline);
        if (next == simk::kForever || next > m.TimeLimit) {
            // Nothing more happens before the limit (or ever): the test ends the
            // programs, as a user would who waited that long.
            if (m.TimeLimit != UINT64_MAX)
                m.Now = std::max(m.Now, m.TimeLimit);
            for (auto &p : m.Processes)
                if (!p->Info.Ended && p->Info.Started) {
                    p->Info.Killed = true;
                }
            KillProcessThreads(0);
            continue;
        }
        m.Now = std::max(m.Now, next);
        RunDueEvents();
    }
}

void Resume(SimThread *next) {
    std::lock_guard<std::mutex> lock(gHandoff);
    if (next) {
        next->Running = true;
        next->Cv.notify_one();
    } else {
        gHostRunning = true;
        gHostCv.notify_one();
    }
}

// Waits until the thread holds the CPU, then puts its process's globals in
// place.
void WaitForCpu(SimThread *self) {
    {
        std::unique_lock<std::mutex> lock(gHandoff);
        if (self)
            self->Cv.wait(lock, [self] { return self->Running; });
        else
            gHostCv.wait(lock, [] { return gHostRunning; });
    }
    MakeGlobalsLive(self ? self->ProcessId : kTestProcessId);
}

void GiveUpCpu(SimThread *self) {
    SimThread *next = PickNext();
    if (next == self && self)
        return;
    {
        std::lock_guard<std::mutex> lock(gHandoff);
        if (self)
            self->Running = false;
        else
            gHostRunning = false;
    }
    if (next && !next->Started) {
        next->Started = true;
        SimThread *t = next;
        {
            std::lock_guard<std::mutex> lock(gHandoff);
            t->Running = true;
        }
        t->Real = std::thread([t] {
            tCurrent = t;
            WaitForCpu(t);
            DWORD code = 0;
            try {
                if (t->KillRequested)
                    throw simk::ThreadExit();
                code = t->Body();
            } catch (const simk::ThreadExit &) {
                code = 1;
            }
            t->ExitCode = code;
            t->Finished = true;
            t->Ready = nullptr;
            if (t->Object)
                t->Object->Signaled = true;
            SimThread *after = PickNext();
            {
                std::lock_guard<std::mutex> lock(gHandoff);
                t->Running = false;
            }
            if (after && !after->Started) {
                // Let the general path start it: hand the CPU to the host, which
                // will start it from its own loop.
                Resume(nullptr);
            } else {
                Resume(after);
            }
        });
    } else {
        Resume(next);
    }
    WaitForCpu(self);
}

SimThread *NewThread(DWORD pid, std::function<DWORD()> body) {
    auto &m = M();
    auto t = std::make_unique<SimThread>();
    t->Id = m.NextThreadId++;
    t->ProcessId = pid;
    t->Body = std::move(body);
    t->Ready = [] { return true; };
    t->Object = std::make_shared<KObject>();
    t->Object->Type = KObject::Thread;
    t->Object->ThreadRef = t.get();
    SimThread *raw = t.get();
    m.Threads.push_back(std::move(t));
    return raw;
}

void JoinFinishedThreads() {
    for (auto &t : M().Threads)
        if (t->Real.joinable() && t->Finished)
            t->Real.join();
}

HANDLE AddHandle(std::shared_ptr<KObject> obj, DWORD pid) {
    HANDLE h = simk::NewHandleValue();
    obj->Holders++;
    M().Handles[h] = std::move(obj);
    M().HandleOwners[h] = pid;
    return h;
}

void ReleaseObject(const std::shared_ptr<KObject> &obj) {
    if (--obj->Holders <= 0 && !obj->Key.empty())
        M().Named.erase(obj->Key);
}

void EndProcess(ProcessState *p, int exitCode) {
    auto &m = M();
    p->Info.ExitCode = exitCode;
    p->Info.Ended = true;
    p->Info.EndTime = m.Now;
    p->Object->Signaled = true;
    // The hooks see the ending process's globals, whichever thread ends it.
    DWORD live = m.LiveGlobals;
    MakeGlobalsLive(p->Info.Id);
    auto endHooks = m.ProcessEndHooks;
    for (auto &hook : endHooks)
        hook(p->Info);
    if (!p->Child && m.LiveGlobals == p->Info.Id)
        SetGlobalsOf(kTestProcessId, ReadGlobals());
    MakeGlobalsLive(live);
    KillProcessThreads(p->Info.Id);
    for (auto &hook : ProcessExitHooks())
        hook(p->Info.Id);
    // The process's handles close with it.
    static const char *const kKindNames[] = {"Mutex", "Event", "Thread", "Process", "Namespace", "Token"};
    for (auto it = m.HandleOwners.begin(); it != m.HandleOwners.end();) {
        if (it->second == p->Info.Id) {
            auto obj = m.Handles[it->first];
            p->Info.HandlesLeftOpen.push_back(kKindNames[obj->Type]);
            if (obj->Type == KObject::Mutex && obj->OwnerThread) {
                obj->OwnerThread = 0;
                obj->Recursion = 0;
            }
            ReleaseObject(obj);
            m.Handles.erase(it->first);
            m.GivenHandles.erase(it->first);
            it = m.HandleOwners.erase(it);
        } else {
            ++it;
        }
    }
    SyncProcessView();
}

ProcessState *NewProcess(const std::wstring &image, const std::wstring &commandLine) {
    auto &m = M();
    auto p = std::make_unique<ProcessState>();
    p->Info.Id = m.NextProcessId++;
    p->Info.Image = image;
    p->Info.ImageFile = image;
    p->Info.CommandLine = commandLine;
    p->Info.StartTime = m.Now;
    p->Object = std::make_shared<KObject>();
    p->Object->Type = KObject::Process;
    p->Object->ProcessId = p->Info.Id;
    p->Info.RunsAs = m.StartingAccount;
    p->Info.Session = m.StartingSession;
    p->WorkingDirectory = m.StartingDirectory;
    ProcessState *raw = p.get();
    m.Processes.push_back(std::move(p));
    SyncProcessView();
    return raw;
}

DWORD StartInProcess(ProcessState *p, std::function<int()> main);

// Runs the program's wWinMain in p with tail as its command line.
DWORD StartProgramIn(ProcessState *p, const std::wstring &tail) {
    p->TailBuffer.assign(tail.begin(), tail.end());
    p->TailBuffer.push_back(0);
    p->RunsProgram = true;
    return StartInProcess(p, [p]() {
        return wWinMain(kProgramInstance, nullptr, p->TailBuffer.data(), 10 /* SW_SHOWDEFAULT */);
    });
}

DWORD StartInProcess(ProcessState *p, std::function<int()> main) {
    p->Info.Started = true;
    SetGlobalsOf(p->Info.Id, p->Child ? InitialGlobals() : GlobalsOf(kTestProcessId));
    if (M().RunFirstProcess == SIZE_MAX)
        M().RunFirstProcess = M().Processes.size() - 1;
    DWORD pid = p->Info.Id;
    NewThread(pid, [pid, main]() -> DWORD {
        int code = 0;
        bool killed = false;
        try {
            for (auto &hook : ProcessStartHooks())
                hook(pid);
            code = main();
        } catch (const simk::ThreadExit &) {
            killed = true;
        }
        ProcessState *ps = FindProcess(pid);
        if (ps && !ps->Info.Ended)
            EndProcess(ps, killed ? 1 : code);
        return static_cast<DWORD>(code);
    });
    SyncProcessView();
    return pid;
}


}  // namespace

// ============================================================================
// Internals for the subsystems
// ============================================================================

namespace simk {

DWORD Enter(const char *api) {
    auto &m = M();
    if (tCurrent) {
        // A loop that never waits never moves the clock: no time limit would
        // end it. Past the bound its process ends as crashed.
        if (m.StepsClock != m.Now) {
            m.StepsClock = m.Now;
            m.Steps = 0;
        }
        if (++m.Steps > sim::kStepBound)
            CrashProcess(kStatusPossibleDeadlock, L"made " + std::to_wstring(sim::kStepBound) +
                                                      L" calls without the virtual clock moving: a loop that never waits");
        BeforeApiCall(api);
    }
    m.Calls.push_back({api, m.Now, simk::CurrentProcessId()});
    auto hooks = m.CallHooks.find(api);
    if (hooks != m.CallHooks.end() && !tInCallHook) {
        struct InHook {
            InHook() { tInCallHook = true; }
            ~InHook() { tInCallHook = false; }
        } inHook;
        std::vector<std::function<void()>> run = hooks->second;
        for (auto &fn : run)
            fn();
    }
    int occurrence = ++m.Occurrences[api];
    auto at = m.FailuresAt.find({api, occurrence});
    if (at != m.FailuresAt.end()) {
        DWORD error = at->second;
        m.FailuresAt.erase(at);
        m.InjectedFailures.push_back(m.Calls.back());
        SetError(error);
        return error != 0 ? error : ERROR_GEN_FAILURE;
    }
    auto it = m.Failures.find(api);
    if (it == m.Failures.end())
        return 0;
    DWORD error = it->second.Error;
    if (it->second.Times > 0 && --it->second.Times == 0)
        m.Failures.erase(it);
    m.InjectedFailures.push_back(m.Calls.back());
    SetError(error);
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

void SetError(DWORD error) {
    if (tCurrent)
        M().LastErrors[tCurrent->Id] = error;
    else
        tHostLastError = error;
}

DWORD GetError() {
    if (tCurrent)
        return M().LastErrors[tCurrent->Id];
    return tHostLastError;
}

uint64_t Now() { return M().Now; }

bool Block(const std::function<bool()> &ready, uint64_t deadline) {
    auto &m = M();
    SimThread *self = tCurrent;
    if (!self) {
        // A test calling product code directly: only the clock moves.
        for (;;) {
            if (ready && ready())
                return true;
            uint64_t next = std::min(deadline, NextEventTime());
            if (next == kForever)
                return false;
            m.Now = std::max(m.Now, next);
            RunDueEvents();
            if (m.Now >= deadline)
                return ready && ready();
        }
    }
    if (self->KillRequested)
        throw ThreadExit();
    self->Ready = ready;
    self->Deadline = deadline;
    GiveUpCpu(self);
    self->Ready = nullptr;
    self->Deadline = kForever;
    if (self->KillRequested)
        throw ThreadExit();
    return ready && ready();
}

void SleepFor(uint64_t ms) {
    uint64_t until = M().Now + ms;
    Block(nullptr, until);
}

DWORD CurrentProcessId() { return tCurrent ? tCurrent->ProcessId : kTestProcessId; }

bool KernelObjectSddl(HANDLE handle, std::wstring *sddl) {
    auto it = M().Handles.find(handle);
    if (it == M().Handles.end() || it->second->Type != KObject::Mutex)
        return false;
    // The default DACL of an elevated administrator's or SYSTEM's token; a
    // standard user's gives the user and SYSTEM full access.
    const std::wstring &owner = it->second->Owner;
    *sddl = L"O:" + owner + L"D:(A;;GA;;;SY)(A;;GA;;;" + (owner == L"S-1-5-32-544" ? L"BA" : owner) + L")";
    return true;
}

std::wstring CurrentDirectory() {
    ProcessState *p = FindProcess(CurrentProcessId());
    return p != nullptr && !p->WorkingDirectory.empty() ? p->WorkingDirectory : M().StartingDirectory;
}
DWORD CurrentThreadId() { return tCurrent ? tCurrent->Id : 1; }

bool CurrentProcessRunsProgram() {
    ProcessState *p = tCurrent ? FindProcess(tCurrent->ProcessId) : nullptr;
    return p != nullptr && p->RunsProgram;
}

std::wstring CurrentProcessImage() {
    if (tCurrent) {
        if (ProcessState *p = FindProcess(tCurrent->ProcessId))
            return p->Info.Image;
    }
    return M().TestImage;
}

void *NewHandleValue() {
    M().NextHandle += 4;
    return reinterpret_cast<void *>(M().NextHandle);
}

bool SameText(const std::wstring &a, const std::wstring &b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (towupper(a[i]) != towupper(b[i]))
            return false;
    return true;
}

std::wstring Lower(std::wstring text) {
    for (auto &c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

std::wstring Upper(std::wstring text) {
    for (auto &c : text)
        c = static_cast<wchar_t>(towupper(c));
    return text;
}

void OnReset(std::function<void()> fn) { ResetHooks().push_back(std::move(fn)); }
WORD NativeArchitecture() { return M().Architecture; }
sim::WindowsVersion Version() { return M().Version; }
bool IsWow64() { return ProgramUnderWow64(tCurrent ? FindProcess(tCurrent->ProcessId) : nullptr); }
bool Is64BitWindows() {
    WORD arch = M().Architecture;
    return arch == PROCESSOR_ARCHITECTURE_AMD64 || arch == PROCESSOR_ARCHITECTURE_ARM64 ||
           arch == PROCESSOR_ARCHITECTURE_IA64;
}
void OnMachineChange(std::function<void()> fn) { MachineChangeHooks().push_back(std::move(fn)); }
void OnProcessExit(std::function<void(DWORD)> fn) { ProcessExitHooks().push_back(std::move(fn)); }
void OnProcessStart(std::function<void(DWORD)> fn) { ProcessStartHooks().push_back(std::move(fn)); }
HINSTANCE ProgramInstance() { return kProgramInstance; }

void CrashProcess(DWORD status, const std::wstring &reason) {
    if (ProcessState *p = tCurrent ? FindProcess(tCurrent->ProcessId) : nullptr) {
        if (!p->Info.Ended) {
            p->Info.Crashed = true;
            p->Info.CrashReason = reason;
            EndProcess(p, static_cast<int>(status));
        }
    }
    throw ThreadExit();
}

bool Kernel32Exports(const char *name) {
    static const struct {
        const char *Name;
        sim::WindowsVersion Since;
    } kSince[] = {
        {"IsWow64Process2", sim::WindowsVersion::Windows10},
        {"GetSystemWow64Directory2W", sim::WindowsVersion::Windows10},
        // Windows 7 has them only with KB2533623, which the Windows7 machine
        // lacks.
        {"SetDefaultDllDirectories", sim::WindowsVersion::Windows81},
        {"AddDllDirectory", sim::WindowsVersion::Windows81},
        {"RemoveDllDirectory", sim::WindowsVersion::Windows81},
    };
    for (auto &e : kSince)
        if (name && strcmp(name, e.Name) == 0)
            return M().Version >= e.Since;
    return true;
}

}  // namespace simk

// ============================================================================
// Test-facing API
// ============================================================================

static std::wstring ObjectKey(const std::wstring &name, DWORD session);
static bool HoldsAll(const std::vector<std::wstring> &sids);
static bool Reaches(const std::wstring &label);
static std::wstring DefaultOwner();
static std::wstring NamespaceKey(const std::wstring &alias, const std::vector<std::wstring> &sids,
                                 const std::wstring &label);

namespace sim {

const char kProgramImage64[] = "x64 program image";
const char kProgramImageArm64[] = "arm64 program image";

void Reset() {
    auto &m = M();
    // End whatever is still blocked from an earlier run.
    if (AnySimThreadAlive()) {
        KillProcessThreads(0);
        m.TimeLimit = m.Now;
        while (AnySimThreadAlive())
            GiveUpCpu(nullptr);
    }
    JoinFinishedThreads();
    MakeGlobalsLive(kTestProcessId);
    for (auto &a : m.Allocations)
        free(a.first);
    WORD arch = PROCESSOR_ARCHITECTURE_AMD64;
    m.~Machine();
    new (&m) Machine();
    m.Architecture = arch;
    tHostLastError = 0;
    for (auto &hook : ResetHooks())
        hook();
}

uint64_t Now() { return M().Now; }

void At(uint64_t timeMs, std::function<void()> fn) {
    auto &m = M();
    m.Events.push_back({timeMs, m.EventSeq++, std::move(fn)});
}

const std::vector<Call> &Calls() { return M().Calls; }

int CallCount(const std::string &api) {
    int n = 0;
    for (auto &c : M().Calls)
        if (c.Api == api)
            n++;
    return n;
}

std::vector<uint64_t> CallTimes(const std::string &api) {
    std::vector<uint64_t> times;
    for (auto &c : M().Calls)
        if (c.Api == api)
            times.push_back(c.Time);
    return times;
}

void ClearCalls() {
    M().Calls.clear();
    M().Occurrences.clear();
}

void FailCall(const std::string &api, DWORD error, int times) { M().Failures[api] = {error, times}; }

void OnCall(const std::string &api, std::function<void()> fn) { M().CallHooks[api].push_back(std::move(fn)); }
void FailCallAt(const std::string &api, int occurrence, DWORD error) { M().FailuresAt[{api, occurrence}] = error; }
const std::vector<Call> &InjectedFailures() { return M().InjectedFailures; }

void SetTestProcessImage(const std::wstring &image) { M().TestImage = image; }

DWORD StartProgram(const std::wstring &image, const std::wstring &tail) {
    std::wstring cmdline = L"\"" + image + L"\"";
    if (!tail.empty())
        cmdline += L" " + tail;
    ProcessState *p = NewProcess(image, cmdline);
    p->NativeBuild = ImageProcessor(image) != PROCESSOR_ARCHITECTURE_UNKNOWN;
    return StartProgramIn(p, tail);
}

void StartCreatedProcess(DWORD processId) {
    ProcessState *p = FindProcess(processId);
    if (p == nullptr || p->Info.Started || p->Info.Ended)
        return;
    if (p->Suspended) {
        p->StartWhenResumed = true;
        return;
    }
    std::wstring tail;
    SplitCommandLine(p->Info.CommandLine, nullptr, &tail);
    StartProgramIn(p, tail);
}

Process Run(uint64_t timeLimitMs) {
    auto &m = M();
    m.TimeLimit = timeLimitMs;
    while (AnySimThreadAlive())
        GiveUpCpu(nullptr);
    JoinFinishedThreads();
    m.TimeLimit = UINT64_MAX;
    SyncProcessView();
    Process first;
    if (m.RunFirstProcess != SIZE_MAX && m.RunFirstProcess < m.Processes.size())
        first = m.Processes[m.RunFirstProcess]->Info;
    m.RunFirstProcess = SIZE_MAX;
    return first;
}

Process RunProgram(const std::wstring &image, const std::wstring &tail, uint64_t timeLimitMs) {
    StartProgram(image, tail);
    return Run(timeLimitMs);
}

Process RunInProcess(const std::function<void()> &fn, uint64_t timeLimitMs, const std::wstring &image) {
    ProcessState *p = NewProcess(image, L"\"" + image + L"\"");
    StartInProcess(p, [fn]() {
        fn();
        return 0;
    });
    return Run(timeLimitMs);
}

DWORD StartInProcess(const std::function<void()> &fn, const std::wstring &image) {
    ProcessState *p = NewProcess(image, L"\"" + image + L"\"");
    return ::StartInProcess(p, [fn]() {
        fn();
        return 0;
    });
}

const std::vector<Process> &Processes() {
    SyncProcessView();
    return M().ProcessView;
}

void OnProcessCreated(std::function<void(const Process &)> fn) { M().ProcessCreatedHooks.push_back(std::move(fn)); }

void OnProcessEnd(std::function<void(const Process &)> fn) { M().ProcessEndHooks.push_back(std::move(fn)); }

int OpenHandles(DWORD processId) {
    int n = 0;
    for (auto &owner : M().HandleOwners)
        if (owner.second == processId)
            n++;
    return n;
}

int GivenHandles(DWORD processId) {
    int n = 0;
    for (HANDLE h : M().GivenHandles)
        if (M().HandleOwners[h] == processId)
            n++;
    return n;
}

void SplitCommandLine(const std::wstring &cmdline, std::wstring *image, std::wstring *tail) {
    size_t i = 0;
    std::wstring path;
    if (i < cmdline.size() && cmdline[i] == L'"') {
        ++i;
        while (i < cmdline.size() && cmdline[i] != L'"')
            path += cmdline[i++];
        if (i < cmdline.size())
            ++i;
    } else {
        while (i < cmdline.size() && cmdline[i] != L' ' && cmdline[i] != L'\t')
            path += cmdline[i++];
    }
    while (i < cmdline.size() && (cmdline[i] == L' ' || cmdline[i] == L'\t'))
        ++i;
    if (image)
        *image = path;
    if (tail)
        *tail = cmdline.substr(i);
}

void SetStartingAccount(Account account, DWORD session) {
    M().StartingAccount = account;
    M().StartingSession = session;
}

void SetStartingDirectory(const std::wstring &folder) { M().StartingDirectory = folder; }

bool HoldNamedMutex(const std::wstring &name, const std::wstring &namespaceAlias, const std::wstring &boundarySid,
                    const std::wstring &integrityLabel) {
    auto &m = M();
    if (!namespaceAlias.empty() && (!HoldsAll({boundarySid}) || !Reaches(integrityLabel)))
        return false;
    std::wstring key = namespaceAlias.empty()
                           ? ObjectKey(name, m.StartingSession)
                           : NamespaceKey(namespaceAlias, {boundarySid}, integrityLabel) + L"\\" + simk::Upper(name);
    auto obj = m.Named[key].lock();
    if (!obj) {
        obj = std::make_shared<KObject>();
        obj->Type = KObject::Mutex;
        obj->Name = name;
        obj->Key = key;
        obj->Owner = DefaultOwner();
        m.Named[key] = obj;
    }
    obj->Holders++;
    m.OutsideHolds.push_back(obj);
    return true;
}

bool NamedObjectExists(const std::wstring &name) {
    auto it = M().Named.find(ObjectKey(name, M().StartingSession));
    return it != M().Named.end() && !it->second.expired();
}

void SetNativeArchitecture(WORD arch) {
    M().Architecture = arch;
    MachineChanged();
}
void SetWindowsVersion(WindowsVersion version) {
    M().Version = version;
    MachineChanged();
}
void SetProgram32Bit(bool is32Bit) {
    M().Program32Bit = is32Bit;
    MachineChanged();
}

const std::vector<std::wstring> &DebugWrites() { return M().DebugWrites; }

std::vector<std::wstring> DebugLines() {
    std::vector<std::wstring> lines;
    std::wstring cur;
    bool pending = false;
    for (auto &w : M().DebugWrites) {
        for (wchar_t c : w) {
            if (c == L'\n') {
                lines.push_back(cur);
                cur.clear();
                pending = false;
            } else {
                cur += c;
                pending = true;
            }
        }
    }
    if (pending)
        lines.push_back(cur);
    return lines;
}

void ClearDebugOutput() { M().DebugWrites.clear(); }

size_t LiveAllocations() { return M().Allocations.size(); }

bool IsLiveAllocation(const void *block) { return M().Allocations.count(const_cast<void *>(block)) != 0; }

int BadFrees() { return M().BadFrees; }

}  // namespace sim

// ============================================================================
// Win32
// ============================================================================

DWORD WINAPI GetLastError(void) { return simk::GetError(); }
void WINAPI SetLastError(DWORD error) { simk::SetError(error); }

void WINAPI Sleep(DWORD milliseconds) {
    simk::Enter("Sleep");
    if (milliseconds == INFINITE)
        simk::Block(nullptr, simk::kForever);
    else
        simk::SleepFor(milliseconds);
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(M().Now); }

// --- Memory ------------------------------------------------------------------

static void *Allocate(SIZE_T bytes, bool zero) {
    void *p = zero ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
    if (p)
        M().Allocations[p] = bytes;
    return p;
}

static bool Release(void *p) {
    auto &a = M().Allocations;
    auto it = a.find(p);
    if (it == a.end())
        return false;
    a.erase(it);
    free(p);
    return true;
}

void *simk::LocalAllocate(size_t bytes) { return Allocate(bytes, true); }

HANDLE WINAPI GetProcessHeap(void) { return kProcessHeap; }

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    SIM_ENTER("HeapAlloc", nullptr);
    if (heap != kProcessHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return Allocate(bytes, (flags & HEAP_ZERO_MEMORY) != 0);
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD, LPVOID memory) {
    if (!memory)
        return TRUE;
    if (heap != kProcessHeap || !Release(memory)) {
        M().BadFrees++;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
    SIM_ENTER("LocalAlloc", nullptr);
    return Allocate(bytes, (flags & LMEM_ZEROINIT) != 0);
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
    if (!memory)
        return nullptr;
    if (!Release(memory)) {
        M().BadFrees++;
        SetLastError(ERROR_INVALID_HANDLE);
        return memory;
    }
    return nullptr;
}

// --- Kernel objects ------------------------------------------------------------

// Where a name lives. "Global\" names the global namespace; "Local\" and a
// name without a prefix the session's own, which for session 0 is the global
// one. Letter case does not count.
static std::wstring ObjectKey(const std::wstring &name, DWORD session) {
    std::wstring upper = simk::Upper(name);
    if (upper.rfind(L"GLOBAL\\", 0) == 0)
        return L"\\BASENAMEDOBJECTS\\" + upper.substr(7);
    if (upper.rfind(L"LOCAL\\", 0) == 0)
        upper = upper.substr(6);
    if (session == 0)
        return L"\\BASENAMEDOBJECTS\\" + upper;
    return L"\\SESSIONS\\" + std::to_wstring(session) + L"\\BASENAMEDOBJECTS\\" + upper;
}

// A private namespace is known by its alias and its boundary.
static std::wstring NamespaceKey(const std::wstring &alias, const std::vector<std::wstring> &sids,
                                 const std::wstring &label) {
    std::wstring key = L"\\NAMESPACES\\" + simk::Upper(alias);
    for (const std::wstring &sid : sids)
        key += L"|" + sid;
    if (!label.empty())
        key += L"|label " + label;
    return key;
}

static ProcessState *CallingProcess() { return FindProcess(simk::CurrentProcessId()); }

// The key of a name as the calling process reads it: "ALIAS\name" names an
// object in a private namespace of that alias that the process holds open.
// False, with ERROR_PATH_NOT_FOUND, for a prefix that is none of these.
static bool ResolveName(const std::wstring &name, std::wstring *key) {
    ProcessState *p = CallingProcess();
    DWORD session = p ? p->Info.Session : M().StartingSession;
    size_t slash = name.find(L'\\');
    std::wstring prefix = slash == std::wstring::npos ? L"" : simk::Upper(name.substr(0, slash));
    if (slash == std::wstring::npos || prefix == L"GLOBAL" || prefix == L"LOCAL") {
        *key = ObjectKey(name, session);
        return true;
    }
    for (auto &owner : M().HandleOwners) {
        auto obj = M().Handles[owner.first];
        if (owner.second == simk::CurrentProcessId() && obj->Type == KObject::Namespace &&
            simk::Upper(obj->Name) == prefix) {
            *key = obj->Key + L"\\" + simk::Upper(name.substr(slash + 1));
            return true;
        }
    }
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
}

// The SIDs enabled in the calling process's token (string form).
static std::vector<std::wstring> EnabledSids() {
    ProcessState *p = CallingProcess();
    sim::Account account = p ? p->Info.RunsAs : M().StartingAccount;
    switch (account) {
    case sim::Account::System:
        return {L"S-1-5-18", L"S-1-5-32-544", L"S-1-1-0", L"S-1-5-11"};
    case sim::Account::StandardUser:
        return {sim::files::kUserSid, L"S-1-1-0", L"S-1-5-11", L"S-1-5-32-545", L"S-1-5-4"};
    default:
        return {sim::files::kUserSid, L"S-1-5-32-544", L"S-1-1-0", L"S-1-5-11", L"S-1-5-32-545", L"S-1-5-4"};
    }
}

static bool HoldsAll(const std::vector<std::wstring> &sids) {
    std::vector<std::wstring> enabled = EnabledSids();
    for (const std::wstring &sid : sids)
        if (std::find(enabled.begin(), enabled.end(), sid) == enabled.end())
            return false;
    return true;
}

static sim::Account CallingAccount() {
    ProcessState *p = CallingProcess();
    return p ? p->Info.RunsAs : M().StartingAccount;
}

// Whether the calling process runs at the integrity level of a label
// ("S-1-16-N") or above: SYSTEM at System, an elevated administrator at
// High, a standard user at Medium. An empty label asks for nothing.
static bool Reaches(const std::wstring &label) {
    if (label.empty())
        return true;
    unsigned long level = 0;
    switch (CallingAccount()) {
    case sim::Account::System:
        level = 0x4000;
        break;
    case sim::Account::StandardUser:
        level = 0x2000;
        break;
    default:
        level = 0x3000;
        break;
    }
    size_t dash = label.find_last_of(L'-');
    return label.rfind(L"S-1-16-", 0) == 0 && dash != std::wstring::npos && level >= std::stoul(label.substr(dash + 1));
}

// The owner of what the calling process creates without naming one: its
// token's default owner, Administrators for an elevated administrator and
// for SYSTEM, the user's own SID for a standard user.
static std::wstring DefaultOwner() {
    return CallingAccount() == sim::Account::StandardUser ? sim::files::kUserSid : L"S-1-5-32-544";
}

// SIDs in their binary form: revision 1, the count, the six-byte authority
// and the sub-authorities.
static std::wstring SidText(const BYTE *sid) {
    unsigned long long authority = 0;
    for (int i = 2; i < 8; i++)
        authority = (authority << 8) | sid[i];
    std::wstring text = L"S-1-" + std::to_wstring(authority);
    for (int i = 0; i < sid[1]; i++) {
        DWORD part;
        memcpy(&part, sid + 8 + 4 * i, 4);
        text += L"-" + std::to_wstring(part);
    }
    return text;
}


static std::shared_ptr<KObject> ObjectOf(HANDLE h) {
    auto it = M().Handles.find(h);
    return it == M().Handles.end() ? nullptr : it->second;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    auto &m = M();
    auto it = m.Handles.find(handle);
    if (it == m.Handles.end()) {
        if (simk::CloseFileHandle(handle))
            return TRUE;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto obj = it->second;
    m.Handles.erase(it);
    m.HandleOwners.erase(handle);
    m.GivenHandles.erase(handle);
    ReleaseObject(obj);
    return TRUE;
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
    SIM_ENTER("CreateMutexW", nullptr);
    auto &m = M();
    std::shared_ptr<KObject> obj;
    std::wstring key;
    bool existed = false;
    if (name && *name) {
        if (!ResolveName(name, &key))
            return nullptr;
        obj = m.Named[key].lock();
        if (obj && obj->Type != KObject::Mutex) {
            SetLastError(6 /* ERROR_INVALID_HANDLE */);
            return nullptr;
        }
        existed = obj != nullptr;
    }
    if (!obj) {
        obj = std::make_shared<KObject>();
        obj->Type = KObject::Mutex;
        obj->Owner = DefaultOwner();
        if (name && *name) {
            obj->Name = name;
            obj->Key = key;
            m.Named[key] = obj;
        }
        if (initialOwner) {
            obj->OwnerThread = simk::CurrentThreadId();
            obj->Recursion = 1;
        }
    }
    HANDLE h = AddHandle(obj, simk::CurrentProcessId());
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

// --- Private namespaces ----------------------------------------------------------

// The well-known SIDs the program asks for, in string form.
static const wchar_t *WellKnownSidText(WELL_KNOWN_SID_TYPE type) {
    switch (type) {
    case WinBuiltinAdministratorsSid:
        return L"S-1-5-32-544";
    case WinLocalSystemSid:
        return L"S-1-5-18";
    case WinHighLabelSid:
        return L"S-1-16-12288";
    case WinCreatorOwnerRightsSid:
        return L"S-1-3-4";
    default:
        return nullptr;
    }
}

BOOL WINAPI CreateWellKnownSid(WELL_KNOWN_SID_TYPE type, PSID domainSid, PSID sid, DWORD *size) {
    SIM_ENTER("CreateWellKnownSid", FALSE);
    (void)domainSid;
    const wchar_t *text = WellKnownSidText(type);
    if (text == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<BYTE> bytes = simk::SidBytes(text);
    DWORD needed = static_cast<DWORD>(bytes.size());
    if (size == nullptr || sid == nullptr || *size < needed) {
        if (size)
            *size = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(sid, bytes.data(), needed);
    *size = needed;
    return TRUE;
}

// --- Tokens ----------------------------------------------------------------------------

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    SIM_ENTER("OpenProcessToken", FALSE);
    if (process != GetCurrentProcess() || token == nullptr || access != TOKEN_QUERY) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto obj = std::make_shared<KObject>();
    obj->Type = KObject::Token;
    obj->ProcessId = simk::CurrentProcessId();
    *token = AddHandle(obj, simk::CurrentProcessId());
    return TRUE;
}

// TokenUser only: the account's SID after the structure.
BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD length,
                                PDWORD returned) {
    SIM_ENTER("GetTokenInformation", FALSE);
    auto obj = ObjectOf(token);
    if (!obj || obj->Type != KObject::Token || infoClass != TokenUser || returned == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ProcessState *p = FindProcess(obj->ProcessId);
    sim::Account account = p ? p->Info.RunsAs : M().StartingAccount;
    std::vector<BYTE> sid = simk::SidBytes(account == sim::Account::System ? L"S-1-5-18" : sim::files::kUserSid);
    *returned = static_cast<DWORD>(sizeof(TOKEN_USER) + sid.size());
    if (info == nullptr || length < *returned) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    TOKEN_USER *user = static_cast<TOKEN_USER *>(info);
    BYTE *bytes = static_cast<BYTE *>(info) + sizeof(TOKEN_USER);
    memcpy(bytes, sid.data(), sid.size());
    user->User.Sid = bytes;
    user->User.Attributes = 0;
    return TRUE;
}

BOOL WINAPI EqualSid(PSID a, PSID b) {
    SIM_ENTER("EqualSid", FALSE);
    SetLastError(ERROR_SUCCESS);
    return a != nullptr && b != nullptr && SidText(static_cast<const BYTE *>(a)) == SidText(static_cast<const BYTE *>(b));
}

BOOL WINAPI IsWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type) {
    SIM_ENTER("IsWellKnownSid", FALSE);
    if (sid == nullptr)
        return FALSE;
    const wchar_t *known = WellKnownSidText(type);
    return known != nullptr && SidText(static_cast<const BYTE *>(sid)) == known;
}

// The accounts a simulated process runs as: SYSTEM, or the interactive user,
// whose machine is named PRINTPC here.
BOOL WINAPI LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameCch, LPWSTR domain,
                              LPDWORD domainCch, PSID_NAME_USE use) {
    SIM_ENTER("LookupAccountSidW", FALSE);
    if (sid == nullptr || nameCch == nullptr || domainCch == nullptr || use == nullptr || systemName != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::wstring text = SidText(static_cast<const BYTE *>(sid));
    std::wstring account, authority;
    if (text == L"S-1-5-18") {
        account = L"SYSTEM";
        authority = L"NT AUTHORITY";
        *use = SidTypeWellKnownGroup;
    } else if (text == L"S-1-5-32-544") {
        account = L"Administrators";
        authority = L"BUILTIN";
        *use = SidTypeAlias;
    } else if (text == sim::files::kUserSid) {
        account = L"Setup";
        authority = L"PRINTPC";
        *use = SidTypeUser;
    } else {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    // Too small a buffer gets the sizes it needs, terminators counted.
    if (name == nullptr || domain == nullptr || *nameCch <= account.size() || *domainCch <= authority.size()) {
        *nameCch = static_cast<DWORD>(account.size() + 1);
        *domainCch = static_cast<DWORD>(authority.size() + 1);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    wcscpy(name, account.c_str());
    wcscpy(domain, authority.c_str());
    *nameCch = static_cast<DWORD>(account.size());
    *domainCch = static_cast<DWORD>(authority.size());
    return TRUE;
}

// The system's message table, for the codes this program meets, in the
// words of an English Windows.
static const struct {
    DWORD Code;
    const wchar_t *Text;
} kSystemMessages[] = {
    {1, L"Incorrect function."},
    {2, L"The system cannot find the file specified."},
    {3, L"The system cannot find the path specified."},
    {5, L"Access is denied."},
    {6, L"The handle is invalid."},
    {8, L"Not enough memory resources are available to process this command."},
    {31, L"A device attached to the system is not functioning."},
    {32, L"The process cannot access the file because it is being used by another process."},
    {87, L"The parameter is incorrect."},
    {122, L"The data area passed to a system call is too small."},
    {183, L"Cannot create a file when that file already exists."},
    {1058, L"The service cannot be started, either because it is disabled or because it has no enabled devices "
           L"associated with it."},
    {1062, L"The service has not been started."},
    {1167, L"The device is not connected."},
    {1168, L"Element not found."},
    {1314, L"A required privilege is not held by the client."},
    {1459, L"This operation requires an interactive window station."},
    {1460, L"This operation returned because the timeout period expired."},
    {1603, L"Fatal error during installation."},
    {1618, L"Another installation is already in progress. Complete that installation before proceeding with this "
           L"install."},
    {1638, L"Another version of this product is already installed. Installation of this version cannot continue. "
           L"To configure or remove the existing version of this product, use Add/Remove Programs on the Control "
           L"Panel."},
    {1641, L"The requested operation completed successfully. The system will be restarted so the changes can take "
           L"effect."},
    {1707, L"Installation operation completed successfully."},
    {1797, L"The printer driver is unknown."},
    {1801, L"The printer name is invalid."},
    {1905, L"The printer has been deleted."},
    {3010, L"The requested operation is successful. Changes will not be effective until the system is rebooted."},
    {0x80004001, L"Not implemented"},
    {0x80096010, L"The digital signature of the object did not verify."},
};

// FORMAT_MESSAGE_FROM_SYSTEM with FORMAT_MESSAGE_IGNORE_INSERTS into the
// caller's buffer; the text ends with CRLF, as the system's do.
DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size,
                            va_list *arguments) {
    (void)source;
    (void)arguments;
    SIM_ENTER("FormatMessageW", 0);
    if ((flags & ~(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS)) != 0 ||
        (flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (languageId != 0) {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    for (const auto &message : kSystemMessages) {
        if (message.Code != messageId)
            continue;
        std::wstring text = std::wstring(message.Text) + L"\r\n";
        if (size <= text.size()) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        wcscpy(buffer, text.c_str());
        return static_cast<DWORD>(text.size());
    }
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
}

HANDLE WINAPI CreateBoundaryDescriptorW(LPCWSTR name, ULONG flags) {
    SIM_ENTER("CreateBoundaryDescriptorW", nullptr);
    if (name == nullptr || flags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE h = simk::NewHandleValue();
    M().Boundaries[h] = {name, {}, L""};
    return h;
}

BOOL WINAPI AddIntegrityLabelToBoundaryDescriptor(HANDLE *boundary, PSID label) {
    SIM_ENTER("AddIntegrityLabelToBoundaryDescriptor", FALSE);
    auto it = boundary ? M().Boundaries.find(*boundary) : M().Boundaries.end();
    std::wstring text = label ? SidText(static_cast<const BYTE *>(label)) : L"";
    if (it == M().Boundaries.end() || text.rfind(L"S-1-16-", 0) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    it->second.Label = text;
    return TRUE;
}

BOOL WINAPI AddSIDToBoundaryDescriptor(HANDLE *boundary, PSID sid) {
    SIM_ENTER("AddSIDToBoundaryDescriptor", FALSE);
    auto it = boundary ? M().Boundaries.find(*boundary) : M().Boundaries.end();
    if (it == M().Boundaries.end() || sid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    it->second.Sids.push_back(SidText(static_cast<const BYTE *>(sid)));
    return TRUE;
}

VOID WINAPI DeleteBoundaryDescriptor(HANDLE boundary) {
    SIM_ENTER("DeleteBoundaryDescriptor", );
    M().Boundaries.erase(boundary);
}

// The namespace's descriptor is not modelled beyond what the boundary says:
// a process outside the boundary is refused with ERROR_ACCESS_DENIED, and so
// is one below the boundary's integrity label that would create it ("a
// process can create a namespace only with an integrity level equal to or
// lower than its own", AddIntegrityLabelToBoundaryDescriptor).
static HANDLE OpenNamespace(LPVOID boundary, LPCWSTR alias, bool create) {
    auto &m = M();
    auto it = m.Boundaries.find(boundary);
    if (it == m.Boundaries.end() || alias == nullptr || *alias == 0 || it->second.Sids.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!HoldsAll(it->second.Sids) || (create && !Reaches(it->second.Label))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::wstring key = NamespaceKey(alias, it->second.Sids, it->second.Label);
    auto obj = m.Named[key].lock();
    if (create && obj) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return nullptr;
    }
    if (!create && !obj) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    if (!obj) {
        obj = std::make_shared<KObject>();
        obj->Type = KObject::Namespace;
        obj->Name = alias;
        obj->Key = key;
        m.Named[key] = obj;
    }
    HANDLE h = AddHandle(obj, simk::CurrentProcessId());
    SetLastError(ERROR_SUCCESS);
    return h;
}

HANDLE WINAPI CreatePrivateNamespaceW(LPSECURITY_ATTRIBUTES, LPVOID boundary, LPCWSTR alias) {
    SIM_ENTER("CreatePrivateNamespaceW", nullptr);
    return OpenNamespace(boundary, alias, true);
}

HANDLE WINAPI OpenPrivateNamespaceW(LPVOID boundary, LPCWSTR alias) {
    SIM_ENTER("OpenPrivateNamespaceW", nullptr);
    return OpenNamespace(boundary, alias, false);
}

BOOLEAN WINAPI ClosePrivateNamespace(HANDLE handle, ULONG) {
    SIM_ENTER("ClosePrivateNamespace", FALSE);
    auto obj = ObjectOf(handle);
    if (!obj || obj->Type != KObject::Namespace) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(handle);
}

BOOL WINAPI ReleaseMutex(HANDLE mutex) {
    auto obj = ObjectOf(mutex);
    if (!obj || obj->Type != KObject::Mutex || obj->OwnerThread != simk::CurrentThreadId()) {
        SetLastError(288 /* ERROR_NOT_OWNER */);
        return FALSE;
    }
    if (--obj->Recursion == 0)
        obj->OwnerThread = 0;
    return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    SIM_ENTER("CreateEventW", nullptr);
    auto &m = M();
    std::shared_ptr<KObject> obj;
    bool existed = false;
    std::wstring key;
    if (name && *name) {
        if (!ResolveName(name, &key))
            return nullptr;
        obj = m.Named[key].lock();
        existed = obj != nullptr;
    }
    if (!obj) {
        obj = std::make_shared<KObject>();
        obj->Type = KObject::Event;
        obj->ManualReset = manualReset != FALSE;
        obj->Signaled = initialState != FALSE;
        if (name && *name) {
            obj->Name = name;
            obj->Key = key;
            m.Named[key] = obj;
        }
    }
    HANDLE h = AddHandle(obj, simk::CurrentProcessId());
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

// An existing named event; ERROR_FILE_NOT_FOUND when there is none of that
// name, ERROR_INVALID_HANDLE when the name is another kind of object's.
HANDLE WINAPI OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name) {
    SIM_ENTER("OpenEventW", nullptr);
    (void)desiredAccess;
    (void)inheritHandle;
    std::wstring key;
    if (name == nullptr || *name == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!ResolveName(name, &key))
        return nullptr;
    auto obj = M().Named[key].lock();
    if (!obj) {
        M().Named.erase(key);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (obj->Type != KObject::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return AddHandle(obj, simk::CurrentProcessId());
}

BOOL WINAPI SetEvent(HANDLE event) {
    auto obj = ObjectOf(event);
    if (!obj || obj->Type != KObject::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    obj->Signaled = true;
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE event) {
    auto obj = ObjectOf(event);
    if (!obj || obj->Type != KObject::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    obj->Signaled = false;
    return TRUE;
}

static bool IsSignaled(const std::shared_ptr<KObject> &obj) {
    switch (obj->Type) {
    case KObject::Mutex:
        return obj->OwnerThread == 0 || obj->OwnerThread == simk::CurrentThreadId();
    default:
        return obj->Signaled;
    }
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    SIM_ENTER("WaitForSingleObject", WAIT_FAILED);
    auto obj = ObjectOf(handle);
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    uint64_t deadline = milliseconds == INFINITE ? simk::kForever : M().Now + milliseconds;
    bool got = IsSignaled(obj) || simk::Block([obj] { return IsSignaled(obj); }, deadline);
    if (!got)
        return WAIT_TIMEOUT;
    if (obj->Type == KObject::Mutex) {
        obj->OwnerThread = simk::CurrentThreadId();
        obj->Recursion++;
    } else if (obj->Type == KObject::Event && !obj->ManualReset) {
        obj->Signaled = false;
    }
    return WAIT_OBJECT_0;
}

// --- Threads and processes ------------------------------------------------------

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                           DWORD, LPDWORD threadId) {
    SIM_ENTER("CreateThread", nullptr);
    SimThread *t = NewThread(simk::CurrentProcessId(), [start, parameter]() { return start(parameter); });
    if (threadId)
        *threadId = t->Id;
    return AddHandle(t->Object, simk::CurrentProcessId());
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    auto obj = ObjectOf(thread);
    if (!obj || obj->Type != KObject::Thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = obj->ThreadRef->Finished ? obj->ThreadRef->ExitCode : STILL_ACTIVE;
    return TRUE;
}

// STILL_ACTIVE until the process has ended, then its exit code.
BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    SIM_ENTER("GetExitCodeProcess", FALSE);
    auto obj = ObjectOf(process);
    ProcessState *p = obj && obj->Type == KObject::Process ? FindProcess(obj->ProcessId) : nullptr;
    if (p == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = p->Info.Ended ? static_cast<DWORD>(p->Info.ExitCode) : STILL_ACTIVE;
    return TRUE;
}

// Ends another process at once, with the exit code; the program never ends
// itself this way. A process that has ended already cannot be terminated.
BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode) {
    SIM_ENTER("TerminateProcess", FALSE);
    auto obj = ObjectOf(process);
    ProcessState *p = obj && obj->Type == KObject::Process ? FindProcess(obj->ProcessId) : nullptr;
    if (p == nullptr || p->Info.Id == simk::CurrentProcessId()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (p->Info.Ended) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    EndProcess(p, static_cast<int>(exitCode));
    return TRUE;
}

// The main thread of a process created with CREATE_SUSPENDED: the process
// runs once the test has started it (StartCreatedProcess), before or after.
// Returns the earlier suspend count; (DWORD)-1 for a handle of no such thread.
DWORD WINAPI ResumeThread(HANDLE thread) {
    SIM_ENTER("ResumeThread", (DWORD)-1);
    auto obj = ObjectOf(thread);
    ProcessState *p = obj && obj->Type == KObject::Thread ? FindProcess(obj->ProcessId) : nullptr;
    if (p == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return (DWORD)-1;
    }
    if (!p->Suspended)
        return 0;
    p->Suspended = false;
    if (p->StartWhenResumed && !p->Info.Ended)
        sim::StartCreatedProcess(p->Info.Id);
    return 1;
}

// A handle of the calling process's object, made for another process (or
// itself), with DUPLICATE_SAME_ACCESS; the target's handle lives until that
// process closes it or ends.
BOOL WINAPI DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, LPHANDLE target,
                            DWORD desiredAccess, BOOL inheritHandle, DWORD options) {
    SIM_ENTER("DuplicateHandle", FALSE);
    (void)desiredAccess;
    (void)inheritHandle;
    auto obj = ObjectOf(source);
    auto to = ObjectOf(targetProcess);
    const HANDLE self = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));  // GetCurrentProcess()
    DWORD targetId = targetProcess == self ? simk::CurrentProcessId()
                     : to && to->Type == KObject::Process ? to->ProcessId
                                                          : 0;
    ProcessState *p = FindProcess(targetId);
    if (sourceProcess != self || obj == nullptr || target == nullptr || targetId == 0 ||
        (options & ~DUPLICATE_SAME_ACCESS) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (p != nullptr && p->Info.Ended) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *target = AddHandle(obj, targetId);
    if (targetId != simk::CurrentProcessId())
        M().GivenHandles.insert(*target);
    return TRUE;
}

// Whether the calling process's token (TokenHandle NULL) has the SID enabled.
BOOL WINAPI CheckTokenMembership(HANDLE token, PSID sid, PBOOL isMember) {
    SIM_ENTER("CheckTokenMembership", FALSE);
    if (token != NULL || sid == nullptr || isMember == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *isMember = HoldsAll({SidText(static_cast<const BYTE *>(sid))}) ? TRUE : FALSE;
    return TRUE;
}

DWORD WINAPI GetCurrentProcessId(void) { return simk::CurrentProcessId(); }

// The session a process runs in; the test's own calls are the starting
// session's.
BOOL WINAPI ProcessIdToSessionId(DWORD dwProcessId, DWORD *pSessionId) {
    SIM_ENTER("ProcessIdToSessionId", FALSE);
    ProcessState *p = FindProcess(dwProcessId);
    if (pSessionId == nullptr || (p == nullptr && dwProcessId != simk::CurrentProcessId())) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pSessionId = p != nullptr ? p->Info.Session : M().StartingSession;
    return TRUE;
}
DWORD WINAPI GetCurrentThreadId(void) { return simk::CurrentThreadId(); }

BOOL WINAPI CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL inheritHandles, DWORD creationFlags, LPVOID,
                           LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation) {
    SIM_ENTER("CreateProcessW", FALSE);
    if (!commandLine || !startupInfo || !processInformation || startupInfo->cb != sizeof(STARTUPINFOW)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::wstring image, tail;
    sim::SplitCommandLine(commandLine, &image, &tail);
    if (applicationName)
        image = applicationName;
    // Only a program file that exists can be started; the loader also looks
    // for the name with ".exe" added. A bare name is one of the system's own
    // programs (rundll32.exe and the like), which are always there, in the
    // system directory as the caller sees it. The caller's file system
    // redirector applies to the program file as to any other file.
    bool bare = image.find(L'\\') == std::wstring::npos;
    std::wstring file =
        simk::RedirectedPath(bare ? std::wstring(sim::files::kSystemDirectory) + L"\\" + image : image);
    if (!sim::files::IsFile(file) && sim::files::IsFile(file + L".exe"))
        file += L".exe";
    if (!bare && !sim::files::IsFile(file)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    // The loader opens the image for reading and execution, sharing read and
    // delete: a handle that does not share reading (or that writes) stops it.
    if (!bare) {
        if (DWORD error = sim::files::TryOpen(file, FILE_READ_DATA | FILE_EXECUTE, FILE_SHARE_READ | FILE_SHARE_DELETE)) {
            SetLastError(error);
            return FALSE;
        }
    }
    // The program's x64 build runs where the processor is x64, and emulated
    // on ARM64 Windows 11; 32-bit Windows and ARM64 Windows 10 cannot run it.
    // Its ARM64 build runs on ARM64 only.
    WORD imageProcessor = bare ? PROCESSOR_ARCHITECTURE_UNKNOWN : ImageProcessor(file);
    bool x64Runs = M().Architecture == PROCESSOR_ARCHITECTURE_AMD64 ||
                   (M().Architecture == PROCESSOR_ARCHITECTURE_ARM64 && M().Version == sim::WindowsVersion::Windows11);
    if ((imageProcessor == PROCESSOR_ARCHITECTURE_AMD64 && !x64Runs) ||
        (imageProcessor == PROCESSOR_ARCHITECTURE_ARM64 && M().Architecture != PROCESSOR_ARCHITECTURE_ARM64)) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return FALSE;
    }
    ProcessState *p = NewProcess(image, commandLine);
    p->Info.ImageFile = sim::files::Canonical(file);
    p->NativeBuild = imageProcessor != PROCESSOR_ARCHITECTURE_UNKNOWN;
    p->Child = true;
    DWORD pid = simk::CurrentProcessId();
    if (ProcessState *parent = FindProcess(pid)) {
        p->Info.RunsAs = parent->Info.RunsAs;
        p->Info.Session = parent->Info.Session;
    }
    p->Info.CurrentDirectory = currentDirectory ? currentDirectory : L"";
    if (currentDirectory)
        p->WorkingDirectory = currentDirectory;
    else if (ProcessState *parent = FindProcess(pid))
        p->WorkingDirectory = parent->WorkingDirectory;
    p->Info.InheritHandles = inheritHandles != FALSE;
    p->Info.CreationFlags = creationFlags;
    for (auto &owner : M().HandleOwners) {
        const std::wstring &name = M().Handles[owner.first]->Name;
        auto &held = p->Info.NamedObjectsHeldByParent;
        if (owner.second == pid && !name.empty() && std::find(held.begin(), held.end(), name) == held.end())
            held.push_back(name);
    }
    processInformation->hProcess = AddHandle(p->Object, pid);
    auto threadObj = std::make_shared<KObject>();
    threadObj->Type = KObject::Thread;
    threadObj->ProcessId = p->Info.Id;
    p->Suspended = (creationFlags & CREATE_SUSPENDED) != 0;
    processInformation->hThread = AddHandle(threadObj, pid);
    processInformation->dwProcessId = p->Info.Id;
    processInformation->dwThreadId = M().NextThreadId++;
    auto hooks = M().ProcessCreatedHooks;
    sim::Process info = p->Info;
    for (auto &hook : hooks)
        hook(info);
    return TRUE;
}

// --- System information -------------------------------------------------------------

// A WOW64 process on a machine without an x64 processor is told x86, or x64
// where Windows emulates x64 too (Windows 11 on ARM64).
void WINAPI GetNativeSystemInfo(LPSYSTEM_INFO info) {
    simk::Enter("GetNativeSystemInfo");
    WORD arch = M().Architecture;
    if (simk::IsWow64() && arch != PROCESSOR_ARCHITECTURE_AMD64)
        arch = arch == PROCESSOR_ARCHITECTURE_ARM64 && M().Version >= sim::WindowsVersion::Windows11
                   ? PROCESSOR_ARCHITECTURE_AMD64
                   : PROCESSOR_ARCHITECTURE_INTEL;
    memset(info, 0, sizeof(*info));
    info->wProcessorArchitecture = arch;
    info->dwPageSize = 4096;
    info->dwNumberOfProcessors = 2;
    info->dwAllocationGranularity = 65536;
}

void WINAPI GetSystemInfo(LPSYSTEM_INFO info) {
    // The process's own view: the 32-bit program sees x86. A native program
    // would see the machine's processor, but the simulation has always
    // answered x86 here and a test of the product relies on it on the reset
    // machine, whose program is native; no product code calls this.
    GetNativeSystemInfo(info);
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
}

// --- WOW64 ---------------------------------------------------------------------------

namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

// The process a handle names; false for a handle that is none. The calling
// process (also the test's own) comes back as null.
bool ProcessOfHandle(HANDLE handle, ProcessState **process) {
    *process = nullptr;
    if (handle == kCurrentProcess)
        return true;
    auto obj = ObjectOf(handle);
    if (!obj || obj->Type != KObject::Process)
        return false;
    *process = FindProcess(obj->ProcessId);
    return *process != nullptr;
}

// The system's own programs run as the folder they were started from says;
// every other program is the simulated program, in the build it was started
// from. Null is the calling process.
bool RunsUnderWow64(const ProcessState *p) {
    if (p && simk::Is64BitWindows()) {
        std::wstring folder = p->Info.ImageFile.substr(0, p->Info.ImageFile.find_last_of(L'\\'));
        if (simk::SameText(folder, sim::files::kSystemDirectory))
            return false;
        if (simk::SameText(folder, sim::files::kSystemWow64Directory))
            return true;
    }
    return p ? ProgramUnderWow64(p) : simk::IsWow64();
}

USHORT NativeMachine() {
    switch (M().Architecture) {
    case PROCESSOR_ARCHITECTURE_INTEL:
        return IMAGE_FILE_MACHINE_I386;
    case PROCESSOR_ARCHITECTURE_ARM:
        return IMAGE_FILE_MACHINE_ARMNT;
    case PROCESSOR_ARCHITECTURE_AMD64:
        return IMAGE_FILE_MACHINE_AMD64;
    case PROCESSOR_ARCHITECTURE_ARM64:
        return IMAGE_FILE_MACHINE_ARM64;
    case PROCESSOR_ARCHITECTURE_IA64:
        return 0x0200;  // IMAGE_FILE_MACHINE_IA64
    default:
        return IMAGE_FILE_MACHINE_UNKNOWN;
    }
}

}  // namespace

HANDLE WINAPI GetCurrentProcess(void) {
    simk::Enter("GetCurrentProcess");
    return kCurrentProcess;
}

// TRUE only for WOW64 on an x64 processor: Microsoft documents FALSE for a
// 32-bit program on Windows on ARM, which is why IsWow64Process2 is the call
// to trust there.
BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process) {
    SIM_ENTER("IsWow64Process", FALSE);
    ProcessState *p = nullptr;
    if (!ProcessOfHandle(hProcess, &p)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!Wow64Process) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *Wow64Process = RunsUnderWow64(p) && M().Architecture != PROCESSOR_ARCHITECTURE_ARM64;
    return TRUE;
}

// kernel32 exports it only from Windows 10 on (simk::Kernel32Exports); the
// loader does not hand it out on older machines.
extern "C" BOOL WINAPI IsWow64Process2(HANDLE hProcess, USHORT *pProcessMachine, USHORT *pNativeMachine) {
    SIM_ENTER("IsWow64Process2", FALSE);
    ProcessState *p = nullptr;
    if (!ProcessOfHandle(hProcess, &p)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!pProcessMachine) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pProcessMachine = RunsUnderWow64(p) ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_UNKNOWN;
    if (pNativeMachine)
        *pNativeMachine = NativeMachine();
    return TRUE;
}

// --- Time ---------------------------------------------------------------------------

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME *st, LPFILETIME ft) {
    SIM_ENTER("SystemTimeToFileTime", FALSE);
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    auto leap = [](int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
    if (!st || !ft || st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
        st->wDay > kDays[st->wMonth - 1] + ((st->wMonth == 2 && leap(st->wYear)) ? 1 : 0) || st->wHour > 23 ||
        st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t days = 0;
    for (int y = 1601; y < st->wYear; ++y)
        days += leap(y) ? 366 : 365;
    for (int mo = 1; mo < st->wMonth; ++mo)
        days += kDays[mo - 1] + ((mo == 2 && leap(st->wYear)) ? 1 : 0);
    days += st->wDay - 1;
    uint64_t t = static_cast<uint64_t>(days) * 86400ULL + st->wHour * 3600ULL + st->wMinute * 60ULL + st->wSecond;
    t = t * 10000000ULL + st->wMilliseconds * 10000ULL;
    ft->dwLowDateTime = static_cast<DWORD>(t);
    ft->dwHighDateTime = static_cast<DWORD>(t >> 32);
    return TRUE;
}

// The machine's local time: sim::kLocalTimeAtReset plus the virtual clock.
void WINAPI GetLocalTime(LPSYSTEMTIME st) {
    simk::Enter("GetLocalTime");
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    auto leap = [](int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
    const SYSTEMTIME &start = sim::kLocalTimeAtReset;
    uint64_t ms = M().Now + start.wMilliseconds +
                  1000ULL * (start.wSecond + 60ULL * (start.wMinute + 60ULL * start.wHour));
    uint64_t days = ms / 86400000ULL;
    ms %= 86400000ULL;
    int year = start.wYear, month = start.wMonth, day = start.wDay;
    // 1601-01-01, day 0 of FILETIME, was a Monday.
    uint64_t weekday = 1;
    for (int y = 1601; y < year; ++y)
        weekday += leap(y) ? 366 : 365;
    for (int mo = 1; mo < month; ++mo)
        weekday += kDays[mo - 1] + ((mo == 2 && leap(year)) ? 1 : 0);
    weekday += day - 1 + days;
    for (; days > 0; --days) {
        if (++day > kDays[month - 1] + ((month == 2 && leap(year)) ? 1 : 0)) {
            day = 1;
            if (++month > 12) {
                month = 1;
                ++year;
            }
        }
    }
    st->wYear = static_cast<WORD>(year);
    st->wMonth = static_cast<WORD>(month);
    st->wDay = static_cast<WORD>(day);
    st->wDayOfWeek = static_cast<WORD>(weekday % 7);
    st->wHour = static_cast<WORD>(ms / 3600000);
    st->wMinute = static_cast<WORD>(ms / 60000 % 60);
    st->wSecond = static_cast<WORD>(ms / 1000 % 60);
    st->wMilliseconds = static_cast<WORD>(ms % 1000);
}

// --- Debugger output --------------------------------------------------------------------

void WINAPI OutputDebugStringW(LPCWSTR text) {
    simk::Enter("OutputDebugStringW");
    M().DebugWrites.push_back(text ? text : L"");
}

void WINAPI OutputDebugStringA(LPCSTR text) {
    simk::Enter("OutputDebugStringA");
    std::wstring w;
    for (const char *p = text; p && *p; ++p)
        w += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    M().DebugWrites.push_back(w);
}

// --- CryptoAPI: the random generator ----------------------------------------------

namespace {
// splitmix64 as one stream of bytes: each state gives eight bytes, low byte
// first, and a call takes what the one before left. Unpredictable enough for
// names nobody but a test can guess (sim::PeekRandom).
struct CryptoState {
    std::set<HCRYPTPROV> Contexts;
    uint64_t Random = 0x9E3779B97F4A7C15ull;  // the generator's state, the same after every reset
    uint64_t Block = 0;                       // the state's bytes not given out yet
    int Left = 0;
};
CryptoState &Crypto() {
    static CryptoState state;
    return state;
}
simk::Registrar gCryptoReset([] { simk::OnReset([] { Crypto() = CryptoState(); }); });

BYTE NextRandomByte(CryptoState &c) {
    if (c.Left == 0) {
        c.Random += 0x9E3779B97F4A7C15ull;
        uint64_t z = c.Random;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        c.Block = z ^ (z >> 31);
        c.Left = 8;
    }
    BYTE b = static_cast<BYTE>(c.Block >> (8 * (8 - c.Left)));
    c.Left--;
    return b;
}
}  // namespace

std::vector<BYTE> sim::PeekRandom(size_t count) {
    CryptoState copy = Crypto();
    std::vector<BYTE> bytes;
    for (size_t i = 0; i < count; i++)
        bytes.push_back(NextRandomByte(copy));
    return bytes;
}

BOOL WINAPI CryptAcquireContextW(HCRYPTPROV *provider, LPCWSTR container, LPCWSTR providerName, DWORD type,
                                 DWORD flags) {
    SIM_ENTER("CryptAcquireContextW", FALSE);
    if (provider == nullptr || container != nullptr || providerName != nullptr || type != PROV_RSA_AES ||
        flags != CRYPT_VERIFYCONTEXT) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *provider = reinterpret_cast<HCRYPTPROV>(simk::NewHandleValue());
    Crypto().Contexts.insert(*provider);
    return TRUE;
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV provider, DWORD flags) {
    SIM_ENTER("CryptReleaseContext", FALSE);
    if (flags != 0 || Crypto().Contexts.erase(provider) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CryptGenRandom(HCRYPTPROV provider, DWORD length, BYTE *buffer) {
    SIM_ENTER("CryptGenRandom", FALSE);
    if (Crypto().Contexts.count(provider) == 0 || (buffer == nullptr && length != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (DWORD i = 0; i < length; i++)
        buffer[i] = NextRandomByte(Crypto());
    return TRUE;
}

// SHA-256 (FIPS 180-4), for the hashes a verification context makes.
namespace {
struct Sha256 {
    uint32_t State[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint8_t Block[64] = {};
    uint64_t Length = 0;  // bytes hashed so far
    bool Finished = false;
    uint8_t Digest[32] = {};
};

uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Compress(Sha256 &h) {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
        w[i] = uint32_t(h.Block[4 * i]) << 24 | uint32_t(h.Block[4 * i + 1]) << 16 | uint32_t(h.Block[4 * i + 2]) << 8 |
               h.Block[4 * i + 3];
    for (int i = 16; i < 64; i++)
        w[i] = w[i - 16] + (Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 7] +
               (Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10));
    uint32_t v[8];
    std::memcpy(v, h.State, sizeof(v));
    for (int i = 0; i < 64; i++) {
        uint32_t t1 = v[7] + (Rotate(v[4], 6) ^ Rotate(v[4], 11) ^ Rotate(v[4], 25)) + ((v[4] & v[5]) ^ (~v[4] & v[6])) +
                      k[i] + w[i];
        uint32_t t2 = (Rotate(v[0], 2) ^ Rotate(v[0], 13) ^ Rotate(v[0], 22)) +
                      ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
        std::memmove(v + 1, v, 7 * sizeof(uint32_t));
        v[4] += t1;
        v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; i++)
        h.State[i] += v[i];
}

void Absorb(Sha256 &h, const uint8_t *data, size_t length) {
    for (size_t i = 0; i < length; i++) {
        h.Block[h.Length % 64] = data[i];
        if (++h.Length % 64 == 0)
            Compress(h);
    }
}

void Finish(Sha256 &h) {
    uint64_t bits = h.Length * 8;
    uint8_t pad = 0x80;
    Absorb(h, &pad, 1);
    pad = 0;
    while (h.Length % 64 != 56)
        Absorb(h, &pad, 1);
    for (int i = 7; i >= 0; i--) {
        uint8_t b = uint8_t(bits >> (8 * i));
        Absorb(h, &b, 1);
    }
    for (int i = 0; i < 32; i++)
        h.Digest[i] = uint8_t(h.State[i / 4] >> (24 - 8 * (i % 4)));
    h.Finished = true;
}

std::map<HCRYPTHASH, Sha256> &Hashes() {
    static std::map<HCRYPTHASH, Sha256> hashes;
    return hashes;
}
simk::Registrar gHashReset([] { simk::OnReset([] { Hashes().clear(); }); });
}  // namespace

std::string simk::Sha256Of(const std::string &data) {
    Sha256 h;
    Absorb(h, reinterpret_cast<const uint8_t *>(data.data()), data.size());
    Finish(h);
    return std::string(reinterpret_cast<const char *>(h.Digest), sizeof(h.Digest));
}

BOOL WINAPI CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags, HCRYPTHASH *hash) {
    SIM_ENTER("CryptCreateHash", FALSE);
    if (Crypto().Contexts.count(provider) == 0 || key != 0 || flags != 0 || hash == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (algorithm != CALG_SHA_256) {
        SetLastError(static_cast<DWORD>(0x80090008L));  // NTE_BAD_ALGID
        return FALSE;
    }
    *hash = reinterpret_cast<HCRYPTHASH>(simk::NewHandleValue());
    Hashes()[*hash] = Sha256();
    return TRUE;
}

BOOL WINAPI CryptHashData(HCRYPTHASH hash, const BYTE *data, DWORD length, DWORD flags) {
    SIM_ENTER("CryptHashData", FALSE);
    auto it = Hashes().find(hash);
    if (it == Hashes().end() || flags != 0 || (data == nullptr && length != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (it->second.Finished) {
        SetLastError(static_cast<DWORD>(NTE_BAD_HASH_STATE));
        return FALSE;
    }
    Absorb(it->second, data, length);
    return TRUE;
}

// HP_HASHVAL only, the value the program reads; the hash is finished then.
BOOL WINAPI CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE *data, DWORD *length, DWORD flags) {
    SIM_ENTER("CryptGetHashParam", FALSE);
    auto it = Hashes().find(hash);
    if (it == Hashes().end() || param != HP_HASHVAL || length == nullptr || flags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD room = *length;
    *length = sizeof(it->second.Digest);
    if (data == nullptr)
        return TRUE;
    if (room < sizeof(it->second.Digest)) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    if (!it->second.Finished)
        Finish(it->second);
    std::memcpy(data, it->second.Digest, sizeof(it->second.Digest));
    return TRUE;
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hash) {
    SIM_ENTER("CryptDestroyHash", FALSE);
    if (Hashes().erase(hash) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

// --- Mapped images --------------------------------------------------------------------

void simk::ImageMoved(const std::wstring &from, const std::wstring &to) {
    for (auto &p : M().Processes) {
        std::wstring &image = p->Info.ImageFile;
        if (!p->Info.Ended && image.size() >= from.size() && simk::SameText(image.substr(0, from.size()), from) &&
            (image.size() == from.size() || image[from.size()] == L'\\'))
            image = to + image.substr(from.size());
    }
    SyncProcessView();
}

std::wstring simk::NtPath(const std::wstring &path) {
    if (path.size() >= 2 && (path[0] == L'C' || path[0] == L'c') && path[1] == L':')
        return L"\\Device\\HarddiskVolume3" + path.substr(2);
    return path;
}

// The current path of the file that the program's image was mapped from.
DWORD WINAPI K32GetMappedFileNameW(HANDLE process, LPVOID address, LPWSTR fileName, DWORD size) {
    SIM_ENTER("K32GetMappedFileNameW", 0);
    ProcessState *p = CallingProcess();
    if (process != GetCurrentProcess() || address != simk::ProgramInstance() || p == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring path = simk::NtPath(p->Info.ImageFile);
    if (fileName == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    DWORD n = static_cast<DWORD>(std::min<size_t>(path.size(), size - 1));
    std::copy(path.begin(), path.begin() + n, fileName);
    fileName[n] = 0;
    if (n < path.size())
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return n;
}
