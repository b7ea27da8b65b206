// Reading the program's command line.
#include "app/options.h"

#include <windows.h>
#include <shellapi.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/globals.h"
#include "common/log_file.h"

// Every option the program knows: none of them is ever taken as the
// argument of another, except the folder of -u, which is taken as it stands.
static const WCHAR *const OptionNames[] = {L"-u", L"/silence", L"/stage", L"/log", L"/quiet", L"/remove", L"/wait"};

static BOOL IsOption(const WCHAR *token) {
    size_t i;

    for (i = 0; i < sizeof(OptionNames) / sizeof(OptionNames[0]); i++)
        if (lstrcmpiW(token, OptionNames[i]) == 0)
            return TRUE;
    return FALSE;
}

BOOL ReadWholeNumber(const WCHAR *text, DWORD maximum, DWORD *value) {
    DWORD number = 0;
    const WCHAR *p;

    if (text[0] == 0)
        return FALSE;
    for (p = text; *p != 0; p++) {
        if (*p < L'0' || *p > L'9' || number > (maximum - (DWORD)(*p - L'0')) / 10)
            return FALSE;
        number = number * 10 + (DWORD)(*p - L'0');
    }
    *value = number;
    return TRUE;
}

StartOptions ReadCommandLine(LPWSTR commandLine) {
    StartOptions options;
    LPWSTR *tokens;
    int count = 0;
    int i;

    memset(&options, 0, sizeof(options));
    options.WaitSeconds = DEFAULT_WAIT_SECONDS;
    tokens = CommandLineToArgvW(commandLine, &count);
    if (!tokens) {
        options.Unreadable = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
        return options;
    }
    for (i = 0; i < count; i++) {
        if (lstrcmpiW(tokens[i], L"-u") == 0 && i + 1 < count) {
            i++;
            if (wcslen(tokens[i]) < INSTALL_DIR_CCH) {
                options.Uninstall = TRUE;
                StringCchCopyW(InstallDir, INSTALL_DIR_CCH, tokens[i]);
            }
        } else if (lstrcmpiW(tokens[i], L"/log") == 0) {
            if (i + 1 < count && !IsOption(tokens[i + 1])) {
                i++;
                if (wcslen(tokens[i]) < LOG_PATH_CCH)
                    StringCchCopyW(LogFilePath, LOG_PATH_CCH, tokens[i]);
            }
        } else if (lstrcmpiW(tokens[i], L"/wait") == 0) {
            if (i + 1 < count && !IsOption(tokens[i + 1])) {
                i++;
                options.WaitMalformed = !ReadWholeNumber(tokens[i], MAX_WAIT_SECONDS, &options.WaitSeconds);
            } else {
                options.WaitMalformed = TRUE;
            }
        } else if (lstrcmpiW(tokens[i], L"/silence") == 0) {
            options.Silent = TRUE;
        } else if (lstrcmpiW(tokens[i], L"/stage") == 0) {
            options.Stage = TRUE;
        } else if (lstrcmpiW(tokens[i], L"/quiet") == 0) {
            options.Quiet = TRUE;
        } else if (lstrcmpiW(tokens[i], L"/remove") == 0) {
            options.Remove = TRUE;
        }
    }
    LocalFree(tokens);
    return options;
}

BOOL IsDeploymentMode(const StartOptions *options) {
    return !options->Uninstall && (options->Remove || options->Stage || options->Quiet);
}
