// Questions to the spooler about a print queue and a port, and moving a
// queue to another port.
#include "install/queue_queries.h"

#include <windows.h>
#include <winspool.h>
#include <string.h>
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
