#include "app/run_log.h"

#include <windows.h>
#include <string.h>
#include <strsafe.h>

#include "app/deployment.h"
#include "common/log_file.h"
#include "common/native_system.h"
#include "product_version.h"

#define RUN_LINE_CCH 1000
#define WINDOWS_VERSION_CCH 64
#define BUILD_NUMBER_CCH 16
// The command line is cut here for the log: a line that does not fit would
// be left out whole.
#define COMMAND_LINE_SHOWN "600"

// The ERROR_ and HRESULT codes that a deployment mode documents.
#define ERROR_DEVICE_NOT_FUNCTIONING_CODE 31  // ERROR_GEN_FAILURE: /stage's refused rescan
#define CODE_NOT_IMPLEMENTED 0x80004001UL     // E_NOTIMPL
#define CODE_PACKAGE_IN_USE 0x800F023DUL      // SPAPI_E_INF_IN_USE_BY_DEVICES
#define CODE_TAMPERED_PACKAGE 0x80096010UL    // TRUST_E_BAD_DIGEST

static const WCHAR *DescribeExitCode(DWORD code, BOOL deployment) {
    switch (code) {
    case ERROR_SUCCESS:
        return deployment ? L"done" : L"this mode ends with 0 whatever happened; the lines above say what it did";
    case EXIT_RESTART_NEEDED:
        return L"done, and a restart completes it (the line above says what waits for it)";
    case EXIT_ANOTHER_COPY_RUNS:
        return L"another copy of the program runs; nothing was done, run it again later";
    case EXIT_NO_PRINTER:
        return L"no printer the program knows was plugged in within the wait";
    case ERROR_INVALID_PARAMETER:
        return L"an argument means nothing; nothing was done";
    case EXIT_NOBODY_TO_SEE:
        return L"nobody can see a window here; nothing was opened";
    case EXIT_GENERAL_FAILURE:
        return L"a step failed with a code that deployment tools would read as success, retry or restart";
    case ERROR_DEVICE_NOT_FUNCTIONING_CODE:
        return L"the package is staged, but Plug and Play refused to look at the devices again";
    case CODE_NOT_IMPLEMENTED:
        return L"this system cannot take a driver package from a program";
    case CODE_TAMPERED_PACKAGE:
        return L"a package file is not as built (the line above names it); nothing of the package was used";
    case CODE_PACKAGE_IN_USE:
        return L"the driver package is still used by a device; the rest is removed";
    default:
        return L"the Windows error of the step that failed (the lines above say which)";
    }
}

// "10.0 build 19045", from the registry's 64-bit view; empty when unknown.
static void ReadWindowsVersion(WCHAR *text) {
    HKEY key = NULL;
    DWORD major = 0;
    DWORD minor = 0;
    DWORD size;
    DWORD type;
    WCHAR build[BUILD_NUMBER_CCH];

    text[0] = 0;
    memset(build, 0, sizeof(build));
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return;
    size = sizeof(major);
    if (RegQueryValueExW(key, L"CurrentMajorVersionNumber", NULL, &type, (BYTE *)&major, &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        major = 0;
    size = sizeof(minor);
    if (RegQueryValueExW(key, L"CurrentMinorVersionNumber", NULL, &type, (BYTE *)&minor, &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        minor = 0;
    // One character less than the buffer keeps the text terminated.
    size = sizeof(build) - sizeof(WCHAR);
    if (RegQueryValueExW(key, L"CurrentBuildNumber", NULL, &type, (BYTE *)build, &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        build[0] = 0;
    RegCloseKey(key);
    if (major != 0)
        StringCchPrintfW(text, WINDOWS_VERSION_CCH, L"%lu.%lu build %ws", (unsigned long)major,
                         (unsigned long)minor, build[0] != 0 ? build : L"?");
    else if (build[0] != 0)
        StringCchPrintfW(text, WINDOWS_VERSION_CCH, L"build %ws", build);
}

void LogRunStart(const WCHAR *commandLine, const WCHAR *mode) {
    WCHAR line[RUN_LINE_CCH];
    WCHAR windowsVersion[WINDOWS_VERSION_CCH];
    const NativeArchitecture *machine;

    if (LogFilePath[0] == 0)
        return;
    machine = GetNativeArchitecture();
    ReadWindowsVersion(windowsVersion);
    if (SUCCEEDED(StringCchPrintfW(
            line, RUN_LINE_CCH,
            L"Corvane setup " PRODUCT_VERSION_WIDE L" (%d-bit) starts: command line \"%." COMMAND_LINE_SHOWN
            L"ws\", mode %ws, machine %ws, Windows %ws, interactive session: %ws.",
            (int)(sizeof(void *) * 8), commandLine != NULL ? commandLine : L"",
            mode != NULL ? mode : L"none (the run ends before it chooses one)",
            machine != NULL ? machine->PrintEnvironment : L"of a processor without a driver",
            windowsVersion[0] != 0 ? windowsVersion : L"(version unknown)",
            IsWindowStationInteractive() ? L"yes" : L"no")))
        WriteLogLine(line);
}

void LogRunEnd(int exitCode, BOOL deployment) {
    WCHAR line[RUN_LINE_CCH];

    if (LogFilePath[0] != 0 &&
        SUCCEEDED(StringCchPrintfW(line, RUN_LINE_CCH, L"Ends with exit code %d (0x%08lX): %ws.", exitCode,
                                   (unsigned long)(DWORD)exitCode, DescribeExitCode((DWORD)exitCode, deployment))))
        WriteLogLine(line);
}
