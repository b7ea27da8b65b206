// The diagnostic trace: one line to the debugger output per call, and the
// same line to the log file when there is one (common/log_file.h).
#pragma once

// format is narrow text in the ANSI code page with the wide formatting
// conversions ("%ws" for a wide string, "%d" for a number).
void Trace(const char *format, ...);
