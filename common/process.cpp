#include "common/process.h"

#include <string.h>

#define SYSTEM_DIRECTORY_CCH 260

static BOOL StartInSystemDirectory(const WCHAR *program, WCHAR *commandLine, DWORD flags,
                                   PROCESS_INFORMATION *process) {
    WCHAR directory[SYSTEM_DIRECTORY_CCH];
    STARTUPINFOW startup;
    UINT length = GetSystemDirectoryW(directory, SYSTEM_DIRECTORY_CCH);

    memset(&startup, 0, sizeof(startup));
    memset(process, 0, sizeof(*process));
    startup.cb = sizeof(startup);
    if (length == 0 || length >= SYSTEM_DIRECTORY_CCH) {
        if (length != 0)
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    return CreateProcessW(program, commandLine, NULL, NULL, FALSE, flags, NULL, directory, &startup, process);
}

BOOL StartProcessInSystemDirectory(const WCHAR *program, WCHAR *commandLine, PROCESS_INFORMATION *process) {
    return StartInSystemDirectory(program, commandLine, 0, process);
}

BOOL StartSuspendedInSystemDirectory(const WCHAR *program, WCHAR *commandLine, PROCESS_INFORMATION *process) {
    return StartInSystemDirectory(program, commandLine, CREATE_SUSPENDED, process);
}

DWORD StartDetachedProcess(const WCHAR *program, WCHAR *commandLine) {
    PROCESS_INFORMATION process;

    StartProcessInSystemDirectory(program, commandLine, &process);
    if (process.hProcess)
        CloseHandle(process.hProcess);
    if (process.hThread)
        CloseHandle(process.hThread);
    return process.dwProcessId;
}
