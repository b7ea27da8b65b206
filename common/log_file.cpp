// The log file of "/log FILE".
#include "common/log_file.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/accounts.h"
#include "common/error_text.h"
#include "common/folder_way.h"

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

// The rights over the log that change what it holds or who may: writing or
// appending, deleting it (and so replacing it), its DACL and its owner, and
// the generic rights that hold them.
#define LOG_WRITE_RIGHTS                                                                                               \
    (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL)

WCHAR LogFilePath[LOG_PATH_CCH];
HANDLE LogFileHandle = INVALID_HANDLE_VALUE;
HeldFolders LogFolderWay;

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

// No entry of the DACL lets anyone but Administrators, SYSTEM, the running
// account or the owner (checked to be one of them) change the file. Entries
// that deny, and those only passed on to children, give nothing; an entry of
// a kind not known here counts against the file. A missing DACL lets anyone
// do anything.
static BOOL OnlyAdministratorsMayWrite(PACL dacl) {
    ACCESS_ALLOWED_ACE *entry;
    ACE_HEADER *header;
    LPVOID ace;
    WORD i;

    if (dacl == NULL)
        return FALSE;
    for (i = 0; i < dacl->AceCount; i++) {
        if (!GetAce(dacl, i, &ace))
            return FALSE;
        header = (ACE_HEADER *)ace;
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || header->AceType == ACCESS_DENIED_ACE_TYPE)
            continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return FALSE;
        entry = (ACCESS_ALLOWED_ACE *)ace;
        if ((entry->Mask & LOG_WRITE_RIGHTS) != 0 && !IsAdministratorsOrSelf((PSID)&entry->SidStart) &&
            !IsWellKnownSid((PSID)&entry->SidStart, WinCreatorOwnerRightsSid))
            return FALSE;
    }
    return TRUE;
}

BOOL OwnedByAdministrators(HANDLE handle) {
    PSECURITY_DESCRIPTOR descriptor = NULL;
    PSID owner = NULL;
    PACL dacl = NULL;
    BOOL theirs;

    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        NULL, &dacl, NULL, &descriptor) != ERROR_SUCCESS)
        return FALSE;
    theirs = IsAdministratorsOrSelf(owner) && OnlyAdministratorsMayWrite(dacl);
    LocalFree(descriptor);
    return theirs;
}

// Holds every folder from the drive's root down to the log's folder, so that
// none can be renamed or replaced while the log is written, and none is a
// junction or a link.
static BOOL HoldLogFolderWay(void) {
    WCHAR folder[LOG_PATH_CCH];
    WCHAR *lastSeparator;

    if (FAILED(StringCchCopyW(folder, LOG_PATH_CCH, LogFilePath)) || (lastSeparator = wcsrchr(folder, L'\\')) == NULL)
        return FALSE;
    // The folder with its separator, which a root needs.
    lastSeparator[1] = 0;
    return HoldFolderWay(&LogFolderWay, folder, FALSE);
}

void OpenLogFile(void) {
    PSECURITY_DESCRIPTOR descriptor = NULL;
    SECURITY_ATTRIBUTES attributes;
    DWORD savedError = GetLastError();
    BOOL existed;

    CloseLogFile();
    if (LogFilePath[0] == 0)
        return;
    if (HoldLogFolderWay() &&
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
        ReleaseFolderWay(&LogFolderWay);
    SetLastError(savedError);
}

void CloseLogFile(void) {
    CloseIfOpen(&LogFileHandle);
    ReleaseFolderWay(&LogFolderWay);
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

static BOOL IsControlCharacter(WCHAR c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

BOOL EscapeControlCharacters(const WCHAR *text, WCHAR *out, size_t outCch) {
    WCHAR escape[16];
    WCHAR one[2];
    HRESULT result = S_OK;

    if (outCch == 0)
        return FALSE;
    out[0] = 0;
    one[1] = 0;
    for (; *text != 0 && SUCCEEDED(result); text++) {
        if (IsControlCharacter(*text)) {
            StringCchPrintfW(escape, 16, L"<U+%04X>", (unsigned int)*text);
            result = StringCchCatW(out, outCch, escape);
        } else {
            one[0] = *text;
            result = StringCchCatW(out, outCch, one);
        }
    }
    if (FAILED(result))
        out[0] = 0;
    return SUCCEEDED(result);
}
