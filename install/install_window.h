// The install worker and the install window (dialog 106).
#pragma once

#include <windows.h>

// The install worker: with a window (dialog 106) on a thread of its own, with
// none (/silence) on the main thread. It searches until a pass has installed
// every printer it recognised, or an installation has failed.
DWORD WINAPI InstallWorker(LPVOID window);

// What the passes of an unattended install came to.
#define INSTALL_FAILED 0
#define INSTALL_DONE 1          // every printer recognised has its queue
#define INSTALL_NOTHING_FOUND 2 // no printer recognised within the wait

// The install worker's passes without a window, looking for a printer it
// knows for at least waitMs (INFINITE: until one comes); the wait is looked at
// between passes only, so an installation is never cut short. With
// INSTALL_FAILED, *error receives the failed installation's error.
int InstallWithoutWindow(DWORD waitMs, DWORD *error);
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
