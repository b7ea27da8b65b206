// The log file of "/log FILE".
#include "common/log_file.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/error_text.h"

// The longest text a line carries: an item text of the uninstall tree.
#define LOG_TEXT_CCH 1024
// "yyyy-mm-dd hh:mm:ss.mmm [pid] " has at most 37 characters; then the text,
// CRLF and the terminator.
#define LOG_STAMP_CCH 37
#define LOG_LINE_CCH (LOG_STAMP_CCH + LOG_TEXT_CCH + 3)
// UTF-8 takes at most 3 bytes for a UTF-16 unit (4 for a surrogate pair).
#define LOG_LINE_BYTES (4 * LOG_LINE_CCH)

// A new log: SYSTEM and Administrators may do anything, users only read it.
#define LOG_FILE_SDDL L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)"

WCHAR LogFilePath[LOG_PATH_CCH];
HANDLE LogFileHandle = INVALID_HANDLE_VALUE;
HANDLE LogFolderHandle = INVALID_HANDLE_VALUE;

static void CloseIfOpen(HANDLE *handle) {
    if (*handle != INVALID_HANDLE_VALUE)
        CloseHandle(*handle);
    *handle = INVALID_HANDLE_VALUE;
}

// Neither a link nor a name of a file with other names.
static BOOL IsPlainFile(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information;

    return GetFileInformationByHandle(handle, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && information.nNumberOfLinks <= 1;
}

// Whether sid is the account this process runs as.
static BOOL IsOwnAccount(PSID sid) {
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    HANDLE token = NULL;
    BOOL same;

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return FALSE;
    same = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) &&
           EqualSid(sid, ((TOKEN_USER *)buffer)->User.Sid);
    CloseHandle(token);
    return same;
}

BOOL OwnedByAdministrators(HANDLE handle) {
    PSECURITY_DESCRIPTOR descriptor = NULL;
    PSID owner = NULL;
    BOOL administrators;

    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL, NULL, &descriptor) !=
        ERROR_SUCCESS)
        return FALSE;
    administrators = owner != NULL && (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                                       IsWellKnownSid(owner, WinLocalSystemSid) || IsOwnAccount(owner));
    LocalFree(descriptor);
    return administrators;
}

// Opens the log's folder, held so that it cannot be renamed or replaced
// while the log is written, and refused when it is a junction or a link.
static HANDLE OpenLogFolder(void) {
    WCHAR folder[LOG_PATH_CCH];
    WCHAR *lastBackslash;
    HANDLE handle;

    if (FAILED(StringCchCopyW(folder, LOG_PATH_CCH, LogFilePath)) || (lastBackslash = wcsrchr(folder, L'\\')) == NULL)
        return INVALID_HANDLE_VALUE;
    lastBackslash[lastBackslash == folder || lastBackslash[-1] == L':' ? 1 : 0] = 0;
    handle = CreateFileW(folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (handle != INVALID_HANDLE_VALUE && !IsPlainFile(handle))
        CloseIfOpen(&handle);
    return handle;
}

void OpenLogFile(void) {
    PSECURITY_DESCRIPTOR descriptor = NULL;
    SECURITY_ATTRIBUTES attributes;
    DWORD savedError = GetLastError();
    BOOL existed;

    CloseLogFile();
    if (LogFilePath[0] == 0)
        return;
    LogFolderHandle = OpenLogFolder();
    if (LogFolderHandle != INVALID_HANDLE_VALUE &&
        ConvertStringSecurityDescriptorToSecurityDescriptorW(LOG_FILE_SDDL, SDDL_REVISION_1, &descriptor, NULL)) {
        memset(&attributes, 0, sizeof(attributes));
        attributes.nLength = sizeof(attributes);
        attributes.lpSecurityDescriptor = descriptor;
        // Appending only: every write lands at the end of the file, whoever
        // else appends to it meanwhile (a relaunched copy of the program).
        LogFileHandle = CreateFileW(LogFilePath, FILE_APPEND_DATA | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &attributes, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                    NULL);
        existed = GetLastError() == ERROR_ALREADY_EXISTS;
        if (LogFileHandle != INVALID_HANDLE_VALUE &&
            (!IsPlainFile(LogFileHandle) || (existed && !OwnedByAdministrators(LogFileHandle))))
            CloseIfOpen(&LogFileHandle);
        LocalFree(descriptor);
    }
    if (LogFileHandle == INVALID_HANDLE_VALUE)
        CloseIfOpen(&LogFolderHandle);
    SetLastError(savedError);
}

void CloseLogFile(void) {
    CloseIfOpen(&LogFileHandle);
    CloseIfOpen(&LogFolderHandle);
}

// Each run of CR and LF becomes one blank; a run at the end is dropped.
static void JoinLineBreaks(WCHAR *text) {
    size_t from = 0;
    size_t to = 0;

    while (text[from] != 0) {
        if (text[from] != L'\r' && text[from] != L'\n') {
            text[to++] = text[from++];
            continue;
        }
        while (text[from] == L'\r' || text[from] == L'\n')
            from++;
        if (text[from] != 0)
            text[to++] = L' ';
    }
    text[to] = 0;
}

void WriteLogLine(const WCHAR *text) {
    // The buffers are the caller's own: two threads never share one.
    WCHAR line[LOG_LINE_CCH];
    WCHAR described[LOG_TEXT_CCH];
    char bytes[LOG_LINE_BYTES];
    SYSTEMTIME now;
    DWORD savedError;
    DWORD written = 0;
    size_t length = 0;
    int size;

    if (LogFileHandle == INVALID_HANDLE_VALUE || text == NULL)
        return;
    savedError = GetLastError();
    // Each error number with the system's words for it, where they fit.
    if (DescribeErrorNumbers(text, described, LOG_TEXT_CCH))
        text = described;

    memset(&now, 0, sizeof(now));
    GetLocalTime(&now);
    // A text that does not fit is left out whole rather than cut.
    if (FAILED(StringCchPrintfW(line, LOG_LINE_CCH - 2, L"%04d-%02d-%02d %02d:%02d:%02d.%03d [%lu] %ws",
                                (int)now.wYear, (int)now.wMonth, (int)now.wDay, (int)now.wHour, (int)now.wMinute,
                                (int)now.wSecond, (int)now.wMilliseconds, (unsigned long)GetCurrentProcessId(),
                                text))) {
        SetLastError(savedError);
        return;
    }
    JoinLineBreaks(line);
    StringCchCatW(line, LOG_LINE_CCH, L"\r\n");
    StringCchLengthW(line, LOG_LINE_CCH, &length);

    size = WideCharToMultiByte(CP_UTF8, 0, line, (int)length, bytes, LOG_LINE_BYTES, NULL, NULL);
    if (size > 0)
        WriteFile(LogFileHandle, bytes, (DWORD)size, &written, NULL);
    SetLastError(savedError);
}

const WCHAR *LogPathForCommandLine(void) {
    size_t length = wcslen(LogFilePath);

    if (length == 0 || wcschr(LogFilePath, L'"') != NULL || LogFilePath[length - 1] == L'\\')
        return NULL;
    return LogFilePath;
}
