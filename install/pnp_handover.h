// Plug and Play's driver update from a 32-bit program on x64 Windows.
//
// UpdateDriverForPlugAndPlayDevicesW refuses a caller that runs under WOW64
// with ERROR_IN_WOW64; Windows' device installation guide has such a program
// start its own 64-bit build to make the call. The package carries that build
// (PNP_NATIVE_BUILD_PATH), and the program runs it for that one call, with a
// private command line:
//
//   "COPY" /UpdateDriverForPlugAndPlayDevices "HARDWARE ID" "FULL INF PATH" FLAGS
//
// COPY is a protected copy of the 64-bit build (common/protected_copy.h),
// FLAGS the call's InstallFlags in decimal. Both quoted arguments follow the
// command-line rules of CommandLineToArgvW: a quote in them is escaped with a
// backslash, and the backslashes before a quote or the closing quote are
// doubled.
#pragma once

#include <windows.h>

// The 64-bit build in the install folder.
#define PNP_NATIVE_BUILD_PATH L"amd64\\crvnpnp.exe"

// UpdateDriverForPlugAndPlayDevicesW(NULL, hardwareId, infPath, flags, NULL),
// with the same result and last error. When the call fails with
// ERROR_IN_WOW64 and the machine is x64, it is made once more by the 64-bit
// build of the program, from InstallDir, in a child process that this one
// waits for: the child's exit code is then the result (TRUE for 0, otherwise
// FALSE with the code as the last error). Where the 64-bit build is missing,
// cannot be copied or cannot be started, and on any other machine (ARM64,
// whose x64 emulation is no native processor), the result stays
// ERROR_IN_WOW64.
BOOL UpdateDriverForPnpDevices(const WCHAR *hardwareId, const WCHAR *infPath, DWORD flags);

// Whether wWinMain's command line is the private one of the child.
BOOL IsPnpUpdateCommandLine(const WCHAR *commandLine);

// The child: makes the call its command line describes and returns the exit
// code, 0 on success, otherwise the call's Win32 error. loadError is the
// error of loading the system libraries (ERROR_SUCCESS when they loaded),
// which ends the child before the call. A command line that is not exactly
// the private one ends it with ERROR_INVALID_PARAMETER, one that cannot be
// split with the error, having done nothing.
// It shows nothing and writes no trace line.
DWORD RunPnpUpdate(LPWSTR commandLine, DWORD loadError);
