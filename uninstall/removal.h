// Removing what the inventory found.
#pragma once

#include <windows.h>
#include <winspool.h>

DWORD WINAPI RemovalWorker(LPVOID window);
// Non-zero when the queue was deleted or no longer exists; otherwise *error
// receives the code of the failed spooler call (0 on success).
int RemovePrintQueue(const WCHAR *queueName, DWORD *error);
int RemoveQueueDevice(const WCHAR *queueName);
// Non-zero when the driver was deleted or no longer exists; otherwise *error
// receives the code of the last deletion call (0 on success).
int RemovePrinterDriver(const DRIVER_INFO_8W *driver, DWORD *error);
void RemoveMonitorFile(const WCHAR *fileName);
// TRUE when the folder may go to the Recycle Bin: it holds the uninstaller or
// the package INF, and it is a named folder, not the root of a drive or share.
BOOL IsProductFolder(const WCHAR *folder);
void FinishUninstall(HWND window);
