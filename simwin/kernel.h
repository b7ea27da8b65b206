// Internals shared by the simulated subsystems (not for product code).
//
// Every simulated API starts with SIM_ENTER (or simk::Enter), which records
// the call in the call log and applies a failure the test injected with
// sim::FailCall. Threads of simulated processes are real threads, but only one
// of them runs at a time: a thread gives up the CPU only inside simk::Block
// (Sleep, waits, the dialog message loop, message boxes), and the scheduler
// then resumes the ready thread with the earliest wake-up time, in creation
// order on ties, advancing the virtual clock as needed. Runs are therefore
// deterministic and cost no wall-clock time for waits.
#pragma once

#include <windef.h>

#include "sim/core.h"

#include <cstdint>
#include <functional>
#include <string>

namespace simk {

// Records the call; returns the injected error code (last error already set)
// or 0 when the call should proceed.
DWORD Enter(const char *api);

// Per-thread last error.
void SetError(DWORD error);
DWORD GetError();

// The virtual clock in milliseconds since the machine was reset.
uint64_t Now();

constexpr uint64_t kForever = UINT64_MAX;

// Gives up the CPU until ready() returns true (checked by the scheduler,
// which owns all simulated state while it checks) or the clock reaches
// deadline. Returns true when ready() was true. Throws simk::ThreadExit when
// the process ends meanwhile; product code must not catch it (it never
// catches anything). Called on a thread that is not a simulated thread (a test
// calling product code directly) it only advances the clock and runs clock
// events until ready() or deadline.
bool Block(const std::function<bool()> &ready, uint64_t deadline);

// Sleep on the virtual clock.
void SleepFor(uint64_t ms);

// Identity of the running simulated process (a direct call from a test runs
// in the "test process", id 1, whose image is sim::SetTestProcessImage).
DWORD CurrentProcessId();
DWORD CurrentThreadId();
std::wstring CurrentProcessImage();

// The machine's native processor architecture (sim::SetNativeArchitecture),
// read without a call being logged.
WORD NativeArchitecture();
sim::WindowsVersion Version();
// True when the product's processes run as 32-bit programs under WOW64 (the
// 32-bit build on a machine whose native processor is not x86).
bool IsWow64();

// Unique opaque values for handles of every subsystem (never null, never
// reused during one machine's life).
void *NewHandleValue();

// Subsystems register a reset function that clears their state when the
// test builds a new machine (sim::Reset), and optionally one that runs when a
// simulated process ends (to close its handles).
void OnReset(std::function<void()> fn);
void OnProcessExit(std::function<void(DWORD pid)> fn);
// Runs on the main thread of every process the simulation runs, before the
// program's own code (the loader maps the static imports there).
void OnProcessStart(std::function<void(DWORD pid)> fn);

// Ends the running simulated process as an unhandled exception (or a failed
// start) would: sim::Process::Crashed, the reason, exit code `status`. Does
// not return: throws ThreadExit.
[[noreturn]] void CrashProcess(DWORD status, const std::wstring &reason);

// Memory from the process heap that counts as the product's until LocalFree,
// without a logged call (for buffers that an API hands out).
void *LocalAllocate(size_t bytes);

// The program's module handle (GetModuleHandleW(NULL)).
HINSTANCE ProgramInstance();

// --- Hooks into other subsystems ---------------------------------------------
// loader.cpp: called by Enter on a simulated thread before the call is
// logged; loads a delay-loaded DLL on the first call of one of its APIs.
void BeforeApiCall(const char *api);
// Whether kernel32 on this machine's Windows release exports a function that
// programs look up at run time (SetDefaultDllDirectories: Windows 8.1 and
// later here; IsWow64Process2: Windows 10 and later).
bool Kernel32Exports(const char *name);
// files.cpp: closes a file handle; false when the handle is not a file's.
bool CloseFileHandle(HANDLE handle);

// --- Security descriptors (security.cpp) ----------------------------------------
// Descriptors are kept as SDDL text in the form Windows prints it
// (ConvertSecurityDescriptorToStringSecurityDescriptor): components in the
// order O, G, D, S; aliases for well-known SIDs; rights as letters where the
// mask has them, otherwise in hex.
// Reads an SDDL string; false with the Win32 error when it is not valid.
bool CanonicalSddl(const std::wstring &sddl, std::wstring *canonical, DWORD *error);
// The descriptor of a file or folder that an administrator's process creates
// in a folder whose descriptor is `parent`: the given descriptor (empty: none)
// with what it inherits from the parent, owned by Administrators unless it
// names its owner.
std::wstring NewObjectSddl(const std::wstring &parent, const std::wstring &given, bool folder);
// Whether an unelevated process of the interactive user (sim::files::kUserSid)
// is granted every right in `access` (generic rights map as for files).
bool UserGranted(const std::wstring &sddl, DWORD access);
// The SDDL held by a descriptor that ConvertStringSecurityDescriptorToSecurity-
// DescriptorW made; empty when `descriptor` is not one.
std::wstring SddlOfDescriptor(const void *descriptor);

// Registers fn to run once at static-initialisation time: use as
//   static simk::Registrar reg([] { simk::OnReset(...); });
struct Registrar {
    explicit Registrar(const std::function<void()> &fn) { fn(); }
};

struct ThreadExit {};

// Names compared and keyed as Windows does, without regard to letter case.
bool SameText(const std::wstring &a, const std::wstring &b);
std::wstring Lower(std::wstring text);
std::wstring Upper(std::wstring text);

}  // namespace simk

#define SIM_ENTER(api, failResult)        \
    do {                                  \
        if (simk::Enter(api) != 0)        \
            return failResult;            \
    } while (0)
