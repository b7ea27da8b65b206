#include "install/pnp_handover.h"

#include <windows.h>
#include <newdev.h>
#include <setupapi.h>
#include <shellapi.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/globals.h"
#include "common/log_file.h"
#include "common/native_system.h"
#include "common/process.h"
#include "common/staged_package.h"
#include "common/system_libraries.h"

// How long an ended child may take to go.
#define PNP_CHILD_END_WAIT_MS 5000
#define NATIVE_BUILD_CCH 260
// The copy's path, the option, two arguments whose every character may need
// a backslash before it, and the flags.
#define COMMAND_LINE_CCH 2048
#define FLAGS_CCH 12
#define HANDOVER_LOG_CCH 400

// --- The parent ----------------------------------------------------------------

// Appends count copies of c to line, which holds length characters; FALSE
// when they and the terminator do not fit.
static BOOL Append(WCHAR *line, size_t *length, WCHAR c, size_t count) {
    if (count >= COMMAND_LINE_CCH - *length)
        return FALSE;
    while (count-- > 0)
        line[(*length)++] = c;
    line[*length] = 0;
    return TRUE;
}

// Appends a blank and argument in quotes, so that CommandLineToArgvW gives it
// back whole whatever it holds: a quote gets a backslash before it, and the
// backslashes before a quote, or before the closing quote, are doubled.
static BOOL AppendQuoted(WCHAR *line, size_t *length, const WCHAR *argument) {
    size_t backslashes = 0;
    BOOL fits = Append(line, length, L' ', 1) && Append(line, length, L'"', 1);

    for (; fits && *argument != 0; argument++) {
        if (*argument == L'\\') {
            backslashes++;
            continue;
        }
        fits = Append(line, length, L'\\', *argument == L'"' ? 2 * backslashes + 1 : backslashes) &&
               Append(line, length, *argument, 1);
        backslashes = 0;
    }
    return fits && Append(line, length, L'\\', 2 * backslashes) && Append(line, length, L'"', 1);
}

static BOOL BuildCommandLine(WCHAR *line, const WCHAR *copyPath, const WCHAR *hardwareId, const WCHAR *infPath,
                             DWORD flags) {
    WCHAR flagsText[FLAGS_CCH];
    size_t length = 0;

    if (FAILED(StringCchPrintfW(line, COMMAND_LINE_CCH, L"\"%ws\" " PNP_UPDATE_OPTION, copyPath)) ||
        FAILED(StringCchLengthW(line, COMMAND_LINE_CCH, &length)) ||
        FAILED(StringCchPrintfW(flagsText, FLAGS_CCH, L" %lu", (unsigned long)flags)))
        return FALSE;
    return AppendQuoted(line, &length, hardwareId) && AppendQuoted(line, &length, infPath) &&
           SUCCEEDED(StringCchCatW(line, COMMAND_LINE_CCH, flagsText));
}

// The log's line on the 64-bit build's run: not started, ended past its
// bound, or its exit code.
static void LogHandOver(BOOL started, DWORD exitCode, DWORD bound) {
    WCHAR line[HANDOVER_LOG_CCH];

    if (!started)
        StringCchPrintfW(line, HANDOVER_LOG_CCH,
                         L"The machine's own build of the program, which makes the Plug and Play call that a 32-bit "
                         L"program cannot (ERROR_IN_WOW64), could not be started: error %lu.",
                         (unsigned long)GetLastError());
    else if (exitCode == ERROR_TIMEOUT)
        StringCchPrintfW(line, HANDOVER_LOG_CCH,
                         L"The machine's own build of the program made no answer to the Plug and Play call within "
                         L"%lu s: it was ended, and the call counts as failed with error %lu.",
                         (unsigned long)(bound / 1000), (unsigned long)ERROR_TIMEOUT);
    else
        StringCchPrintfW(line, HANDOVER_LOG_CCH,
                         exitCode > 0xFFFF ? L"The machine's own build of the program made the Plug and Play call that a "
                                             L"32-bit program cannot (ERROR_IN_WOW64): it ended with exit code 0x%08lX."
                                           : L"The machine's own build of the program made the Plug and Play call that a "
                                             L"32-bit program cannot (ERROR_IN_WOW64): it ended with exit code %lu.",
                         (unsigned long)exitCode);
    WriteLogLine(line);
}

// Runs the machine's own build of the program (nativeBuildPath, as the
// package names it) for the call and takes its exit code as the result. The
// build is the run's staged copy of the package's file, in a folder that only
// administrators can change, started by its full path: nobody can put another
// program in its place. FALSE, with ERROR_IN_WOW64 as before, when it cannot
// be started.
static BOOL HandOverToNativeBuild(const WCHAR *nativeBuildPath, const WCHAR *hardwareId, const WCHAR *infPath,
                                  DWORD flags, BOOL *rebootRequired) {
    WCHAR nativeBuild[NATIVE_BUILD_CCH];
    WCHAR commandLine[COMMAND_LINE_CCH];
    PROCESS_INFORMATION process;
    DWORD exitCode = ERROR_IN_WOW64;
    BOOL started = FALSE;
    DWORD bound = (flags & INSTALLFLAG_NONINTERACTIVE) != 0 ? PNP_CHILD_WAIT_MS : INFINITE;
    DWORD waited;

    memset(&process, 0, sizeof(process));
    if (StagedFilePath(nativeBuild, NATIVE_BUILD_CCH, nativeBuildPath) &&
        BuildCommandLine(commandLine, nativeBuild, hardwareId, infPath, flags))
        started = StartProcessInSystemDirectory(nativeBuild, commandLine, &process);
    if (started) {
        CloseHandle(process.hThread);
        // As long as the call itself would take, or the bound of a call
        // that nobody can answer: a child past it is ended.
        waited = WaitForSingleObject(process.hProcess, bound);
        if (waited == WAIT_TIMEOUT) {
            TerminateProcess(process.hProcess, ERROR_TIMEOUT);
            WaitForSingleObject(process.hProcess, PNP_CHILD_END_WAIT_MS);
            exitCode = ERROR_TIMEOUT;
        } else if ((waited != WAIT_OBJECT_0 || !GetExitCodeProcess(process.hProcess, &exitCode)) &&
                   (exitCode = GetLastError()) == ERROR_SUCCESS) {
            exitCode = ERROR_GEN_FAILURE;
        }
        CloseHandle(process.hProcess);
    }
    LogHandOver(started, exitCode, bound);
    if (exitCode == PNP_CHILD_RESTART_NEEDED && rebootRequired != NULL)
        *rebootRequired = TRUE;
    if (exitCode == ERROR_SUCCESS || exitCode == PNP_CHILD_RESTART_NEEDED)
        return TRUE;
    SetLastError(exitCode);
    return FALSE;
}

// The package's build for the machine's own processor, when this process
// runs under WOW64 and the package has one; NULL otherwise.
static const WCHAR *NativeBuildUnderWow64(void) {
    const NativeArchitecture *machine = GetNativeArchitecture();
    BOOL wow64 = FALSE;

    return machine != NULL && machine->NativeBuild != NULL && ReadWow64(&wow64) && wow64 ? machine->NativeBuild
                                                                                         : NULL;
}

BOOL UpdateDriverForPnpDevices(const WCHAR *hardwareId, const WCHAR *infPath, DWORD flags, BOOL *rebootRequired) {
    const WCHAR *nativeBuild;

    if (Newdev.UpdateDriverForPlugAndPlayDevicesW(NULL, hardwareId, infPath, flags, rebootRequired))
        return TRUE;
    if (GetLastError() != ERROR_IN_WOW64)
        return FALSE;
    nativeBuild = NativeBuildUnderWow64();
    if (nativeBuild == NULL) {
        SetLastError(ERROR_IN_WOW64);
        return FALSE;
    }
    return HandOverToNativeBuild(nativeBuild, hardwareId, infPath, flags, rebootRequired);
}
