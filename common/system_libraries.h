// Where the program's DLLs come from.
//
// The program runs elevated, often from a Downloads folder, and Windows looks
// for a DLL that is not one of its "known DLLs" in the program's own folder
// first. Only known DLLs are imported statically; the other system libraries
// (the spooler's client, the device installer, the common controls) are
// delay-loaded, and start-up loads them from System32 before anything calls
// them.
#pragma once

#include <windows.h>

// Restricts the DLL search of this process to System32. The first thing
// start-up does. Returns FALSE where SetDefaultDllDirectories does not exist
// (Windows 7 without KB2533623): the current directory is then taken out of
// the search, and LoadSystemLibraries loads by full path.
BOOL RestrictDllSearch(void);

// Loads the delay-loaded system libraries from System32. FALSE when one of
// them cannot be loaded: the program must then end before it calls one.
BOOL LoadSystemLibraries(void);
