#include "common/process.h"

#include <string.h>

DWORD StartDetachedProcess(const WCHAR *program, WCHAR *commandLine) {
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;

    memset(&startup, 0, sizeof(startup));
    memset(&process, 0, sizeof(process));
    startup.cb = sizeof(startup);
    CreateProcessW(program, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process);
    if (process.hProcess)
        CloseHandle(process.hProcess);
    if (process.hThread)
        CloseHandle(process.hThread);
    return process.dwProcessId;
}
