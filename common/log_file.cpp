// The log file of "/log FILE".
#include "common/log_file.h"

#include <windows.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

// The longest text a line carries: an item text of the uninstall tree.
#define LOG_TEXT_CCH 1024
// "yyyy-mm-dd hh:mm:ss.mmm " has 24 characters; then the text, CRLF and the
// terminator.
#define LOG_STAMP_CCH 24
#define LOG_LINE_CCH (LOG_STAMP_CCH + LOG_TEXT_CCH + 3)
// UTF-8 takes at most 3 bytes for a UTF-16 unit (4 for a surrogate pair).
#define LOG_LINE_BYTES (4 * LOG_LINE_CCH)

WCHAR LogFilePath[LOG_PATH_CCH];

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
    char bytes[LOG_LINE_BYTES];
    SYSTEMTIME now;
    DWORD savedError;
    DWORD written = 0;
    HANDLE file;
    size_t length = 0;
    int size;

    if (LogFilePath[0] == 0 || text == NULL)
        return;
    savedError = GetLastError();

    memset(&now, 0, sizeof(now));
    GetLocalTime(&now);
    // A text that does not fit is left out whole rather than cut.
    if (FAILED(StringCchPrintfW(line, LOG_LINE_CCH - 2, L"%04d-%02d-%02d %02d:%02d:%02d.%03d %ws", (int)now.wYear,
                                (int)now.wMonth, (int)now.wDay, (int)now.wHour, (int)now.wMinute, (int)now.wSecond,
                                (int)now.wMilliseconds, text))) {
        SetLastError(savedError);
        return;
    }
    JoinLineBreaks(line);
    StringCchCatW(line, LOG_LINE_CCH, L"\r\n");
    StringCchLengthW(line, LOG_LINE_CCH, &length);

    size = WideCharToMultiByte(CP_UTF8, 0, line, (int)length, bytes, LOG_LINE_BYTES, NULL, NULL);
    if (size > 0) {
        // Appending only: every write lands at the end of the file, whoever
        // else appends to it meanwhile.
        file = CreateFileW(LogFilePath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            WriteFile(file, bytes, (DWORD)size, &written, NULL);
            CloseHandle(file);
        }
    }
    SetLastError(savedError);
}

const WCHAR *LogPathForCommandLine(void) {
    size_t length = wcslen(LogFilePath);

    if (length == 0 || wcschr(LogFilePath, L'"') != NULL || LogFilePath[length - 1] == L'\\')
        return NULL;
    return LogFilePath;
}
