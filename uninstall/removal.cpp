// Removing what the inventory found: for each package and each of its
// drivers, the queues that use the driver (with their device nodes), then the
// driver, then its language monitor unless an installed driver of any
// environment still names it, then, once all its drivers are gone, the
// package in the driver store; last, a stray monitor of the product. After a
// run without failures the window shows every result, and then the monitor
// DLL is deleted from the system directory with the spooler stopped (or at
// the next restart, when it cannot be), unless a monitor kept for another
// driver loads it, and the install folder goes to the Recycle Bin. The
// unattended removal (/remove) does the same without a window and leaves the
// folder to its owner.
#include "uninstall/removal.h"

#include <windows.h>
#include <commctrl.h>
#include <setupapi.h>
#include <shellapi.h>
#include <shlobj.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>
#include <winspool.h>

#include "common/folder_way.h"
#include "common/globals.h"
#include "common/log_file.h"
#include "common/native_system.h"
#include "common/package_files.h"
#include "common/resource_ids.h"
#include "common/spooler_control.h"
#include "common/system_libraries.h"
#include "common/staged_package.h"
#include "uninstall/inventory.h"
#include "uninstall/uninstall_window.h"

#define REMOVAL_TEXT_CCH 1024
#define CAPTION_CCH 25
#define FRIENDLY_NAME_CCH 255
#define SYSTEM_PATH_CCH 260
#define FOLDER_FILE_PATH_CCH (INSTALL_DIR_CCH + 16)

#define SPOOLER_SERVICE L"Spooler"
#define SPOOLER_WAIT_MS 10000

#define QUEUE_PAUSE_MS 300
#define DRIVER_PAUSE_MS 300
#define DRIVER_TRIES 10
#define DRIVER_RETRY_MS 1000
#define PACKAGE_TRIES 5
#define PACKAGE_RETRY_MS 1000
#define MONITOR_FILE_TRIES 5
#define MONITOR_FILE_RETRY_MS 1000

#define PROGRESS_START 20
#define PROGRESS_BEGIN_REMOVAL 30
#define PROGRESS_QUEUES_DONE 60
#define PROGRESS_DRIVERS_DONE 80
#define PROGRESS_END 100

// The removal worker's buffer for string-table texts while the buttons are
// disabled, so that only one worker at a time uses it (the final message of
// FinishUninstall, on the same thread, uses it too). Once a failed run has
// enabled the buttons again, a second worker may start at any moment: the
// failure message is loaded into a buffer of the first worker's own.
static WCHAR RemovalText[REMOVAL_TEXT_CCH];

// What one removal run came to.
typedef struct RemovalRun {
    HWND Progress;    // the window's progress bar; NULL without a window
    int Failures;     // objects that are still there
    DWORD FirstError; // the error of the first of them
} RemovalRun;

static void CountFailure(RemovalRun *run, DWORD error) {
    if (run->Failures == 0)
        run->FirstError = error;
    run->Failures++;
}

static void PostProgress(RemovalRun *run, int position) {
    if (run->Progress != NULL)
        PostMessageW(run->Progress, PBM_SETPOS, (WPARAM)position, 0);
}

static void SetRemovedText(WCHAR *status) {
    LoadStringW(ModuleInstance, IDS_REMOVED, RemovalText, REMOVAL_TEXT_CCH);
    StringCchCopyW(status, NODE_STATUS_CCH, RemovalText);
}

static void SetFailedText(WCHAR *status, int code) {
    LoadStringW(ModuleInstance, IDS_REMOVE_FAILED, RemovalText, REMOVAL_TEXT_CCH);
    StringCchPrintfW(status, NODE_STATUS_CCH, RemovalText, code);
}

// The queues of one driver that are not removed yet.
static void RemoveDriverQueues(RemovalRun *run, DriverNode *driver) {
    QueueNode *queue;
    DWORD error;

    for (queue = driver->Queues; queue != NULL && queue->PrinterInfo != NULL; queue = queue->Next) {
        if (queue->Removed)
            continue;
        error = 0;
        queue->Removed = (DWORD)RemovePrintQueue(queue->PrinterInfo->pPrinterName, &error);
        if (queue->Removed) {
            SetRemovedText(queue->StatusText);
            driver->QueueCount--;
            Sleep(QUEUE_PAUSE_MS);
        } else {
            SetFailedText(queue->StatusText, (int)error);
            CountFailure(run, error);
        }
    }
}

// A language monitor that no driver of the product needs any more: it goes
// unless an installed driver, of any environment, still names it, as the
// spooler answers. Such a driver keeps it (and, for the product's monitor,
// its DLL), and that is no failure. TRUE when it is gone or kept; otherwise
// the failure is counted. The driver lines of the tree tell only of their
// drivers: a monitor's failure is counted for message 114 and logged.
static BOOL SettleMonitor(RemovalRun *run, const WCHAR *monitor) {
    WCHAR user[MONITOR_USER_CCH];
    WCHAR line[REMOVAL_TEXT_CCH];
    DWORD error = 0;

    if (!FindMonitorUser(monitor, user, MONITOR_USER_CCH, &error)) {
        StringCchPrintfW(line, REMOVAL_TEXT_CCH,
                         L"The language monitor \"%ws\" stays: the printer drivers could not be listed. Error:%d",
                         monitor, (int)error);
    } else if (user[0] != 0) {
        StringCchPrintfW(line, REMOVAL_TEXT_CCH, L"The language monitor \"%ws\" stays: the printer driver %ws uses it.",
                         monitor, user);
        WriteLogLine(line);
        return TRUE;
    } else if (RemoveMonitor(monitor, &error)) {
        return TRUE;
    } else {
        StringCchPrintfW(line, REMOVAL_TEXT_CCH, L"The language monitor \"%ws\" could not be removed. Error:%d",
                         monitor, (int)error);
    }
    WriteLogLine(line);
    CountFailure(run, error);
    return FALSE;
}

// A driver whose queues are all gone, then its monitor.
static void RemoveDriverNode(RemovalRun *run, PackageNode *package, DriverNode *driver) {
    DWORD error = 0;
    int tries;

    if (driver->QueueCount != 0 || driver->DriverInfo == NULL)
        return;
    if (!driver->Removed) {
        for (tries = 0; tries < DRIVER_TRIES; tries++) {
            driver->Removed = (DWORD)RemovePrinterDriver(driver->DriverInfo, &error);
            if (driver->Removed)
                break;
            Sleep(DRIVER_RETRY_MS);
        }
        if (!driver->Removed) {
            SetFailedText(driver->StatusText, (int)error);
            CountFailure(run, error);
            return;
        }
        package->DriverCount--;
        driver->MonitorPending = driver->DriverInfo->pMonitorName != NULL && driver->DriverInfo->pMonitorName[0] != 0;
        SetRemovedText(driver->StatusText);
        Sleep(DRIVER_PAUSE_MS);
    }
    // The driver is gone whatever becomes of its monitor, which a later run
    // tries again when it stays.
    if (driver->MonitorPending && SettleMonitor(run, driver->DriverInfo->pMonitorName))
        driver->MonitorPending = 0;
}

// A package whose drivers are all gone.
static void RemovePackageNode(RemovalRun *run, PackageNode *package) {
    HRESULT result = S_OK;
    int tries;

    if (package->DriverCount != 0 || package->StoreInfPath[0] == 0 || package->Removed)
        return;
    // A spooler client without the call cannot remove the package.
    if (Winspool.DeletePrinterDriverPackageW == NULL)
        result = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    for (tries = 0; tries < PACKAGE_TRIES && Winspool.DeletePrinterDriverPackageW != NULL; tries++) {
        result = Winspool.DeletePrinterDriverPackageW(NULL, package->StoreInfPath, NativePrintEnvironment());
        if (result != SPAPI_E_INF_IN_USE_BY_DEVICES)
            break;
        Sleep(PACKAGE_RETRY_MS);
    }
    if (result == S_OK) {
        package->Removed = 1;
        SetRemovedText(package->StatusText);
        return;
    }
    SetFailedText(package->StatusText, (int)result);
    CountFailure(run, (DWORD)result);
}

// Everything the tree holds that is not removed yet, in the tree's order,
// then a stray monitor of the product; an inventory that missed something is
// taken again first.
static void RemoveComponents(RemovalRun *run) {
    PackageNode *package;
    DriverNode *driver;

    PostProgress(run, PROGRESS_START);
    if (InventoryIncomplete)
        RetakeInventory();
    // What the inventory could not see is not removed either, and its cause
    // comes first: what fails after it may only be a consequence.
    if (InventoryIncomplete)
        CountFailure(run, InventoryError);
    PostProgress(run, PROGRESS_BEGIN_REMOVAL);

    for (package = PackageList; package != NULL; package = package->Next) {
        for (driver = package->Drivers; driver != NULL; driver = driver->Next) {
            RemoveDriverQueues(run, driver);
            PostProgress(run, PROGRESS_QUEUES_DONE);
            RemoveDriverNode(run, package, driver);
        }
        PostProgress(run, PROGRESS_DRIVERS_DONE);
        RemovePackageNode(run, package);
    }
    if (StrayMonitor && SettleMonitor(run, LANGUAGE_MONITOR_NAME))
        StrayMonitor = FALSE;
    LogRemovalResults(PackageList);
    PostProgress(run, PROGRESS_END);
}

// After a run without failures, the monitor DLL, with the spooler stopped:
// it stays while a monitor that an installed driver kept still loads it, and
// a DLL that can be neither deleted nor scheduled counts as a failure. After
// any failure, failureMessage (REMOVAL_TEXT_CCH characters, the caller's own)
// receives message 114, which goes to the log.
static void RemoveMonitorDll(RemovalRun *run, WCHAR *failureMessage) {
    WCHAR monitor[MONITOR_USER_CCH];
    WCHAR line[REMOVAL_TEXT_CCH];
    DWORD error = 0;

    if (run->Failures == 0) {
        if (!FindMonitorOfDll(MONITOR_DLL_NAME, monitor, MONITOR_USER_CCH, &error)) {
            CountFailure(run, error);
        } else if (monitor[0] != 0) {
            StringCchPrintfW(line, REMOVAL_TEXT_CCH, L"%ws stays: the language monitor \"%ws\" uses it.",
                             MONITOR_DLL_NAME, monitor);
            WriteLogLine(line);
        } else if (!RemoveMonitorFile(MONITOR_DLL_NAME, &error)) {
            CountFailure(run, error);
        }
    }
    if (run->Failures != 0) {
        memset(failureMessage, 0, REMOVAL_TEXT_CCH * sizeof(WCHAR));
        LoadStringW(ModuleInstance, IDS_UNINSTALL_FAILED, failureMessage, REMOVAL_TEXT_CCH);
        WriteLogLine(failureMessage);
    }
}

DWORD WINAPI RemovalWorker(LPVOID parameter) {
    HWND window = (HWND)parameter;
    RemovalRun run;
    WCHAR failureMessage[REMOVAL_TEXT_CCH];

    memset(&run, 0, sizeof(run));
    run.Progress = GetDlgItem(window, IDC_PROGRESS);
    EnableUninstallButtons(window, FALSE);
    ShowWindow(run.Progress, SW_SHOW);
    RemoveComponents(&run);
    // Every line's result is shown before the spooler is stopped for the
    // monitor DLL. The buttons stay disabled meanwhile, and until the window
    // closes after a clean run: neither a second run nor the end of the
    // dialog may come while the spooler is stopped.
    PostMessageW(window, WM_WORKER_DONE, 0, 0);
    ShowWindow(run.Progress, SW_HIDE);
    RemoveMonitorDll(&run, failureMessage);

    if (run.Failures != 0) {
        EnableUninstallButtons(window, TRUE);
        MessageBoxW(window, failureMessage, NULL, MB_OK);
        return 0;
    }
    FinishUninstall(window);
    return 0;
}

BOOL RemoveUnattended(DWORD *error) {
    RemovalRun run;
    WCHAR failureMessage[REMOVAL_TEXT_CCH];

    memset(&run, 0, sizeof(run));
    // A new tree, whatever /remove looked at before.
    RetakeInventory();
    RemoveComponents(&run);
    RemoveMonitorDll(&run, failureMessage);
    *error = run.FirstError;
    return run.Failures == 0;
}

int RemovePrintQueue(const WCHAR *queueName, DWORD *error) {
    PRINTER_DEFAULTSW defaults;
    HANDLE printer = NULL;
    DWORD code = 0;
    int result;

    memset(&defaults, 0, sizeof(defaults));
    defaults.pDatatype = NULL;
    defaults.pDevMode = NULL;
    defaults.DesiredAccess = PRINTER_ALL_ACCESS;
    if (Winspool.OpenPrinterW((LPWSTR)queueName, &printer, &defaults)) {
        // Pending jobs would keep the queue alive.
        Winspool.SetPrinterW(printer, 0, NULL, PRINTER_CONTROL_PURGE);
        result = Winspool.DeletePrinter(printer) ? 1 : 0;
        if (!result)
            code = GetLastError();
        Winspool.ClosePrinter(printer);
    } else {
        code = GetLastError();
        // A queue that no longer exists counts as removed.
        result = code == ERROR_INVALID_PRINTER_NAME ? 1 : 0;
    }
    if (result)
        code = 0;
    RemoveQueueDevice(queueName);
    if (error != NULL)
        *error = code;
    return result;
}

int RemoveQueueDevice(const WCHAR *queueName) {
    DWORD classCount = 0;
    DWORD filled = 0;
    DWORD index;
    GUID *classes;
    HDEVINFO devices;
    SP_DEVINFO_DATA device;
    // One character more than the property may fill keeps the text terminated.
    WCHAR friendlyName[FRIENDLY_NAME_CCH + 1];
    int result = 0;

    // A device without a friendly name must never pass for a nameless queue.
    if (queueName == NULL || queueName[0] == 0)
        return 0;
    SetupDiClassGuidsFromNameW(L"PrintQueue", NULL, 0, &classCount);
    if (classCount == 0)
        return 0;
    classes = (GUID *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, classCount * sizeof(GUID));
    if (classes == NULL)
        return 0;
    SetupDiClassGuidsFromNameW(L"PrintQueue", classes, classCount, &filled);

    // With DIGCF_ALLCLASSES the set holds the devices of every class, so a
    // queue's device is found whatever class it was given.
    devices = SetupDiGetClassDevsExW(&classes[0], NULL, NULL, DIGCF_ALLCLASSES, NULL, NULL, NULL);
    if (devices != INVALID_HANDLE_VALUE) {
        for (index = 0;; index++) {
            memset(&device, 0, sizeof(device));
            device.cbSize = sizeof(device);
            if (!SetupDiEnumDeviceInfo(devices, index, &device))
                break;
            memset(friendlyName, 0, sizeof(friendlyName));
            SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, NULL, (PBYTE)friendlyName,
                                              FRIENDLY_NAME_CCH * sizeof(WCHAR), NULL);
            friendlyName[FRIENDLY_NAME_CCH] = 0;
            if (wcscmp(friendlyName, queueName) == 0)
                result = SetupDiRemoveDevice(devices, &device) ? 1 : 0;
        }
        SetupDiDestroyDeviceInfoList(devices);
    }
    HeapFree(GetProcessHeap(), 0, classes);
    return result;
}

int RemovePrinterDriver(const DRIVER_INFO_8W *driver, DWORD *error) {
    DWORD code = 0;
    BOOL deleted;

    deleted =
        Winspool.DeletePrinterDriverExW(NULL, NativePrintEnvironment(), driver->pName, DPD_DELETE_UNUSED_FILES, 0);
    if (!deleted)
        code = GetLastError();
    if (!deleted && code == ERROR_PRINTER_DRIVER_IN_USE) {
        // A restart lets the spooler unload the driver's files.
        RestartSpooler();
        deleted =
            Winspool.DeletePrinterDriverExW(NULL, NativePrintEnvironment(), driver->pName, DPD_DELETE_UNUSED_FILES, 0);
        code = deleted ? 0 : GetLastError();
    }
    // A driver that no longer exists counts as removed.
    if (deleted || code == ERROR_UNKNOWN_PRINTER_DRIVER) {
        if (error != NULL)
            *error = 0;
        return 1;
    }
    if (error != NULL)
        *error = code;
    return 0;
}

BOOL RemoveMonitor(const WCHAR *monitorName, DWORD *error) {
    BOOL deleted = Winspool.DeleteMonitorW(NULL, NativePrintEnvironment(), (LPWSTR)monitorName);
    DWORD code = deleted ? 0 : GetLastError();

    // The spooler lets a monitor go that it still holds once it restarts.
    if (!deleted && code == ERROR_PRINT_MONITOR_IN_USE) {
        RestartSpooler();
        deleted = Winspool.DeleteMonitorW(NULL, NativePrintEnvironment(), (LPWSTR)monitorName);
        code = deleted ? 0 : GetLastError();
    }
    // A monitor that is not registered (any more) counts as removed.
    *error = deleted || code == ERROR_UNKNOWN_PRINT_MONITOR ? 0 : code;
    return *error == 0;
}

// Schedules a file of the system directory for deletion at the next restart.
// The system carries it out before any 32-bit process runs, so it needs the
// file's real path, System32, and not the Sysnative alias that only a 32-bit
// process has: the path is named with the redirector turned off, which
// 32-bit Windows, having none, refuses harmlessly.
static BOOL DeleteAtRestart(const WCHAR *fileName) {
    WCHAR systemDirectory[SYSTEM_PATH_CCH];
    WCHAR path[SYSTEM_PATH_CCH];
    PVOID redirection = NULL;
    BOOL redirectionOff;
    BOOL scheduled;
    DWORD error;
    UINT length;

    memset(systemDirectory, 0, sizeof(systemDirectory));
    length = GetSystemDirectoryW(systemDirectory, SYSTEM_PATH_CCH);
    if (length == 0 || length >= SYSTEM_PATH_CCH ||
        FAILED(StringCchPrintfW(path, SYSTEM_PATH_CCH, L"%ws\\%ws", systemDirectory, fileName)))
        return FALSE;
    redirectionOff = Wow64DisableWow64FsRedirection(&redirection);
    scheduled = MoveFileExW(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    error = GetLastError();
    if (redirectionOff)
        Wow64RevertWow64FsRedirection(redirection);
    SetLastError(error);
    return scheduled;
}

BOOL RemoveMonitorFile(const WCHAR *fileName, DWORD *error) {
    WCHAR systemDirectory[SYSTEM_PATH_CCH];
    WCHAR path[SYSTEM_PATH_CCH];
    BOOL stopped;
    BOOL gone = FALSE;
    DWORD code = ERROR_INSUFFICIENT_BUFFER;
    int tries;

    // The spooler holds the monitor loaded while it runs. A spooler that was
    // not running holds nothing; one that would not stop keeps the file, which
    // then goes at the next restart.
    stopped = StopServiceAndWait(SPOOLER_SERVICE, SPOOLER_WAIT_MS);
    memset(systemDirectory, 0, sizeof(systemDirectory));
    memset(path, 0, sizeof(path));
    // The copy the spooler loads is in the machine's own system directory.
    // A path cut short could name another file: then nothing is deleted.
    if (!GetNativeSystemDirectory(systemDirectory, SYSTEM_PATH_CCH))
        code = GetLastError();
    else if (SUCCEEDED(StringCchPrintfW(path, SYSTEM_PATH_CCH, L"%ws\\%ws", systemDirectory, fileName))) {
        for (tries = 0; tries < MONITOR_FILE_TRIES && !gone; tries++) {
            gone = DeleteFileW(path) || (code = GetLastError()) == ERROR_FILE_NOT_FOUND;
            if (!gone)
                Sleep(MONITOR_FILE_RETRY_MS);
        }
        if (!gone && DeleteAtRestart(fileName)) {
            NoteRestartNeeded(L"the monitor DLL held by a program, deleted at the restart: ", path);
            gone = TRUE;
        } else if (!gone) {
            code = GetLastError();
        }
    }
    if (stopped)
        StartServiceAndWait(SPOOLER_SERVICE, SPOOLER_WAIT_MS);
    *error = gone ? 0 : (code != 0 ? code : ERROR_GEN_FAILURE);
    return gone;
}

static BOOL IsSeparator(WCHAR c) { return c == L'\\' || c == L'/'; }

// A path part made of dots and blanks alone ("." and ".." among them) does not
// name a folder of its own.
static BOOL IsDotName(const WCHAR *name, size_t length) {
    size_t i;

    for (i = 0; i < length; i++)
        if (name[i] != L'.' && name[i] != L' ')
            return FALSE;
    return TRUE;
}

// TRUE when the path names a folder below the root of a drive or share,
// plainly: no wildcards, no "." or ".." parts, no device-path prefix.
static BOOL NamesFolderBelowRoot(const WCHAR *folder) {
    const WCHAR *p = folder;
    size_t rootNames = 0;
    size_t names = 0;
    size_t length;

    if (wcspbrk(folder, L"*?") != NULL)
        return FALSE;
    if (IsSeparator(folder[0]) && IsSeparator(folder[1])) {
        // "\\server\share\..." (a "\\?\" or "\\.\" device path is refused).
        if (folder[2] == L'?' || folder[2] == L'.')
            return FALSE;
        rootNames = 2;
    } else if (folder[0] != 0 && folder[1] == L':') {
        // "X:\..."; "X:name" is relative to the drive's current folder.
        if (!IsSeparator(folder[2]))
            return FALSE;
        p = folder + 2;
    }
    while (*p != 0) {
        while (IsSeparator(*p))
            p++;
        if (*p == 0)
            break;
        length = 0;
        while (p[length] != 0 && !IsSeparator(p[length]))
            length++;
        if (IsDotName(p, length))
            return FALSE;
        names++;
        p += length;
    }
    return names > rootNames;
}

// The path of a file named name in folder; FALSE when it does not fit.
static BOOL FolderFilePath(const WCHAR *folder, const WCHAR *name, WCHAR *path) {
    size_t length = wcslen(folder);
    const WCHAR *separator = length > 0 && IsSeparator(folder[length - 1]) ? L"" : L"\\";

    memset(path, 0, FOLDER_FILE_PATH_CCH * sizeof(WCHAR));
    return SUCCEEDED(StringCchPrintfW(path, FOLDER_FILE_PATH_CCH, L"%ws%ws%ws", folder, separator, name));
}

// TRUE when the folder holds a file of this name.
static BOOL FolderHoldsFile(const WCHAR *folder, const WCHAR *name) {
    WCHAR path[FOLDER_FILE_PATH_CCH];
    DWORD attributes;

    if (!FolderFilePath(folder, name, path))
        return FALSE;
    attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The product's folder as it ships: the uninstaller, and the INF that this
// very program was built with (its hash is in the program). Names alone
// would not do: other products ship an "unins000.exe" too.
BOOL IsProductFolder(const WCHAR *folder) {
    WCHAR inf[FOLDER_FILE_PATH_CCH];

    if (folder == NULL || !NamesFolderBelowRoot(folder))
        return FALSE;
    return FolderHoldsFile(folder, UNINSTALLER_FILE_NAME) && FolderFilePath(folder, PACKAGE_INF_NAME, inf) &&
           IsPackageFileAsBuilt(inf, PACKAGE_INF_NAME);
}

#define FOLDER_LOG_CCH (INSTALL_DIR_CCH + 128)

static void LogFolderStays(const WCHAR *why) {
    WCHAR line[FOLDER_LOG_CCH];

    if (SUCCEEDED(StringCchPrintfW(line, FOLDER_LOG_CCH, L"The folder %ws stays: %ws.", InstallDir, why)))
        WriteLogLine(line);
}

// Moves the install folder to the Recycle Bin, and tells the shell, when it
// is really the product's folder, checked and moved while its way is held.
static void MoveFolderToRecycleBin(HWND window) {
    SHFILEOPSTRUCTW operation;
    HeldFolders held;
    // The folder as a list of one: its terminator, then the list's own.
    WCHAR from[INSTALL_DIR_CCH + 1];

    if (!IsProductFolder(InstallDir)) {
        LogFolderStays(L"it does not hold this product's files");
        return;
    }
    // Every folder from the drive's root down is held while the folder is
    // checked again and moved; the folder itself can still be moved.
    if (!HoldFolderWay(&held, InstallDir, TRUE) || !IsProductFolder(InstallDir)) {
        ReleaseFolderWay(&held);
        LogFolderStays(L"a folder on its way is a link or cannot be held");
        return;
    }
    memset(from, 0, sizeof(from));
    StringCchCopyW(from, INSTALL_DIR_CCH, InstallDir);
    memset(&operation, 0, sizeof(operation));
    operation.hwnd = window;
    operation.wFunc = FO_DELETE;
    operation.pFrom = from;
    operation.pTo = NULL;
    operation.fFlags = FOF_ALLOWUNDO;
    if (SHFileOperationW(&operation) == 0 && !operation.fAnyOperationsAborted)
        SHChangeNotify(SHCNE_DELETE, SHCNF_PATHW, InstallDir, InstallDir);
    ReleaseFolderWay(&held);
}

void FinishUninstall(HWND window) {
    WCHAR caption[CAPTION_CCH];

    // Whatever -u named is moved only when it is really the product's folder;
    // the shell hears of it only when the folder has gone.
    MoveFolderToRecycleBin(window);

    memset(caption, 0, sizeof(caption));
    LoadStringW(ModuleInstance, IDS_UNINSTALLED, RemovalText, REMOVAL_TEXT_CCH);
    LoadStringW(ModuleInstance, IDS_MESSAGE_CAPTION, caption, CAPTION_CCH);
    WriteLogLine(RemovalText);
    MessageBoxW(window, RemovalText, caption, MB_OK);
    // Should the request to close not reach the window, the user can close
    // it: the spooler runs again by now.
    if (!PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0))
        EnableWindow(GetDlgItem(window, IDC_CLOSE), TRUE);
}
