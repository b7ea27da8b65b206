// Starting another program.
#pragma once

#include <windows.h>

// Starts commandLine detached: no inherited handles, no creation flags, the
// caller's environment and folder; both returned handles are closed at once
// and nothing waits for the child. Returns the child's process id, 0 when it
// could not be started.
DWORD StartDetachedProcess(WCHAR *commandLine);
