// The diagnostic trace, written to the debugger output and to the log file.
#include "common/trace.h"

#include <windows.h>
#include <stdarg.h>
#include <strsafe.h>

#include "common/log_file.h"

#define TRACE_FORMAT_CCH 256
#define TRACE_LINE_CCH 768

// Shared by every caller; one thread traces in a run: the install worker's,
// or start-up's for /stage.
static WCHAR TraceFormat[TRACE_FORMAT_CCH];
static WCHAR TraceLine[TRACE_LINE_CCH];

void Trace(const char *format, ...) {
    size_t length;
    va_list args;
    HRESULT result;

    // A format without a terminator within 256 bytes is not traced at all.
    if (FAILED(StringCchLengthA(format, TRACE_FORMAT_CCH, &length)))
        return;
    // Nor is one that cannot be converted: the buffer would still hold the
    // last line's format, which does not fit these arguments.
    if (MultiByteToWideChar(CP_ACP, 0, format, -1, TraceFormat, TRACE_FORMAT_CCH) == 0)
        return;

    // A line that does not fit is dropped whole rather than cut.
    va_start(args, format);
    result = StringCchVPrintfW(TraceLine, TRACE_LINE_CCH, TraceFormat, args);
    va_end(args);
    if (FAILED(result))
        return;

    OutputDebugStringW(TraceLine);
    OutputDebugStringW(L"\n");
    WriteLogLine(TraceLine);
}
