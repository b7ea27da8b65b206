// The log file of "/log FILE": a second sink beside the debugger output, for
// the trace and for the texts the windows show, so that a run without a
// debugger (a software-deployment tool, a start-up script) leaves a record.
#pragma once

#include <windows.h>

// Capacity of the log file's path, in characters; a longer FILE is ignored
// with its option, as -u ignores a folder that does not fit InstallDir.
#define LOG_PATH_CCH 260

// The file named by /log; empty when there is none. Set once at start-up.
extern WCHAR LogFilePath[LOG_PATH_CCH];

// Appends one line to the log file: the local time ("yyyy-mm-dd
// hh:mm:ss.mmm "), the text, CRLF, all in UTF-8. Line breaks inside the text
// become one blank each, trailing ones are dropped, so that every line of the
// file begins with its time. The file is opened for this line alone, for
// appending, shared for reading and writing: the window's thread, the
// worker's and a relaunched copy of the program may all write to it, and a
// viewer may read it meanwhile. Without a log file, or when it cannot be
// opened or written, nothing happens; the last error is left as it was.
void WriteLogLine(const WCHAR *text);

// The log file's path as it may be passed on a child's command line in
// quotes, or NULL: without a log file, and for a path holding a quote or
// ending with a backslash (which would escape the closing quote).
const WCHAR *LogPathForCommandLine(void);
