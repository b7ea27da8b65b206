// The install worker and the install window (dialog 106).
#pragma once

#include <windows.h>

DWORD WINAPI InstallWorker(LPVOID window);
INT_PTR CALLBACK InstallDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void AppendLogText(HWND edit, const WCHAR *text);
void UpdateInstallView(HWND window, BOOL found);
BOOL CALLBACK BringProcessWindowToFront(HWND window, LPARAM processId);

// Start-up calls this after the install window has closed, before it returns:
// it returns at once when no installation is under way, and otherwise waits
// until the installation that InstallPrinter is carrying out has finished.
// The worker starts no further installation once the window was closed.
void WaitForInstallToFinish(void);

// Signalled while no installation runs (manual-reset); created by the install
// window before its worker starts, null without a window.
extern HANDLE InstallIdleEvent;
// Set to 1 when the install window is being closed.
extern LONG volatile InstallWindowClosing;
