#include "app/relaunch.h"

#include <windows.h>
#include <sddl.h>
#include <string.h>
#include <strsafe.h>

#include "common/log_file.h"
#include "common/process.h"

#define TEMP_FOLDER_CCH 256
#define COPY_PATH_CCH 260
#define COMMAND_LINE_CCH 1024
#define FOLDER_NAME_TRIES 16

// Full control for SYSTEM and Administrators, to the folder and everything in
// it, and nothing inherited from the temporary folder, which its user may
// write.
#define PROTECTED_FOLDER_SDDL L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"

// Creates a new folder under parent with the protected security descriptor.
// A name that exists already is never used: whoever made it may own it.
static BOOL CreateProtectedFolder(const WCHAR *parent, WCHAR *folder) {
    PSECURITY_DESCRIPTOR descriptor = NULL;
    SECURITY_ATTRIBUTES attributes;
    UINT first = GetTickCount();
    BOOL created = FALSE;
    int i;

    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PROTECTED_FOLDER_SDDL, SDDL_REVISION_1, &descriptor,
                                                              NULL))
        return FALSE;
    memset(&attributes, 0, sizeof(attributes));
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    for (i = 0; i < FOLDER_NAME_TRIES && !created; i++) {
        // A non-zero number only makes the name up; 0 would create a file.
        if (GetTempFileNameW(parent, L"uni", (first + i) % 0xFFFF + 1, folder) == 0)
            break;
        created = CreateDirectoryW(folder, &attributes);
        if (!created && GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    LocalFree(descriptor);
    return created;
}

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

void RelaunchFromProtectedCopy(HANDLE instanceMutex, const WCHAR *modulePath, const WCHAR *folder) {
    WCHAR tempFolder[TEMP_FOLDER_CCH];
    WCHAR copyFolder[COPY_PATH_CCH];
    WCHAR copyPath[COPY_PATH_CCH];
    WCHAR commandLine[COMMAND_LINE_CCH];
    HANDLE held = INVALID_HANDLE_VALUE;
    BOOL ready;

    memset(tempFolder, 0, sizeof(tempFolder));
    memset(copyFolder, 0, sizeof(copyFolder));
    memset(copyPath, 0, sizeof(copyPath));
    memset(commandLine, 0, sizeof(commandLine));

    ready = GetTempPathW(TEMP_FOLDER_CCH, tempFolder) != 0 && CreateProtectedFolder(tempFolder, copyFolder);
    if (ready) {
        // The copy gets a name that is not "unins000", so it does not
        // relaunch again. Neither it nor its folder outlives the next
        // restart: the file goes first, so that the folder is empty then.
        ready = GetTempFileNameW(copyFolder, L"unins", 0, copyPath) != 0;
        if (ready)
            MoveFileExW(copyPath, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
        MoveFileExW(copyFolder, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
        ready = ready && CopyFileW(modulePath, copyPath, FALSE);
    }
    if (ready) {
        // Held from here until the child runs: nobody can change or replace
        // it, yet it can still be started.
        held = CreateFileW(copyPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        ready = held != INVALID_HANDLE_VALUE && BuildCommandLine(commandLine, copyPath, folder);
    }

    // The copy takes the single-instance guard itself.
    CloseHandle(instanceMutex);
    if (ready)
        StartDetachedProcess(copyPath, commandLine);
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
}
