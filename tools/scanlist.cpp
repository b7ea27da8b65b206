// scanlist: runs the installer's own USB printer scan and catalogue lookup
// once and prints every record the scan builds, newest first:
//   port "USB001" description "CorvaneLD-2040" serial "SN0001" vendor "3e8b"
//     checksum "1a2b" hardware-id "usbprint\corvaneld-20401a2b" model "Corvane LD-2040"
// (one line per record; model "" when the catalogue does not know it).
// Prints "records N" last and returns 0.
#include <windows.h>

#include "install/catalog.h"
#include "install/discovery.h"
#include "tool_output.h"

int wmain(void)
{
    DeviceRecord *head = NULL;
    int count = ScanUsbPrinters(&head);
    for (DeviceRecord *r = head; r != NULL; r = r->Next) {
        const CatalogEntry *entry = MatchCatalogEntry(r->PortDescription);
        WCHAR model[100] = L"";
        if (entry != NULL)
            StringCchPrintfW(model, ARRAYSIZE(model), L"%ls %ls", entry->Manufacturer, entry->Model);
        Out(L"port \"%ls\" description \"%ls\" serial \"%ls\" vendor \"%ls\" checksum \"%ls\" hardware-id \"%ls\" "
            L"model \"%ls\"\n",
            r->PortName, r->PortDescription, r->SerialNumber, r->VendorId, r->Checksum, r->HardwareId, model);
    }
    Out(L"records %d\n", count);
    FreeDeviceList(&head);
    return 0;
}
