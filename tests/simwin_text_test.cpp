// The simulated Windows' text functions: format rules, strsafe bounds, code
// pages, command-line splitting and path splitting. A mistake in any of them
// would hide a fault of the product, so the rules the product relies on are
// pinned down here.
#define STRSAFE_NO_DEPRECATE
#include <shellapi.h>
#include <strsafe.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

class SimwinTextTest : public SimTest {};

std::wstring Printf(const WCHAR *format, ...) {
    WCHAR buf[256];
    va_list args;
    va_start(args, format);
    HRESULT hr = StringCchVPrintfW(buf, ARRAYSIZE(buf), format, args);
    va_end(args);
    EXPECT_EQ(S_OK, hr) << "format " << std::wstring(format).c_str();
    return buf;
}

std::vector<std::wstring> Split(const WCHAR *cmdline) {
    int n = -1;
    LPWSTR *argv = CommandLineToArgvW(cmdline, &n);
    std::vector<std::wstring> out;
    if (argv == NULL)
        return out;
    for (int i = 0; i < n; i++)
        out.push_back(argv[i]);
    EXPECT_EQ(NULL, argv[n]);
    LocalFree(argv);
    return out;
}

typedef std::vector<std::wstring> Tokens;

// --- Formatting ---------------------------------------------------------------

TEST_F(SimwinTextTest, FormatsTheProductsConversions) {
    EXPECT_EQ(L"Canon Pixma", Printf(L"%ws %ws", L"Canon", L"Pixma"));
    EXPECT_EQ(L"Canon Pixma", Printf(L"%s %s", L"Canon", L"Pixma"));  // %s is wide in W functions
    EXPECT_EQ(L"USB001", Printf(L"USB%.3d", 1));
    EXPECT_EQ(L"USB012", Printf(L"USB%.3d", 12));
    EXPECT_EQ(L"USB1234", Printf(L"USB%.3d", 1234));
    EXPECT_EQ(L"00af", Printf(L"%04x", 0xAF));
    EXPECT_EQ(L"12345", Printf(L"%04x", 0x12345));
    EXPECT_EQ(L"code:-2147467263.", Printf(L"code:%d.", (HRESULT)0x80004001));
    EXPECT_EQ(L"0x80004001", Printf(L"0x%x", (HRESULT)0x80004001));
    EXPECT_EQ(L"4294967295 FFFFFFFF", Printf(L"%u %X", -1, -1));
    EXPECT_EQ(L"version:6.1.7601.0", Printf(L"version:%d.%d.%d.%d", 6, 1, 7601, 0));
    EXPECT_EQ(L"100%", Printf(L"%d%%", 100));
}

TEST_F(SimwinTextTest, PrecisionCutsAStringWithoutReadingPastIt) {
    // 32 characters and no terminator: "%.32ws" must stop there.
    WCHAR raw[32];
    for (int i = 0; i < 32; i++)
        raw[i] = (WCHAR)(L'A' + i % 26);
    std::wstring cut = Printf(L"%.32ws", raw);
    EXPECT_EQ(std::wstring(raw, 32), cut);
    EXPECT_EQ(L"Abc", Printf(L"%.3ws", L"Abcdef"));
    EXPECT_EQ(L"ab", Printf(L"%.*ws", 2, L"abc"));
    EXPECT_EQ(L"", Printf(L"%.0ws", L"abc"));
}

TEST_F(SimwinTextTest, FlagsWidthAndSizes) {
    EXPECT_EQ(L"[  42][42  ][00042][+42][ 42][-0042]",
              Printf(L"[%4d][%-4d][%05d][%+d][% d][%05d]", 42, 42, 42, 42, 42, -42));
    EXPECT_EQ(L"[   ab][ab   ][  007]", Printf(L"[%*ws][%-5ws][%5.3d]", 5, L"ab", L"ab", 7));
    EXPECT_EQ(L"[ab   ]", Printf(L"[%*ws]", -5, L"ab"));
    EXPECT_EQ(L"0xff 0XFF 0 017", Printf(L"%#x %#X %#x %#o", 255, 255, 0, 15));
    EXPECT_EQ(L"[]", Printf(L"[%.0d]", 0));
    EXPECT_EQ(L"-9223372036854775807 18446744073709551615 fffffffffff",
              Printf(L"%I64d %llu %I64x", (LONGLONG)-9223372036854775807LL, (ULONGLONG)-1, (ULONGLONG)0xFFFFFFFFFFFULL));
    EXPECT_EQ(L"-1 4294967295 ffffffff", Printf(L"%ld %lu %lx", (LONG)-1, (DWORD)0xFFFFFFFF, (DWORD)0xFFFFFFFF));
    EXPECT_EQ(L"x Y z", Printf(L"%c %wc %hc", L'x', L'Y', 'z'));
    EXPECT_EQ(L"narrow narrow wide", Printf(L"%hs %S %ls", "narrow", "narrow", L"wide"));
    EXPECT_EQ(L"(null) (null)", Printf(L"%ws %hs", (const WCHAR *)NULL, (const char *)NULL));
    EXPECT_EQ(std::wstring(2 * sizeof(void *) - 3, L'0') + L"ABC", Printf(L"%p", (void *)0xABC));
}

TEST_F(SimwinTextTest, WsprintfStopsAt1023Characters) {
    static WCHAR big[2000];
    static WCHAR out[1100];
    for (int i = 0; i < 1999; i++)
        big[i] = L'x';
    big[1999] = 0;
    for (int i = 0; i < 1100; i++)
        out[i] = L'#';
    EXPECT_EQ(1023, wsprintfW(out, L"%ws", big));
    EXPECT_EQ(0, out[1023]);
    EXPECT_EQ(L'#', out[1024]);  // nothing written after the terminator

    WCHAR small[64];
    EXPECT_EQ(9, wsprintfW(small, L"USB%.3d:%ws", 7, L"ab"));
    EXPECT_STREQ(L"USB007:ab", small);
    EXPECT_EQ(10, wsprintfW(small, L"%010ld", (LONG)-1));  // zeros go after the sign
    EXPECT_STREQ(L"-000000001", small);
}

// --- strsafe --------------------------------------------------------------------

TEST_F(SimwinTextTest, PrintfTruncatesAndReportsInsufficientBuffer) {
    WCHAR buf[8];
    EXPECT_EQ(S_OK, StringCchPrintfW(buf, 8, L"%ws", L"1234567"));  // 7 characters fit in 8
    EXPECT_STREQ(L"1234567", buf);
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchPrintfW(buf, 8, L"%ws", L"12345678"));
    EXPECT_STREQ(L"1234567", buf);
    EXPECT_EQ((HRESULT)0x8007007A, STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchPrintfW(buf, 1, L"x"));
    EXPECT_STREQ(L"", buf);
    buf[0] = L'#';
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchPrintfW(buf, 0, L"x"));
    EXPECT_EQ(L'#', buf[0]);
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchPrintfW(buf, (size_t)STRSAFE_MAX_CCH + 1, L"x"));
}

TEST_F(SimwinTextTest, PrintfOfAnExact767CharacterLineFitsIn768) {
    std::wstring line(767, L'a');
    static WCHAR out[768];
    EXPECT_EQ(S_OK, StringCchPrintfW(out, 768, L"%ws", line.c_str()));
    EXPECT_EQ(line, out);
    line += L'b';
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchPrintfW(out, 768, L"%ws", line.c_str()));
    EXPECT_EQ(767u, wcslen(out));
}

TEST_F(SimwinTextTest, CopyCatAndCopyN) {
    WCHAR buf[6];
    EXPECT_EQ(S_OK, StringCchCopyW(buf, 6, L"abcde"));
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchCopyW(buf, 6, L"abcdef"));
    EXPECT_STREQ(L"abcde", buf);
    EXPECT_EQ(S_OK, StringCchCopyNW(buf, 6, L"abcdef", 3));
    EXPECT_STREQ(L"abc", buf);
    EXPECT_EQ(S_OK, StringCchCatW(buf, 6, L"de"));
    EXPECT_STREQ(L"abcde", buf);
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchCatW(buf, 6, L"f"));
    EXPECT_STREQ(L"abcde", buf);
    WCHAR unterminated[3] = {L'a', L'b', L'c'};
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchCatW(unterminated, 3, L"x"));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchCopyW(buf, 0, L"x"));
}

TEST_F(SimwinTextTest, LengthNeedsATerminatorWithinTheBound) {
    std::string s255(255, 'f'), s256(256, 'f');
    size_t n = 99;
    EXPECT_EQ(S_OK, StringCchLengthA(s255.c_str(), 256, &n));
    EXPECT_EQ(255u, n);
    n = 99;
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchLengthA(s256.c_str(), 256, &n));
    EXPECT_EQ(0u, n);
    n = 99;
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchLengthA(NULL, 256, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(S_OK, StringCchLengthW(L"abc", 4, &n));
    EXPECT_EQ(3u, n);
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchLengthW(L"abc", 3, &n));
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchLengthW(L"abc", (size_t)STRSAFE_MAX_CCH + 1, &n));
}

// --- Code pages -------------------------------------------------------------------

TEST_F(SimwinTextTest, Windows1252RoundTripsEveryByte) {
    EXPECT_EQ(1252u, GetACP());
    char bytes[256];
    for (int i = 0; i < 256; i++)
        bytes[i] = (char)(i == 0 ? 1 : i);
    WCHAR wide[256];
    ASSERT_EQ(256, MultiByteToWideChar(CP_ACP, 0, bytes, 256, wide, 256));
    EXPECT_EQ((WCHAR)0x20AC, wide[0x80]);  // euro sign
    EXPECT_EQ((WCHAR)0x0081, wide[0x81]);  // undefined bytes keep their value
    EXPECT_EQ((WCHAR)0x009D, wide[0x9D]);
    EXPECT_EQ((WCHAR)0x0178, wide[0x9F]);
    EXPECT_EQ((WCHAR)0x00E9, wide[0xE9]);
    char back[256];
    BOOL usedDefault = TRUE;
    ASSERT_EQ(256, WideCharToMultiByte(1252, 0, wide, 256, back, 256, NULL, &usedDefault));
    EXPECT_EQ(0, memcmp(bytes, back, 256));
    EXPECT_FALSE(usedDefault);
}

TEST_F(SimwinTextTest, UnmappableCharactersBecomeTheDefaultChar) {
    const WCHAR text[] = {L'A', 0x0100, 0x4E2D, 0x0080, 0};
    char out[8];
    BOOL usedDefault = FALSE;
    EXPECT_EQ(5, WideCharToMultiByte(CP_ACP, 0, text, -1, out, 8, NULL, &usedDefault));
    EXPECT_STREQ("A???", out);
    EXPECT_TRUE(usedDefault);
    EXPECT_EQ(5, WideCharToMultiByte(CP_ACP, 0, text, -1, out, 8, "*", NULL));
    EXPECT_STREQ("A***", out);
}

TEST_F(SimwinTextTest, SizeQueryTerminatorAndShortBuffer) {
    EXPECT_EQ(4, MultiByteToWideChar(CP_ACP, 0, "abc", -1, NULL, 0));  // terminator counted
    EXPECT_EQ(3, MultiByteToWideChar(CP_ACP, 0, "abc", 3, NULL, 0));
    WCHAR w[3] = {L'#', L'#', L'#'};
    EXPECT_EQ(3, MultiByteToWideChar(CP_ACP, 0, "abc", 3, w, 3));  // no terminator added
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, "abc", -1, w, 3));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    char a[2];
    EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, 0, L"abc", -1, a, 2, NULL, NULL));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, "abc", 0, w, 3));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(0, MultiByteToWideChar(437, 0, "abc", -1, w, 3));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(SimwinTextTest, Utf8) {
    const char *utf8 = "\xE2\x82\xAC\xC3\xA9\xF0\x9F\x98\x80";  // euro, e acute, U+1F600
    WCHAR w[8];
    ASSERT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, utf8, -1, NULL, 0) - 1);
    ASSERT_EQ(5, MultiByteToWideChar(CP_UTF8, 0, utf8, -1, w, 8));
    EXPECT_EQ((WCHAR)0x20AC, w[0]);
    EXPECT_EQ((WCHAR)0xD83D, w[2]);  // a surrogate pair, as Windows counts it
    EXPECT_EQ((WCHAR)0xDE00, w[3]);
    char back[16];
    ASSERT_EQ(10, WideCharToMultiByte(CP_UTF8, 0, w, -1, back, 16, NULL, NULL));
    EXPECT_STREQ(utf8, back);
    BOOL used;
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, w, -1, back, 16, NULL, &used));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(2, MultiByteToWideChar(CP_UTF8, 0, "a\xFF", 2, w, 8));
    EXPECT_EQ((WCHAR)0xFFFD, w[1]);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2, w, 8));
    EXPECT_EQ((DWORD)ERROR_NO_UNICODE_TRANSLATION, GetLastError());
}

TEST_F(SimwinTextTest, LstrHelpers) {
    EXPECT_EQ(0, lstrcmpiW(L"-U", L"-u"));
    EXPECT_EQ(0, lstrcmpiW(L"/SILENCE", L"/silence"));
    EXPECT_NE(0, lstrcmpiW(L"-u", L"-u "));
    EXPECT_NE(0, lstrcmpW(L"-U", L"-u"));
    EXPECT_EQ(-1, lstrcmpW(L"a", L"A"));  // lower case first on a tie
    EXPECT_EQ(-1, lstrcmpW(L"Aa", L"ab"));
    EXPECT_EQ(-1, lstrcmpW(L"9", L"a"));
    EXPECT_EQ(1, lstrcmpW(L"abc", L"ab"));
    EXPECT_EQ(3, lstrlenW(L"abc"));
    EXPECT_EQ(0, lstrlenW(NULL));
    WCHAR buf[4];
    EXPECT_STREQ(L"abc", lstrcpynW(buf, L"abcdef", 4));
    WCHAR text[] = L"USBPRINT\\CORVANE\xC9";
    CharLowerW(text);
    EXPECT_STREQ(L"usbprint\\corvane\xE9", text);
    WCHAR part[] = L"ABC";
    EXPECT_EQ(2u, CharLowerBuffW(part, 2));
    EXPECT_STREQ(L"abC", part);
}

// --- CommandLineToArgvW -----------------------------------------------------------

TEST_F(SimwinTextTest, SelfRelaunchChildGetsTwoTokens) {
    // The tail that the relaunched copy's wWinMain receives: its first token
    // falls under the program-name rule.
    EXPECT_EQ((Tokens{L"-u", L"C:\\Program Files\\Corvane\\"}), Split(L"-u \"C:\\Program Files\\Corvane\\"));
    // The whole command line, as CreateProcessW gets it.
    EXPECT_EQ((Tokens{L"C:\\x\\a.tmp", L"-u", L"C:\\Program Files\\Corvane\\"}),
              Split(L"\"C:\\x\\a.tmp\" -u \"C:\\Program Files\\Corvane\\"));
    // Closing the quote would have escaped it and kept the quote in the folder.
    EXPECT_EQ((Tokens{L"-u", L"C:\\Program Files\\Corvane\""}), Split(L"-u \"C:\\Program Files\\Corvane\\\""));

    std::wstring image, tail;
    sim::SplitCommandLine(L"\"C:\\x\\a.tmp\" -u \"C:\\Program Files\\Corvane\\", &image, &tail);
    EXPECT_EQ(L"C:\\x\\a.tmp", image);
    EXPECT_EQ((Tokens{L"-u", L"C:\\Program Files\\Corvane\\"}), Split(tail.c_str()));
}

TEST_F(SimwinTextTest, BackslashAndQuoteRules) {
    EXPECT_EQ((Tokens{L"exe", L"a\\b", L"c\\\\d", L"e\\"}), Split(L"exe a\\b c\\\\d e\\"));
    EXPECT_EQ((Tokens{L"exe", L"\\a b", L"\"c", L"\\\"d"}), Split(L"exe \\\\\"a b\" \\\"c \\\\\\\"d"));
    EXPECT_EQ((Tokens{L"exe", L"a b", L"", L"c"}), Split(L"exe \"a b\" \"\" c"));
    EXPECT_EQ((Tokens{L"exe", L"ab c"}), Split(L"exe a\"b c\""));
    // "" inside a quoted part: a literal quote that also ends the quoted part.
    EXPECT_EQ((Tokens{L"exe", L"two\"quotes", L"next"}), Split(L"exe \"two\"\"quotes next"));
    EXPECT_EQ((Tokens{L"exe", L"three\"quotes", L"next"}), Split(L"exe three\"\"\"quotes next"));
    // An unclosed quote runs to the end of the line.
    EXPECT_EQ((Tokens{L"exe", L"a b  c "}), Split(L"exe \"a b  c "));
    EXPECT_EQ((Tokens{L"exe", L"a", L"b"}), Split(L"exe\ta  \t b  "));
}

TEST_F(SimwinTextTest, FirstTokenFollowsTheProgramNameRule) {
    EXPECT_EQ((Tokens{L"C:\\a b\\", L"x"}), Split(L"\"C:\\a b\\\"x"));  // no escapes, ends at the quote
    EXPECT_EQ((Tokens{L"exe\"file\"path", L"arg"}), Split(L"exe\"file\"path arg"));
    EXPECT_EQ((Tokens{L"/silence"}), Split(L"/silence"));
    EXPECT_EQ((Tokens{L"", L"-u", L"x"}), Split(L" -u x"));  // a leading blank: empty program name
}

TEST_F(SimwinTextTest, EmptyLineGivesTheProgramPathInOneFreeableBlock) {
    sim::SetTestProcessImage(L"C:\\Program Files\\Corvane\\setup.exe");
    size_t before = sim::LiveAllocations();
    int n = 0;
    LPWSTR *argv = CommandLineToArgvW(L"", &n);
    ASSERT_NE(nullptr, argv);
    EXPECT_EQ(1, n);
    EXPECT_STREQ(L"C:\\Program Files\\Corvane\\setup.exe", argv[0]);
    EXPECT_EQ(before + 1, sim::LiveAllocations());
    LocalFree(argv);
    EXPECT_EQ(before, sim::LiveAllocations());

    SetLastError(0);
    EXPECT_EQ(nullptr, CommandLineToArgvW(L"exe", NULL));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

// --- _wsplitpath_s -------------------------------------------------------------------

TEST_F(SimwinTextTest, SplitPathParts) {
    WCHAR drive[3], dir[256], name[260], ext[256];
    ASSERT_EQ(0, _wsplitpath_s(L"C:\\Program Files\\Corvane\\unins000.exe", drive, 3, dir, 256, name, 260, ext, 256));
    EXPECT_STREQ(L"C:", drive);
    EXPECT_STREQ(L"\\Program Files\\Corvane\\", dir);
    EXPECT_STREQ(L"unins000", name);
    EXPECT_STREQ(L".exe", ext);

    ASSERT_EQ(0, _wsplitpath_s(L"C:\\a.b/c.d.tmp", drive, 3, dir, 256, name, 260, ext, 256));
    EXPECT_STREQ(L"\\a.b/", dir);
    EXPECT_STREQ(L"c.d", name);
    EXPECT_STREQ(L".tmp", ext);

    ASSERT_EQ(0, _wsplitpath_s(L"\\\\srv\\x.dir\\setup", drive, 3, dir, 256, name, 260, ext, 256));
    EXPECT_STREQ(L"", drive);
    EXPECT_STREQ(L"\\\\srv\\x.dir\\", dir);
    EXPECT_STREQ(L"setup", name);
    EXPECT_STREQ(L"", ext);

    ASSERT_EQ(0, _wsplitpath_s(L"C:\\x\\setup.exe", NULL, 0, NULL, 0, name, 260, NULL, 0));  // skipped parts
    EXPECT_STREQ(L"setup", name);
}

TEST_F(SimwinTextTest, SplitPathErrorsEmptyEveryBuffer) {
    WCHAR drive[3], dir[8], name[260], ext[256];
    EXPECT_EQ(ERANGE, _wsplitpath_s(L"C:\\toolong\\a.exe", drive, 3, dir, 8, name, 260, ext, 256));
    EXPECT_STREQ(L"", drive);
    EXPECT_STREQ(L"", dir);
    EXPECT_STREQ(L"", name);
    EXPECT_STREQ(L"", ext);
    EXPECT_EQ(0, _wsplitpath_s(L"C:\\12345\\a", drive, 3, dir, 8, name, 260, ext, 256));  // 7 + terminator fit
    EXPECT_STREQ(L"\\12345\\", dir);
    EXPECT_EQ(ERANGE, _wsplitpath_s(L"C:\\a", drive, 2, dir, 8, name, 260, ext, 256));
    EXPECT_EQ(EINVAL, _wsplitpath_s(L"C:\\a", NULL, 3, dir, 8, name, 260, ext, 256));
    EXPECT_EQ(EINVAL, _wsplitpath_s(L"C:\\a", drive, 0, dir, 8, name, 260, ext, 256));
    EXPECT_EQ(EINVAL, _wsplitpath_s(NULL, drive, 3, dir, 8, name, 260, ext, 256));
}

}  // namespace
