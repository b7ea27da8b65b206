// The inventory of the product's packages, drivers and queues.
#pragma once

#include <windows.h>
#include <winspool.h>

typedef struct QueueNode {
    PRINTER_INFO_2W *PrinterInfo;
    DWORD Removed;
    WCHAR StatusText[256];
    struct QueueNode *Next;
} QueueNode;

typedef struct DriverNode {
    DRIVER_INFO_8W *DriverInfo;
    QueueNode *Queues;
    int QueueCount;
    DWORD Removed;
    WCHAR StatusText[256];
    struct DriverNode *Next;
} DriverNode;

typedef struct PackageNode {
    WCHAR InfFileName[50];
    WCHAR StoreInfPath[1024];
    WCHAR PackageVersion[50];
    DriverNode *Drivers;
    int DriverCount;
    DWORD Removed;
    WCHAR StatusText[256];
    struct PackageNode *Next;
} PackageNode;

extern PackageNode *PackageList;
extern BYTE *DriverEnumBuffer;
extern BYTE *PrinterEnumBuffer;

int CollectDriverPackages(void);
void PushPackageNode(PackageNode package);
int CollectPrinterDrivers(void);
int AttachDriverToPackages(const DRIVER_INFO_8W *driver);
int CollectPrintQueues(void);
int AttachQueueToDrivers(PRINTER_INFO_2W *queue);
BOOL IsProductInstalled(void);
