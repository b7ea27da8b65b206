// The system's words for the error numbers a log line carries.
#pragma once

#include <windows.h>

// Copies text to out (of cch characters) with the system's message, in
// parentheses, after each number that follows a word ending in "code",
// "error", "erreur" or "errore" (and an optional colon), unless the number
// is explained already by a parenthesis right after it. A number is decimal,
// negative for an HRESULT printed signed, or hexadecimal after "0x"; 0 and a
// number the system has no message for are left as they are. FALSE, with out
// left undefined, when the text has no such number or the result does not
// fit: the caller keeps text as it is. The last error is left as it was.
BOOL DescribeErrorNumbers(const WCHAR *text, WCHAR *out, size_t cch);

// The system's message for code into text (of cch characters), without its
// line break; FALSE when the system has none. An HRESULT that carries a
// Win32 error reads as that error.
BOOL ReadErrorMessage(DWORD code, WCHAR *text, size_t cch);
