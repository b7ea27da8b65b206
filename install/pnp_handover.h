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
// COPY is the 64-bit build in the run's staged copy of the package
// (common/staged_package.h), FLAGS the call's InstallFlags in decimal. Both quoted arguments follow the
// command-line rules of CommandLineToArgvW: a quote in them is escaped with a
// backslash, and the backslashes before a quote or the closing quote are
// doubled.
#pragma once

#include <windows.h>

// The 64-bit build in the install folder.
#define PNP_NATIVE_BUILD_PATH L"amd64\\crvnpnp.exe"
// The private command line's option (start-up's child mode, app/).
#define PNP_UPDATE_OPTION L"/UpdateDriverForPlugAndPlayDevices"
// A non-interactive call (INSTALLFLAG_NONINTERACTIVE, the deployment modes')
// waits at most this long for the child; past it the child is ended and the
// call fails with ERROR_TIMEOUT. An interactive one waits as long as the call
// takes, since a person may be answering it.
#define PNP_CHILD_WAIT_MS 300000
// The child's exit code when the call succeeded and Windows asks for a
// restart (ERROR_SUCCESS_REBOOT_REQUIRED).
#define PNP_CHILD_RESTART_NEEDED 3010

// UpdateDriverForPlugAndPlayDevicesW(NULL, hardwareId, infPath, flags,
// rebootRequired), with the same result and last error; rebootRequired NULL
// lets Windows ask the person for a restart itself. When the call fails with
// ERROR_IN_WOW64 and the machine is x64, it is made once more by the 64-bit
// build of the program, from the staged package, in a child process that this one
// waits for (at most PNP_CHILD_WAIT_MS when the flags hold
// INSTALLFLAG_NONINTERACTIVE): the child's exit code is then the result (TRUE
// for 0 and for PNP_CHILD_RESTART_NEEDED, which sets *rebootRequired;
// otherwise FALSE with the code as the last error). Where the 64-bit build is
// missing, not staged or cannot be started, and on any other machine
// (ARM64, whose x64 emulation is no native processor), the result stays
// ERROR_IN_WOW64.
BOOL UpdateDriverForPnpDevices(const WCHAR *hardwareId, const WCHAR *infPath, DWORD flags, BOOL *rebootRequired);
