// Interim answers until the loader and WOW64 models land.
#include <windows.h>

#include "kernel.h"

HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL WINAPI IsWow64Process(HANDLE, PBOOL wow64Process) {
    SIM_ENTER("IsWow64Process", FALSE);
    *wow64Process = simk::IsWow64() ? TRUE : FALSE;
    return TRUE;
}

UINT WINAPI GetSystemWindowsDirectoryW(LPWSTR buffer, UINT size) {
    SIM_ENTER("GetSystemWindowsDirectoryW", 0);
    const wchar_t text[] = L"C:\\Windows";
    UINT length = sizeof(text) / sizeof(text[0]) - 1;
    if (size <= length)
        return length + 1;
    for (UINT i = 0; i <= length; i++)
        buffer[i] = text[i];
    return length;
}
