#include "common/native_system.h"

#include <windows.h>
#include <string.h>
#include <strsafe.h>

#define WINDOWS_DIRECTORY_CCH 260

typedef BOOL(WINAPI *IsWow64Process2Function)(HANDLE process, USHORT *processMachine, USHORT *nativeMachine);

static const NativeArchitecture Architectures[] = {
    {PROCESSOR_ARCHITECTURE_INTEL, IMAGE_FILE_MACHINE_I386, L"i386", L"Windows NT x86", NULL},
    {PROCESSOR_ARCHITECTURE_ARM, IMAGE_FILE_MACHINE_ARMNT, L"arm", L"Windows ARM", NULL},
    {PROCESSOR_ARCHITECTURE_AMD64, IMAGE_FILE_MACHINE_AMD64, L"amd64", L"Windows x64", L"amd64\\crvnpnp.exe"},
    {PROCESSOR_ARCHITECTURE_ARM64, IMAGE_FILE_MACHINE_ARM64, L"arm64", L"Windows ARM64", L"arm64\\crvnpnp.exe"},
};

#define ARCHITECTURE_COUNT (sizeof(Architectures) / sizeof(Architectures[0]))

// IsWow64Process2 (Windows 10 version 1511 and later) names the machine and
// this process truly: the process's machine is IMAGE_FILE_MACHINE_UNKNOWN
// unless it runs under WOW64. FALSE where the call does not exist or fails.
static BOOL ReadMachines(USHORT *processMachine, USHORT *nativeMachine) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    IsWow64Process2Function isWow64Process2 = NULL;

    if (kernel != NULL)
        isWow64Process2 = (IsWow64Process2Function)(void (*)(void))GetProcAddress(kernel, "IsWow64Process2");
    return isWow64Process2 != NULL && isWow64Process2(GetCurrentProcess(), processMachine, nativeMachine);
}

const NativeArchitecture *GetNativeArchitecture(void) {
    SYSTEM_INFO info;
    USHORT process = 0;
    USHORT machine = 0;
    size_t i;

    // GetNativeSystemInfo does not always name the machine: an x86 process
    // on Windows 11 on ARM64 is told AMD64, since that system emulates x64 too.
    if (ReadMachines(&process, &machine)) {
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

BOOL ReadWow64(BOOL *wow64) {
    USHORT process = 0;
    USHORT machine = 0;

    // IsWow64Process answers FALSE for an x86 process on ARM64, which runs
    // under WOW64 all the same; it is asked only where IsWow64Process2 does
    // not exist (before Windows 10, which never runs on ARM64).
    if (ReadMachines(&process, &machine)) {
        *wow64 = process != IMAGE_FILE_MACHINE_UNKNOWN;
        return TRUE;
    }
    return IsWow64Process(GetCurrentProcess(), wow64);
}

BOOL GetNativeSystemDirectory(WCHAR *directory, UINT capacity) {
    WCHAR windows[WINDOWS_DIRECTORY_CCH];
    BOOL wow64 = FALSE;
    UINT length;

    // Without an answer the directory is not known: System32 could mean
    // SysWOW64.
    if (!ReadWow64(&wow64))
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

BOOL IsWindowStationInteractive(void) {
    USEROBJECTFLAGS flags;
    HWINSTA station;
    DWORD needed = 0;
    DWORD session = 1;

    // Session 0 holds the services since Windows Vista, and nobody logs on
    // to it: whatever its window station says (a service allowed to interact
    // with the desktop has a visible one), no person sees a window there.
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0)
        return FALSE;
    station = GetProcessWindowStation();
    memset(&flags, 0, sizeof(flags));
    if (station == NULL || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed))
        return TRUE;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}
