// Names of the files of the driver package that lies beside the program.
#pragma once

// In the install folder.
#define PACKAGE_INF_NAME L"crvnv6.inf"
#define UNINSTALLER_BASE_NAME L"unins000"
#define UNINSTALLER_FILE_NAME L"unins000.exe"

// In each processor architecture's folder; the monitor DLL also goes into the
// system directory.
#define DRIVER_DLL_NAME L"crvndrv6.dll"
#define CONFIG_DLL_NAME L"crvndrv6ui.dll"
#define MONITOR_DLL_NAME L"crvnmon.dll"

// In the "dat" folder.
#define DRIVER_DATA_FILE_NAME L"crvndrv6.dat"

// The language monitor that MONITOR_DLL_NAME provides.
#define LANGUAGE_MONITOR_NAME L"Language Monitor"
