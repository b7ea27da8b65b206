#include "common/system_libraries.h"

#include <windows.h>
#include <strsafe.h>

#define LIBRARY_PATH_CCH 260

typedef BOOL(WINAPI *SetDefaultDllDirectoriesFunction)(DWORD directoryFlags);

WinspoolFunctions Winspool;
NewdevFunctions Newdev;
Comctl32Functions Comctl32;
WintrustFunctions Wintrust;

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

// One function of a loaded library; NULL, with the lookup's error kept in
// *error, when the library does not export it.
static FARPROC FindFunction(HMODULE library, const char *name, DWORD *error) {
    FARPROC function = GetProcAddress(library, name);

    if (function == NULL && *error == ERROR_SUCCESS)
        *error = GetLastError();
    return function;
}

// Fills one member of a table being made from the library at hand. A
// function pointer of one type converts to another only through a cast;
// void (*)(void) says so to the compiler.
#define RESOLVE_WINSPOOL(name)                                                                                         \
    winspool.name = (decltype(winspool.name))(void (*)(void))FindFunction(library, #name, &error);
#define RESOLVE_WINSPOOL_OPTIONAL(name)                                                                                \
    winspool.name = (decltype(winspool.name))(void (*)(void))FindFunction(library, #name, &optionalError);
#define RESOLVE_NEWDEV(name) newdev.name = (decltype(newdev.name))(void (*)(void))FindFunction(library, #name, &error);
#define RESOLVE_COMCTL32(name)                                                                                         \
    comctl32.name = (decltype(comctl32.name))(void (*)(void))FindFunction(library, #name, &error);
#define RESOLVE_WINTRUST(name)                                                                                         \
    wintrust.name = (decltype(wintrust.name))(void (*)(void))FindFunction(library, #name, &error);

BOOL LoadSystemLibraries(void) {
    WinspoolFunctions winspool;
    NewdevFunctions newdev;
    Comctl32Functions comctl32;
    WintrustFunctions wintrust;
    HMODULE library;
    DWORD error = ERROR_SUCCESS;
    DWORD optionalError = ERROR_SUCCESS;

    if ((library = LoadSystemLibrary(L"winspool.drv")) == NULL)
        return FALSE;
    WINSPOOL_FUNCTIONS(RESOLVE_WINSPOOL)
    WINSPOOL_OPTIONAL_FUNCTIONS(RESOLVE_WINSPOOL_OPTIONAL)
    if ((library = LoadSystemLibrary(L"newdev.dll")) == NULL)
        return FALSE;
    NEWDEV_FUNCTIONS(RESOLVE_NEWDEV)
    if ((library = LoadSystemLibrary(L"comctl32.dll")) == NULL)
        return FALSE;
    COMCTL32_FUNCTIONS(RESOLVE_COMCTL32)
    if ((library = LoadSystemLibrary(L"wintrust.dll")) == NULL)
        return FALSE;
    WINTRUST_FUNCTIONS(RESOLVE_WINTRUST)
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    // The tables are filled whole or not at all.
    Winspool = winspool;
    Newdev = newdev;
    Comctl32 = comctl32;
    Wintrust = wintrust;
    return TRUE;
}
