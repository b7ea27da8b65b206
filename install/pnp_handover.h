// Plug and Play's driver update from a 32-bit program on 64-bit Windows.
//
// UpdateDriverForPlugAndPlayDevicesW refuses a caller that runs under WOW64
// with ERROR_IN_WOW64; Windows' device installation guide has such a program
// start its own 64-bit build to make the call. The package carries that build
// for x64 and for ARM64 (NativeArchitecture's NativeBuild,
// common/native_system.h: amd64\crvnpnp.exe, arm64\crvnpnp.exe), and the
// program runs the machine's for that one call, with a private command line:
//
//   "COPY" /UpdateDriverForPlugAndPlayDevices "HARDWARE ID" "FULL INF PATH" FLAGS
//
// COPY is that build in the run's staged copy of the package
// (common/staged_package.h), FLAGS the call's InstallFlags in decimal. Both
// quoted arguments follow the
// command-line rules of CommandLineToArgvW: a quote in them is escaped with a
// backslash, and the backslashes before a quote or the closing quote are
// doubled.
#pragma once

#include <windows.h>

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
// ERROR_IN_WOW64 under WOW64 on a machine whose build the package carries (x64
// or ARM64), it is made once more by that build of the program, from the
// run's staged package, in a child process that this one
// waits for (at most PNP_CHILD_WAIT_MS when the flags hold
// INSTALLFLAG_NONINTERACTIVE): the child's exit code is then the result (TRUE
// for 0 and for PNP_CHILD_RESTART_NEEDED, which sets *rebootRequired;
// otherwise FALSE with the code as the last error). Where that build is
// missing, not staged or cannot be started, and on any other machine, the
// result stays ERROR_IN_WOW64. On ARM64 Windows 11 the x64 build would run
// emulated, not natively: the ARM64 one is started there too.
BOOL UpdateDriverForPnpDevices(const WCHAR *hardwareId, const WCHAR *infPath, DWORD flags, BOOL *rebootRequired);
