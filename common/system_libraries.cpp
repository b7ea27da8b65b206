#include "common/system_libraries.h"

#include <windows.h>
#include <strsafe.h>

#define LIBRARY_PATH_CCH 260

typedef BOOL(WINAPI *SetDefaultDllDirectoriesFunction)(DWORD directoryFlags);

// The program's delay-loaded imports (PRODUCT_DELAY_DLLS of the build). Once
// a library is loaded, the delay-load helper's own load by name finds it.
static const WCHAR *const DelayLoadedLibraries[] = {L"winspool.drv", L"newdev.dll", L"comctl32.dll"};

static BOOL SearchRestricted = FALSE;

BOOL RestrictDllSearch(void) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    SetDefaultDllDirectoriesFunction setDefaultDllDirectories = NULL;

    if (kernel != NULL)
        setDefaultDllDirectories = (SetDefaultDllDirectoriesFunction)(void (*)(void))GetProcAddress(
            kernel, "SetDefaultDllDirectories");
    if (setDefaultDllDirectories != NULL && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        SearchRestricted = TRUE;
        return TRUE;
    }
    SearchRestricted = FALSE;
    SetDllDirectoryW(L"");
    return FALSE;
}

// One library from System32: by name where the search is restricted,
// otherwise by its full path, with its own dependencies looked for beside it
// rather than beside the program.
static HMODULE LoadSystemLibrary(const WCHAR *name) {
    WCHAR path[LIBRARY_PATH_CCH];
    UINT length;

    if (SearchRestricted)
        return LoadLibraryExW(name, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    length = GetSystemDirectoryW(path, LIBRARY_PATH_CCH);
    if (length == 0 || length >= LIBRARY_PATH_CCH)
        return NULL;
    if (FAILED(StringCchCatW(path, LIBRARY_PATH_CCH, L"\\")) || FAILED(StringCchCatW(path, LIBRARY_PATH_CCH, name)))
        return NULL;
    return LoadLibraryExW(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

BOOL LoadSystemLibraries(void) {
    size_t i;

    for (i = 0; i < sizeof(DelayLoadedLibraries) / sizeof(DelayLoadedLibraries[0]); i++)
        if (LoadSystemLibrary(DelayLoadedLibraries[i]) == NULL)
            return FALSE;
    return TRUE;
}
