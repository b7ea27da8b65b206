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
// A subsystem whose handles CloseHandle closes (files) registers fn, which
// closes the handle and returns true when it is one of its own.
void OnCloseHandle(std::function<bool(HANDLE handle)> fn);

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
