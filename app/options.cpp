// Reading the program's command line.
#include "app/options.h"

#include <windows.h>
#include <shellapi.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/globals.h"
#include "common/log_file.h"
#include "common/whole_number.h"
#include "install/pnp_handover.h"

// The private mode's option and its three arguments.
#define PNP_UPDATE_TOKENS 4

// None of the options is ever taken as the argument of another, except the
// folder of -u, which is taken as it stands.
const WCHAR *const OptionNames[] = {L"-u",     L"/silence", L"/stage",          L"/log",
                                    L"/quiet", L"/remove",  L"/wait", L"/requireprinter", L"/norestart"};
const size_t OptionCount = sizeof(OptionNames) / sizeof(OptionNames[0]);

static BOOL IsOption(const WCHAR *token) {
    size_t i;

    for (i = 0; i < OptionCount; i++)
        if (lstrcmpiW(token, OptionNames[i]) == 0)
            return TRUE;
    return FALSE;
}

// Keeps the first token that means nothing, in quotes (as much of it as
// fits), so that an empty one shows too.
static void NoteStray(StartOptions *options, const WCHAR *token) {
    if (options->StrayToken[0] == 0)
        StringCchPrintfW(options->StrayToken, STRAY_TOKEN_CCH, L"\"%ws\"", token);
}

// The log file as the administrator typed it, made a full path from the
// current folder at start-up ("setup.log", "..\logs\setup.log", "\logs\a.log"),
// with forward slashes read as backslashes: a relaunched copy, which starts
// in System32, gets the same file. FALSE when the file or its full path does
// not fit LogFilePath; a path that cannot be made full leaves the run without
// a log.
static BOOL ReadLogPath(const WCHAR *token) {
    WCHAR full[LOG_PATH_CCH];
    DWORD length;

    if (wcslen(token) >= LOG_PATH_CCH)
        return FALSE;
    memset(full, 0, sizeof(full));
    length = GetFullPathNameW(token, LOG_PATH_CCH, full, NULL);
    if (length >= LOG_PATH_CCH)
        return FALSE;
    StringCchCopyW(LogFilePath, LOG_PATH_CCH, length != 0 ? full : L"");
    return TRUE;
}

// The private mode's exact form; arguments that do not fit their buffers
// stay empty, which the mode refuses.
static BOOL ReadPnpUpdate(StartOptions *options, LPWSTR *tokens, int count) {
    if (count != PNP_UPDATE_TOKENS || wcscmp(tokens[0], PNP_UPDATE_OPTION) != 0)
        return FALSE;
    options->PnpUpdate = TRUE;
    if (wcslen(tokens[1]) < REQUEST_TEXT_CCH && wcslen(tokens[2]) < REQUEST_TEXT_CCH &&
        wcslen(tokens[3]) < STRAY_TOKEN_CCH) {
        StringCchCopyW(options->PnpHardwareId, REQUEST_TEXT_CCH, tokens[1]);
        StringCchCopyW(options->PnpInfPath, REQUEST_TEXT_CCH, tokens[2]);
        StringCchCopyW(options->PnpFlags, STRAY_TOKEN_CCH, tokens[3]);
    }
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
    // A line that cannot be split holds no option.
    if (!tokens)
        return options;
    // An empty line splits into the program's own path, which is no token.
    if (commandLine == NULL || commandLine[0] == 0)
        count = 0;
    if (ReadPnpUpdate(&options, tokens, count)) {
        LocalFree(tokens);
        return options;
    }
    for (i = 0; i < count; i++) {
        if (lstrcmpiW(tokens[i], L"-u") == 0) {
            if (i + 1 >= count) {
                NoteStray(&options, tokens[i]);
                continue;
            }
            i++;
            if (wcslen(tokens[i]) < INSTALL_DIR_CCH) {
                options.Uninstall = TRUE;
                StringCchCopyW(InstallDir, INSTALL_DIR_CCH, tokens[i]);
            } else {
                NoteStray(&options, tokens[i - 1]);
            }
        } else if (lstrcmpiW(tokens[i], L"/log") == 0) {
            if (i + 1 < count && !IsOption(tokens[i + 1])) {
                i++;
                if (!ReadLogPath(tokens[i]))
                    NoteStray(&options, tokens[i - 1]);
            } else {
                NoteStray(&options, tokens[i]);
            }
        } else if (lstrcmpiW(tokens[i], L"/wait") == 0) {
            options.WaitText[0] = 0;
            if (i + 1 < count && !IsOption(tokens[i + 1])) {
                i++;
                StringCchCopyW(options.WaitText, STRAY_TOKEN_CCH, tokens[i]);
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
        } else if (lstrcmpiW(tokens[i], L"/requireprinter") == 0) {
            options.RequirePrinter = TRUE;
        } else if (lstrcmpiW(tokens[i], L"/norestart") == 0) {
            // The program never restarts the machine: nothing to do.
        } else {
            NoteStray(&options, tokens[i]);
        }
    }
    LocalFree(tokens);
    return options;
}

BOOL IsDeploymentMode(const StartOptions *options) {
    return !options->Uninstall && (options->Remove || options->Stage || options->Quiet);
}
