// The test-facing side of the simulated Windows: one machine that a test sets
// up, runs programs on and inspects afterwards.
#pragma once

#include <windef.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// A new, clean machine: every subsystem forgets its state, the clock is 0 and
// all simulated memory is released.
void Reset();

// --- Virtual clock -------------------------------------------------------
uint64_t Now();
// The local time at clock 0 (GetLocalTime gives it plus the clock):
// Friday 2025-03-07 08:00:00.000.
constexpr SYSTEMTIME kLocalTimeAtReset = {2025, 3, 5, 7, 8, 0, 0, 0};
// Runs fn when the virtual clock reaches timeMs (on whichever simulated thread
// happens to be scheduling; fn may change any simulated state).
void At(uint64_t timeMs, std::function<void()> fn);

// --- Calls and injected failures -----------------------------------------
struct Call {
    std::string Api;
    uint64_t Time;
    DWORD ProcessId = 0;  // the calling process
};
const std::vector<Call> &Calls();
int CallCount(const std::string &api);
// The virtual times of every call of api, in order.
std::vector<uint64_t> CallTimes(const std::string &api);
void ClearCalls();
// The next `times` calls of api fail with error (times < 0: every call from
// now on). The API returns its documented failure value with that last error
// (HRESULT APIs return HRESULT_FROM_WIN32(error) unless error already is a
// failure HRESULT). Error 0 makes a failure without an error: the documented
// failure value with a last error of 0, which a call may give (one that
// returns its error returns ERROR_GEN_FAILURE instead).
void FailCall(const std::string &api, DWORD error, int times = 1);
// Runs fn on the calling thread each time api is called, first thing, before
// an injected failure is looked up: a sim::FailCall from fn fails this very
// call (to fail, say, the third allocation), and fn may Sleep on a simulated
// thread to let the other threads run at this point, as preemption would.
// The calls fn makes itself are logged and run no hooks (they would use up a
// failure injected before them).
void OnCall(const std::string &api, std::function<void()> fn);
// The most calls the simulated threads may make at one virtual time: a
// program that makes more is spinning without ever waiting (no time limit
// could end it), and its process ends as crashed with
// STATUS_POSSIBLE_DEADLOCK (0xC0000194).
constexpr uint64_t kStepBound = 200000;
// Only the occurrence-th call of api fails (1 for the first, counted as
// CallCount counts: since the last Reset or ClearCalls), with error as above.
void FailCallAt(const std::string &api, int occurrence, DWORD error);
// The calls that an injected failure (FailCall, FailCallAt) made fail, in
// order, since the last Reset.
const std::vector<Call> &InjectedFailures();

// --- Processes -----------------------------------------------------------
// Whose token a process has: an administrator's elevated one (the
// interactive user's, sim::files::kUserSid, with Administrators enabled),
// the system account's (a deployment tool's), or the interactive user's
// unelevated one (Administrators for deny entries only).
enum class Account { Administrator, System, StandardUser };

struct Process {
    DWORD Id = 0;
    Account RunsAs = Account::Administrator;
    DWORD Session = 1;  // the session's named objects are its own; session 0's are the global ones
    std::wstring CurrentDirectory;  // lpCurrentDirectory as CreateProcessW got it (empty: the parent's)
    std::wstring Image;        // full path of the program file, as given
    // The program file actually started: for CreateProcessW the path after the
    // caller's file system redirector (C:\Windows\Sysnative\x.exe from a
    // WOW64 process is C:\Windows\system32\x.exe, C:\Windows\System32\x.exe
    // is C:\Windows\SysWOW64\x.exe) in the file system's spelling; a bare
    // name is the system directory's program. Equal to Image for the
    // processes that the simulation runs.
    std::wstring ImageFile;
    std::wstring CommandLine;  // the whole command line as CreateProcessW got it
    int ExitCode = 0;
    bool Ended = false;
    bool Killed = false;       // ended by the test's time limit
    bool Started = false;      // run by the simulation (StartProgram, RunProgram, StartCreatedProcess)
    // Ended by an unhandled exception or a failed start, as the loader ends a
    // program whose DLL cannot be found; ExitCode is then the status.
    bool Crashed = false;
    std::wstring CrashReason;
    uint64_t StartTime = 0;
    uint64_t EndTime = 0;
    // How CreateProcessW started it (the processes the product starts):
    bool InheritHandles = false;  // bInheritHandles
    DWORD CreationFlags = 0;      // dwCreationFlags
    // The names of the named kernel objects (the single-instance mutex, for
    // one) that the starting process still held a handle to at that moment.
    std::vector<std::wstring> NamedObjectsHeldByParent;
    // The kinds ("Mutex", "Event", "Thread", "Process") of the kernel
    // handles the process still held when it ended, which the system closed.
    std::vector<std::string> HandlesLeftOpen;
};

// Image of the "test process" in which product code runs when a test calls
// it directly.
void SetTestProcessImage(const std::wstring &image);

// The program's globals (every global and static of the product) are each
// process's own, as on Windows (simwin/README.md, "Processes and the
// program's globals"):
//   - a process created by CreateProcessW starts with the program file's
//     initial values, and nothing it sets reaches its parent or the test;
//   - the test process has its own: what a test sets and reads directly;
//   - a process the test starts (StartProgram, RunProgram, RunInProcess)
//     starts with the test's as they are then, and when it ends the test's
//     become what it left (the last to end wins).
// OnProcessEnd hooks see the ending process's globals.

// Starts wWinMain in a new simulated process: image is the program's full
// path, tail the command line after the program name, as wWinMain receives
// it. Returns the process id. Call from a test or from a clock event.
DWORD StartProgram(const std::wstring &image, const std::wstring &tail);
// Runs the program in a process that CreateProcessW created and only
// recorded: its wWinMain gets the command line after the program name, as a
// new process of the program would. Call it from an OnProcessCreated hook for
// the children that should run (the program's own, not rundll32); the
// parent's process handle is then signalled, and GetExitCodeProcess answers,
// when the child ends. Nothing happens for a process that runs or ended.
void StartCreatedProcess(DWORD processId);
// Runs the simulated processes until every one has ended, or until the
// virtual clock reaches timeLimitMs, when the remaining ones are ended as by
// TerminateProcess. Returns the first process started since the last Run.
Process Run(uint64_t timeLimitMs = 600000);
// StartProgram then Run.
Process RunProgram(const std::wstring &image, const std::wstring &tail, uint64_t timeLimitMs = 600000);
// Runs fn as the main thread of a new simulated process (so that it can
// create threads, wait and show windows), until that process ends.
Process RunInProcess(const std::function<void()> &fn, uint64_t timeLimitMs = 600000,
                     const std::wstring &image = L"C:\\Program Files\\Corvane\\setup.exe");
// The same without waiting: returns the new process's id at once (another
// program of the machine, for example one that only waits and keeps the
// clock going while the program's processes wait for each other).
DWORD StartInProcess(const std::function<void()> &fn, const std::wstring &image);
// Every process known to the machine, in order of creation: those started by
// CreateProcessW (recorded, not run: Started is false) and those run by the
// simulation.
const std::vector<Process> &Processes();
// Called when a simulated process ends, before the system closes the handles
// it still holds (for example to count what it left open).
void OnProcessEnd(std::function<void(const Process &)> fn);
// Kernel object handles (mutexes, events, threads, processes) that the
// process holds open right now.
int OpenHandles(DWORD processId);
// Of those, the handles that another process gave it (DuplicateHandle), whose
// values the process itself was never told.
int GivenHandles(DWORD processId);
// Called whenever the product starts a process with CreateProcessW (after
// it is recorded), for example to give the new process a window.
void OnProcessCreated(std::function<void(const Process &)> fn);
// Splits a command line as CreateProcessW would into the program path and
// the tail that wWinMain gets.
void SplitCommandLine(const std::wstring &cmdline, std::wstring *image, std::wstring *tail);

// The account and session of the processes that StartProgram, RunProgram
// and RunInProcess start from now on (a reset machine: Administrator, session
// 1). A process that CreateProcessW starts has its parent's.
void SetStartingAccount(Account account, DWORD session);
// The current folder of the processes that StartProgram, RunProgram and
// RunInProcess start from now on (a reset machine: C:\). A process that
// CreateProcessW starts has the one it is given, or its parent's.
void SetStartingDirectory(const std::wstring &folder);

// A named kernel object held by some other process, as if that process had
// created it (for example the installer's single-instance mutex). The name is
// read as a process of the starting account and session would read it:
// "Global\" names the global namespace, a name without a prefix the session's.
// With a namespace alias, the mutex lives in the private namespace of that
// alias whose boundary is the SID (string form) given, and the integrity
// label when one is given ("S-1-16-12288"); false, and nothing held, when the
// starting account's token lacks that SID (a standard user's holds
// Administrators for deny only) or runs below that level, as Windows refuses
// such a process. The mutex's owner is the starting account's default owner:
// the user for a standard user, Administrators for an (elevated)
// administrator and for SYSTEM.
bool HoldNamedMutex(const std::wstring &name, const std::wstring &namespaceAlias = L"",
                    const std::wstring &boundarySid = L"", const std::wstring &integrityLabel = L"");
bool NamedObjectExists(const std::wstring &name);

// --- Machine information ---------------------------------------------------
// The machine's own processor (PROCESSOR_ARCHITECTURE_INTEL, _ARM, _AMD64,
// _ARM64, or any other value); a reset machine is x64.
void SetNativeArchitecture(WORD wProcessorArchitecture);

// The Windows release the machine runs, where behaviour differs between them:
//   Windows7  - Windows 7 SP1 without KB2533623 (no SetDefaultDllDirectories)
//   Windows81 - Windows 8.1
//   Windows10 - Windows 10 (version 1511 or later; on ARM64 without x64 emulation)
//   Windows11 - Windows 11 (on ARM64 with x64 emulation)
// A reset machine runs Windows11.
enum class WindowsVersion { Windows7, Windows81, Windows10, Windows11 };
void SetWindowsVersion(WindowsVersion version);

// Whether the simulated program (every process that runs the product) is the
// 32-bit x86 build. On a machine whose native processor is not x86 it then
// runs under WOW64. A reset machine runs the program natively (false).
//
// What a WOW64 program sees (see simwin/README.md, "WOW64"):
//   GetNativeSystemInfo  the machine's processor; on ARM64 Windows11 x64 (the
//                        emulated one), on ARM64 Windows10 x86
//   GetSystemInfo        x86
//   IsWow64Process       TRUE on x64, FALSE on ARM64 (as documented)
//   IsWow64Process2      IMAGE_FILE_MACHINE_I386 and the native machine
//   files                System32 redirected to SysWOW64, Sysnative to System32
//   registry             HKLM\SOFTWARE redirected to SOFTWARE\WOW6432Node
//   spooler              a null environment means "Windows NT x86"
//   device installation  UpdateDriverForPlugAndPlayDevicesW fails with
//                        ERROR_IN_WOW64 (0xE0000235)
// A native program sees the machine as it is (GetSystemInfo excepted, which
// answers x86 for any program, as this simulation always did).
void SetProgram32Bit(bool is32Bit);

// The content that makes a program file the x64 build of the program (a test
// writes it with sim::files::WriteFile; a copy stays what it was copied
// from). A process started from it, by CreateProcessW or StartProgram, runs
// natively whatever SetProgram32Bit says: no redirection, its own view of the
// registry and the spooler, and UpdateDriverForPlugAndPlayDevicesW works for
// it. ARM64 Windows 11 runs it emulated, the same way; CreateProcessW refuses
// it with ERROR_BAD_EXE_FORMAT on 32-bit Windows and ARM64 Windows 10, which
// cannot run x64 code.
extern const char kProgramImage64[];  // "x64 program image"
// The same for the program's ARM64 build: native on ARM64 Windows (10 and
// 11), refused with ERROR_BAD_EXE_FORMAT on every other machine.
extern const char kProgramImageArm64[];  // "arm64 program image"

// --- Debugger output -------------------------------------------------------
// Every OutputDebugStringW call's text, in order.
const std::vector<std::wstring> &DebugWrites();
// The debugger output joined and split into lines at each line feed
// (a final unterminated piece is included).
std::vector<std::wstring> DebugLines();
void ClearDebugOutput();

// Memory allocated by the product (HeapAlloc, LocalAlloc) and not freed yet.
size_t LiveAllocations();
bool IsLiveAllocation(const void *block);
// HeapFree and LocalFree calls given a block that is not live (freed before,
// or never allocated): heap corruption on Windows, which may end the process.
int BadFrees();

// --- The random generator ----------------------------------------------------
// CryptGenRandom gives one stream of bytes, the same after every reset, each
// call the bytes after the last call's. The next `count` bytes it will give,
// however the calls cut them up, without using them; for example a test makes,
// as the standard user, the folder that a program will name after the next 8.
std::vector<BYTE> PeekRandom(size_t count);

}  // namespace sim
