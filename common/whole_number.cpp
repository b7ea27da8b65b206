#include "common/whole_number.h"

#include <windows.h>

BOOL ReadWholeNumber(const WCHAR *text, DWORD maximum, DWORD *value) {
    DWORD number = 0;
    const WCHAR *p;

    if (text[0] == 0)
        return FALSE;
    for (p = text; *p != 0; p++) {
        if (*p < L'0' || *p > L'9' || number > (maximum - (DWORD)(*p - L'0')) / 10)
            return FALSE;
        number = number * 10 + (DWORD)(*p - L'0');
    }
    *value = number;
    return TRUE;
}
