// The log file of "/log FILE": a second sink beside the debugger output, for
// the trace and for the texts the windows show, so that a run without a
// debugger (a software-deployment tool, a start-up script) leaves a record.
#pragma once

#include <windows.h>

#include "common/folder_way.h"

// Capacity of the log file's path, in characters; a longer FILE is ignored
// with its option, as -u ignores a folder that does not fit InstallDir.
#define LOG_PATH_CCH 260

// The file named by /log; empty when there is none. Set once at start-up.
extern WCHAR LogFilePath[LOG_PATH_CCH];
// The log, and every folder from its drive's root down to its own, held open
// from OpenLogFile to CloseLogFile; INVALID_HANDLE_VALUE and nothing held
// without a log.
extern HANDLE LogFileHandle;
extern HeldFolders LogFolderWay;

// Opens LogFilePath (a full path) once, before the run mode, for the whole
// run; the process closes it when it ends. The file is the one the
// administrator named, or none: it is refused, and the run goes on without a
// log, when it or any folder from the drive's root down to it is a junction
// or a symbolic link, when it has more names than one (a hard link), or when
// it exists and is not the administrators' own: owned by Administrators,
// SYSTEM or the running account, and writable by no one else (a user who
// made it first, or who may write it, could read or change what is written).
// The folders stay open, so that nobody can rename or replace them
// meanwhile. A new file lets users read it at most. The last error is left
// as it was.
void OpenLogFile(void);
void CloseLogFile(void);

// Whether the open file or folder is the administrators' own: owned by
// Administrators, SYSTEM or the account that runs the program (an elevated
// administrator's own files; under Wine every file is the user's), and
// writable by them alone. No other user can then read what is written there
// unless let, change it, or change who may.
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

// Copies text into out (outCch characters) with every control character
// (C0 and DEL, C1, and the line and paragraph separators U+2028 and U+2029)
// written as a visible escape, "<U+001B>": for strings a device reports,
// which the log shows as they are. FALSE, with out empty, when the result
// does not fit.
BOOL EscapeControlCharacters(const WCHAR *text, WCHAR *out, size_t outCch);

// The log file's path as it may be passed on a child's command line in
// quotes, or NULL: without a log file, and for a path holding a quote or
// ending with a backslash (which would escape the closing quote).
const WCHAR *LogPathForCommandLine(void);
