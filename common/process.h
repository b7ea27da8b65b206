// Starting another program.
#pragma once

#include <windows.h>

// Starts program (a full path) with commandLine: no inherited handles, no
// creation flags, the caller's environment, and the system directory as its
// current folder, never the caller's (often the package's, which any user
// may write to). FALSE, with the error, when it cannot be started.
BOOL StartProcessInSystemDirectory(const WCHAR *program, WCHAR *commandLine, PROCESS_INFORMATION *process);

// The same, with the new process's first thread suspended until the caller
// resumes it (ResumeThread), or ends it.
BOOL StartSuspendedInSystemDirectory(const WCHAR *program, WCHAR *commandLine, PROCESS_INFORMATION *process);

// Starts program as StartProcessInSystemDirectory does, detached: both
// returned handles are closed at once and nothing waits for the child.
// Naming the program file keeps CreateProcessW from searching for it, which
// would look in the current folder and try the leading words of an unquoted
// path with blanks. Returns the child's process id, 0 when it could not be
// started.
DWORD StartDetachedProcess(const WCHAR *program, WCHAR *commandLine);
