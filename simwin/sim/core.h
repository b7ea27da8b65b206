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
};
const std::vector<Call> &Calls();
int CallCount(const std::string &api);
// The virtual times of every call of api, in order.
std::vector<uint64_t> CallTimes(const std::string &api);
void ClearCalls();
// The next `times` calls of api fail with error (times < 0: every call from
// now on). The API returns its documented failure value with that last error
// (HRESULT APIs return HRESULT_FROM_WIN32(error) unless error already is a
// failure HRESULT).
void FailCall(const std::string &api, DWORD error, int times = 1);

// --- Processes -----------------------------------------------------------
struct Process {
    DWORD Id = 0;
    std::wstring Image;        // full path of the program file
    std::wstring CommandLine;  // the whole command line as CreateProcessW got it
    int ExitCode = 0;
    bool Ended = false;
    bool Killed = false;       // ended by the test's time limit
    bool Started = false;      // run by the simulation (StartProgram / RunProgram)
    uint64_t StartTime = 0;
    uint64_t EndTime = 0;
};

// Image of the "test process" in which product code runs when a test calls
// it directly.
void SetTestProcessImage(const std::wstring &image);

// Starts wWinMain in a new simulated process: image is the program's full
// path, tail the command line after the program name, as wWinMain receives
// it. Returns the process id. Call from a test or from a clock event.
DWORD StartProgram(const std::wstring &image, const std::wstring &tail);
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
// Every process known to the machine, in order of creation: those started by
// CreateProcessW (recorded, not run: Started is false) and those run by the
// simulation.
const std::vector<Process> &Processes();
// Called whenever the product starts a process with CreateProcessW (after
// it is recorded), for example to give the new process a window.
void OnProcessCreated(std::function<void(const Process &)> fn);
// Splits a command line as CreateProcessW would into the program path and
// the tail that wWinMain gets.
void SplitCommandLine(const std::wstring &cmdline, std::wstring *image, std::wstring *tail);

// A named kernel object held by some other process, as if that process had
// created it (for example the installer's single-instance mutex).
void HoldNamedMutex(const std::wstring &name);
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
void SetProgram32Bit(bool is32Bit);

// --- Debugger output -------------------------------------------------------
// Every OutputDebugStringW call's text, in order.
const std::vector<std::wstring> &DebugWrites();
// The debugger output joined and split into lines at each line feed
// (a final unterminated piece is included).
std::vector<std::wstring> DebugLines();
void ClearDebugOutput();

// Memory allocated by the product (HeapAlloc, LocalAlloc) and not freed yet.
size_t LiveAllocations();

}  // namespace sim
