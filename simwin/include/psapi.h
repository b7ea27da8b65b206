// Process status of the simulated Windows (kernel32's K32 functions).
#pragma once

#include <windows.h>

DWORD WINAPI K32GetMappedFileNameW(HANDLE hProcess, LPVOID lpv, LPWSTR lpFilename, DWORD nSize);
