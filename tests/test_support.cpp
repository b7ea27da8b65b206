#include "tests/test_support.h"

#include <string.h>

#include "common/globals.h"
#include "install/discovery.h"
#include "install/install_window.h"
#include "uninstall/inventory.h"

void ResetProductGlobals() {
    ModuleInstance = NULL;
    memset(InstallDir, 0, sizeof(InstallDir));
    memset(InfPath, 0, sizeof(InfPath));
    memset(InstallText, 0, sizeof(InstallText));
    DiscoveredDevices = NULL;
    InstallIdleEvent = NULL;
    InstallWindowClosing = 0;
    PackageList = NULL;
    DriverEnumBuffer = NULL;
    PrinterEnumBuffer = NULL;
}

void SimTest::SetUp() {
    sim::Reset();
    ResetProductGlobals();
}

void SimTest::TearDown() {
    sim::Reset();
    ResetProductGlobals();
}
