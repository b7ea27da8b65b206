// The inventory of the product's packages, drivers and queues.
#pragma once

#include <windows.h>
#include <winspool.h>

// Capacities, in characters, of the node texts.
#define INF_FILE_NAME_CCH 50
#define STORE_INF_PATH_CCH 1024
#define PACKAGE_VERSION_CCH 50
#define NODE_STATUS_CCH 256

typedef struct QueueNode {
    PRINTER_INFO_2W *PrinterInfo;
    DWORD Removed;
    WCHAR StatusText[NODE_STATUS_CCH];
    struct QueueNode *Next;
} QueueNode;

typedef struct DriverNode {
    DRIVER_INFO_8W *DriverInfo;
    QueueNode *Queues;
    int QueueCount;
    DWORD Removed;
    // The driver is deleted, but the language monitor it named is still
    // registered: the next removal tries the monitor again.
    DWORD MonitorPending;
    WCHAR StatusText[NODE_STATUS_CCH];
    struct DriverNode *Next;
} DriverNode;

typedef struct PackageNode {
    WCHAR InfFileName[INF_FILE_NAME_CCH];
    WCHAR StoreInfPath[STORE_INF_PATH_CCH];
    WCHAR PackageVersion[PACKAGE_VERSION_CCH];
    DriverNode *Drivers;
    int DriverCount;
    DWORD Removed;
    WCHAR StatusText[NODE_STATUS_CCH];
    struct PackageNode *Next;
} PackageNode;

extern PackageNode *PackageList;
extern BYTE *DriverEnumBuffer;
extern BYTE *PrinterEnumBuffer;

// Non-zero when the tree may lack something the machine has: a record that
// could not be allocated, a list that could not be read, or no inventory
// taken at all. A removal then cannot report success. InventoryError holds
// the error of the first such failure. Both are reset by each new inventory.
extern BOOL InventoryIncomplete;
extern DWORD InventoryError;
void MarkInventoryIncomplete(DWORD error);

// The product's language monitor (LANGUAGE_MONITOR_NAME, served by
// MONITOR_DLL_NAME) is registered, and no installed driver of any environment
// names it: a removal deleted its last driver but not the monitor. Every
// removal deletes it, whatever tree it works on. Set by each inventory;
// FALSE, with a log line, when the monitors or the drivers could not be
// listed to tell (which leaves the inventory whole).
extern BOOL StrayMonitor;

// Capacity of a monitor user's text: "driver name (environment)".
#define MONITOR_USER_CCH 512

// Asks the spooler for the first installed driver, of any environment, that
// names the monitor. TRUE when the drivers could be listed, with user holding
// "NAME (ENVIRONMENT)", or empty when no driver names the monitor; FALSE with
// *error otherwise.
BOOL FindMonitorUser(const WCHAR *monitor, WCHAR *user, DWORD userCch, DWORD *error);
// Asks the spooler whether a monitor served by the DLL is registered. TRUE
// when the monitors could be listed, with name holding the first such
// monitor's name, or empty; FALSE with *error otherwise.
BOOL FindMonitorOfDll(const WCHAR *dllName, WCHAR *name, DWORD nameCch, DWORD *error);

// The whole inventory: forgets what an earlier one missed, then collects the
// packages, the drivers, the queues and a stray monitor.
void TakeInventory(void);
// The same anew, after an inventory that missed something: the earlier tree
// and its enumeration buffers are freed first. Only the removal worker calls
// it, while nothing else reads the tree.
void RetakeInventory(void);

int CollectDriverPackages(void);
void PushPackageNode(PackageNode package);
int CollectPrinterDrivers(void);
int AttachDriverToPackages(const DRIVER_INFO_8W *driver);
int CollectPrintQueues(void);
int AttachQueueToDrivers(PRINTER_INFO_2W *queue);
// Whether a product driver is installed: a new inventory of packages and
// drivers (no queues).
BOOL IsProductInstalled(void);
