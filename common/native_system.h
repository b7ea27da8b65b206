// The machine the program runs on, as opposed to what this process runs as.
//
// The product is a 32-bit program, and on 64-bit Windows it runs under
// WOW64: there the system answers it with its own 32-bit view (a null print
// environment means "Windows NT x86", System32 means SysWOW64). The driver,
// its files and the language monitor must nevertheless be those of the
// machine's own processor, so every such call names them explicitly.
#pragma once

#include <windows.h>

typedef struct NativeArchitecture {
    WORD ProcessorArchitecture;     // PROCESSOR_ARCHITECTURE_*
    USHORT ImageMachine;            // IMAGE_FILE_MACHINE_*
    const WCHAR *FolderName;        // the install folder's binaries for it
    const WCHAR *PrintEnvironment;  // the spooler's name for it
    // The program's own build for it in the install folder, which makes the
    // calls that WOW64 refuses the 32-bit program (install/pnp_handover.h);
    // NULL where the package has none.
    const WCHAR *NativeBuild;
} NativeArchitecture;

// The machine's own processor; NULL for one the product has no driver for.
const NativeArchitecture *GetNativeArchitecture(void);

// Whether this process runs under WOW64: a 32-bit program on 64-bit Windows,
// x64 or ARM64. FALSE when that cannot be told; *wow64 is then not set.
BOOL ReadWow64(BOOL *wow64);

// The print environment of the machine's own processor, or NULL (the
// caller's default) for a processor the product has no driver for.
WCHAR *NativePrintEnvironment(void);

// The machine's own system directory, without a trailing backslash: under
// WOW64 its "Sysnative" alias, since System32 would mean SysWOW64 there.
// FALSE when it cannot be read or does not fit.
BOOL GetNativeSystemDirectory(WCHAR *directory, UINT capacity);

// Whether a person can see this process's windows: it does not run in
// session 0, where deployment tools run programs as the system account and
// nobody logs on, and its window station is interactive (WSF_VISIBLE). TRUE
// when it cannot be told.
BOOL IsWindowStationInteractive(void);
