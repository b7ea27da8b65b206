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
#include <vector>

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
// True in a process that runs the program from its start (sim::StartProgram),
// false in the test process and in those of sim::RunInProcess.
bool CurrentProcessRunsProgram();

// The machine's native processor architecture (sim::SetNativeArchitecture),
// read without a call being logged.
WORD NativeArchitecture();
sim::WindowsVersion Version();
// True when the product's processes run as 32-bit programs under WOW64 (the
// 32-bit build on a machine whose native processor is not x86).
bool IsWow64();
// A 64-bit Windows: the native processor is x64, ARM64 or Itanium.
bool Is64BitWindows();
// Subsystems register a function that runs whenever the test changes the
// machine's architecture, release or the program's bitness (the files of a
// 64-bit Windows, for example).
void OnMachineChange(std::function<void()> fn);

// Whether this machine's kernel32.dll exports `name`, for the exports that
// depend on the machine (the loader's GetProcAddress asks):
//   IsWow64Process2, GetSystemWow64Directory2W   Windows10 and later
//   SetDefaultDllDirectories, AddDllDirectory,
//   RemoveDllDirectory                           Windows81 and later
// Every other name is reported present; whether the simulation implements it
// at all is the loader's export table's business. Among those: IsWow64Process
// and the WOW64 file-system calls (Wow64DisableWow64FsRedirection,
// Wow64RevertWow64FsRedirection, GetSystemWow64DirectoryW), which 32-bit
// Windows exports too (they fail there).
bool Kernel32Exports(const char *name);

// The path that a file call of the running thread reaches: the WOW64 file
// system redirector applied for a WOW64 process whose thread has not turned
// it off (simwin/files.cpp). Other paths come back as given.
std::wstring RedirectedPath(const std::wstring &path);

// The calling process's current folder (the test's own calls: that of the
// processes it starts).
std::wstring CurrentDirectory();

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
// logged; loads a delay-loaded DLL on the first call of one of its APIs, and
// ends a program that calls a function of a DLL it loads at run time without
// having looked it up.
void BeforeApiCall(const char *api);
// core.cpp: a file or folder moved from one path to another: the processes
// started from a file there now run from its new path (a program's image can
// be renamed while it runs).
void ImageMoved(const std::wstring &from, const std::wstring &to);
// The path that the object manager gives for a path of drive C:
// (\Device\HarddiskVolume3\..., which "\\?\GLOBALROOT" before it opens).
std::wstring NtPath(const std::wstring &path);
// files.cpp: closes a file handle; false when the handle is not a file's.
bool CloseFileHandle(HANDLE handle);
// files.cpp: the content of the file a handle from CreateFileW has open;
// false when the handle is not a file's.
bool FileContentOfHandle(HANDLE handle, std::string *content);
// core.cpp: the SHA-256 of data, 32 bytes.
std::string Sha256Of(const std::string &data);

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

// The owner of a descriptor, as a SID in string form ("S-1-5-32-544").
std::wstring OwnerOfSddl(const std::wstring &sddl);
// A SID in string form in its binary form.
std::vector<BYTE> SidBytes(const std::wstring &sid);
// What GetSecurityInfo hands out for a descriptor: one LocalAlloc block (the
// caller's "descriptor", freed with LocalFree) holding the owner's SID when
// `what` asks for OWNER_SECURITY_INFORMATION, and the DACL as a binary ACL
// when it asks for DACL_SECURITY_INFORMATION (*dacl NULL for a descriptor
// without one or with a NULL DACL). Entries of the kinds "A" and "D" become
// ACCESS_ALLOWED_ACE and ACCESS_DENIED_ACE; others are left out.
void *SecurityInfoBlock(const std::wstring &sddl, DWORD what, void **owner, struct _ACL **dacl);
// core.cpp: the descriptor of a kernel object that a handle of the calling
// process names (a named mutex records its owner: the account that created
// it); false for a handle of no such object.
bool KernelObjectSddl(HANDLE handle, std::wstring *sddl);

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

// Exported by kernel32.dll from Windows 10 on only, so the SDK headers here
// leave it out, as mingw-w64's do below _WIN32_WINNT 0x0A00: the product finds
// it with GetProcAddress. Declared for the loader and the tests.
extern "C" BOOL WINAPI IsWow64Process2(HANDLE hProcess, USHORT *pProcessMachine, USHORT *pNativeMachine);

#define SIM_ENTER(api, failResult)        \
    do {                                  \
        if (simk::Enter(api) != 0)        \
            return failResult;            \
    } while (0)
