// Stopping and starting the print spooler service.
#pragma once

#include <windows.h>

// An action run while the spooler is stopped; its result is ignored.
typedef int (*SpoolerAction)(const WCHAR *argument);

int StopServiceAndWait(const WCHAR *serviceName, DWORD budgetMs);
int StartServiceAndWait(const WCHAR *serviceName, DWORD budgetMs);
void RestartSpooler(void);
void RunWithSpoolerStopped(SpoolerAction action, const WCHAR *argument);
