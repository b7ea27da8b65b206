// dllprobe.exe NAME...: loads each DLL by its plain name, as a program that
// imports it would, and prints the file the loader took:
//   loaded "newdev.dll" from "C:\...\newdev.dll"
// The end-to-end suite uses it to show that a DLL planted beside a program is
// what the loader picks, unless the program restricts its DLL search.
#include <windows.h>

#include "tool_output.h"

int wmain(int argc, wchar_t **argv) {
    int failures = 0;

    for (int i = 1; i < argc; i++) {
        WCHAR path[MAX_PATH] = L"";
        HMODULE module = LoadLibraryW(argv[i]);
        if (module == NULL) {
            Out(L"not loaded \"%ls\" error %lu\n", argv[i], GetLastError());
            failures++;
            continue;
        }
        GetModuleFileNameW(module, path, MAX_PATH);
        Out(L"loaded \"%ls\" from \"%ls\"\n", argv[i], path);
    }
    return failures;
}
