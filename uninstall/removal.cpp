// Removing what the inventory found: for each package and each of its
// drivers, the queues that use the driver (with their device nodes), then the
// driver with its language monitor, then, once all its drivers are gone, the
// package in the driver store. After a run without failures the monitor DLL
// is deleted from the system directory with the spooler stopped, and the
// install folder goes to the Recycle Bin.
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

#include "app/resource.h"
#include "common/globals.h"
#include "common/log_file.h"
#include "common/native_system.h"
#include "common/package_files.h"
#include "common/spooler_control.h"
#include "common/system_libraries.h"
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

static void PostProgress(HWND progress, int position) { PostMessageW(progress, PBM_SETPOS, (WPARAM)position, 0); }

static void SetRemovedText(WCHAR *status) {
    LoadStringW(ModuleInstance, IDS_REMOVED, RemovalText, REMOVAL_TEXT_CCH);
    StringCchCopyW(status, NODE_STATUS_CCH, RemovalText);
}

static void SetFailedText(WCHAR *status, int code) {
    LoadStringW(ModuleInstance, IDS_REMOVE_FAILED, RemovalText, REMOVAL_TEXT_CCH);
    StringCchPrintfW(status, NODE_STATUS_CCH, RemovalText, code);
}

// The queues of one driver that are not removed yet; returns the failures.
static int RemoveDriverQueues(DriverNode *driver) {
    QueueNode *queue;
    DWORD error;
    int failures = 0;

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
            failures++;
        }
    }
    return failures;
}

// A driver whose queues are all gone; returns the failures.
static int RemoveDriverNode(PackageNode *package, DriverNode *driver) {
    DWORD error = 0;
    int tries;

    if (driver->QueueCount != 0 || driver->DriverInfo == NULL || driver->Removed)
        return 0;
    for (tries = 0; tries < DRIVER_TRIES; tries++) {
        driver->Removed = (DWORD)RemovePrinterDriver(driver->DriverInfo, &error);
        if (driver->Removed)
            break;
        Sleep(DRIVER_RETRY_MS);
    }
    if (driver->Removed) {
        SetRemovedText(driver->StatusText);
        package->DriverCount--;
        Sleep(DRIVER_PAUSE_MS);
        return 0;
    }
    SetFailedText(driver->StatusText, (int)error);
    return 1;
}

// A package whose drivers are all gone; returns the failures.
static int RemovePackageNode(PackageNode *package) {
    HRESULT result = S_OK;
    int tries;

    if (package->DriverCount != 0 || package->StoreInfPath[0] == 0 || package->Removed)
        return 0;
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
        return 0;
    }
    SetFailedText(package->StatusText, (int)result);
    return 1;
}

DWORD WINAPI RemovalWorker(LPVOID parameter) {
    HWND window = (HWND)parameter;
    HWND progress = GetDlgItem(window, IDC_PROGRESS);
    PackageNode *package;
    DriverNode *driver;
    int failures = 0;
    WCHAR failureMessage[REMOVAL_TEXT_CCH];

    EnableUninstallButtons(window, FALSE);
    ShowWindow(progress, SW_SHOW);
    PostProgress(progress, PROGRESS_START);
    PostProgress(progress, PROGRESS_BEGIN_REMOVAL);

    for (package = PackageList; package != NULL; package = package->Next) {
        for (driver = package->Drivers; driver != NULL; driver = driver->Next) {
            failures += RemoveDriverQueues(driver);
            PostProgress(progress, PROGRESS_QUEUES_DONE);
            failures += RemoveDriverNode(package, driver);
        }
        PostProgress(progress, PROGRESS_DRIVERS_DONE);
        failures += RemovePackageNode(package);
    }
    // What the inventory could not see was not removed either.
    if (InventoryIncomplete)
        failures++;

    PostProgress(progress, PROGRESS_END);
    LogRemovalResults(PackageList);
    PostMessageW(window, WM_WORKER_DONE, 0, 0);
    ShowWindow(progress, SW_HIDE);

    if (failures != 0) {
        EnableUninstallButtons(window, TRUE);
        memset(failureMessage, 0, sizeof(failureMessage));
        LoadStringW(ModuleInstance, IDS_UNINSTALL_FAILED, failureMessage, REMOVAL_TEXT_CCH);
        WriteLogLine(failureMessage);
        MessageBoxW(window, failureMessage, NULL, MB_OK);
        return 0;
    }
    // The buttons stay disabled until the window closes: neither a second
    // run nor the end of the dialog may come while the spooler is stopped.
    RemoveMonitorFile(MONITOR_DLL_NAME);
    FinishUninstall(window);
    return 0;
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

    if (driver->pMonitorName != NULL)
        Winspool.DeleteMonitorW(NULL, NativePrintEnvironment(), driver->pMonitorName);
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

void RemoveMonitorFile(const WCHAR *fileName) {
    WCHAR systemDirectory[SYSTEM_PATH_CCH];
    WCHAR path[SYSTEM_PATH_CCH];
    int tries;

    // The spooler holds the monitor loaded while it runs.
    if (!StopServiceAndWait(SPOOLER_SERVICE, SPOOLER_WAIT_MS))
        return;
    memset(systemDirectory, 0, sizeof(systemDirectory));
    memset(path, 0, sizeof(path));
    // The copy the spooler loads is in the machine's own system directory.
    // A path cut short could name another file: then nothing is deleted.
    if (GetNativeSystemDirectory(systemDirectory, SYSTEM_PATH_CCH) &&
        SUCCEEDED(StringCchPrintfW(path, SYSTEM_PATH_CCH, L"%ws\\%ws", systemDirectory, fileName))) {
        for (tries = 0; tries < MONITOR_FILE_TRIES; tries++) {
            if (DeleteFileW(path) || GetLastError() == ERROR_FILE_NOT_FOUND)
                break;
            Sleep(MONITOR_FILE_RETRY_MS);
        }
    }
    StartServiceAndWait(SPOOLER_SERVICE, SPOOLER_WAIT_MS);
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

// TRUE when the folder holds a file of this name.
static BOOL FolderHoldsFile(const WCHAR *folder, const WCHAR *name) {
    WCHAR path[FOLDER_FILE_PATH_CCH];
    size_t length = wcslen(folder);
    const WCHAR *separator = length > 0 && IsSeparator(folder[length - 1]) ? L"" : L"\\";
    DWORD attributes;

    memset(path, 0, sizeof(path));
    if (FAILED(StringCchPrintfW(path, FOLDER_FILE_PATH_CCH, L"%ws%ws%ws", folder, separator, name)))
        return FALSE;
    attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

BOOL IsProductFolder(const WCHAR *folder) {
    if (folder == NULL || !NamesFolderBelowRoot(folder))
        return FALSE;
    return FolderHoldsFile(folder, UNINSTALLER_FILE_NAME) || FolderHoldsFile(folder, PACKAGE_INF_NAME);
}

void FinishUninstall(HWND window) {
    SHFILEOPSTRUCTW operation;
    // The folder as a list of one: its terminator, then the list's own.
    WCHAR from[INSTALL_DIR_CCH + 1];
    WCHAR caption[CAPTION_CCH];

    // Whatever -u named is moved only when it is really the product's folder;
    // the shell hears of it only when the folder has gone.
    if (IsProductFolder(InstallDir)) {
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
    }

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
