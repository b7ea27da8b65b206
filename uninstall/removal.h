// Removing what the inventory found.
#pragma once

#include <windows.h>
#include <winspool.h>

DWORD WINAPI RemovalWorker(LPVOID window);
int RemovePrintQueue(const WCHAR *queueName, DWORD *error);
int RemoveQueueDevice(const WCHAR *queueName);
int RemovePrinterDriver(const DRIVER_INFO_8W *driver, DWORD *error);
void RemoveMonitorFile(const WCHAR *fileName);
void FinishUninstall(HWND window);
