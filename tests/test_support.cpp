#include "tests/test_support.h"

#include <commctrl.h>
#include <strsafe.h>
#include <string.h>

#include "common/globals.h"
#include "common/log_file.h"
#include "install/discovery.h"
#include "install/install_window.h"
#include "uninstall/inventory.h"

void ResetProductGlobals() {
    ModuleInstance = NULL;
    memset(InstallDir, 0, sizeof(InstallDir));
    memset(InfPath, 0, sizeof(InfPath));
    memset(InstallText, 0, sizeof(InstallText));
    memset(LogFilePath, 0, sizeof(LogFilePath));
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

sim::Process RunProgramWindow(int templateId, DLGPROC procedure, const std::wstring &folder, uint64_t timeLimit,
                              const std::wstring &image, const std::function<void()> &after) {
    return sim::RunInProcess(
        [=] {
            ModuleInstance = GetModuleHandleW(NULL);
            StringCchCopyW(InstallDir, INSTALL_DIR_CCH, folder.c_str());
            INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_TREEVIEW_CLASSES | ICC_PROGRESS_CLASS};
            InitCommonControlsEx(&classes);
            DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(templateId), NULL, procedure, 0);
            if (after)
                after();
        },
        timeLimit, image);
}
