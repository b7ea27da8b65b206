// The system's words for the error numbers a log line carries.
#include "common/error_text.h"

#include <windows.h>
#include <strsafe.h>
#include <wchar.h>
#include <wctype.h>

#define MESSAGE_CCH 320
#define WORD_CCH 16
// HRESULT_FROM_WIN32's facility and severity.
#define WIN32_HRESULT_MASK 0xFFFF0000UL
#define WIN32_HRESULT_BITS 0x80070000UL

BOOL ReadErrorMessage(DWORD code, WCHAR *text, size_t cch) {
    DWORD length;

    if (cch == 0 || cch > 0xFFFF)
        return FALSE;
    length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, text,
                            (DWORD)cch, NULL);
    if (length == 0 && (code & WIN32_HRESULT_MASK) == WIN32_HRESULT_BITS)
        length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code & 0xFFFF, 0,
                                text, (DWORD)cch, NULL);
    if (length == 0 || length >= cch)
        return FALSE;
    // The system's messages end with a line break, some with a blank too.
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' '))
        length--;
    text[length] = 0;
    return length > 0;
}

// Whether the word that ends at text[end] (exclusive) names an error number.
static BOOL NamesErrorNumber(const WCHAR *text, size_t end) {
    static const WCHAR *const endings[] = {L"code", L"error", L"erreur", L"errore"};
    WCHAR word[WORD_CCH];
    size_t start = end;
    size_t i;
    size_t length;

    while (start > 0 && iswalpha(text[start - 1]) && end - start < WORD_CCH - 1)
        start--;
    for (i = 0; i < end - start; i++)
        word[i] = (WCHAR)towlower(text[start + i]);
    word[end - start] = 0;
    for (i = 0; i < sizeof(endings) / sizeof(endings[0]); i++) {
        length = wcslen(endings[i]);
        if (end - start >= length && wcscmp(word + (end - start - length), endings[i]) == 0)
            return TRUE;
    }
    return FALSE;
}

// Reads the number at text[*at] (decimal, signed, or "0x" hexadecimal) and
// moves *at past it; FALSE, with *at unmoved, where there is none.
static BOOL ReadNumber(const WCHAR *text, size_t *at, DWORD *number) {
    const WCHAR *start = text + *at;
    WCHAR *end = NULL;
    unsigned long value;

    if (start[0] == L'0' && (start[1] == L'x' || start[1] == L'X') && iswxdigit(start[2]))
        value = wcstoul(start + 2, &end, 16);
    else if (start[0] == L'-' && iswdigit(start[1]))
        value = (unsigned long)wcstol(start, &end, 10);
    else if (iswdigit(start[0]))
        value = wcstoul(start, &end, 10);
    else
        return FALSE;
    *number = (DWORD)value;
    *at = (size_t)(end - text);
    return TRUE;
}

BOOL DescribeErrorNumbers(const WCHAR *text, WCHAR *out, size_t cch) {
    WCHAR message[MESSAGE_CCH];
    DWORD savedError = GetLastError();
    size_t copied = 0;
    size_t at = 0;
    size_t wordEnd;
    size_t numberEnd;
    size_t length;
    DWORD number;
    BOOL described = FALSE;

    out[0] = 0;
    while (text[at] != 0) {
        if (!iswalpha(text[at]) || iswalpha(text[at + 1])) {
            at++;
            continue;
        }
        wordEnd = ++at;
        while (text[at] == L':' || text[at] == L' ')
            at++;
        numberEnd = at;
        if (!NamesErrorNumber(text, wordEnd) || !ReadNumber(text, &numberEnd, &number)) {
            at = wordEnd;
            continue;
        }
        at = numberEnd;
        if (number == 0 || (text[at] == L' ' && text[at + 1] == L'(') || text[at] == L'(' ||
            !ReadErrorMessage(number, message, MESSAGE_CCH))
            continue;
        length = wcslen(out);
        if (length >= cch || FAILED(StringCchCopyNW(out + length, cch - length, text + copied, at - copied)) ||
            FAILED(StringCchCatW(out, cch, L" (")) ||
            FAILED(StringCchCatW(out, cch, message)) || FAILED(StringCchCatW(out, cch, L")"))) {
            SetLastError(savedError);
            return FALSE;
        }
        copied = at;
        described = TRUE;
    }
    if (described && FAILED(StringCchCatW(out, cch, text + copied)))
        described = FALSE;
    SetLastError(savedError);
    return described;
}
