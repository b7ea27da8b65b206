// Removing what the inventory found.
#pragma once

#include <windows.h>
#include <winspool.h>

DWORD WINAPI RemovalWorker(LPVOID window);
// /remove: a new inventory, and the removal of what it found as "Remove" does
// it, without a window; the install folder stays. TRUE when everything is
// gone (or waits for the next restart: RestartNeeded); otherwise FALSE with
// *error the code of the first thing that stayed (a Win32 error, or an
// HRESULT for a package).
BOOL RemoveUnattended(DWORD *error);
// Non-zero when the queue was deleted or no longer exists; otherwise *error
// receives the code of the failed spooler call (0 on success).
int RemovePrintQueue(const WCHAR *queueName, DWORD *error);
int RemoveQueueDevice(const WCHAR *queueName);
// Non-zero when the driver was deleted or no longer exists; otherwise *error
// receives the code of the last deletion call (0 on success).
int RemovePrinterDriver(const DRIVER_INFO_8W *driver, DWORD *error);
// Deletes a language monitor (DeleteMonitorW, once more after a spooler
// restart while the spooler holds it). TRUE when it is gone or was not
// registered; otherwise FALSE with *error.
BOOL RemoveMonitor(const WCHAR *monitorName, DWORD *error);
// Deletes the monitor DLL from the machine's own system directory with the
// spooler stopped, and schedules it for deletion at the next restart when it
// cannot be deleted now (RestartNeeded). TRUE when it is gone or scheduled;
// otherwise FALSE with *error.
BOOL RemoveMonitorFile(const WCHAR *fileName, DWORD *error);
// TRUE when the folder may go to the Recycle Bin: it holds the uninstaller and
// the package INF as this program was built with it, and it is a named
// folder, not the root of a drive or share.
BOOL IsProductFolder(const WCHAR *folder);
void FinishUninstall(HWND window);
