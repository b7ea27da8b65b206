/* Stand-in for the printer maker's configuration DLL ("crvndrv6ui.dll"), the
 * printer interface DLL that the spooler loads for a queue's document
 * settings. Like the other stand-ins it is not a driver, but it exports the
 * interface entry points with their minimal, documented answers, because a
 * spooler may call them while a queue is added: Wine's AddPrinterW, given no
 * DEVMODE, asks DrvDocumentPropertySheets for the default one without
 * checking that the export exists. No property sheets are offered. */
#include <windows.h>

/* The WDK's DOCUMENTPROPERTYHEADER (winddiui.h), which mingw-w64 lacks. */
typedef struct StandInDocumentHeader {
    WORD cbSize;
    WORD Reserved;
    HANDLE hPrinter;
    LPWSTR pszPrinterName;
    DEVMODEW *pdmIn;
    DEVMODEW *pdmOut;
    DWORD cbOut;
    DWORD fMode;
} StandInDocumentHeader;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}

/* Without a property-sheet request (first argument null): the size of the
 * DEVMODEW, or, with an output buffer, the default settings in it. */
__declspec(dllexport) LONG WINAPI DrvDocumentPropertySheets(void *sheetInfo, LPARAM lParam)
{
    StandInDocumentHeader *header = (StandInDocumentHeader *)lParam;
    if (sheetInfo != NULL || header == NULL)
        return -1;
    if (header->fMode == 0 || header->pdmOut == NULL) {
        header->cbOut = sizeof(DEVMODEW);
        return (LONG)header->cbOut;
    }
    DEVMODEW *dm = header->pdmOut;
    ZeroMemory(dm, sizeof(*dm));
    if (header->pszPrinterName != NULL)
        lstrcpynW(dm->dmDeviceName, header->pszPrinterName, CCHDEVICENAME);
    dm->dmSpecVersion = DM_SPECVERSION;
    dm->dmSize = sizeof(DEVMODEW);
    dm->dmFields = DM_ORIENTATION | DM_COPIES;
    dm->dmOrientation = DMORIENT_PORTRAIT;
    dm->dmCopies = 1;
    return IDOK;
}

__declspec(dllexport) LONG WINAPI DrvDevicePropertySheets(void *sheetInfo, LPARAM lParam)
{
    (void)sheetInfo;
    (void)lParam;
    return -1;
}

/* No capability is reported. */
__declspec(dllexport) DWORD WINAPI DrvDeviceCapabilities(HANDLE printer, LPWSTR deviceName, WORD capability,
                                                        void *output, DEVMODEW *devMode)
{
    (void)printer;
    (void)deviceName;
    (void)capability;
    (void)output;
    (void)devMode;
    return 0;
}
