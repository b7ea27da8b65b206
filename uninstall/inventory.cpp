// The inventory of the product's packages, drivers and queues.
//
// The product's packages in the driver store are found through the
// spooler's "DriverPackages" keys of the machine's print environment, its
// drivers by their driver DLL, its queues by their driver's name. They form a
// tree under PackageList: package -> driver -> queue, every list newest
// first. Nodes are never freed; driver records are shallow copies whose
// strings stay in DriverEnumBuffer, queue records lie in PrinterEnumBuffer.
#include "uninstall/inventory.h"

#include <windows.h>
#include <setupapi.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>
#include <winspool.h>

#include "common/globals.h"
#include "common/log_file.h"
#include "common/native_system.h"
#include "common/package_files.h"
#include "common/system_libraries.h"

#define KEY_PATH_CCH 1024
#define SUBKEY_NAME_CCH 260
// The "DriverStorePath" read takes at most 1024 bytes on Windows: 510
// characters and the two terminators of a multi-string.
#define STORE_PATH_READ_CCH 512

#define STRAY_MONITOR_LOG_CCH 256

#define DRIVER_INFO_LEVEL 8
#define PRINTER_INFO_LEVEL 2

PackageNode *PackageList = NULL;
BYTE *DriverEnumBuffer = NULL;
BYTE *PrinterEnumBuffer = NULL;
BOOL StrayMonitor = FALSE;
BOOL InventoryIncomplete = FALSE;
DWORD InventoryError = ERROR_SUCCESS;
// The size of DriverEnumBuffer: a placeholder's driver record lies inside it,
// every other node's is a copy of its own.
static DWORD DriverEnumSize = 0;

void MarkInventoryIncomplete(DWORD error) {
    if (!InventoryIncomplete)
        InventoryError = error;
    InventoryIncomplete = TRUE;
}

// Forgets what an earlier inventory missed.
static void BeginInventory(void) {
    InventoryIncomplete = FALSE;
    InventoryError = ERROR_SUCCESS;
}

static void *AllocateZeroed(SIZE_T bytes) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes); }

// A node or list block of the tree; the tree is incomplete without it.
static void *AllocateRecord(SIZE_T bytes) {
    void *block = AllocateZeroed(bytes);

    if (block == NULL)
        MarkInventoryIncomplete(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

// The size query of a spooler list: FALSE for any failure but the expected
// "buffer too small", and then the list is missing from the tree.
static void CheckSizeQuery(BOOL listed) {
    DWORD error;

    if (!listed && (error = GetLastError()) != ERROR_INSUFFICIENT_BUFFER)
        MarkInventoryIncomplete(error);
}

// The INF's "DriverVer" entry; left empty when it cannot be read.
static void ReadPackageVersion(const WCHAR *infPath, WCHAR *version, DWORD capacity) {
    DWORD size = 0;
    SP_INF_INFORMATION *information;

    version[0] = 0;
    SetupGetInfInformationW(infPath, INFINFO_INF_NAME_IS_ABSOLUTE, NULL, 0, &size);
    if (size == 0)
        return;
    information = (SP_INF_INFORMATION *)AllocateZeroed(size);
    if (information == NULL)
        return;
    if (!SetupGetInfInformationW(infPath, INFINFO_INF_NAME_IS_ABSOLUTE, information, size, NULL) ||
        !SetupQueryInfVersionInformationW(information, 0, L"DriverVer", version, capacity, NULL))
        version[0] = 0;
    version[capacity - 1] = 0;
    HeapFree(GetProcessHeap(), 0, information);
}

int CollectDriverPackages(void) {
    const NativeArchitecture *architecture;
    WCHAR path[KEY_PATH_CCH];
    WCHAR subkeyName[SUBKEY_NAME_CCH];
    HKEY packages = NULL;
    HKEY subkey = NULL;
    DWORD index;
    DWORD size;
    LONG status;
    const WCHAR *name;
    PackageNode package;

    // The packages of the machine's own environment, whatever this process
    // runs as; none for a processor the product has no driver for.
    architecture = GetNativeArchitecture();
    if (architecture == NULL)
        return 0;
    memset(path, 0, sizeof(path));
    StringCchPrintfW(path, KEY_PATH_CCH,
                     L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\PackageInstallation\\%ws\\DriverPackages",
                     architecture->PrintEnvironment);
    // The spooler keeps these keys in the machine's own registry view. There
    // are none before the first package; any other failure hides them.
    status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_64KEY, &packages);
    if (status != ERROR_SUCCESS) {
        if (status != ERROR_FILE_NOT_FOUND)
            MarkInventoryIncomplete((DWORD)status);
        return 1;
    }

    memset(subkeyName, 0, sizeof(subkeyName));
    for (index = 0; (status = RegEnumKeyW(packages, index, subkeyName, SUBKEY_NAME_CCH)) == ERROR_SUCCESS; index++) {
        if (RegOpenKeyExW(packages, subkeyName, 0, KEY_QUERY_VALUE, &subkey) != ERROR_SUCCESS)
            continue;
        memset(path, 0, sizeof(path));
        size = STORE_PATH_READ_CCH * sizeof(WCHAR);
        status = RegGetValueW(subkey, NULL, L"DriverStorePath", RRF_RT_REG_MULTI_SZ, NULL, path, &size);
        RegCloseKey(subkey);
        // A package whose path cannot be read is passed over.
        if (status != ERROR_SUCCESS)
            continue;
        path[KEY_PATH_CCH - 1] = 0;
        if (wcsstr(path, PACKAGE_INF_NAME) == NULL)
            continue;

        memset(&package, 0, sizeof(package));
        StringCchCopyW(package.StoreInfPath, STORE_INF_PATH_CCH, path);
        name = wcsrchr(path, L'\\');
        if (name != NULL)
            StringCchCopyW(package.InfFileName, INF_FILE_NAME_CCH, name + 1);
        ReadPackageVersion(path, package.PackageVersion, PACKAGE_VERSION_CCH);
        PushPackageNode(package);
    }
    if (status != ERROR_NO_MORE_ITEMS)
        MarkInventoryIncomplete((DWORD)status);
    RegCloseKey(packages);
    return 1;
}

void PushPackageNode(PackageNode package) {
    PackageNode *node = (PackageNode *)AllocateRecord(sizeof(PackageNode));

    if (node == NULL)
        return;
    *node = package;
    node->Next = PackageList;
    PackageList = node;
}

int AttachDriverToPackages(const DRIVER_INFO_8W *driver) {
    BOOL hasInfPath = driver->pszInfPath != NULL && driver->pszInfPath[0] != 0;
    PackageNode *package;
    DriverNode *node;
    DRIVER_INFO_8W *copy;
    int attached = 0;

    // A driver installed from a package gathers under a placeholder when no
    // package was found in the store.
    if (PackageList == NULL && hasInfPath) {
        package = (PackageNode *)AllocateRecord(sizeof(PackageNode));
        if (package != NULL)
            PackageList = package;
    }
    for (package = PackageList; package != NULL; package = package->Next) {
        if (package->StoreInfPath[0] == 0 && hasInfPath)
            StringCchCopyW(package->StoreInfPath, STORE_INF_PATH_CCH, driver->pszInfPath);
        node = (DriverNode *)AllocateRecord(sizeof(DriverNode));
        if (node == NULL)
            continue;
        node->Next = package->Drivers;
        package->Drivers = node;
        copy = (DRIVER_INFO_8W *)AllocateRecord(sizeof(DRIVER_INFO_8W));
        if (copy == NULL)
            continue;
        *copy = *driver;
        node->DriverInfo = copy;
        package->DriverCount++;
        attached++;
    }
    return attached;
}

int CollectPrinterDrivers(void) {
    DWORD needed = 0;
    DWORD count = 0;
    DWORD i;
    BYTE *buffer;
    DRIVER_INFO_8W *drivers;
    DriverNode *node;
    PackageNode placeholder;

    CheckSizeQuery(Winspool.EnumPrinterDriversW(NULL, NativePrintEnvironment(), DRIVER_INFO_LEVEL, DriverEnumBuffer, 0,
                                                &needed, &count));
    if (needed == 0)
        return 0;
    buffer = (BYTE *)AllocateRecord(needed);
    if (buffer == NULL)
        return 0;
    DriverEnumBuffer = buffer;
    DriverEnumSize = needed;
    count = 0;
    if (!Winspool.EnumPrinterDriversW(NULL, NativePrintEnvironment(), DRIVER_INFO_LEVEL, DriverEnumBuffer, needed,
                                      &needed, &count))
        MarkInventoryIncomplete(GetLastError());

    drivers = (DRIVER_INFO_8W *)DriverEnumBuffer;
    for (i = 0; i < count; i++) {
        if (drivers[i].pDriverPath == NULL || wcsstr(drivers[i].pDriverPath, DRIVER_DLL_NAME) == NULL)
            continue;
        if (AttachDriverToPackages(&drivers[i]) != 0)
            continue;
        node = (DriverNode *)AllocateRecord(sizeof(DriverNode));
        if (node == NULL)
            continue;
        node->DriverInfo = &drivers[i];
        memset(&placeholder, 0, sizeof(placeholder));
        placeholder.Drivers = node;
        placeholder.DriverCount = 1;
        PushPackageNode(placeholder);
    }
    return 0;
}

int AttachQueueToDrivers(PRINTER_INFO_2W *queue) {
    PackageNode *package;
    DriverNode *driver;
    QueueNode *node;

    if (queue->pDriverName == NULL)
        return 0;
    for (package = PackageList; package != NULL; package = package->Next) {
        for (driver = package->Drivers; driver != NULL; driver = driver->Next) {
            if (driver->DriverInfo == NULL || driver->DriverInfo->pName == NULL ||
                wcscmp(driver->DriverInfo->pName, queue->pDriverName) != 0)
                continue;
            node = (QueueNode *)AllocateRecord(sizeof(QueueNode));
            if (node == NULL)
                continue;
            node->PrinterInfo = queue;
            node->Next = driver->Queues;
            driver->Queues = node;
            driver->QueueCount++;
        }
    }
    return 0;
}

int CollectPrintQueues(void) {
    DWORD needed = 0;
    DWORD count = 0;
    DWORD i;
    BYTE *buffer;
    PRINTER_INFO_2W *queues;

    CheckSizeQuery(
        Winspool.EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, PRINTER_INFO_LEVEL, PrinterEnumBuffer, 0, &needed, &count));
    if (needed == 0)
        return 0;
    buffer = (BYTE *)AllocateRecord(needed);
    if (buffer == NULL)
        return 0;
    PrinterEnumBuffer = buffer;
    count = 0;
    if (!Winspool.EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, PRINTER_INFO_LEVEL, PrinterEnumBuffer, needed, &needed,
                                &count))
        MarkInventoryIncomplete(GetLastError());

    queues = (PRINTER_INFO_2W *)PrinterEnumBuffer;
    for (i = 0; i < count; i++)
        AttachQueueToDrivers(&queues[i]);
    return 0;
}

static BOOL InsideDriverEnumBuffer(const void *record) {
    return DriverEnumBuffer != NULL && (const BYTE *)record >= DriverEnumBuffer &&
           (const BYTE *)record < DriverEnumBuffer + DriverEnumSize;
}

// Frees the tree of the last inventory with its enumeration buffers.
static void FreeInventory(void) {
    HANDLE heap = GetProcessHeap();
    PackageNode *package;
    PackageNode *nextPackage;
    DriverNode *driver;
    DriverNode *nextDriver;
    QueueNode *queue;
    QueueNode *nextQueue;

    for (package = PackageList; package != NULL; package = nextPackage) {
        nextPackage = package->Next;
        for (driver = package->Drivers; driver != NULL; driver = nextDriver) {
            nextDriver = driver->Next;
            for (queue = driver->Queues; queue != NULL; queue = nextQueue) {
                nextQueue = queue->Next;
                HeapFree(heap, 0, queue);
            }
            if (driver->DriverInfo != NULL && !InsideDriverEnumBuffer(driver->DriverInfo))
                HeapFree(heap, 0, driver->DriverInfo);
            HeapFree(heap, 0, driver);
        }
        HeapFree(heap, 0, package);
    }
    PackageList = NULL;
    if (DriverEnumBuffer != NULL)
        HeapFree(heap, 0, DriverEnumBuffer);
    if (PrinterEnumBuffer != NULL)
        HeapFree(heap, 0, PrinterEnumBuffer);
    DriverEnumBuffer = NULL;
    DriverEnumSize = 0;
    PrinterEnumBuffer = NULL;
}

// The records of a whole spooler list, in a block of the process heap that
// the caller frees: TRUE with *count records (0 and no block for an empty
// list), FALSE with *error. A list that grows between the two calls is asked
// for again.
typedef BOOL (*ReadSpoolerList)(const void *argument, BYTE *buffer, DWORD size, DWORD *needed, DWORD *count);

static BOOL ReadWholeList(ReadSpoolerList read, const void *argument, BYTE **records, DWORD *count, DWORD *error) {
    DWORD needed = 0;
    int tries;

    *records = NULL;
    *count = 0;
    for (tries = 0; tries < 3; tries++) {
        if (read(argument, *records, needed, &needed, count))
            return TRUE;
        *error = GetLastError();
        if (*records != NULL)
            HeapFree(GetProcessHeap(), 0, *records);
        *records = NULL;
        *count = 0;
        if (*error != ERROR_INSUFFICIENT_BUFFER || needed == 0)
            return FALSE;
        *records = (BYTE *)AllocateZeroed(needed);
        if (*records == NULL) {
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return FALSE;
        }
    }
    if (*records != NULL)
        HeapFree(GetProcessHeap(), 0, *records);
    *records = NULL;
    return FALSE;
}

static BOOL ReadEveryDriver(const void *argument, BYTE *buffer, DWORD size, DWORD *needed, DWORD *count) {
    (void)argument;
    // "all": the drivers of every environment the spooler has, not only the
    // machine's.
    return Winspool.EnumPrinterDriversW(NULL, (LPWSTR)L"all", DRIVER_INFO_LEVEL, buffer, size, needed, count);
}

static BOOL ReadMonitors(const void *argument, BYTE *buffer, DWORD size, DWORD *needed, DWORD *count) {
    (void)argument;
    return Winspool.EnumMonitorsW(NULL, 2, buffer, size, needed, count);
}

BOOL FindMonitorUser(const WCHAR *monitor, WCHAR *user, DWORD userCch, DWORD *error) {
    BYTE *records;
    DWORD count;
    DWORD i;
    const DRIVER_INFO_8W *drivers;

    user[0] = 0;
    if (!ReadWholeList(ReadEveryDriver, NULL, &records, &count, error))
        return FALSE;
    drivers = (const DRIVER_INFO_8W *)records;
    for (i = 0; i < count; i++) {
        if (drivers[i].pMonitorName == NULL || wcscmp(drivers[i].pMonitorName, monitor) != 0)
            continue;
        StringCchPrintfW(user, userCch, L"%ws (%ws)", drivers[i].pName != NULL ? drivers[i].pName : L"",
                         drivers[i].pEnvironment != NULL ? drivers[i].pEnvironment : L"");
        break;
    }
    if (records != NULL)
        HeapFree(GetProcessHeap(), 0, records);
    return TRUE;
}

BOOL FindMonitorOfDll(const WCHAR *dllName, WCHAR *name, DWORD nameCch, DWORD *error) {
    BYTE *records;
    DWORD count;
    DWORD i;
    const MONITOR_INFO_2W *monitors;

    name[0] = 0;
    if (!ReadWholeList(ReadMonitors, NULL, &records, &count, error))
        return FALSE;
    monitors = (const MONITOR_INFO_2W *)records;
    for (i = 0; i < count; i++) {
        if (monitors[i].pName == NULL || monitors[i].pDLLName == NULL || wcscmp(monitors[i].pDLLName, dllName) != 0)
            continue;
        StringCchCopyW(name, nameCch, monitors[i].pName);
        break;
    }
    if (records != NULL)
        HeapFree(GetProcessHeap(), 0, records);
    return TRUE;
}

// A look for the stray monitor that could not be made: the log says so. It
// leaves the inventory whole, as any list the inventory cannot read: a
// monitor that is not known to be there is not left behind either.
static void LogStrayMonitorUnknown(const WCHAR *list, DWORD error) {
    WCHAR line[STRAY_MONITOR_LOG_CCH];

    if (SUCCEEDED(StringCchPrintfW(line, STRAY_MONITOR_LOG_CCH,
                                   L"Whether the language monitor \"%ws\" is left without a printer driver is not "
                                   L"known: %ws could not be listed. Error:%d",
                                   LANGUAGE_MONITOR_NAME, list, (int)error)))
        WriteLogLine(line);
}

// The product's monitor, registered with no driver left to name it.
static void CollectStrayMonitor(void) {
    WCHAR name[MONITOR_USER_CCH];
    WCHAR user[MONITOR_USER_CCH];
    DWORD error = ERROR_SUCCESS;

    StrayMonitor = FALSE;
    user[0] = 0;
    if (!FindMonitorOfDll(MONITOR_DLL_NAME, name, MONITOR_USER_CCH, &error)) {
        LogStrayMonitorUnknown(L"the monitors", error);
        return;
    }
    if (wcscmp(name, LANGUAGE_MONITOR_NAME) == 0 && !FindMonitorUser(name, user, MONITOR_USER_CCH, &error)) {
        LogStrayMonitorUnknown(L"the printer drivers", error);
        return;
    }
    StrayMonitor = wcscmp(name, LANGUAGE_MONITOR_NAME) == 0 && user[0] == 0;
}

void RetakeInventory(void) {
    FreeInventory();
    TakeInventory();
}

void TakeInventory(void) {
    BeginInventory();
    CollectDriverPackages();
    CollectPrinterDrivers();
    CollectPrintQueues();
    CollectStrayMonitor();
}

BOOL IsProductInstalled(void) {
    BeginInventory();
    CollectDriverPackages();
    CollectPrinterDrivers();
    return PackageList != NULL && PackageList->DriverCount != 0;
}
