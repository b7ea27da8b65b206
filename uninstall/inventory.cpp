// The inventory of the product's packages, drivers and queues.
#include "uninstall/inventory.h"

PackageNode *PackageList;
BYTE *DriverEnumBuffer;
BYTE *PrinterEnumBuffer;

// Until the inventory is built, nothing counts as installed.
BOOL IsProductInstalled(void) { return FALSE; }
