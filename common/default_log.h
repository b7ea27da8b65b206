// The log of a deployment run that names none with /log.
#pragma once

#include <windows.h>

// A log that reaches this size is renamed setup.old.log (replacing the one
// before) as the next run starts: the two together stay near 2 MiB.
#define DEFAULT_LOG_BOUND_BYTES (1024 * 1024)

// Sets LogFilePath to %SystemRoot%\Logs\Corvane\setup.log, for OpenLogFile
// to open as it opens any /log FILE. The folder Corvane is made with rights
// that let only Administrators and SYSTEM write in it (users may read); one
// that exists already must be a folder, not a junction or a link, owned by
// Administrators or SYSTEM. Otherwise LogFilePath stays empty and the run
// goes on without a log. The last error is left as it was.
void UseDefaultLog(void);
