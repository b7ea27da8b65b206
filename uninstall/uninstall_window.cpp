// The uninstall window (dialog 105): the component tree under the install
// folder, "Remove" and "Close", and the progress bar while a worker runs.
//
// The window keeps no state: the tree is rebuilt whole from PackageList each
// time a worker reports that it is done. Only one worker runs at a time:
// both buttons are disabled before a worker's thread is created, and the
// worker enables them again when it is done (the removal after a clean run
// never does: the window closes instead).
#include "uninstall/uninstall_window.h"

#include <windows.h>
#include <commctrl.h>
#include <string.h>
#include <strsafe.h>

#include "common/globals.h"
#include "common/log_file.h"
#include "common/resource_ids.h"
#include "uninstall/removal.h"

#define TREE_TEXT_CCH 1024
#define INVENTORY_PROGRESS 80

// The window thread's buffers for the tree's texts.
static WCHAR TreeFormat[TREE_TEXT_CCH];
static WCHAR TreeText[TREE_TEXT_CCH];

void EnableUninstallButtons(HWND window, BOOL enable) {
    EnableWindow(GetDlgItem(window, IDC_REMOVE), enable);
    EnableWindow(GetDlgItem(window, IDC_CLOSE), enable);
}

// FALSE when the worker's thread could not be created.
static BOOL StartWorker(HWND dialog, LPTHREAD_START_ROUTINE worker) {
    HANDLE thread;

    EnableUninstallButtons(dialog, FALSE);
    thread = CreateThread(NULL, 0, worker, dialog, 0, NULL);
    if (thread == NULL) {
        // No worker: the window must not stay locked.
        EnableUninstallButtons(dialog, TRUE);
        return FALSE;
    }
    CloseHandle(thread);
    return TRUE;
}

INT_PTR CALLBACK UninstallDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        if (!StartWorker(dialog, InventoryWorker))
            MarkInventoryIncomplete(GetLastError());
        break;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            // The Enter key can send this while a worker runs and "Remove" is
            // disabled: only an enabled "Remove" starts a removal.
            if (IsWindowEnabled(GetDlgItem(dialog, IDC_REMOVE)))
                StartWorker(dialog, RemovalWorker);
            break;
        case IDCANCEL:
            // A close from the button or the Esc key names the button, and
            // counts only while it is enabled; the removal's own request to
            // close, after a clean run, names no control.
            if (lParam == 0 || IsWindowEnabled(GetDlgItem(dialog, IDC_CLOSE)))
                EndDialog(dialog, IDCANCEL);
            break;
        }
        break;
    case WM_WORKER_DONE:
        FillComponentTree(dialog, PackageList);
        break;
    }
    return FALSE;
}

DWORD WINAPI InventoryWorker(LPVOID parameter) {
    HWND window = (HWND)parameter;
    HWND progress = GetDlgItem(window, IDC_PROGRESS);

    EnableUninstallButtons(window, FALSE);
    ShowWindow(progress, SW_SHOW);
    SendMessageW(progress, PBM_SETPOS, INVENTORY_PROGRESS, 0);

    TakeInventory();

    PostMessageW(window, WM_WORKER_DONE, 0, 0);
    ShowWindow(progress, SW_HIDE);
    EnableUninstallButtons(window, TRUE);
    return 0;
}

static HTREEITEM InsertTreeItem(HWND tree, HTREEITEM parent, WCHAR *text) {
    TVINSERTSTRUCTW insert;

    memset(&insert, 0, sizeof(insert));
    insert.hParent = parent;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT;
    insert.item.pszText = text;
    return (HTREEITEM)SendMessageW(tree, TVM_INSERTITEMW, 0, (LPARAM)&insert);
}

// Item texts are formatted into the caller's buffers: the tree's are the
// window thread's, the log's the removal worker's own.
static void LoadTreeString(UINT id, WCHAR *buffer) {
    memset(buffer, 0, TREE_TEXT_CCH * sizeof(WCHAR));
    LoadStringW(ModuleInstance, id, buffer, TREE_TEXT_CCH);
}

// A string of a spooler record may be null (a driver without a manufacturer,
// for one): it shows as an empty text.
static const WCHAR *TextOrEmpty(const WCHAR *text) { return text != NULL ? text : L""; }

static void FormatPackageText(const PackageNode *package, WCHAR *format, WCHAR *text) {
    if (package->StoreInfPath[0] != 0) {
        LoadTreeString(IDS_TREE_PACKAGE, format);
        StringCchPrintfW(text, TREE_TEXT_CCH, format, package->InfFileName, package->PackageVersion,
                         package->StoreInfPath, package->StatusText);
    } else {
        // An item text without arguments is loaded straight into the text.
        LoadTreeString(IDS_TREE_DRIVER_LIST, text);
    }
}

static void FormatDriverText(const DriverNode *driver, WCHAR *format, WCHAR *text) {
    const DRIVER_INFO_8W *info = driver->DriverInfo;
    DWORDLONG version;

    if (info != NULL) {
        version = info->dwlDriverVersion;
        LoadTreeString(IDS_TREE_DRIVER, format);
        StringCchPrintfW(text, TREE_TEXT_CCH, format, TextOrEmpty(info->pName), TextOrEmpty(info->pszMfgName),
                         (int)((version >> 48) & 0xFFFF), (int)((version >> 32) & 0xFFFF),
                         (int)((version >> 16) & 0xFFFF), (int)(version & 0xFFFF), driver->StatusText);
    } else {
        LoadTreeString(IDS_TREE_NO_DRIVER, text);
    }
}

static void FormatQueueText(const QueueNode *queue, WCHAR *format, WCHAR *text) {
    const PRINTER_INFO_2W *info = queue->PrinterInfo;

    if (info != NULL) {
        LoadTreeString(IDS_TREE_PRINTER, format);
        StringCchPrintfW(text, TREE_TEXT_CCH, format, TextOrEmpty(info->pPrinterName), TextOrEmpty(info->pPortName),
                         queue->StatusText);
    } else {
        LoadTreeString(IDS_TREE_NO_PRINTER, text);
    }
}

static HTREEITEM InsertPackageItem(HWND tree, const PackageNode *package) {
    FormatPackageText(package, TreeFormat, TreeText);
    return InsertTreeItem(tree, TVI_ROOT, TreeText);
}

static HTREEITEM InsertDriverItem(HWND tree, HTREEITEM parent, const DriverNode *driver) {
    FormatDriverText(driver, TreeFormat, TreeText);
    return InsertTreeItem(tree, parent, TreeText);
}

static void InsertQueueItem(HWND tree, HTREEITEM parent, const QueueNode *queue) {
    FormatQueueText(queue, TreeFormat, TreeText);
    InsertTreeItem(tree, parent, TreeText);
}

void LogRemovalResults(const PackageNode *list) {
    WCHAR format[TREE_TEXT_CCH];
    WCHAR text[TREE_TEXT_CCH];
    const PackageNode *package;
    const DriverNode *driver;
    const QueueNode *queue;

    if (LogFilePath[0] == 0)
        return;
    for (package = list; package != NULL; package = package->Next) {
        for (driver = package->Drivers; driver != NULL; driver = driver->Next) {
            for (queue = driver->Queues; queue != NULL; queue = queue->Next) {
                if (queue->StatusText[0] == 0)
                    continue;
                FormatQueueText(queue, format, text);
                WriteLogLine(text);
            }
            if (driver->StatusText[0] != 0) {
                FormatDriverText(driver, format, text);
                WriteLogLine(text);
            }
        }
        if (package->StatusText[0] != 0) {
            FormatPackageText(package, format, text);
            WriteLogLine(text);
        }
    }
}

void FillComponentTree(HWND window, PackageNode *list) {
    HWND tree = GetDlgItem(window, IDC_COMPONENT_TREE);
    const PackageNode *package;
    const DriverNode *driver;
    const QueueNode *queue;
    HTREEITEM packageItem;
    HTREEITEM driverItem;

    SendMessageW(tree, TVM_DELETEITEM, 0, (LPARAM)TVI_ROOT);
    if (list == NULL) {
        LoadTreeString(IDS_NOTHING_TO_REMOVE, TreeText);
        InsertTreeItem(tree, TVI_ROOT, TreeText);
        return;
    }

    LoadTreeString(IDS_TREE_FOLDER, TreeFormat);
    StringCchPrintfW(TreeText, TREE_TEXT_CCH, TreeFormat, InstallDir);
    InsertTreeItem(tree, TVI_ROOT, TreeText);

    for (package = list; package != NULL; package = package->Next) {
        packageItem = InsertPackageItem(tree, package);
        for (driver = package->Drivers; driver != NULL; driver = driver->Next) {
            driverItem = InsertDriverItem(tree, packageItem, driver);
            for (queue = driver->Queues; queue != NULL; queue = queue->Next)
                InsertQueueItem(tree, driverItem, queue);
            SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, (LPARAM)driverItem);
        }
        SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, (LPARAM)packageItem);
    }
}
