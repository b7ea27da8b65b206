// The uninstall window (dialog 105).
#pragma once

#include <windows.h>

#include "uninstall/inventory.h"

// Posted by each worker when it is done with the tree.
#define WM_WORKER_DONE (WM_USER + 1)

INT_PTR CALLBACK UninstallDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
DWORD WINAPI InventoryWorker(LPVOID window);
void FillComponentTree(HWND window, PackageNode *list);
// Writes the item text of every package, driver and queue that has a
// removal result to the log file, queues before their driver before its
// package; called by the removal worker.
void LogRemovalResults(const PackageNode *list);
// "Remove" and "Close" together: off while a worker runs.
void EnableUninstallButtons(HWND window, BOOL enable);
