#include "common/native_system.h"

#include <windows.h>
#include <string.h>
#include <strsafe.h>

#define WINDOWS_DIRECTORY_CCH 260

typedef BOOL(WINAPI *IsWow64Process2Function)(HANDLE process, USHORT *processMachine, USHORT *nativeMachine);

static const NativeArchitecture Architectures[] = {
    {PROCESSOR_ARCHITECTURE_INTEL, IMAGE_FILE_MACHINE_I386, L"i386", L"Windows NT x86"},
    {PROCESSOR_ARCHITECTURE_ARM, IMAGE_FILE_MACHINE_ARMNT, L"arm", L"Windows ARM"},
    {PROCESSOR_ARCHITECTURE_AMD64, IMAGE_FILE_MACHINE_AMD64, L"amd64", L"Windows x64"},
    {PROCESSOR_ARCHITECTURE_ARM64, IMAGE_FILE_MACHINE_ARM64, L"arm64", L"Windows ARM64"},
};

#define ARCHITECTURE_COUNT (sizeof(Architectures) / sizeof(Architectures[0]))

// IsWow64Process2 (Windows 10 version 1511 and later) names the machine
// truly. GetNativeSystemInfo does not always: an x86 process on Windows 11
// on ARM64 is told AMD64, since that system emulates x64 as well.
static BOOL ReadNativeMachine(USHORT *machine) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    IsWow64Process2Function isWow64Process2 = NULL;
    USHORT processMachine = 0;

    if (kernel != NULL)
        isWow64Process2 = (IsWow64Process2Function)(void (*)(void))GetProcAddress(kernel, "IsWow64Process2");
    return isWow64Process2 != NULL && isWow64Process2(GetCurrentProcess(), &processMachine, machine);
}

const NativeArchitecture *GetNativeArchitecture(void) {
    SYSTEM_INFO info;
    USHORT machine = 0;
    size_t i;

    if (ReadNativeMachine(&machine)) {
        for (i = 0; i < ARCHITECTURE_COUNT; i++)
            if (Architectures[i].ImageMachine == machine)
                return &Architectures[i];
        return NULL;
    }
    memset(&info, 0, sizeof(info));
    GetNativeSystemInfo(&info);
    for (i = 0; i < ARCHITECTURE_COUNT; i++)
        if (Architectures[i].ProcessorArchitecture == info.wProcessorArchitecture)
            return &Architectures[i];
    return NULL;
}

WCHAR *NativePrintEnvironment(void) {
    const NativeArchitecture *architecture = GetNativeArchitecture();

    return architecture != NULL ? (WCHAR *)architecture->PrintEnvironment : NULL;
}

BOOL GetNativeSystemDirectory(WCHAR *directory, UINT capacity) {
    WCHAR windows[WINDOWS_DIRECTORY_CCH];
    BOOL wow64 = FALSE;
    UINT length;

    // Without the answer the directory is not known: guessing System32 could
    // mean SysWOW64.
    if (!IsWow64Process(GetCurrentProcess(), &wow64))
        return FALSE;
    if (wow64) {
        length = GetSystemWindowsDirectoryW(windows, WINDOWS_DIRECTORY_CCH);
        if (length == 0 || length >= WINDOWS_DIRECTORY_CCH)
            return FALSE;
        return SUCCEEDED(StringCchPrintfW(directory, capacity, L"%ws\\Sysnative", windows));
    }
    length = GetSystemDirectoryW(directory, capacity);
    return length != 0 && length < capacity;
}
