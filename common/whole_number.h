// Reading a whole number from a command-line argument.
#pragma once

#include <windows.h>

// A whole number in decimal digits alone, at most maximum; FALSE for anything
// else (a sign, a blank, a fraction, an empty text, a larger number).
BOOL ReadWholeNumber(const WCHAR *text, DWORD maximum, DWORD *value);
