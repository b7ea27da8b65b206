// The install worker and the install window (dialog 106).
//
// The worker repeats passes of discovery, recognition and installation until
// one pass has installed the printers it recognised, or an installation has
// failed. With a window it reports through the controls of dialog 106; with a
// null window (the silent install) it makes no window call at all.
//
// Closing the window must not cut an installation short (the spooler may be
// stopped in the middle of it). No lock is taken for that: the worker resets
// InstallIdleEvent before each InstallPrinter call and sets it afterwards, and
// checks InstallWindowClosing after the reset; the window sets the flag before
// it ends, and start-up waits for the event (WaitForInstallToFinish). Either
// the worker's reset comes first, and start-up waits for that installation, or
// the flag is already set when the worker looks, and it starts none.
//
// The event has two holders, start-up and the worker; each lets go of it when
// done with it (start-up after its wait, the worker when it ends), and the
// last one closes it. A worker still searching when the window closes keeps
// it until the process ends. The worker's thread handle is never needed: it
// is closed at once.
#include "install/install_window.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <commctrl.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/resource_ids.h"
#include "common/globals.h"
#include "common/log_file.h"
#include "common/native_system.h"
#include "common/package_files.h"
#include "common/process.h"
#include "common/protected_copy.h"
#include "common/staged_package.h"
#include "install/catalog.h"
#include "install/discovery.h"
#include "install/install_sequence.h"

#define MESSAGE_TEXT_CCH 256
#define STATUS_TEXT_CCH 260
// "rundll32.exe printui.dll PrintUIEntry /ii /f \"" has 46 characters; then
// the staged copy's folder, the INF's name, the closing quote and the
// terminator.
#define WIZARD_FIXED_CCH 46
#define WIZARD_COMMAND_CCH (WIZARD_FIXED_CCH + PROTECTED_COPY_PATH_CCH + 16)
#define WIZARD_PROGRAM_CCH 260
#define WIZARD_START_PAUSE_MS 300
#define RESCAN_PAUSE_MS 1000
#define MS_PER_SECOND 1000
// The descriptions a bounded search saw but did not know, for its log line.
#define UNKNOWN_SEEN_CCH 512
#define SEARCH_LOG_CCH (UNKNOWN_SEEN_CCH + 128)

#define PROGRESS_START 100
#define PROGRESS_LOOKUP 40
#define PROGRESS_INSTALLED 80
#define PROGRESS_END 100

HANDLE InstallIdleEvent = NULL;
LONG volatile InstallWindowClosing = 0;
// How many of start-up and the window's worker still hold InstallIdleEvent.
static LONG volatile IdleEventHolders = 0;

static void ReleaseIdleEvent(void) {
    HANDLE event;

    if (InterlockedDecrement(&IdleEventHolders) != 0)
        return;
    event = InstallIdleEvent;
    InstallIdleEvent = NULL;
    if (event != NULL)
        CloseHandle(event);
}

static void PostProgress(HWND progress, int position) {
    if (progress != NULL)
        PostMessageW(progress, PBM_SETPOS, (WPARAM)position, 0);
}

// The texts the window shows (or, silent, would show) go to the log file too,
// each only when it differs from the one logged before it: a long search
// logs "Device not found" once, not once a second. lastLogged is the
// worker's own.
static void LogWindowText(WCHAR *lastLogged, const WCHAR *text) {
    if (LogFilePath[0] == 0 || wcscmp(lastLogged, text) == 0)
        return;
    StringCchCopyW(lastLogged, STATUS_TEXT_CCH, text);
    WriteLogLine(text);
}

// Log line and status line at once.
static void ShowMessage(HWND window, const WCHAR *text) {
    AppendLogText(GetDlgItem(window, IDC_LOG), text);
    SetWindowTextW(GetDlgItem(window, IDC_STATUS), text);
}

// Marks an installation of the windowed worker as under way; FALSE when the
// window has been closed, and then no installation may begin.
static BOOL BeginInstallation(HWND window) {
    if (window == NULL)
        return TRUE;
    if (InstallIdleEvent != NULL)
        ResetEvent(InstallIdleEvent);
    if (InterlockedCompareExchange(&InstallWindowClosing, 0, 0) != 0) {
        if (InstallIdleEvent != NULL)
            SetEvent(InstallIdleEvent);
        return FALSE;
    }
    return TRUE;
}

static void EndInstallation(HWND window) {
    if (window != NULL && InstallIdleEvent != NULL)
        SetEvent(InstallIdleEvent);
}

void WaitForInstallToFinish(void) {
    // Without a window (none could be shown) nothing was started.
    if (InterlockedCompareExchange(&IdleEventHolders, 0, 0) == 0)
        return;
    if (InstallIdleEvent != NULL)
        WaitForSingleObject(InstallIdleEvent, INFINITE);
    ReleaseIdleEvent();
}

void AppendLogText(HWND edit, const WCHAR *text) {
    int length = GetWindowTextLengthW(edit);

    SendMessageW(edit, EM_SETSEL, (WPARAM)length, (LPARAM)length);
    SendMessageW(edit, EM_REPLACESEL, FALSE, (LPARAM)text);
}

void UpdateInstallView(HWND window, BOOL found) {
    int noPrinterParts = found ? SW_HIDE : SW_SHOW;
    int printerParts = found ? SW_SHOW : SW_HIDE;

    ShowWindow(GetDlgItem(window, IDC_WIZARD), noPrinterParts);
    ShowWindow(GetDlgItem(window, IDC_PICTURE), noPrinterParts);
    ShowWindow(GetDlgItem(window, IDC_LOG), printerParts);
    ShowWindow(GetDlgItem(window, IDC_PROGRESS), printerParts);
}

BOOL CALLBACK BringProcessWindowToFront(HWND window, LPARAM processId) {
    DWORD owner = 0;

    GetWindowThreadProcessId(window, &owner);
    if (owner == (DWORD)processId) {
        SetForegroundWindow(window);
        return FALSE;
    }
    return TRUE;
}

static void FillRequest(InstallRequest *request, const DeviceRecord *record, const CatalogEntry *entry) {
    memset(request, 0, sizeof(*request));
    StringCchPrintfW(request->DriverName, REQUEST_TEXT_CCH, L"%ws %ws", entry->Manufacturer, entry->Model);
    StringCchPrintfW(request->QueueName, REQUEST_TEXT_CCH, L"%ws %ws", entry->Manufacturer, entry->Model);
    StringCchCopyW(request->PortName, REQUEST_TEXT_CCH, record->PortName);
    StringCchCopyW(request->HardwareId, REQUEST_TEXT_CCH, record->HardwareId);
    request->Options = entry->Options;
}

// Asks Plug and Play to look for new hardware in the whole device tree and
// waits until it has done so.
static void RescanDeviceTree(void) {
    DEVINST root = 0;

    if (CM_Locate_DevNodeW(&root, NULL, CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS)
        CM_Reenumerate_DevNode(root, CM_REENUMERATE_SYNCHRONOUS);
}

// Adds a description the catalogue does not know to seen, once, with the
// control characters a device may put in it escaped; what does not fit is
// left out.
static void NoteUnknownDescription(WCHAR *seen, const WCHAR *description) {
    WCHAR escaped[UNKNOWN_SEEN_CCH];
    WCHAR quoted[UNKNOWN_SEEN_CCH + 4];

    if (!EscapeControlCharacters(description, escaped, UNKNOWN_SEEN_CCH) ||
        FAILED(StringCchPrintfW(quoted, UNKNOWN_SEEN_CCH + 4, L"\"%ws\"", escaped)) || wcsstr(seen, quoted) != NULL)
        return;
    if (seen[0] != 0 && FAILED(StringCchCatW(seen, UNKNOWN_SEEN_CCH, L", ")))
        return;
    StringCchCatW(seen, UNKNOWN_SEEN_CCH, quoted);
}

// The log line that explains a bounded search that found nothing.
static void LogNothingFound(DWORD elapsedMs, const WCHAR *seen) {
    WCHAR line[SEARCH_LOG_CCH];

    if (SUCCEEDED(StringCchPrintfW(
            line, SEARCH_LOG_CCH, L"No printer the program knows was plugged in: the search ran %lu s and saw %ws.",
            (unsigned long)(elapsedMs / MS_PER_SECOND), seen[0] != 0 ? seen : L"no USB printer")))
        WriteLogLine(line);
}

// The passes of the worker, until one has installed what it recognised, an
// installation has failed, or, with a bounded wait, a pass that recognised
// nothing ends at least waitMs after the first began. The bound is looked at
// between passes only: an installation is never cut short. A bounded search
// whose device scan fails ends at once, as failed with the scan's error: a
// search that cannot look would only report "no printer". Returns
// INSTALL_DONE, INSTALL_NOTHING_FOUND or INSTALL_FAILED with *error the
// failure's error.
static int RunInstallPasses(HWND window, DWORD waitMs, DWORD *error) {
    DWORD start = GetTickCount();
    HWND progress = NULL;
    BOOL found = FALSE;
    int lastResult = 0;
    DWORD installError;
    WCHAR message[MESSAGE_TEXT_CCH];
    WCHAR status[STATUS_TEXT_CCH];
    WCHAR lastLogged[STATUS_TEXT_CCH];
    WCHAR unknownSeen[UNKNOWN_SEEN_CCH];
    InstallRequest request;
    DeviceRecord *record;
    const CatalogEntry *entry;

    memset(message, 0, sizeof(message));
    memset(status, 0, sizeof(status));
    memset(lastLogged, 0, sizeof(lastLogged));
    memset(unknownSeen, 0, sizeof(unknownSeen));
    StringCchPrintfW(InfPath, INSTALL_DIR_CCH, L"%ws%ws", InstallDir, PACKAGE_INF_NAME);
    if (window != NULL)
        progress = GetDlgItem(window, IDC_PROGRESS);

    if (window != NULL) {
        ShowWindow(progress, SW_SHOW);
        PostProgress(progress, PROGRESS_START);
        LoadStringW(ModuleInstance, IDS_SEARCHING, status, STATUS_TEXT_CCH);
        SetWindowTextW(GetDlgItem(window, IDC_STATUS), status);
        ShowWindow(GetDlgItem(window, IDC_PICTURE), SW_HIDE);
    } else if (LogFilePath[0] != 0) {
        LoadStringW(ModuleInstance, IDS_SEARCHING, status, STATUS_TEXT_CCH);
    }
    LogWindowText(lastLogged, status);

    for (;;) {
        if (ScanUsbPrinters(&DiscoveredDevices) == SCAN_FAILED && waitMs != INFINITE) {
            if ((*error = GetLastError()) == ERROR_SUCCESS)
                *error = ERROR_GEN_FAILURE;
            StringCchPrintfW(message, MESSAGE_TEXT_CCH,
                             L"The search for printers failed: SetupDiGetClassDevsW, error %lu.",
                             (unsigned long)*error);
            WriteLogLine(message);
            return INSTALL_FAILED;
        }
        if (window != NULL)
            SetWindowTextW(GetDlgItem(window, IDC_LOG), L"");

        for (record = DiscoveredDevices; record != NULL; record = record->Next) {
            PostProgress(progress, PROGRESS_LOOKUP);
            entry = MatchCatalogEntry(record->PortDescription);
            if (entry == NULL) {
                NoteUnknownDescription(unknownSeen, record->PortDescription);
                continue;
            }

            found = TRUE;
            FillRequest(&request, record, entry);
            LoadStringW(ModuleInstance, IDS_FOUND_PRINTER, InstallText, INSTALL_TEXT_CCH);
            StringCchPrintfW(message, MESSAGE_TEXT_CCH, InstallText, request.QueueName, request.PortName);
            LogWindowText(lastLogged, message);
            if (window != NULL) {
                ShowMessage(window, message);
                UpdateInstallView(window, TRUE);
            }

            if (!BeginInstallation(window))
                return INSTALL_FAILED;
            lastResult = InstallPrinter(&request, InfPath);
            installError = GetLastError();
            EndInstallation(window);
            PostProgress(progress, PROGRESS_INSTALLED);

            if (lastResult == 0) {
                LoadStringW(ModuleInstance, IDS_INSTALL_FAILED, InstallText, INSTALL_TEXT_CCH);
                StringCchPrintfW(message, MESSAGE_TEXT_CCH, InstallText, installError);
                LogWindowText(lastLogged, message);
                if (window != NULL) {
                    ShowMessage(window, message);
                    PostProgress(progress, PROGRESS_END);
                }
                *error = installError;
                return INSTALL_FAILED;
            }
            LoadStringW(ModuleInstance, IDS_INSTALLED, InstallText, INSTALL_TEXT_CCH);
            StringCchPrintfW(message, MESSAGE_TEXT_CCH, InstallText, request.QueueName, request.PortName);
            LogWindowText(lastLogged, message);
            if (window != NULL)
                ShowMessage(window, message);
        }

        if (window != NULL)
            UpdateInstallView(window, found);
        if (!found) {
            LoadStringW(ModuleInstance, IDS_DEVICE_NOT_FOUND, InstallText, INSTALL_TEXT_CCH);
            LogWindowText(lastLogged, InstallText);
            if (window != NULL)
                ShowMessage(window, InstallText);
            // A search that could not look has found nothing for that reason.
            if (waitMs != INFINITE && GetTickCount() - start >= waitMs) {
                if (ScanError == ERROR_SUCCESS) {
                    LogNothingFound(GetTickCount() - start, unknownSeen);
                    return INSTALL_NOTHING_FOUND;
                }
                LoadStringW(ModuleInstance, IDS_INSTALL_FAILED, InstallText, INSTALL_TEXT_CCH);
                StringCchPrintfW(message, MESSAGE_TEXT_CCH, InstallText, ScanError);
                LogWindowText(lastLogged, message);
                *error = ScanError;
                return INSTALL_FAILED;
            }
            Sleep(RESCAN_PAUSE_MS);
            RescanDeviceTree();
        }
        if (lastResult != 0)
            break;
    }

    if (window != NULL) {
        PostProgress(progress, PROGRESS_END);
        LoadStringW(ModuleInstance, IDS_DONE, InstallText, INSTALL_TEXT_CCH);
        SetWindowTextW(GetDlgItem(window, IDCANCEL), InstallText);
    }
    return INSTALL_DONE;
}

int InstallWithoutWindow(DWORD waitMs, DWORD *error) {
    *error = ERROR_SUCCESS;
    return RunInstallPasses(NULL, waitMs, error);
}

DWORD WINAPI InstallWorker(LPVOID parameter) {
    HWND window = (HWND)parameter;
    DWORD error = ERROR_SUCCESS;

    RunInstallPasses(window, INFINITE, &error);
    // The window's worker is done with the installation guard.
    if (window != NULL)
        ReleaseIdleEvent();
    return 0;
}

// Opens the system's add-printer wizard on the product's INF and brings its
// first window to the front. The wizard runs in the machine's own rundll32,
// so that it installs the driver of the machine's own architecture (under
// WOW64 a plain "rundll32.exe" would be the 32-bit one), and by its full path
// in System32, never a rundll32.exe that lies beside this program.
//
// The wizard reads the INF and the driver files after this program has let
// them go, maybe after it has ended: it gets a staged copy of the package of
// its own, checked as it was made, in a folder that only administrators can
// change, which stays for it (a later run removes it). A package that fails
// the check, or a copy that cannot be made, starts no wizard; the log says
// why.
static void StartPrinterWizard(void) {
    WCHAR commandLine[WIZARD_COMMAND_CCH];
    WCHAR program[WIZARD_PROGRAM_CCH];
    WCHAR copyFolder[PROTECTED_COPY_PATH_CCH];
    DWORD processId;

    memset(commandLine, 0, sizeof(commandLine));
    memset(program, 0, sizeof(program));
    if (!GetNativeSystemDirectory(program, WIZARD_PROGRAM_CCH) ||
        FAILED(StringCchCatW(program, WIZARD_PROGRAM_CCH, L"\\rundll32.exe")))
        return;
    if (StagePackageCopy(copyFolder) != ERROR_SUCCESS) {
        WriteLogLine(L"The add-printer wizard was not started: the package could not be staged for it.");
        return;
    }
    if (FAILED(StringCchPrintfW(commandLine, WIZARD_COMMAND_CCH,
                                L"rundll32.exe printui.dll PrintUIEntry /ii /f \"%ws" PACKAGE_INF_NAME L"\"",
                                copyFolder)))
        return;
    processId = StartDetachedProcess(program, commandLine);
    Sleep(WIZARD_START_PAUSE_MS);
    EnumWindows(BringProcessWindowToFront, (LPARAM)processId);
}

INT_PTR CALLBACK InstallDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    HANDLE worker;

    (void)lParam;

    switch (message) {
    case WM_INITDIALOG:
        // The installation guard exists before the worker does.
        InterlockedExchange(&InstallWindowClosing, 0);
        if (InstallIdleEvent == NULL)
            InstallIdleEvent = CreateEventW(NULL, TRUE, TRUE, NULL);
        InterlockedExchange(&IdleEventHolders, 2);
        worker = CreateThread(NULL, 0, InstallWorker, dialog, 0, NULL);
        if (worker != NULL)
            CloseHandle(worker);
        else
            ReleaseIdleEvent();  // the worker's share
        break;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDCANCEL:
            InterlockedExchange(&InstallWindowClosing, 1);
            EndDialog(dialog, IDCANCEL);
            break;
        case IDC_WIZARD:
            StartPrinterWizard();
            break;
        default:
            break;
        }
        break;
    default:
        break;
    }
    return FALSE;
}
