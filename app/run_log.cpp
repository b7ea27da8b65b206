#include "app/run_log.h"

#include <windows.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/log_file.h"
#include "common/native_system.h"
#include "product_version.h"

#define RUN_LINE_CCH 1000
#define WINDOWS_VERSION_CCH 64
#define BUILD_NUMBER_CCH 16
// The command line is cut for the log at 600 characters, and shorter where
// a long folder or account name needs the room: a line that does not fit
// would be left out whole.
#define COMMAND_LINE_SHOWN 600
#define FIRST_LINE_FIXED_CCH 320
#define FOLDER_CCH 261
#define ACCOUNT_PART_CCH 64
#define ACCOUNT_CCH (2 * ACCOUNT_PART_CCH)

WCHAR RunOutcome[RUN_OUTCOME_CCH];

void SetRunOutcome(const WCHAR *reason) {
    if (FAILED(StringCchCopyW(RunOutcome, RUN_OUTCOME_CCH, reason)))
        RunOutcome[0] = 0;
}

// The reason of a run whose mode did not say: what its kind of mode means.
static const WCHAR *DefaultReason(int exitCode, BOOL deployment) {
    if (!deployment)
        return L"this mode ends with 0 whatever happened; the lines above say what it did";
    return exitCode == 0 ? L"done" : L"the run failed; the lines above say which step, and why";
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

// The folder the program runs from, without its last backslash; empty when
// its path cannot be read whole.
static void ReadProgramFolder(WCHAR *folder) {
    DWORD length = GetModuleFileNameW(NULL, folder, FOLDER_CCH);
    WCHAR *lastBackslash;

    if (length == 0 || length >= FOLDER_CCH || (lastBackslash = wcsrchr(folder, L'\\')) == NULL)
        folder[0] = 0;
    else
        *lastBackslash = 0;
}

// "DOMAIN\name" of the account the process runs as; empty when unknown.
static void ReadAccountName(WCHAR *account) {
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    WCHAR name[ACCOUNT_PART_CCH];
    WCHAR domain[ACCOUNT_PART_CCH];
    DWORD nameCch = ACCOUNT_PART_CCH;
    DWORD domainCch = ACCOUNT_PART_CCH;
    DWORD size = 0;
    SID_NAME_USE use;
    HANDLE token = NULL;
    BOOL known;

    account[0] = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return;
    known = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) &&
            LookupAccountSidW(NULL, ((TOKEN_USER *)buffer)->User.Sid, name, &nameCch, domain, &domainCch, &use);
    CloseHandle(token);
    if (!known)
        return;
    if (domain[0] == 0)
        StringCchCopyW(account, ACCOUNT_CCH, name);
    else if (FAILED(StringCchPrintfW(account, ACCOUNT_CCH, L"%ws\\%ws", domain, name)))
        account[0] = 0;
}

void LogRunStart(const WCHAR *commandLine, const WCHAR *mode) {
    WCHAR line[RUN_LINE_CCH];
    WCHAR windowsVersion[WINDOWS_VERSION_CCH];
    WCHAR shownCommandLine[COMMAND_LINE_SHOWN + 1];
    WCHAR folder[FOLDER_CCH];
    WCHAR account[ACCOUNT_CCH];
    const NativeArchitecture *machine;
    size_t shown;

    if (LogFilePath[0] == 0)
        return;
    machine = GetNativeArchitecture();
    ReadWindowsVersion(windowsVersion);
    ReadProgramFolder(folder);
    ReadAccountName(account);
    shown = RUN_LINE_CCH - FIRST_LINE_FIXED_CCH - wcslen(folder) - wcslen(account);
    if (shown > COMMAND_LINE_SHOWN)
        shown = COMMAND_LINE_SHOWN;
    if (FAILED(StringCchCopyNW(shownCommandLine, shown + 1, commandLine != NULL ? commandLine : L"", shown)))
        shownCommandLine[0] = 0;
    if (SUCCEEDED(StringCchPrintfW(
            line, RUN_LINE_CCH,
            L"Corvane setup " PRODUCT_VERSION_WIDE L" (%d-bit) starts: command line \"%ws\", mode %ws, machine %ws, "
            L"Windows %ws, interactive session: %ws, folder %ws, account %ws, process id %lu.",
            (int)(sizeof(void *) * 8), shownCommandLine,
            mode != NULL ? mode : L"none (the run ends before it chooses one)",
            machine != NULL ? machine->PrintEnvironment : L"of a processor without a driver",
            windowsVersion[0] != 0 ? windowsVersion : L"(version unknown)",
            IsWindowStationInteractive() ? L"yes" : L"no", folder[0] != 0 ? folder : L"(unknown)",
            account[0] != 0 ? account : L"(unknown)", (unsigned long)GetCurrentProcessId())))
        WriteLogLine(line);
}

void LogRunEnd(int exitCode, BOOL deployment) {
    WCHAR line[RUN_LINE_CCH];

    if (LogFilePath[0] != 0 &&
        SUCCEEDED(StringCchPrintfW(line, RUN_LINE_CCH, L"Ends with exit code %d (0x%08lX): %ws.", exitCode,
                                   (unsigned long)(DWORD)exitCode,
                                   RunOutcome[0] != 0 ? RunOutcome : DefaultReason(exitCode, deployment))))
        WriteLogLine(line);
}
