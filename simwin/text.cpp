// Text functions of the simulated Windows: the formatting engine behind
// wsprintfW and the strsafe printf functions, the strsafe copy and length
// functions, code-page conversions, the lstr* and CharLower helpers,
// CommandLineToArgvW and _wsplitpath_s.
//
// Choices where Windows leaves room or differs between versions:
// - One formatting engine serves two dialects. The C runtime's (strsafe):
//   flags - + blank # 0, '*' for width and precision, sizes h hh l ll I I32
//   I64 w; a '0' flag also pads strings with zeros, as the Microsoft C
//   runtime does; an unsupported conversion (floating point, %n, %z...) makes
//   the call fail, with a note on stderr, instead of printing something that
//   the real runtime would not. user32's (wsprintfW): only the flags - # 0 in
//   that order, no '*', no hh/ll, a string precision of 0 means no limit;
//   an unknown conversion drops the '%' and the characters up to the unknown
//   one, which is printed as text (Wine's user32 is the model here).
// - strsafe follows mingw-w64's header, which the Windows builds compile
//   with: an invalid cchDest leaves the destination untouched.
// - Narrow strings and characters inside wide formats (%hs, %S, %C) widen
//   byte by byte (each byte becomes the character of the same value).
// - lstrcmpW and lstrcmpiW order punctuation before digits before letters and,
//   for lstrcmpW, lower case before upper case when the strings differ only in
//   case, like Windows' word sort for ASCII text. Unlike Windows, hyphens and
//   apostrophes are not ignored and accented letters sort after z. Equality
//   is exact.
// - WideCharToMultiByte has no best-fit table: every character outside
//   Windows-1252 becomes the default character, with or without
//   WC_NO_BEST_FIT_CHARS. MB_COMPOSITE and WC_COMPOSITECHECK are accepted and
//   have no effect.
// - CommandLineToArgvW follows shell32, whose rules are older than (and differ
//   from) the 2008 C runtime's: in a quoted argument "" gives a literal quote
//   AND ends the quoted part; in general a run of quotes counts in threes
//   (Wine's conformance tests, run on Windows, pin this down).
#define STRSAFE_NO_DEPRECATE
#include <shellapi.h>
#include <strsafe.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "kernel.h"

// ============================================================================
// Formatting
// ============================================================================

namespace {

enum Dialect { kUser32, kCrt };

// Formatted characters go here: at most `cap` are stored, all are counted.
struct Out {
    WCHAR *buf;
    size_t cap;
    size_t len;
};

void Put(Out &o, WCHAR c) {
    if (o.len < o.cap)
        o.buf[o.len] = c;
    o.len++;
}

void PutRepeat(Out &o, WCHAR c, size_t n) {
    size_t stored = o.len < o.cap ? o.cap - o.len : 0;
    if (stored > n)
        stored = n;
    for (size_t i = 0; i < stored; i++)
        o.buf[o.len + i] = c;
    o.len += n;
}

enum Size { kSizeDefault, kSizeChar, kSizeShort, kSizeLong, kSize64, kSizePointer, kSizeWide };

struct Conversion {
    bool left = false;
    bool plus = false;
    bool blank = false;
    bool alt = false;
    bool zero = false;
    size_t width = 0;
    long precision = -1;  // -1: none given
    Size size = kSizeDefault;
};

const long kMaxField = 0x7FFFFFFF;

// One field: padding, prefix (sign, 0x), leading zeros, then the body, which
// is either wide or narrow text (narrow bytes widen to the same value).
struct Body {
    const WCHAR *wide;
    const char *narrow;
    size_t len;
};

void PutField(Out &o, const Conversion &s, const char *prefix, size_t zeros, const Body &body, bool zeroPadWidth) {
    size_t prefixLen = strlen(prefix);
    size_t content = prefixLen + zeros + body.len;
    size_t pad = s.width > content ? s.width - content : 0;
    if (!s.left && !zeroPadWidth)
        PutRepeat(o, L' ', pad);
    for (size_t i = 0; i < prefixLen; i++)
        Put(o, (WCHAR)prefix[i]);
    if (!s.left && zeroPadWidth)
        PutRepeat(o, L'0', pad);
    PutRepeat(o, L'0', zeros);
    for (size_t i = 0; i < body.len; i++)
        Put(o, body.wide ? body.wide[i] : (WCHAR)(unsigned char)body.narrow[i]);
    if (s.left)
        PutRepeat(o, L' ', pad);
}

void PutInteger(Out &o, const Conversion &s, WCHAR conv, uint64_t magnitude, bool negative, Dialect d) {
    unsigned base = (conv == L'o') ? 8 : (conv == L'x' || conv == L'X' || conv == L'p') ? 16 : 10;
    const char *digitSet = (conv == L'X' || conv == L'p') ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[24];
    size_t n = 0;
    do {
        reversed[n++] = digitSet[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);
    bool isZero = (n == 1 && reversed[0] == '0');
    char digits[24];
    for (size_t i = 0; i < n; i++)
        digits[i] = reversed[n - 1 - i];
    // The C runtime prints nothing for a zero with precision 0; user32 always
    // prints a digit.
    if (d == kCrt && s.precision == 0 && isZero)
        n = 0;

    const char *prefix = "";
    if (conv == L'd' || conv == L'i') {
        if (negative)
            prefix = "-";
        else if (s.plus)
            prefix = "+";
        else if (s.blank)
            prefix = " ";
    } else if (s.alt && (conv == L'x' || conv == L'X') && (d == kUser32 || !isZero)) {
        prefix = conv == L'x' ? "0x" : "0X";
    }

    size_t precision = s.precision < 0 ? 0 : (size_t)s.precision;
    if (conv == L'p')
        precision = 2 * sizeof(void *);
    if (conv == L'o' && s.alt && (n == 0 || digits[0] != '0') && precision < n + 1)
        precision = n + 1;
    size_t zeros = precision > n ? precision - n : 0;
    bool zeroPadWidth = s.zero && !s.left && (d == kUser32 || s.precision < 0);
    PutField(o, s, prefix, zeros, Body{nullptr, digits, n}, zeroPadWidth);
}

size_t BoundedLengthW(const WCHAR *p, long precision) {
    size_t n = 0;
    while ((precision < 0 || n < (size_t)precision) && p[n] != 0)
        n++;
    return n;
}

size_t BoundedLengthA(const char *p, long precision) {
    size_t n = 0;
    while ((precision < 0 || n < (size_t)precision) && p[n] != 0)
        n++;
    return n;
}

size_t ReadNumber(const WCHAR *&f) {
    size_t v = 0;
    while (*f >= L'0' && *f <= L'9') {
        v = v * 10 + (size_t)(*f - L'0');
        if (v > (size_t)kMaxField)
            v = (size_t)kMaxField;
        f++;
    }
    return v;
}

// Formats into o; returns false when the C runtime would reject the format.
bool Format(Out &o, const WCHAR *f, va_list args, Dialect d) {
    while (*f != 0) {
        if (*f != L'%') {
            Put(o, *f++);
            continue;
        }
        f++;
        if (*f == L'%') {
            Put(o, L'%');
            f++;
            continue;
        }

        Conversion s;
        if (d == kCrt) {
            for (;; f++) {
                if (*f == L'-')
                    s.left = true;
                else if (*f == L'+')
                    s.plus = true;
                else if (*f == L' ')
                    s.blank = true;
                else if (*f == L'#')
                    s.alt = true;
                else if (*f == L'0')
                    s.zero = true;
                else
                    break;
            }
        } else {
            if (*f == L'-') {
                s.left = true;
                f++;
            }
            if (*f == L'#') {
                s.alt = true;
                f++;
            }
            if (*f == L'0') {
                s.zero = true;
                f++;
            }
        }

        if (d == kCrt && *f == L'*') {
            int w = va_arg(args, int);
            if (w < 0) {
                s.left = true;
                w = (w == -2147483647 - 1) ? 2147483647 : -w;
            }
            s.width = (size_t)w;
            f++;
        } else {
            s.width = ReadNumber(f);
        }

        if (*f == L'.') {
            f++;
            if (d == kCrt && *f == L'*') {
                int p = va_arg(args, int);
                s.precision = p < 0 ? -1 : p;
                f++;
            } else {
                s.precision = (long)ReadNumber(f);
            }
        }

        if (*f == L'l') {
            f++;
            if (d == kCrt && *f == L'l') {
                s.size = kSize64;
                f++;
            } else {
                s.size = kSizeLong;
            }
        } else if (*f == L'h') {
            f++;
            if (d == kCrt && *f == L'h') {
                s.size = kSizeChar;
                f++;
            } else {
                s.size = kSizeShort;
            }
        } else if (*f == L'w') {
            s.size = kSizeWide;
            f++;
        } else if (*f == L'I') {
            if (f[1] == L'6' && f[2] == L'4') {
                s.size = kSize64;
                f += 3;
            } else if (f[1] == L'3' && f[2] == L'2') {
                s.size = kSizeLong;
                f += 3;
            } else {
                s.size = kSizePointer;
                f++;
            }
        }

        WCHAR conv = *f;
        switch (conv) {
        case L'd':
        case L'i': {
            int64_t v;
            if (s.size == kSize64)
                v = va_arg(args, long long);
            else if (s.size == kSizePointer)
                v = va_arg(args, intptr_t);
            else {
                int x = va_arg(args, int);
                if (d == kCrt && s.size == kSizeShort)
                    x = (short)x;
                else if (s.size == kSizeChar)
                    x = (signed char)x;
                v = x;
            }
            bool negative = v < 0;
            uint64_t magnitude = negative ? 0 - (uint64_t)v : (uint64_t)v;
            PutInteger(o, s, conv, magnitude, negative, d);
            break;
        }
        case L'u':
        case L'x':
        case L'X':
        case L'o': {
            uint64_t v;
            if (s.size == kSize64)
                v = va_arg(args, unsigned long long);
            else if (s.size == kSizePointer)
                v = va_arg(args, uintptr_t);
            else {
                unsigned x = va_arg(args, unsigned);
                if (d == kCrt && s.size == kSizeShort)
                    x = (unsigned short)x;
                else if (s.size == kSizeChar)
                    x = (unsigned char)x;
                v = x;
            }
            PutInteger(o, s, conv, v, false, d);
            break;
        }
        case L'p': {
            uintptr_t v = (uintptr_t)va_arg(args, void *);
            Conversion plain = s;
            plain.alt = false;
            PutInteger(o, plain, conv, v, false, d);
            break;
        }
        case L's':
        case L'S': {
            // In the wide functions %s is wide unless 'h' says otherwise, %S
            // narrow unless 'l' or 'w' says otherwise.
            bool wide = conv == L's' ? s.size != kSizeShort : (s.size == kSizeLong || s.size == kSizeWide);
            bool zeroPad = d == kCrt && s.zero && !s.left;
            long limit = (d == kUser32 && s.precision == 0) ? -1 : s.precision;  // user32: ".0" is no limit
            if (wide) {
                const WCHAR *p = va_arg(args, const WCHAR *);
                if (p == nullptr)
                    p = L"(null)";
                PutField(o, s, "", 0, Body{p, nullptr, BoundedLengthW(p, limit)}, zeroPad);
            } else {
                const char *p = va_arg(args, const char *);
                if (p == nullptr)
                    p = "(null)";
                PutField(o, s, "", 0, Body{nullptr, p, BoundedLengthA(p, limit)}, zeroPad);
            }
            break;
        }
        case L'c':
        case L'C': {
            bool wide = conv == L'c' ? s.size != kSizeShort : (s.size == kSizeLong || s.size == kSizeWide);
            int x = va_arg(args, int);
            WCHAR ch = wide ? (WCHAR)x : (WCHAR)(unsigned char)x;
            bool zeroPad = d == kCrt && s.zero && !s.left;
            PutField(o, s, "", 0, Body{&ch, nullptr, 1}, zeroPad);
            break;
        }
        default:
            if (d == kUser32)
                continue;  // the unknown character is printed as text
            fprintf(stderr, "simwin: unsupported conversion '%lc' in format \"%ls\"\n", (wint_t)conv, f);
            return false;
        }
        f++;
    }
    return true;
}

const size_t kWsprintfMax = 1024;  // characters, terminator included

int FormatUser32(LPWSTR buffer, LPCWSTR format, va_list args) {
    if (buffer == nullptr || format == nullptr)
        return 0;
    Out o{buffer, kWsprintfMax - 1, 0};
    Format(o, format, args, kUser32);
    size_t n = o.len < o.cap ? o.len : o.cap;
    buffer[n] = 0;
    return (int)n;
}

}  // namespace

int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR format, ...) {
    SIM_ENTER("wsprintfW", 0);
    va_list args;
    va_start(args, format);
    int n = FormatUser32(buffer, format, args);
    va_end(args);
    return n;
}

int WINAPI wvsprintfW(LPWSTR buffer, LPCWSTR format, va_list args) {
    SIM_ENTER("wvsprintfW", 0);
    va_list copy;
    va_copy(copy, args);
    int n = FormatUser32(buffer, format, copy);
    va_end(copy);
    return n;
}

// ============================================================================
// strsafe (inline functions in the SDK's header, so not logged as calls)
// ============================================================================

HRESULT StringCchVPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat, va_list argList) {
    if (pszDest == nullptr || cchDest == 0 || cchDest > STRSAFE_MAX_CCH)
        return STRSAFE_E_INVALID_PARAMETER;
    if (pszFormat == nullptr) {
        pszDest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    size_t cchMax = cchDest - 1;
    Out o{pszDest, cchMax, 0};
    va_list copy;
    va_copy(copy, argList);
    bool ok = Format(o, pszFormat, copy, kCrt);
    va_end(copy);
    if (!ok || o.len > cchMax) {
        pszDest[o.len < cchMax ? o.len : cchMax] = 0;
        return STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    pszDest[o.len] = 0;
    return S_OK;
}

HRESULT StringCchPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = StringCchVPrintfW(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}

// Copies at most cchToCopy characters of pszSrc (all of it for SIZE_MAX);
// a source that does not fit is cut to cchDest - 1 characters.
static HRESULT CopyBounded(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc, size_t cchToCopy) {
    size_t i = 0;
    while (i < cchDest && i < cchToCopy && pszSrc[i] != 0) {
        pszDest[i] = pszSrc[i];
        i++;
    }
    if (i == cchDest) {
        pszDest[cchDest - 1] = 0;
        return STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    pszDest[i] = 0;
    return S_OK;
}

HRESULT StringCchCopyW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc) {
    if (cchDest == 0 || cchDest > STRSAFE_MAX_CCH)
        return STRSAFE_E_INVALID_PARAMETER;
    return CopyBounded(pszDest, cchDest, pszSrc, SIZE_MAX);
}

HRESULT StringCchCopyNW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc, size_t cchToCopy) {
    if (cchDest == 0 || cchDest > STRSAFE_MAX_CCH || cchToCopy > STRSAFE_MAX_CCH)
        return STRSAFE_E_INVALID_PARAMETER;
    return CopyBounded(pszDest, cchDest, pszSrc, cchToCopy);
}

HRESULT StringCchLengthW(STRSAFE_LPCWSTR psz, size_t cchMax, size_t *pcchLength) {
    HRESULT hr = S_OK;
    size_t n = 0;
    if (psz == nullptr || cchMax > STRSAFE_MAX_CCH) {
        hr = STRSAFE_E_INVALID_PARAMETER;
    } else {
        while (n < cchMax && psz[n] != 0)
            n++;
        if (n == cchMax)
            hr = STRSAFE_E_INVALID_PARAMETER;
    }
    if (pcchLength != nullptr)
        *pcchLength = SUCCEEDED(hr) ? n : 0;
    return hr;
}

HRESULT StringCchLengthA(STRSAFE_LPCSTR psz, size_t cchMax, size_t *pcchLength) {
    HRESULT hr = S_OK;
    size_t n = 0;
    if (psz == nullptr || cchMax > STRSAFE_MAX_CCH) {
        hr = STRSAFE_E_INVALID_PARAMETER;
    } else {
        while (n < cchMax && psz[n] != 0)
            n++;
        if (n == cchMax)
            hr = STRSAFE_E_INVALID_PARAMETER;
    }
    if (pcchLength != nullptr)
        *pcchLength = SUCCEEDED(hr) ? n : 0;
    return hr;
}

HRESULT StringCchCatW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc) {
    if (cchDest == 0 || cchDest > STRSAFE_MAX_CCH)
        return STRSAFE_E_INVALID_PARAMETER;
    size_t used;
    HRESULT hr = StringCchLengthW(pszDest, cchDest, &used);
    if (FAILED(hr))
        return hr;
    return CopyBounded(pszDest + used, cchDest - used, pszSrc, SIZE_MAX);
}

// ============================================================================
// Code pages
// ============================================================================

namespace {

// Windows-1252 bytes 0x80 to 0x9F. The five bytes the code page leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 controls of the same
// value, as Windows maps them.
const WCHAR k1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

WCHAR Cp1252ToWide(unsigned char b) { return (b >= 0x80 && b < 0xA0) ? k1252High[b - 0x80] : (WCHAR)b; }

// The byte for c, or -1 when Windows-1252 has no such character.
int WideToCp1252(WCHAR c) {
    if ((uint32_t)c < 0x80 || ((uint32_t)c >= 0xA0 && (uint32_t)c <= 0xFF))
        return (int)c;
    for (int i = 0; i < 32; i++)
        if (k1252High[i] == c)
            return 0x80 + i;
    return -1;
}

const UINT kCp1252 = 1252;

bool IsAnsi(UINT codePage) { return codePage == CP_ACP || codePage == kCp1252; }

void AppendUtf16(std::vector<WCHAR> &out, uint32_t cp) {
    if (cp > 0xFFFF) {
        cp -= 0x10000;
        out.push_back((WCHAR)(0xD800 + (cp >> 10)));
        out.push_back((WCHAR)(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back((WCHAR)cp);
    }
}

// Decodes UTF-8; each maximal ill-formed subsequence becomes one U+FFFD.
// Returns false at the first ill-formed one when `strict`.
bool DecodeUtf8(const unsigned char *s, size_t n, bool strict, std::vector<WCHAR> &out) {
    size_t i = 0;
    while (i < n) {
        unsigned char b = s[i];
        if (b < 0x80) {
            out.push_back(b);
            i++;
            continue;
        }
        size_t need;
        unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
        uint32_t cp;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
            if (b == 0xE0)
                lo = 0xA0;
            if (b == 0xED)
                hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
            if (b == 0xF0)
                lo = 0x90;
            if (b == 0xF4)
                hi = 0x8F;
        } else {
            if (strict)
                return false;
            out.push_back(0xFFFD);
            i++;
            continue;
        }
        size_t k = 1;
        for (; k <= need; k++) {
            if (i + k >= n)
                break;
            unsigned char c = s[i + k];
            unsigned char l = (k == 1) ? lo : 0x80, h = (k == 1) ? hi : 0xBF;
            if (c < l || c > h)
                break;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (k <= need) {
            if (strict)
                return false;
            out.push_back(0xFFFD);
            i += k;
            continue;
        }
        AppendUtf16(out, cp);
        i += need + 1;
    }
    return true;
}

void AppendUtf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += (char)cp;
    } else if (cp < 0x800) {
        out += (char)(0xC0 | (cp >> 6));
        out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += (char)(0xE0 | (cp >> 12));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    } else {
        out += (char)(0xF0 | (cp >> 18));
        out += (char)(0x80 | ((cp >> 12) & 0x3F));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    }
}

// Encodes UTF-16 (a host character above U+FFFF is taken as it is); a lone
// surrogate becomes U+FFFD, or fails when `strict`.
bool EncodeUtf8(const WCHAR *s, size_t n, bool strict, std::string &out) {
    for (size_t i = 0; i < n; i++) {
        uint32_t c = (uint32_t)s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && (uint32_t)s[i + 1] >= 0xDC00 &&
            (uint32_t)s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + ((uint32_t)s[i + 1] - 0xDC00);
            i++;
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            if (strict)
                return false;
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return true;
}

}  // namespace

UINT WINAPI GetACP(void) {
    SIM_ENTER("GetACP", kCp1252);
    return kCp1252;
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    SIM_ENTER("MultiByteToWideChar", 0);
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar != 0 && lpWideCharStr == nullptr) ||
        (const void *)lpMultiByteStr == (const void *)lpWideCharStr) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = cbMultiByte == -1 ? strlen(lpMultiByteStr) + 1 : (size_t)cbMultiByte;
    const unsigned char *src = (const unsigned char *)lpMultiByteStr;
    std::vector<WCHAR> out;
    if (IsAnsi(CodePage)) {
        const DWORD known = MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS;
        if ((dwFlags & ~known) != 0 || (dwFlags & (MB_PRECOMPOSED | MB_COMPOSITE)) == (MB_PRECOMPOSED | MB_COMPOSITE)) {
            simk::SetError(ERROR_INVALID_FLAGS);
            return 0;
        }
        for (size_t i = 0; i < n; i++)
            out.push_back(Cp1252ToWide(src[i]));
    } else if (CodePage == CP_UTF8) {
        if ((dwFlags & ~(DWORD)MB_ERR_INVALID_CHARS) != 0) {
            simk::SetError(ERROR_INVALID_FLAGS);
            return 0;
        }
        if (!DecodeUtf8(src, n, (dwFlags & MB_ERR_INVALID_CHARS) != 0, out)) {
            simk::SetError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
    } else {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }

    if (cchWideChar == 0)
        return (int)out.size();
    size_t fit = out.size() < (size_t)cchWideChar ? out.size() : (size_t)cchWideChar;
    memcpy(lpWideCharStr, out.data(), fit * sizeof(WCHAR));
    if (out.size() > (size_t)cchWideChar) {
        simk::SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return (int)out.size();
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
    SIM_ENTER("WideCharToMultiByte", 0);
    if (lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte != 0 && lpMultiByteStr == nullptr) ||
        (const void *)lpWideCharStr == (const void *)lpMultiByteStr) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = cchWideChar == -1 ? wcslen(lpWideCharStr) + 1 : (size_t)cchWideChar;
    std::string out;
    if (IsAnsi(CodePage)) {
        const DWORD known = WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS;
        if ((dwFlags & ~known) != 0) {
            simk::SetError(ERROR_INVALID_FLAGS);
            return 0;
        }
        char defaultChar = lpDefaultChar != nullptr ? lpDefaultChar[0] : '?';
        BOOL usedDefault = FALSE;
        for (size_t i = 0; i < n; i++) {
            int b = WideToCp1252(lpWideCharStr[i]);
            if (b < 0) {
                out += defaultChar;
                usedDefault = TRUE;
            } else {
                out += (char)b;
            }
        }
        if (lpUsedDefaultChar != nullptr)
            *lpUsedDefaultChar = usedDefault;
    } else if (CodePage == CP_UTF8) {
        if (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) {
            simk::SetError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if ((dwFlags & ~(DWORD)WC_ERR_INVALID_CHARS) != 0) {
            simk::SetError(ERROR_INVALID_FLAGS);
            return 0;
        }
        if (!EncodeUtf8(lpWideCharStr, n, (dwFlags & WC_ERR_INVALID_CHARS) != 0, out)) {
            simk::SetError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
    } else {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }

    if (cbMultiByte == 0)
        return (int)out.size();
    size_t fit = out.size() < (size_t)cbMultiByte ? out.size() : (size_t)cbMultiByte;
    memcpy(lpMultiByteStr, out.data(), fit);
    if (out.size() > (size_t)cbMultiByte) {
        simk::SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return (int)out.size();
}

// ============================================================================
// lstr* and CharLower
// ============================================================================

namespace {

// Lower case for the Latin, Greek and Cyrillic letters Windows maps.
WCHAR ToLower(WCHAR c) {
    uint32_t u = (uint32_t)c;
    if (u >= 'A' && u <= 'Z')
        return (WCHAR)(u + 32);
    if (u < 0xC0)
        return c;
    if (u <= 0xDE)
        return u == 0xD7 ? c : (WCHAR)(u + 32);
    if (u >= 0x100 && u <= 0x17F) {
        if (u == 0x130)
            return L'i';
        if (u == 0x178)
            return (WCHAR)0xFF;
        bool evenUpper = (u <= 0x137) || (u >= 0x14A && u <= 0x177);
        bool oddUpper = (u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E);
        if ((evenUpper && u % 2 == 0) || (oddUpper && u % 2 == 1))
            return (WCHAR)(u + 1);
        return c;
    }
    if (u >= 0x391 && u <= 0x3AB && u != 0x3A2)
        return (WCHAR)(u + 32);
    if (u >= 0x410 && u <= 0x42F)
        return (WCHAR)(u + 32);
    if (u >= 0x400 && u <= 0x40F)
        return (WCHAR)(u + 80);
    return c;
}

// Primary sort weight: punctuation and controls, then digits, then letters
// (case folded), then everything else.
uint32_t PrimaryWeight(WCHAR c) {
    uint32_t u = (uint32_t)ToLower(c);
    if (u >= '0' && u <= '9')
        return 0x1000 + u;
    if (u >= 'a' && u <= 'z')
        return 0x2000 + u;
    if (u < 0x80)
        return u;
    return 0x10000 + u;
}

int CompareText(LPCWSTR a, LPCWSTR b, bool ignoreCase) {
    if (a == nullptr)
        a = L"";
    if (b == nullptr)
        b = L"";
    size_t i = 0;
    for (;; i++) {
        if (a[i] == 0 || b[i] == 0) {
            if (a[i] != b[i])
                return a[i] == 0 ? -1 : 1;
            break;
        }
        uint32_t wa = PrimaryWeight(a[i]), wb = PrimaryWeight(b[i]);
        if (wa != wb)
            return wa < wb ? -1 : 1;
    }
    if (ignoreCase)
        return 0;
    // Same letters: the first difference in case decides, lower case first.
    for (size_t k = 0; k < i; k++)
        if (a[k] != b[k])
            return ToLower(a[k]) == a[k] ? -1 : 1;
    return 0;
}

}  // namespace

int WINAPI lstrlenW(LPCWSTR lpString) {
    SIM_ENTER("lstrlenW", 0);
    return lpString == nullptr ? 0 : (int)wcslen(lpString);
}

int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) {
    SIM_ENTER("lstrcmpW", 0);
    return CompareText(lpString1, lpString2, false);
}

int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
    SIM_ENTER("lstrcmpiW", 0);
    return CompareText(lpString1, lpString2, true);
}

LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
    SIM_ENTER("lstrcpynW", nullptr);
    if (lpString1 == nullptr || lpString2 == nullptr)
        return nullptr;
    if (iMaxLength <= 0)
        return lpString1;
    int i = 0;
    for (; i < iMaxLength - 1 && lpString2[i] != 0; i++)
        lpString1[i] = lpString2[i];
    lpString1[i] = 0;
    return lpString1;
}

LPWSTR WINAPI CharLowerW(LPWSTR lpsz) {
    SIM_ENTER("CharLowerW", lpsz);
    if (IS_INTRESOURCE(lpsz))  // a single character in the low word
        return (LPWSTR)(ULONG_PTR)ToLower((WCHAR)LOWORD(lpsz));
    for (LPWSTR p = lpsz; *p != 0; p++)
        *p = ToLower(*p);
    return lpsz;
}

DWORD WINAPI CharLowerBuffW(LPWSTR lpsz, DWORD cchLength) {
    SIM_ENTER("CharLowerBuffW", 0);
    if (lpsz == nullptr)
        return 0;
    for (DWORD i = 0; i < cchLength; i++)
        lpsz[i] = ToLower(lpsz[i]);
    return cchLength;
}

// ============================================================================
// CommandLineToArgvW
// ============================================================================

namespace {

bool IsBlank(WCHAR c) { return c == L' ' || c == L'\t'; }

std::vector<std::wstring> SplitArguments(const WCHAR *s) {
    std::vector<std::wstring> args;

    // The program name: up to the next quote when it starts with one (even if
    // no blank follows), else up to the first blank. Backslashes and later
    // quotes are ordinary characters here.
    std::wstring name;
    if (*s == L'"') {
        s++;
        while (*s != 0 && *s != L'"')
            name += *s++;
        if (*s == L'"')
            s++;
    } else {
        while (*s != 0 && !IsBlank(*s))
            name += *s++;
    }
    args.push_back(name);

    for (;;) {
        while (IsBlank(*s))
            s++;
        if (*s == 0)
            break;
        std::wstring arg;
        bool quoted = false;
        while (*s != 0 && (quoted || !IsBlank(*s))) {
            if (*s == L'\\') {
                size_t n = 0;
                while (*s == L'\\') {
                    n++;
                    s++;
                }
                if (*s != L'"') {
                    arg.append(n, L'\\');  // not before a quote: literal
                    continue;
                }
                arg.append(n / 2, L'\\');
                if (n % 2 == 1) {  // the quote is escaped
                    arg += L'"';
                    s++;
                    continue;
                }
                // An even number: the quote that follows is a real one.
            }
            if (*s == L'"') {
                // A run of quotes counts in threes, the opening quote of a
                // quoted part included: every third gives a literal quote, and
                // the count left over says whether the run ends quoted.
                int count = quoted ? 1 : 0;
                while (*s == L'"') {
                    if (++count == 3) {
                        arg += L'"';
                        count = 0;
                    }
                    s++;
                }
                quoted = (count == 1);
                continue;
            }
            arg += *s++;
        }
        args.push_back(arg);
    }
    return args;
}

}  // namespace

LPWSTR *WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int *pNumArgs) {
    SIM_ENTER("CommandLineToArgvW", nullptr);
    if (lpCmdLine == nullptr || pNumArgs == nullptr) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::vector<std::wstring> args;
    if (*lpCmdLine == 0)
        args.push_back(simk::CurrentProcessImage());
    else
        args = SplitArguments(lpCmdLine);

    // One block: the pointer array with a terminating NULL, then the strings.
    size_t chars = 0;
    for (const std::wstring &a : args)
        chars += a.size() + 1;
    size_t bytes = (args.size() + 1) * sizeof(LPWSTR) + chars * sizeof(WCHAR);
    LPWSTR *argv = (LPWSTR *)LocalAlloc(LMEM_FIXED, bytes);
    if (argv == nullptr)
        return nullptr;
    WCHAR *text = (WCHAR *)(argv + args.size() + 1);
    for (size_t i = 0; i < args.size(); i++) {
        argv[i] = text;
        memcpy(text, args[i].c_str(), (args[i].size() + 1) * sizeof(WCHAR));
        text += args[i].size() + 1;
    }
    argv[args.size()] = nullptr;
    *pNumArgs = (int)args.size();
    return argv;
}

// ============================================================================
// _wsplitpath_s
// ============================================================================

errno_t _wsplitpath_s(const wchar_t *path, wchar_t *drive, size_t driveNumberOfElements, wchar_t *dir,
                      size_t dirNumberOfElements, wchar_t *fname, size_t nameNumberOfElements, wchar_t *ext,
                      size_t extNumberOfElements) {
    struct Part {
        wchar_t *buf;
        size_t count;
        const wchar_t *begin;
        size_t len;
    };
    Part parts[4] = {{drive, driveNumberOfElements, nullptr, 0},
                     {dir, dirNumberOfElements, nullptr, 0},
                     {fname, nameNumberOfElements, nullptr, 0},
                     {ext, extNumberOfElements, nullptr, 0}};
    auto clearAll = [&parts]() {
        for (Part &p : parts)
            if (p.buf != nullptr && p.count != 0)
                p.buf[0] = 0;
    };

    bool valid = path != nullptr;
    for (const Part &p : parts)
        if ((p.buf == nullptr) != (p.count == 0))
            valid = false;
    if (!valid) {
        clearAll();
        return EINVAL;
    }

    const wchar_t *p = path;
    if (p[0] != 0 && p[1] == L':') {
        parts[0].begin = p;
        parts[0].len = 2;
        p += 2;
    }
    const wchar_t *afterSlash = nullptr;
    const wchar_t *dot = nullptr;
    const wchar_t *end = p;
    for (; *end != 0; end++) {
        if (*end == L'\\' || *end == L'/')
            afterSlash = end + 1;
        else if (*end == L'.')
            dot = end;
    }
    const wchar_t *name = p;
    if (afterSlash != nullptr) {
        parts[1].begin = p;
        parts[1].len = (size_t)(afterSlash - p);
        name = afterSlash;
    }
    parts[2].begin = name;
    if (dot != nullptr && dot >= name) {
        parts[2].len = (size_t)(dot - name);
        parts[3].begin = dot;
        parts[3].len = (size_t)(end - dot);
    } else {
        parts[2].len = (size_t)(end - name);
    }

    for (const Part &part : parts) {
        if (part.buf != nullptr && part.len >= part.count) {
            clearAll();
            return ERANGE;
        }
    }
    for (Part &part : parts) {
        if (part.buf == nullptr)
            continue;
        if (part.len != 0)
            memcpy(part.buf, part.begin, part.len * sizeof(wchar_t));
        part.buf[part.len] = 0;
    }
    return 0;
}
