// Where the program's DLLs come from, and how it reaches the functions of
// those that are not known DLLs.
//
// The program runs elevated, often from a Downloads folder, and Windows looks
// for a DLL that is not one of its "known DLLs" in the program's own folder
// first. Only known DLLs are imported statically. The other system libraries
// (the spooler's client, the device installer, the common controls) are not
// imported at all: start-up loads them from System32 and looks up every
// function the program uses from them in one table per library (wintrust.dll
// too, which checks the signature of what the program starts). The program
// calls those functions only through the tables (Winspool.OpenPrinterW(...)),
// and links with no import library of theirs, so a direct call cannot even
// link, and a function that cannot be found ends start-up before anything
// runs: no slot is ever left empty.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <newdev.h>
#include <winspool.h>
#include <wintrust.h>

// The functions of each library, one F(name) each. The tables and their
// resolution are both made from these lists.
#define WINSPOOL_FUNCTIONS(F)                                                                                          \
    F(AddMonitorW)                                                                                                     \
    F(AddPrinterDriverExW)                                                                                             \
    F(AddPrinterDriverW)                                                                                               \
    F(AddPrinterW)                                                                                                     \
    F(ClosePrinter)                                                                                                    \
    F(DeleteMonitorW)                                                                                                  \
    F(DeletePrinter)                                                                                                   \
    F(DeletePrinterDriverExW)                                                                                          \
    F(EnumMonitorsW)                                                                                                   \
    F(EnumPortsW)                                                                                                      \
    F(EnumPrinterDriversW)                                                                                             \
    F(EnumPrintersW)                                                                                                   \
    F(GetPrinterDriverDirectoryW)                                                                                      \
    F(GetPrinterW)                                                                                                     \
    F(OpenPrinterW)                                                                                                    \
    F(SetPrinterW)                                                                                                     \
    F(UploadPrinterDriverPackageW)
// Windows has these as well, but other implementations of the library may
// not (Wine's winspool.drv lacks DeletePrinterDriverPackageW): a missing one
// leaves its member NULL instead of ending start-up, and its caller checks.
#define WINSPOOL_OPTIONAL_FUNCTIONS(F) F(DeletePrinterDriverPackageW)
#define NEWDEV_FUNCTIONS(F) F(UpdateDriverForPlugAndPlayDevicesW)
#define COMCTL32_FUNCTIONS(F) F(InitCommonControlsEx)
#define WINTRUST_FUNCTIONS(F)                                                                                          \
    F(WinVerifyTrust)                                                                                                  \
    F(WTHelperGetProvCertFromChain)                                                                                    \
    F(WTHelperGetProvSignerFromChain)                                                                                  \
    F(WTHelperProvDataFromStateData)

// A table member: a pointer of the function's own type, under its own name.
#define SYSTEM_FUNCTION_POINTER(name) decltype(&::name) name;

typedef struct WinspoolFunctions {
    WINSPOOL_FUNCTIONS(SYSTEM_FUNCTION_POINTER)
    WINSPOOL_OPTIONAL_FUNCTIONS(SYSTEM_FUNCTION_POINTER)
} WinspoolFunctions;

typedef struct NewdevFunctions {
    NEWDEV_FUNCTIONS(SYSTEM_FUNCTION_POINTER)
} NewdevFunctions;

typedef struct Comctl32Functions {
    COMCTL32_FUNCTIONS(SYSTEM_FUNCTION_POINTER)
} Comctl32Functions;

typedef struct WintrustFunctions {
    WINTRUST_FUNCTIONS(SYSTEM_FUNCTION_POINTER)
} WintrustFunctions;

// winspool.drv, newdev.dll, comctl32.dll and wintrust.dll; filled by
// LoadSystemLibraries.
extern WinspoolFunctions Winspool;
extern NewdevFunctions Newdev;
extern Comctl32Functions Comctl32;
extern WintrustFunctions Wintrust;

// Restricts the DLL search of this process to System32. The first thing
// start-up does. Returns FALSE where SetDefaultDllDirectories does not exist
// (Windows 7 without KB2533623): the current directory is then taken out of
// the search, and LoadSystemLibraries loads by full path.
BOOL RestrictDllSearch(void);

// Loads the four libraries from System32 and fills their tables. FALSE, with
// the last error of the failed load or lookup, when a library cannot be
// loaded or lacks a function that is not optional: the tables are then left
// as they were, and the program must end without calling any.
BOOL LoadSystemLibraries(void);
