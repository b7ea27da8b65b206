// Questions to the spooler about a print queue and a port, and moving a
// queue to another port.
#include "install/queue_queries.h"

#include <windows.h>
#include <winspool.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/system_libraries.h"

// Opens the queue with full access; NULL when it cannot be opened.
static HANDLE OpenQueue(const WCHAR *queueName) {
    PRINTER_DEFAULTSW defaults;
    HANDLE printer = NULL;

    memset(&defaults, 0, sizeof(defaults));
    defaults.pDatatype = NULL;
    defaults.pDevMode = NULL;
    defaults.DesiredAccess = PRINTER_ALL_ACCESS;
    if (!Winspool.OpenPrinterW((LPWSTR)queueName, &printer, &defaults))
        return NULL;
    return printer;
}

int CheckPrinterQueue(const WCHAR *queueName, const WCHAR *portName) {
    HANDLE printer;

    // Whatever port the queue is on, it exists.
    (void)portName;
    printer = OpenQueue(queueName);
    if (printer == NULL)
        return 0;
    Winspool.ClosePrinter(printer);
    return 1;
}

int ReadPrinterQueuePort(const WCHAR *queueName, WCHAR *port, size_t capacity) {
    HANDLE printer;
    DWORD needed = 0;
    PRINTER_INFO_2W *info;

    port[0] = 0;
    printer = OpenQueue(queueName);
    if (printer == NULL)
        return 0;
    Winspool.GetPrinterW(printer, 2, NULL, 0, &needed);
    info = needed != 0 ? (PRINTER_INFO_2W *)LocalAlloc(LMEM_ZEROINIT, needed) : NULL;
    if (info != NULL && Winspool.GetPrinterW(printer, 2, (LPBYTE)info, needed, &needed) && info->pPortName != NULL &&
        FAILED(StringCchCopyW(port, capacity, info->pPortName)))
        port[0] = 0;
    if (info != NULL)
        LocalFree(info);
    Winspool.ClosePrinter(printer);
    return 1;
}

BOOL PortListed(const WCHAR *portList, const WCHAR *portName) {
    size_t length = wcslen(portName);
    const WCHAR *entry = portList;

    // "USB001,USB002": a queue may print to several ports.
    while (entry != NULL && *entry != 0) {
        while (*entry == L' ')
            entry++;
        if (wcsncmp(entry, portName, length) == 0 && (entry[length] == 0 || entry[length] == L','))
            return TRUE;
        entry = wcschr(entry, L',');
        if (entry != NULL)
            entry++;
    }
    return FALSE;
}

int FindQueueOnPort(const WCHAR *driverName, const WCHAR *portName, WCHAR *queueName, size_t capacity) {
    DWORD needed = 0;
    DWORD count = 0;
    DWORD i;
    PRINTER_INFO_2W *queues;
    int found = 0;

    Winspool.EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, NULL, 0, &needed, &count);
    if (needed == 0)
        return 0;
    queues = (PRINTER_INFO_2W *)LocalAlloc(LMEM_ZEROINIT, needed);
    if (queues == NULL)
        return 0;
    if (Winspool.EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, (LPBYTE)queues, needed, &needed, &count)) {
        for (i = 0; i < count && !found; i++)
            found = queues[i].pPrinterName != NULL && queues[i].pDriverName != NULL && queues[i].pPortName != NULL &&
                    wcscmp(queues[i].pDriverName, driverName) == 0 && PortListed(queues[i].pPortName, portName) &&
                    SUCCEEDED(StringCchCopyW(queueName, capacity, queues[i].pPrinterName));
    }
    LocalFree(queues);
    return found;
}

int SetQueuePort(const WCHAR *queueName, const WCHAR *portName) {
    HANDLE printer;
    DWORD needed = 0;
    PRINTER_INFO_2W *info;
    int result = 0;

    printer = OpenQueue(queueName);
    if (printer == NULL)
        return 0;

    Winspool.GetPrinterW(printer, 2, NULL, 0, &needed);
    info = (PRINTER_INFO_2W *)LocalAlloc(LMEM_ZEROINIT, needed);
    if (info == NULL) {
        Winspool.ClosePrinter(printer);
        return 0;
    }
    if (Winspool.GetPrinterW(printer, 2, (LPBYTE)info, needed, &needed)) {
        if (info->pPortName == NULL || wcscmp(info->pPortName, portName) != 0) {
            info->pPortName = (LPWSTR)portName;
            result = Winspool.SetPrinterW(printer, 2, (LPBYTE)info, 0) ? 1 : 0;
        }
    }
    LocalFree(info);
    Winspool.ClosePrinter(printer);
    return result;
}

int PortExists(const WCHAR *portName) {
    DWORD needed = 0;
    DWORD count = 0;
    DWORD i;
    PORT_INFO_2W *ports;
    int result = 0;

    Winspool.EnumPortsW(NULL, 2, NULL, 0, &needed, &count);
    ports = (PORT_INFO_2W *)LocalAlloc(LMEM_ZEROINIT, needed);
    if (ports == NULL)
        return 0;
    if (Winspool.EnumPortsW(NULL, 2, (LPBYTE)ports, needed, &needed, &count)) {
        for (i = 0; i < count; i++) {
            if (ports[i].pPortName != NULL && wcscmp(ports[i].pPortName, portName) == 0) {
                result = 1;
                break;
            }
        }
    }
    LocalFree(ports);
    return result;
}
