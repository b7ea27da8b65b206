// listqueues: prints what the print spooler holds, one record a line:
//   queue "NAME" driver "DRIVER" port "PORT"      (EnumPrintersW, level 2)
//   driver "NAME" environment "ENV" ...           (EnumPrinterDriversW, level 8: of
//                                                 the caller's environment, or of ENV
//                                                 with --environment ENV)
//   port "NAME"                                   (EnumPortsW, level 1; with --ports)
//   monitor "NAME"                                (EnumMonitorsW, level 1; with --monitors)
// Exit code 0, or 1 when an enumeration failed.
#include <windows.h>
#include <winspool.h>

#include "tool_output.h"

static const WCHAR *Text(const WCHAR *s)
{
    return s ? s : L"(null)";
}

// Runs one enumeration with the size query first; returns the buffer (freed
// by the caller) or NULL on failure.
typedef BOOL (*EnumCall)(DWORD level, BYTE *buffer, DWORD size, DWORD *needed, DWORD *returned);

static BYTE *Enumerate(EnumCall call, DWORD level, DWORD *count, const WCHAR *name)
{
    DWORD needed = 0;
    *count = 0;
    if (call(level, NULL, 0, &needed, count))
        return (BYTE *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 8);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        Err(L"listqueues: %ls failed, error %lu\n", name, GetLastError());
        return NULL;
    }
    BYTE *buffer = (BYTE *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed);
    if (buffer == NULL || !call(level, buffer, needed, &needed, count)) {
        Err(L"listqueues: %ls failed, error %lu\n", name, GetLastError());
        if (buffer)
            HeapFree(GetProcessHeap(), 0, buffer);
        return NULL;
    }
    return buffer;
}

static BOOL EnumQueues(DWORD level, BYTE *b, DWORD size, DWORD *needed, DWORD *returned)
{
    return EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, level, b, size, needed, returned);
}

// The environment whose drivers are listed; NULL: the caller's own.
static WCHAR *DriverEnvironment = NULL;

static BOOL EnumDrivers(DWORD level, BYTE *b, DWORD size, DWORD *needed, DWORD *returned)
{
    return EnumPrinterDriversW(NULL, DriverEnvironment, level, b, size, needed, returned);
}

static BOOL EnumPortList(DWORD level, BYTE *b, DWORD size, DWORD *needed, DWORD *returned)
{
    return EnumPortsW(NULL, level, b, size, needed, returned);
}

static BOOL EnumMonitorList(DWORD level, BYTE *b, DWORD size, DWORD *needed, DWORD *returned)
{
    return EnumMonitorsW(NULL, level, b, size, needed, returned);
}

int wmain(int argc, WCHAR **argv)
{
    BOOL ports = FALSE;
    BOOL monitors = FALSE;
    for (int i = 1; i < argc; i++) {
        if (lstrcmpW(argv[i], L"--ports") == 0)
            ports = TRUE;
        else if (lstrcmpW(argv[i], L"--monitors") == 0)
            monitors = TRUE;
        else if (lstrcmpW(argv[i], L"--environment") == 0 && i + 1 < argc)
            DriverEnvironment = argv[++i];
        else {
            Err(L"usage: listqueues.exe [--ports] [--monitors] [--environment ENV]\n");
            return 2;
        }
    }
    int rc = 0;
    DWORD count;
    BYTE *buffer = Enumerate(EnumQueues, 2, &count, L"EnumPrintersW");
    if (buffer) {
        const PRINTER_INFO_2W *q = (const PRINTER_INFO_2W *)buffer;
        for (DWORD i = 0; i < count; i++)
            Out(L"queue \"%ls\" driver \"%ls\" port \"%ls\"\n", Text(q[i].pPrinterName), Text(q[i].pDriverName),
                Text(q[i].pPortName));
        HeapFree(GetProcessHeap(), 0, buffer);
    } else {
        rc = 1;
    }
    buffer = Enumerate(EnumDrivers, 8, &count, L"EnumPrinterDriversW");
    if (buffer) {
        const DRIVER_INFO_8W *d = (const DRIVER_INFO_8W *)buffer;
        for (DWORD i = 0; i < count; i++)
            Out(L"driver \"%ls\" environment \"%ls\" version %lu file \"%ls\" config \"%ls\" data \"%ls\"\n",
                Text(d[i].pName), Text(d[i].pEnvironment), d[i].cVersion, Text(d[i].pDriverPath),
                Text(d[i].pConfigFile), Text(d[i].pDataFile));
        HeapFree(GetProcessHeap(), 0, buffer);
    } else {
        rc = 1;
    }
    if (ports) {
        buffer = Enumerate(EnumPortList, 1, &count, L"EnumPortsW");
        if (buffer) {
            const PORT_INFO_1W *p = (const PORT_INFO_1W *)buffer;
            for (DWORD i = 0; i < count; i++)
                Out(L"port \"%ls\"\n", Text(p[i].pName));
            HeapFree(GetProcessHeap(), 0, buffer);
        } else {
            rc = 1;
        }
    }
    if (monitors) {
        buffer = Enumerate(EnumMonitorList, 1, &count, L"EnumMonitorsW");
        if (buffer) {
            const MONITOR_INFO_1W *m = (const MONITOR_INFO_1W *)buffer;
            for (DWORD i = 0; i < count; i++)
                Out(L"monitor \"%ls\"\n", Text(m[i].pName));
            HeapFree(GetProcessHeap(), 0, buffer);
        } else {
            rc = 1;
        }
    }
    return rc;
}
