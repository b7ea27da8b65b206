// Shell functions of the simulated Windows.
#pragma once

#include <windows.h>

// --- Command line ------------------------------------------------------------

// Splits a command line into arguments with the rules of Windows' shell32:
// the first token is read as a program name (up to the next quote when it
// starts with one, else up to the first blank; backslashes are ordinary), the
// others with the backslash and quote rules. An empty line gives one token,
// the current program's path. The result is one LocalAlloc block (the pointer
// array, NULL-terminated, followed by the strings), freed with LocalFree.
LPWSTR *WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int *pNumArgs);
