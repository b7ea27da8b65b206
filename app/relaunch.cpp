#include "app/relaunch.h"

#include <windows.h>
#include <string.h>
#include <strsafe.h>

#include "common/code_signature.h"
#include "common/log_file.h"
#include "common/process.h"
#include "common/protected_copy.h"

#define COMMAND_LINE_CCH 1024

// The copy's command line: "-u" and the folder, with the log file before
// them. The folder's quote stays open: the folder ends with a backslash, and
// a closing quote right after it would be read as an escaped quote. Open, the
// argument ends at the end of the line with its backslash, so nothing may
// follow it. A log path that does not fit is left out rather than cut.
static BOOL BuildCommandLine(WCHAR *commandLine, const WCHAR *copyPath, const WCHAR *folder) {
    const WCHAR *logPath = LogPathForCommandLine();

    if (logPath != NULL && SUCCEEDED(StringCchPrintfW(commandLine, COMMAND_LINE_CCH, L"\"%ws\" /log \"%ws\" -u \"%ws",
                                                      copyPath, logPath, folder)))
        return TRUE;
    return SUCCEEDED(StringCchPrintfW(commandLine, COMMAND_LINE_CCH, L"\"%ws\" -u \"%ws", copyPath, folder));
}

void RelaunchFromProtectedCopy(InstanceGuard *guard, HANDLE ownImage, const WCHAR *folder) {
    WCHAR copyPath[PROTECTED_COPY_PATH_CCH];
    WCHAR commandLine[COMMAND_LINE_CCH];
    PROCESS_INFORMATION child;
    HANDLE held;

    memset(commandLine, 0, sizeof(commandLine));
    memset(copyPath, 0, sizeof(copyPath));
    held = ownImage != INVALID_HANDLE_VALUE ? MakeProtectedCopyOfFile(ownImage, copyPath) : INVALID_HANDLE_VALUE;
    // The copy is read from the program's file, whose bytes a view mapped
    // before this run could still change: a signed build starts it only
    // when it carries this build's own valid signature. It starts suspended,
    // is given the single-instance guard, and only then runs: no other copy
    // can start in between.
    if (held != INVALID_HANDLE_VALUE && MayStartCopy(copyPath, held) &&
        BuildCommandLine(commandLine, copyPath, folder) &&
        StartSuspendedInSystemDirectory(copyPath, commandLine, &child)) {
        HandOverInstanceGuard(guard, &child);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    ReleaseInstanceGuard(guard);
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
}
