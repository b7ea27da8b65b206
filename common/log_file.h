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
// The log and its folder, held open from OpenLogFile to CloseLogFile;
// INVALID_HANDLE_VALUE without a log.
extern HANDLE LogFileHandle;
extern HANDLE LogFolderHandle;

// Opens LogFilePath once, before the run mode, for the whole run; the process
// closes it when it ends. The file is the one the administrator named, or
// none: it is refused, and the run goes on without a log, when it or its
// folder is a junction or a symbolic link, when it has more names than one
// (a hard link), or when it exists and neither Administrators nor SYSTEM owns
// it (a user who made it first could read or change what is written). The
// folder stays open, so that nobody can rename or replace it meanwhile. A new
// file lets users read it at most. The last error is left as it was.
void OpenLogFile(void);
void CloseLogFile(void);

// Whether Administrators, SYSTEM or the account that runs the program (an
// elevated administrator's own files; under Wine every file is the user's)
// owns the open file or folder: no other user can read what is written
// there unless let, nor change its rights.
BOOL OwnedByAdministrators(HANDLE handle);

// Appends one line to the log file: the local time ("yyyy-mm-dd
// hh:mm:ss.mmm "), the process id in brackets ("[4321] ", so that the lines
// of two copies can be told apart), the text, with the system's words after
// each error number it names (common/error_text.h) where the line has room
// for them, and CRLF, all in UTF-8. Line breaks inside the text
// become one blank each, trailing ones are dropped, so that every line of the
// file begins with its time. The file is open for appending, shared for
// reading and writing: the window's thread, the worker's and a relaunched
// copy of the program may all write to it, and a viewer may read it
// meanwhile. Without an open log file, or when it cannot be written, nothing
// happens; the last error is left as it was.
void WriteLogLine(const WCHAR *text);

// The log file's path as it may be passed on a child's command line in
// quotes, or NULL: without a log file, and for a path holding a quote or
// ending with a backslash (which would escape the closing quote).
const WCHAR *LogPathForCommandLine(void);
