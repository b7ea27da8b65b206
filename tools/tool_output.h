// Console output shared by the Windows helper programs: text goes to stdout
// (or stderr) as UTF-8 with plain line feeds, so that shell scripts running
// the tools under Wine read exactly what was printed. A real console gets the
// text through WriteConsoleW instead.
#pragma once

#include <windows.h>
#include <stdarg.h>
#include <strsafe.h>

static inline void WriteWide(DWORD which, const WCHAR *text, int length)
{
    HANDLE out = GetStdHandle(which);
    if (out == NULL || out == INVALID_HANDLE_VALUE || length <= 0)
        return;
    DWORD mode;
    DWORD written;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text, (DWORD)length, &written, NULL);
        return;
    }
    // Convert in slices so that any length of text can be written.
    char bytes[4096];
    int done = 0;
    while (done < length) {
        int slice = length - done;
        if (slice > 1000)
            slice = 1000;
        // Never split a surrogate pair between two slices.
        if (slice < length - done && text[done + slice - 1] >= 0xD800 && text[done + slice - 1] <= 0xDBFF)
            slice--;
        int n = WideCharToMultiByte(CP_UTF8, 0, text + done, slice, bytes, (int)sizeof(bytes), NULL, NULL);
        if (n > 0)
            WriteFile(out, bytes, (DWORD)n, &written, NULL);
        done += slice;
    }
}

static inline void VPrintTo(DWORD which, const WCHAR *format, va_list args)
{
    WCHAR line[4096];
    // A cut line is still printed: StringCchVPrintfW leaves the truncated text.
    StringCchVPrintfW(line, ARRAYSIZE(line), format, args);
    WriteWide(which, line, lstrlenW(line));
}

static inline void Out(const WCHAR *format, ...)
{
    va_list args;
    va_start(args, format);
    VPrintTo(STD_OUTPUT_HANDLE, format, args);
    va_end(args);
}

static inline void Err(const WCHAR *format, ...)
{
    va_list args;
    va_start(args, format);
    VPrintTo(STD_ERROR_HANDLE, format, args);
    va_end(args);
}
