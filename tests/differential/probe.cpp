// The differential probe: one table of the Win32 contracts the program relies
// on, compiled twice, for the host against the simulated Windows and for
// Windows (run under wine64). Each row prints one line, "name: answer", with
// only what the contract fixes (results, last errors, sizes and shapes, never
// a machine's own paths or counts). tests/differential/run.sh compares the
// two outputs with the known differences (known-differences.txt).
#include <windows.h>
#include <shellapi.h>
#include <winspool.h>
#include <winsvc.h>

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <string>

#ifndef _WIN32
#include "sim/core.h"
#include "sim/registry.h"
#include "sim/spooler.h"
// The simulation runs the program's wWinMain; the probe has none.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return 0; }
#endif

namespace {

typedef BOOL(WINAPI *SetDefaultDllDirectoriesFunction)(DWORD);

const WCHAR kKey[] = L"SOFTWARE\\CorvaneProbe";
const WCHAR kKey64[] = L"SOFTWARE\\CorvaneProbe64";  // made in the 64-bit view only
const WCHAR kDriver[] = L"Corvane Probe Driver";
const WCHAR kQueue[] = L"Corvane Probe Queue";
WCHAR gEnv[] = L"Windows x64";
WCHAR gX86[] = L"Windows NT x86";
WCHAR gBadEnv[] = L"Windows Bogus";
std::wstring gDir;  // the probe's folder, with its backslash

std::string Err() { return "FALSE " + std::to_string(GetLastError()); }
std::string Ok(BOOL ok) { return ok ? "TRUE" : Err(); }
std::string Narrow(const std::wstring &w) {
    std::string s;
    for (wchar_t c : w)
        s += c < 128 ? static_cast<char>(c) : '?';
    return s;
}
std::wstring P(const wchar_t *name) { return gDir + name; }
std::wstring Folder() { return gDir.substr(0, gDir.size() - 1); }
// A size: the number for a fixed one, ">0" where the machine decides it.
std::string Needed(DWORD n) { return n > 0 ? "needed>0" : "needed=0"; }

std::string Reg(LONG s) { return s == ERROR_SUCCESS ? "0" : std::to_string(s); }
// A value's size: whole characters for text (a character is not two bytes
// in the host build), bytes for the rest.
std::string Size(DWORD type, DWORD bytes) {
    if (type != REG_SZ && type != REG_MULTI_SZ && type != REG_EXPAND_SZ)
        return std::to_string(bytes) + " bytes";
    return std::to_string(bytes / sizeof(WCHAR)) + (bytes % sizeof(WCHAR) ? " chars and a byte" : " chars");
}
std::string Query(const WCHAR *value, DWORD bufferBytes) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return "no key";
    BYTE data[64];
    DWORD type = 0, size = bufferBytes;
    LONG s = RegQueryValueExW(key, value, nullptr, &type, bufferBytes ? data : nullptr, &size);
    RegCloseKey(key);
    return Reg(s) + " type " + std::to_string(type) + " size " + Size(type, size);
}
std::string GetValue(const WCHAR *value, DWORD flags, DWORD bufferBytes) {
    BYTE data[64];
    memset(data, 0x55, sizeof(data));
    DWORD type = 0, size = bufferBytes;
    LONG s = RegGetValueW(HKEY_LOCAL_MACHINE, kKey, value, flags, &type, bufferBytes ? data : nullptr, &size);
    std::string out = Reg(s) + " type " + std::to_string(type) + " size " + Size(type, size);
    const WCHAR *text = reinterpret_cast<const WCHAR *>(data);
    if (s == ERROR_SUCCESS && bufferBytes && type != REG_DWORD && size >= sizeof(WCHAR))
        out += text[size / sizeof(WCHAR) - 1] == 0 ? " terminated" : " unterminated";
    return out;
}
std::string OpenKey(HKEY root, const WCHAR *path, REGSAM access) {
    HKEY key;
    LONG s = RegOpenKeyExW(root, path, 0, access, &key);
    if (s == ERROR_SUCCESS)
        RegCloseKey(key);
    return Reg(s);
}
std::string EnumKeys() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ENUMERATE_SUB_KEYS, &key) != ERROR_SUCCESS)
        return "no key";
    std::string out;
    WCHAR name[32];
    for (DWORD i = 0; i < 4; i++)
        out += (i ? " " : "") + Reg(RegEnumKeyW(key, i, name, 32));
    WCHAR tiny[2];
    out += " small-buffer " + Reg(RegEnumKeyW(key, 0, tiny, 2));
    RegCloseKey(key);
    return out;
}

HANDLE Open(const WCHAR *name, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileW(P(name).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}
std::string Create(const WCHAR *name, DWORD access, DWORD share, DWORD disposition) {
    HANDLE h = Open(name, access, share, disposition);
    if (h == INVALID_HANDLE_VALUE)
        return Err();
    CloseHandle(h);
    return "TRUE";
}
void WriteSmallFile(const std::wstring &path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (h != INVALID_HANDLE_VALUE) {
        WriteFile(h, "probe", 5, &written, nullptr);
        CloseHandle(h);
    }
}
std::string Attributes(const WCHAR *name) {
    DWORD a = GetFileAttributesW(P(name).c_str());
    if (a == INVALID_FILE_ATTRIBUTES)
        return "INVALID " + std::to_string(GetLastError());
    return a & FILE_ATTRIBUTE_DIRECTORY ? "directory" : "file";
}
// The attributes by name. FILE_ATTRIBUTE_ARCHIVE only where asked for: Wine
// keeps it on every file (see known-differences.txt).
std::string AttributeNames(DWORD a, bool archive = false) {
    if (a == INVALID_FILE_ATTRIBUTES)
        return "INVALID " + std::to_string(GetLastError());
    static const struct {
        DWORD Bit;
        const char *Name;
    } kNames[] = {{FILE_ATTRIBUTE_READONLY, "readonly"}, {FILE_ATTRIBUTE_HIDDEN, "hidden"},
                  {FILE_ATTRIBUTE_ARCHIVE, "archive"}, {FILE_ATTRIBUTE_NORMAL, "normal"}};
    std::string out;
    for (const auto &n : kNames)
        if ((a & n.Bit) && (archive || n.Bit != FILE_ATTRIBUTE_ARCHIVE))
            out += (out.empty() ? "" : "|") + std::string(n.Name);
    return out.empty() ? "none" : out;
}
std::string AttributesOf(const WCHAR *name, bool archive = false) {
    return AttributeNames(GetFileAttributesW(P(name).c_str()), archive);
}
// A call's answer, then the attributes it leaves on a file (in that order).
std::string Then(const std::string &answer, const WCHAR *name) { return answer + ", then " + AttributesOf(name); }
// A new file with these attributes.
void NewFile(const WCHAR *name, DWORD attributes) {
    WriteSmallFile(P(name));
    SetFileAttributesW(P(name).c_str(), attributes);
}
std::string HandleAttributes(const WCHAR *name) {
    HANDLE h = Open(name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE)
        return Err();
    BY_HANDLE_FILE_INFORMATION info;
    std::string out = GetFileInformationByHandle(h, &info) ? AttributeNames(info.dwFileAttributes) : Err();
    CloseHandle(h);
    return out;
}
// A held handle to "held" with the given access and sharing, while fn runs.
template <typename Fn> std::string WhileHeld(DWORD access, DWORD share, Fn fn) {
    HANDLE h = Open(L"held", access, share, OPEN_ALWAYS);
    if (h == INVALID_HANDLE_VALUE)
        return "cannot hold: " + Err();
    std::string out = fn();
    CloseHandle(h);
    return out;
}

// GetFullPathNameW's answer: the length and the path, or the size it needs.
std::string FullPath(const WCHAR *path, DWORD capacity) {
    WCHAR full[MAX_PATH];
    DWORD n = GetFullPathNameW(path, capacity, full, nullptr);
    if (n == 0)
        return "0 " + std::to_string(GetLastError());
    if (n >= capacity)
        return "needs " + std::to_string(n);
    return std::to_string(n) + " " + Narrow(full);
}

std::string TempName(const WCHAR *folder, UINT unique) {
    WCHAR name[MAX_PATH];
    UINT n = GetTempFileNameW(folder, L"unins", unique, name);
    if (n == 0)
        return "0 " + std::to_string(GetLastError());
    std::wstring file(name);
    std::wstring leaf = file.substr(file.find_last_of(L'\\') + 1);
    // "uni", the number in hexadecimal, ".tmp" (in any letter case).
    bool shape = leaf.size() >= 8 && leaf.size() <= 11 && leaf.compare(0, 3, L"uni") == 0;
    for (size_t i = 3; shape && i < leaf.size() - 4; i++)
        shape = iswxdigit(leaf[i]) != 0;
    shape = shape && (leaf.compare(leaf.size() - 4, 4, L".tmp") == 0 || leaf.compare(leaf.size() - 4, 4, L".TMP") == 0);
    bool exists = GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES;
    std::string out = std::string(unique ? (n == unique ? "unique as given" : "other number") : "number") +
                      (shape ? ", uni<hex>.tmp" : ", name " + Narrow(leaf)) + (exists ? ", created" : ", not created");
    DeleteFileW(name);
    return out;
}

std::string Argv(const WCHAR *line) {
    int n = 0;
    LPWSTR *argv = CommandLineToArgvW(line, &n);
    if (argv == nullptr)
        return "NULL " + std::to_string(GetLastError());
    std::string out = std::to_string(n);
    for (int i = 0; i < n; i++)
        out += i == 0 && *line == 0 ? " [program]" : " [" + Narrow(argv[i]) + "]";
    LocalFree(argv);
    return out;
}

std::string DriverDirectory(LPWSTR env, DWORD level, DWORD bufferBytes) {
    BYTE buffer[600];
    DWORD needed = 0;
    BOOL ok = GetPrinterDriverDirectoryW(nullptr, env, level, bufferBytes ? buffer : nullptr, bufferBytes, &needed);
    if (!ok)
        return Err() + " " + Needed(needed);
    std::wstring dir(reinterpret_cast<WCHAR *>(buffer));
    for (auto &c : dir)
        c = static_cast<wchar_t>(towlower(c));
    return "TRUE ..." + Narrow(dir.substr(dir.find_last_of(L'\\')));
}
// The two-call protocol of an enumeration: the size, then the records.
template <typename Call> std::string TwoCalls(Call call) {
    static BYTE buffer[65536];
    DWORD needed = 0, returned = 0;
    BOOL first = call(nullptr, 0, &needed, &returned);
    std::string out = (first ? "TRUE" : Err()) + " " + Needed(needed);
    if (first || needed == 0 || needed > sizeof(buffer))
        return out;
    DWORD again = 0;
    BOOL small = call(buffer, needed - 1, &again, &returned);
    out += ", one short: " + (small ? std::string("TRUE") : Err()) + (again == needed ? " same size" : " other size");
    BOOL second = call(buffer, needed, &again, &returned);
    return out + ", then " + Ok(second) + (returned > 0 ? " records>0" : " records=0");
}
std::string Drivers(LPWSTR env, DWORD level) {
    return TwoCalls([&](BYTE *b, DWORD n, DWORD *need, DWORD *got) {
        return EnumPrinterDriversW(nullptr, env, level, b, n, need, got);
    });
}
bool HasQueue() {
    HANDLE h = nullptr;
    if (!OpenPrinterW(const_cast<LPWSTR>(kQueue), &h, nullptr))
        return false;
    ClosePrinter(h);
    return true;
}
std::string AddQueue() {
    PRINTER_INFO_2W info;
    memset(&info, 0, sizeof(info));
    info.pPrinterName = const_cast<LPWSTR>(kQueue);
    info.pPortName = const_cast<LPWSTR>(L"USB001");
    info.pDriverName = const_cast<LPWSTR>(kDriver);
    info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
    info.pDatatype = const_cast<LPWSTR>(L"RAW");
    HANDLE h = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE *>(&info));
    if (h == nullptr)
        return Err();
    ClosePrinter(h);
    return "TRUE";
}
std::string AddDriver(LPWSTR env) {
    DRIVER_INFO_8W info;
    memset(&info, 0, sizeof(info));
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(kDriver);
    info.pEnvironment = env;
    info.pDriverPath = const_cast<LPWSTR>(L"crvnprobe.dll");
    info.pDataFile = const_cast<LPWSTR>(L"crvnprobe.dat");
    info.pConfigFile = const_cast<LPWSTR>(L"crvnprobeui.dll");
    return Ok(AddPrinterDriverW(nullptr, 8, reinterpret_cast<BYTE *>(&info)));
}
// The driver again, as an upgrade adds it, with a version of its own.
const DWORDLONG kProbeVersion = (2025ull << 48) | (7ull << 32) | (16ull << 16) | 300ull;
std::string AddDriverEx(DWORD flags) {
    DRIVER_INFO_8W info;
    memset(&info, 0, sizeof(info));
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(kDriver);
    info.pEnvironment = gEnv;
    info.pDriverPath = const_cast<LPWSTR>(L"crvnprobe.dll");
    info.pDataFile = const_cast<LPWSTR>(L"crvnprobe.dat");
    info.pConfigFile = const_cast<LPWSTR>(L"crvnprobeui.dll");
    info.dwlDriverVersion = kProbeVersion;
    return Ok(AddPrinterDriverExW(nullptr, 8, reinterpret_cast<BYTE *>(&info), flags));
}
// The version the spooler lists for the driver, as the program compares it.
std::string ListedVersion() {
    DWORD needed = 0, count = 0;
    EnumPrinterDriversW(nullptr, gEnv, 8, nullptr, 0, &needed, &count);
    std::string buffer(needed, '\0');
    BYTE *b = reinterpret_cast<BYTE *>(&buffer[0]);
    if (needed == 0 || !EnumPrinterDriversW(nullptr, gEnv, 8, b, needed, &needed, &count))
        return Err();
    const DRIVER_INFO_8W *drivers = reinterpret_cast<const DRIVER_INFO_8W *>(b);
    for (DWORD i = 0; i < count; i++)
        if (drivers[i].pName && std::wstring(drivers[i].pName) == kDriver)
            return drivers[i].dwlDriverVersion == kProbeVersion ? "the version given"
                   : drivers[i].dwlDriverVersion == 0          ? "no version"
                                                                : "another version";
    return "not listed";
}
// Whether the driver's file is in the environment's version folder "3".
std::string InVersionFolder() {
    WCHAR dir[MAX_PATH];
    DWORD needed = 0;
    if (!GetPrinterDriverDirectoryW(nullptr, gEnv, 1, reinterpret_cast<BYTE *>(dir), sizeof(dir), &needed))
        return Err();
    return GetFileAttributesW((std::wstring(dir) + L"\\3\\crvnprobe.dll").c_str()) != INVALID_FILE_ATTRIBUTES
               ? "copied"
               : "not there";
}
std::string Printer(DWORD level) {
    HANDLE h = nullptr;
    if (!OpenPrinterW(const_cast<LPWSTR>(kQueue), &h, nullptr))
        return "open " + Err();
    std::string out = TwoCalls([&](BYTE *b, DWORD n, DWORD *need, DWORD *got) {
        *got = 1;
        return GetPrinterW(h, level, b, n, need);
    });
    ClosePrinter(h);
    return out;
}
std::string DeleteQueue() {
    HANDLE h = nullptr;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    if (!OpenPrinterW(const_cast<LPWSTR>(kQueue), &h, &defaults))
        return "open " + Err();
    std::string out = Ok(DeletePrinter(h));
    out += ", handle still closes: " + Ok(ClosePrinter(h));
    return out + ", then open: " + (HasQueue() ? "TRUE" : Err());
}

SC_HANDLE gManager;
std::string Service(const WCHAR *name) {
    SC_HANDLE s = OpenServiceW(gManager, name, SERVICE_ALL_ACCESS);
    if (s == nullptr)
        return Err();
    CloseServiceHandle(s);
    return "TRUE";
}
DWORD SpoolerState() {
    SC_HANDLE s = OpenServiceW(gManager, L"Spooler", SERVICE_ALL_ACCESS);
    SERVICE_STATUS status;
    memset(&status, 0, sizeof(status));
    QueryServiceStatus(s, &status);
    CloseServiceHandle(s);
    return status.dwCurrentState;
}
// Brings the spooler to a state, as the program does: ask, then poll.
bool SpoolerTo(DWORD state) {
    SC_HANDLE s = OpenServiceW(gManager, L"Spooler", SERVICE_ALL_ACCESS);
    SERVICE_STATUS status;
    if (state == SERVICE_RUNNING)
        StartServiceW(s, 0, nullptr);
    else
        ControlService(s, SERVICE_CONTROL_STOP, &status);
    CloseServiceHandle(s);
    for (int i = 0; i < 1000 && SpoolerState() != state; i++)
        Sleep(10);
    return SpoolerState() == state;
}
std::string OnSpooler(bool start) {
    SC_HANDLE s = OpenServiceW(gManager, L"Spooler", SERVICE_ALL_ACCESS);
    SERVICE_STATUS status;
    BOOL ok = start ? StartServiceW(s, 0, nullptr) : ControlService(s, SERVICE_CONTROL_STOP, &status);
    std::string out = Ok(ok);
    CloseServiceHandle(s);
    return out;
}
std::string StatusEx(DWORD level, DWORD bufferBytes) {
    SC_HANDLE s = OpenServiceW(gManager, L"Spooler", SERVICE_QUERY_STATUS);
    BYTE buffer[64];
    DWORD needed = 0;
    BOOL ok = QueryServiceStatusEx(s, static_cast<SC_STATUS_TYPE>(level), buffer, bufferBytes, &needed);
    CloseServiceHandle(s);
    return ok ? std::string("TRUE") : Err() + " needed " + std::to_string(needed);
}

std::string Load(const WCHAR *name, DWORD flags) {
    HMODULE m = LoadLibraryExW(name, nullptr, flags);
    return m ? "loaded" : "NULL " + std::to_string(GetLastError());
}
std::string Lookup(const WCHAR *dll, const char *function) {
    HMODULE m = GetModuleHandleW(dll);
    if (m == nullptr)
        m = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    FARPROC f = m ? GetProcAddress(m, function) : nullptr;
    return f ? "found" : "NULL " + std::to_string(GetLastError());
}
std::string DefaultDirectories(DWORD flags) {
    auto set = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (set == nullptr)
        return "not exported";
    std::string out = Ok(set(flags));
    set(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    return out;
}

std::string Utf8ToWide(int outChars) {
    WCHAR out[8];
    int n = MultiByteToWideChar(CP_UTF8, 0, "abcdef", -1, outChars ? out : nullptr, outChars);
    return n ? std::to_string(n) : "0 " + std::to_string(GetLastError());
}

// WOW64: what a 32-bit program on 64-bit Windows is told, and where its
// System32 leads. Each answer is the caller's; the 64-bit probe gets its own.
typedef BOOL(WINAPI *IsWow64Process2Function)(HANDLE, USHORT *, USHORT *);

std::wstring WindowsDir() {
    WCHAR dir[MAX_PATH];
    UINT n = GetWindowsDirectoryW(dir, MAX_PATH);
    return std::wstring(dir, n < MAX_PATH ? n : 0);
}
// A folder's last name, in lower case: what the call fixes, not the drive.
std::string LastName(UINT (WINAPI *call)(LPWSTR, UINT)) {
    WCHAR dir[MAX_PATH];
    UINT n = call(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return std::to_string(n) + " " + std::to_string(GetLastError());
    std::wstring name(dir);
    for (auto &c : name)
        c = static_cast<wchar_t>(towlower(c));
    return "..." + Narrow(name.substr(name.find_last_of(L'\\')));
}
std::string Wow64Machines() {
    auto call = reinterpret_cast<IsWow64Process2Function>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
    USHORT process = 0xffff, native = 0xffff;
    if (call == nullptr)
        return "not exported";
    if (!call(GetCurrentProcess(), &process, &native))
        return Err();
    char text[40];
    std::snprintf(text, sizeof(text), "process 0x%x native 0x%x", process, native);
    return text;
}
// A file made through one name of a system folder (under the Windows
// folder), with the thread's redirection off or on, looked for through
// another with it on, and deleted again.
std::string SeenAs(const WCHAR *made, const WCHAR *looked, bool redirectionOff) {
    PVOID old = nullptr;
    if (redirectionOff && !Wow64DisableWow64FsRedirection(&old))
        return "redirection stays: " + Err();
    std::wstring path = WindowsDir() + made;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    if (redirectionOff)
        Wow64RevertWow64FsRedirection(old);
    if (h == INVALID_HANDLE_VALUE)
        return "not made: FALSE " + std::to_string(error);
    DWORD a = GetFileAttributesW((WindowsDir() + looked).c_str());
    std::string out = a != INVALID_FILE_ATTRIBUTES ? "seen" : "not seen " + std::to_string(GetLastError());
    if (redirectionOff && Wow64DisableWow64FsRedirection(&old)) {
        DeleteFileW(path.c_str());
        Wow64RevertWow64FsRedirection(old);
    } else {
        DeleteFileW(path.c_str());
    }
    return out;
}

// The system's message for id into a buffer of size characters: its shape
// (a line that ends with CRLF), not its words, which differ by language.
std::string Message(DWORD id, DWORD size) {
    WCHAR text[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, id, 0, text,
                                  size, nullptr);
    if (length == 0)
        return "0 " + std::to_string(GetLastError());
    bool line = length >= 2 && text[length - 2] == L'\r' && text[length - 1] == L'\n' && text[length] == 0;
    return line ? "a line ending with CRLF" : "another shape";
}

// The account of a well-known SID, or the sizes a buffer of cch characters
// lacks.
std::string Account(WELL_KNOWN_SID_TYPE type, DWORD cch) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    WCHAR name[64], domain[64];
    DWORD nameCch = cch, domainCch = cch;
    SID_NAME_USE use = SidTypeUser;
    if (!CreateWellKnownSid(type, nullptr, sid, &size))
        return "no SID " + Err();
    if (!LookupAccountSidW(nullptr, sid, name, &nameCch, domain, &domainCch, &use))
        return Err() + " sizes " + std::to_string(nameCch) + " " + std::to_string(domainCch);
    return Narrow(domain) + "\\" + Narrow(name) + " use " + std::to_string(use) + " lengths " +
           std::to_string(nameCch) + " " + std::to_string(domainCch);
}

struct Row {
    const char *Name;
    std::string (*Answer)();
};

// The contracts, in the order they run (each row may rely on the ones before).
const Row kRows[] = {
    {"FormatMessageW a system error", [] { return Message(ERROR_ACCESS_DENIED, 512); }},
    {"FormatMessageW an HRESULT", [] { return Message(0x80004001, 512); }},
    {"FormatMessageW no such message", [] { return Message(0x2A3B4C5D, 512); }},
    {"LookupAccountSidW SYSTEM", [] { return Account(WinLocalSystemSid, 64); }},
    {"LookupAccountSidW Administrators", [] { return Account(WinBuiltinAdministratorsSid, 64); }},
    {"LookupAccountSidW buffers too small", [] { return Account(WinLocalSystemSid, 3); }},
    // Command lines (shell32).
    {"CommandLineToArgvW hand-over line", [] { return Argv(L"\"C:\\x\\uni1.tmp\" -u \"C:\\Program Files\\Corvane\\"); }},
    {"CommandLineToArgvW quoted log path", [] { return Argv(L"setup.exe /log \"C:\\a b\\x.log\" /quiet"); }},
    {"CommandLineToArgvW backslashes before a quote", [] { return Argv(L"p a\\\\\\\"b c\\\\\"d e\" f\\g"); }},
    {"CommandLineToArgvW empty and doubled quotes", [] { return Argv(L"p \"\" a\"\"b \"x\"\"y\""); }},
    {"CommandLineToArgvW empty line", [] { return Argv(L""); }},
    {"MultiByteToWideChar size query", [] { return Utf8ToWide(0); }},
    {"MultiByteToWideChar buffer too small", [] { return Utf8ToWide(3); }},
    // Named events: the relaunch's sign for its copy.
    {"OpenEventW missing", [] {
         HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, L"CorvaneProbeNoSuchEvent");
         return h == nullptr ? Err() : (CloseHandle(h), std::string("TRUE"));
     }},
    {"OpenEventW existing", [] {
         HANDLE made = CreateEventW(nullptr, TRUE, FALSE, L"CorvaneProbeEvent");
         HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, L"CorvaneProbeEvent");
         std::string out = h == nullptr ? Err() : "TRUE";
         if (h != nullptr)
             CloseHandle(h);
         if (made != nullptr)
             CloseHandle(made);
         return out;
     }},
    // Files.
    {"CreateDirectoryW new", [] { return Ok(CreateDirectoryW(Folder().c_str(), nullptr)); }},
    {"CreateDirectoryW existing", [] { return Ok(CreateDirectoryW(Folder().c_str(), nullptr)); }},
    {"CreateDirectoryW parent missing", [] { return Ok(CreateDirectoryW(P(L"none\\sub").c_str(), nullptr)); }},
    {"GetFileAttributesW missing file", [] { return Attributes(L"none"); }},
    {"GetFileAttributesW missing folder", [] { return Attributes(L"none\\x"); }},
    {"GetFileAttributesW folder", [] {
         DWORD a = GetFileAttributesW(Folder().c_str());
         return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) ? std::string("directory") : Err();
     }},
    {"CreateFileW CREATE_NEW", [] { return Create(L"a", GENERIC_WRITE, 0, CREATE_NEW); }},
    {"CreateFileW CREATE_NEW existing", [] { return Create(L"a", GENERIC_WRITE, 0, CREATE_NEW); }},
    {"CreateFileW OPEN_EXISTING missing", [] { return Create(L"none", GENERIC_READ, 0, OPEN_EXISTING); }},
    {"CreateFileW missing folder", [] { return Create(L"none\\x", GENERIC_READ, 0, OPEN_EXISTING); }},
    {"CopyFileW", [] { return Ok(CopyFileW(P(L"a").c_str(), P(L"b").c_str(), TRUE)); }},
    {"CopyFileW onto existing, fail if exists", [] { return Ok(CopyFileW(P(L"a").c_str(), P(L"b").c_str(), TRUE)); }},
    {"CopyFileW onto existing, overwrite", [] { return Ok(CopyFileW(P(L"a").c_str(), P(L"b").c_str(), FALSE)); }},
    {"CopyFileW missing source", [] { return Ok(CopyFileW(P(L"none").c_str(), P(L"c").c_str(), FALSE)); }},
    {"CopyFileW onto a folder", [] { return Ok(CopyFileW(P(L"a").c_str(), Folder().c_str(), FALSE)); }},
    {"DeleteFileW missing file", [] { return Ok(DeleteFileW(P(L"none").c_str())); }},
    {"DeleteFileW missing folder", [] { return Ok(DeleteFileW(P(L"none\\x").c_str())); }},
    {"DeleteFileW a folder", [] { return Ok(DeleteFileW(Folder().c_str())); }},
    {"RemoveDirectoryW not empty", [] { return Ok(RemoveDirectoryW(Folder().c_str())); }},
    {"RemoveDirectoryW a file", [] { return Ok(RemoveDirectoryW(P(L"a").c_str())); }},
    {"RemoveDirectoryW missing", [] { return Ok(RemoveDirectoryW(P(L"none").c_str())); }},
    {"MoveFileExW plain", [] { return Ok(MoveFileExW(P(L"b").c_str(), P(L"c").c_str(), 0)); }},
    {"MoveFileExW onto existing", [] { return Ok(MoveFileExW(P(L"a").c_str(), P(L"c").c_str(), 0)); }},
    {"MoveFileExW onto existing, replace", [] { return Ok(MoveFileExW(P(L"c").c_str(), P(L"b").c_str(), MOVEFILE_REPLACE_EXISTING)); }},
    {"MoveFileExW missing source", [] { return Ok(MoveFileExW(P(L"none").c_str(), P(L"d").c_str(), 0)); }},
    {"MoveFileExW delete at restart", [] { return Ok(MoveFileExW(P(L"b").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)); }},
    {"share mode, read-shared reader, open for write", [] {
         return WhileHeld(GENERIC_READ, FILE_SHARE_READ, [] { return Create(L"held", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING); });
     }},
    {"share mode, read-shared reader, open for read", [] {
         return WhileHeld(GENERIC_READ, FILE_SHARE_READ, [] { return Create(L"held", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING); });
     }},
    {"share mode, reader not sharing write, open with write sharing only", [] {
         return WhileHeld(GENERIC_READ, FILE_SHARE_READ, [] { return Create(L"held", GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING); });
     }},
    {"share mode, held without delete sharing, DeleteFileW", [] {
         return WhileHeld(GENERIC_READ, FILE_SHARE_READ, [] { return Ok(DeleteFileW(P(L"held").c_str())); });
     }},
    {"share mode, held without delete sharing, MoveFileExW", [] {
         return WhileHeld(GENERIC_READ, FILE_SHARE_READ, [] { return Ok(MoveFileExW(P(L"held").c_str(), P(L"moved").c_str(), 0)); });
     }},
    {"share mode, held, CopyFileW from it", [] {
         return WhileHeld(GENERIC_READ, FILE_SHARE_READ, [] { return Ok(CopyFileW(P(L"held").c_str(), P(L"copy").c_str(), FALSE)); });
     }},
    {"share mode, held for read, CopyFileW onto it", [] {
         return WhileHeld(GENERIC_READ, FILE_SHARE_READ, [] { return Ok(CopyFileW(P(L"a").c_str(), P(L"held").c_str(), FALSE)); });
     }},
    {"share mode, held for write unshared, CopyFileW from it", [] {
         return WhileHeld(GENERIC_WRITE, 0, [] { return Ok(CopyFileW(P(L"held").c_str(), P(L"copy").c_str(), FALSE)); });
     }},
    {"share mode, held with delete sharing, DeleteFileW", [] {
         return WhileHeld(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, [] { return Ok(DeleteFileW(P(L"held").c_str())); });
     }},
    {"GetFullPathNameW separators and dots", [] { return FullPath(L"C:/a/./b\\..//c.log", MAX_PATH); }},
    {"GetFullPathNameW trailing dots and blanks", [] { return FullPath(L"C:\\a\\b.log. .", MAX_PATH); }},
    {"GetFullPathNameW trailing separator", [] { return FullPath(L"C:\\a\\..\\b\\", MAX_PATH); }},
    {"GetFullPathNameW above the root", [] { return FullPath(L"C:\\..\\..\\a.log", MAX_PATH); }},
    {"GetFullPathNameW share", [] { return FullPath(L"\\\\server\\share\\a\\..\\b.log", MAX_PATH); }},
    {"GetFullPathNameW buffer too small", [] { return FullPath(L"C:\\a\\b.log", 5); }},
    {"GetFullPathNameW relative", [] {
         WCHAR full[MAX_PATH];
         DWORD n = GetFullPathNameW(L"logs\\x.log", MAX_PATH, full, nullptr);
         std::wstring f(full, n < MAX_PATH ? n : 0);
         return f.size() > 3 && f[1] == L':' && f[2] == L'\\' && f.rfind(L"\\logs\\x.log") == f.size() - 11
                    ? std::string("a full path ending in \\logs\\x.log")
                    : "0 " + std::to_string(GetLastError());
     }},
    // Attributes. Each row that changes a file has files of its own.
    {"GetFileAttributesW new file", [] { WriteSmallFile(P(L"ro")); return AttributesOf(L"ro", true); }},
    {"SetFileAttributesW read-only", [] { return Then(Ok(SetFileAttributesW(P(L"ro").c_str(), FILE_ATTRIBUTE_READONLY)), L"ro"); }},
    {"GetFileInformationByHandle read-only", [] { return HandleAttributes(L"ro"); }},
    {"CreateFileW read-only, for reading", [] { return Create(L"ro", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING); }},
    {"CreateFileW read-only, for writing", [] { return Create(L"ro", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING); }},
    {"CreateFileW read-only, CREATE_ALWAYS", [] {
         NewFile(L"ro2", FILE_ATTRIBUTE_READONLY);
         return Create(L"ro2", GENERIC_WRITE, 0, CREATE_ALWAYS);
     }},
    {"DeleteFileW read-only", [] { return Ok(DeleteFileW(P(L"ro").c_str())); }},
    {"CopyFileW from read-only", [] { return Then(Ok(CopyFileW(P(L"ro").c_str(), P(L"rocopy").c_str(), FALSE)), L"rocopy"); }},
    {"MoveFileExW read-only", [] { return Then(Ok(MoveFileExW(P(L"rocopy").c_str(), P(L"romoved").c_str(), 0)), L"romoved"); }},
    {"CopyFileW onto read-only", [] {
         NewFile(L"ro3", FILE_ATTRIBUTE_READONLY);
         return Ok(CopyFileW(P(L"a").c_str(), P(L"ro3").c_str(), FALSE));
     }},
    {"MoveFileExW onto read-only, replace", [] {
         NewFile(L"ro4", FILE_ATTRIBUTE_READONLY);
         WriteSmallFile(P(L"plain"));
         return Ok(MoveFileExW(P(L"plain").c_str(), P(L"ro4").c_str(), MOVEFILE_REPLACE_EXISTING));
     }},
    {"CopyFileW onto hidden", [] {
         NewFile(L"hidden", FILE_ATTRIBUTE_HIDDEN);
         return Then(Ok(CopyFileW(P(L"a").c_str(), P(L"hidden").c_str(), FALSE)), L"hidden");
     }},
    {"CreateFileW hidden, CREATE_ALWAYS without it", [] {
         NewFile(L"hidden2", FILE_ATTRIBUTE_HIDDEN);
         return Create(L"hidden2", GENERIC_WRITE, 0, CREATE_ALWAYS);
     }},
    {"SetFileAttributesW normal", [] {
         std::string out = Ok(SetFileAttributesW(P(L"ro").c_str(), FILE_ATTRIBUTE_NORMAL));
         out += ", then " + AttributesOf(L"ro", true);
         return out + ", delete " + Ok(DeleteFileW(P(L"ro").c_str()));
     }},
    {"SetFileAttributesW missing", [] { return Ok(SetFileAttributesW(P(L"none").c_str(), FILE_ATTRIBUTE_NORMAL)); }},
    {"GetTempFileNameW", [] { return TempName(gDir.c_str(), 0); }},
    {"GetTempFileNameW given number", [] { return TempName(gDir.c_str(), 0x1234); }},
    {"GetTempFileNameW missing folder", [] { return TempName(P(L"none").c_str(), 0); }},
    {"GetTempPathW ends in a backslash", [] {
         WCHAR path[MAX_PATH];
         DWORD n = GetTempPathW(MAX_PATH, path);
         return n > 0 && path[n - 1] == L'\\' ? std::string("TRUE") : "FALSE";
     }},
    {"GetTempPathW buffer too small", [] {
         WCHAR path[2];
         DWORD n = GetTempPathW(2, path);
         return n > 2 ? std::string("needs more") : std::to_string(n);
     }},
    // Registry.
    {"RegOpenKeyExW missing", [] { return OpenKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\CorvaneProbe\\None", KEY_READ); }},
    {"RegOpenKeyExW both views", [] { return OpenKey(HKEY_LOCAL_MACHINE, kKey, KEY_READ | KEY_WOW64_32KEY | KEY_WOW64_64KEY); }},
    {"RegOpenKeyExW 32-bit view of a 64-bit key", [] { return OpenKey(HKEY_LOCAL_MACHINE, kKey, KEY_READ | KEY_WOW64_32KEY); }},
    {"RegOpenKeyExW 32-bit view of a shared key", [] {
         return OpenKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print", KEY_READ | KEY_WOW64_32KEY);
     }},
    {"RegOpenKeyW", [] {
         HKEY key;
         LONG s = RegOpenKeyW(HKEY_LOCAL_MACHINE, kKey, &key);
         if (s == ERROR_SUCCESS)
             RegCloseKey(key);
         return Reg(s);
     }},
    {"RegQueryValueExW size query", [] { return Query(L"Text", 0); }},
    {"RegQueryValueExW buffer too small", [] { return Query(L"Text", 2); }},
    {"RegQueryValueExW unterminated", [] { return Query(L"NoTerm", 64); }},
    {"RegQueryValueExW missing value", [] { return Query(L"None", 64); }},
    {"RegGetValueW REG_SZ size query", [] { return GetValue(L"Text", RRF_RT_REG_SZ, 0); }},
    {"RegGetValueW REG_SZ", [] { return GetValue(L"Text", RRF_RT_REG_SZ, 64); }},
    {"RegGetValueW REG_SZ buffer too small", [] { return GetValue(L"Text", RRF_RT_REG_SZ, 4); }},
    {"RegGetValueW unterminated REG_SZ size query", [] { return GetValue(L"NoTerm", RRF_RT_REG_SZ, 0); }},
    {"RegGetValueW unterminated REG_SZ", [] { return GetValue(L"NoTerm", RRF_RT_REG_SZ, 64); }},
    {"RegGetValueW REG_MULTI_SZ", [] { return GetValue(L"Multi", RRF_RT_REG_MULTI_SZ, 64); }},
    {"RegGetValueW wrong type", [] { return GetValue(L"Number", RRF_RT_REG_SZ, 64); }},
    {"RegGetValueW REG_DWORD", [] { return GetValue(L"Number", RRF_RT_REG_DWORD, 64); }},
    {"RegGetValueW missing value", [] { return GetValue(L"None", RRF_RT_ANY, 64); }},
    {"RegEnumKeyW to the end", [] { return EnumKeys(); }},
    // Services.
    {"OpenSCManagerW", [] { return (gManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) ? std::string("TRUE") : Err(); }},
    {"OpenServiceW missing", [] { return Service(L"CorvaneNoSuchService"); }},
    {"OpenServiceW Spooler", [] { return Service(L"Spooler"); }},
    {"QueryServiceStatusEx", [] { return StatusEx(SC_STATUS_PROCESS_INFO, sizeof(SERVICE_STATUS_PROCESS)); }},
    {"QueryServiceStatusEx buffer too small", [] { return StatusEx(SC_STATUS_PROCESS_INFO, 8); }},
    {"QueryServiceStatusEx level", [] { return StatusEx(7, sizeof(SERVICE_STATUS_PROCESS)); }},
    {"spooler started and seen running", [] { return SpoolerTo(SERVICE_RUNNING) ? std::string("TRUE") : "FALSE"; }},
    {"StartServiceW running", [] { return OnSpooler(true); }},
    {"spooler stopped and seen stopped", [] { return SpoolerTo(SERVICE_STOPPED) ? std::string("TRUE") : "FALSE"; }},
    {"ControlService stop stopped", [] { return OnSpooler(false); }},
    {"spooler started again", [] { return SpoolerTo(SERVICE_RUNNING) ? std::string("TRUE") : "FALSE"; }},
    // Loader.
    {"LoadLibraryExW missing", [] { return Load(L"crvnnosuch.dll", 0); }},
    {"LoadLibraryExW System32 only", [] { return Load(L"winspool.drv", LOAD_LIBRARY_SEARCH_SYSTEM32); }},
    {"LoadLibraryExW search flags with altered path", [] {
         return Load(L"winspool.drv", LOAD_WITH_ALTERED_SEARCH_PATH | LOAD_LIBRARY_SEARCH_SYSTEM32);
     }},
    {"LoadLibraryExW altered path, relative name", [] { return Load(L"winspool.drv", LOAD_WITH_ALTERED_SEARCH_PATH); }},
    {"GetProcAddress missing", [] { return Lookup(L"winspool.drv", "CorvaneNoSuchFunction"); }},
    {"GetProcAddress optional package deletion", [] { return Lookup(L"winspool.drv", "DeletePrinterDriverPackageW"); }},
    {"GetModuleHandleW not loaded", [] { return GetModuleHandleW(L"crvnnosuch.dll") ? std::string("found") : "NULL " + std::to_string(GetLastError()); }},
    {"SetDefaultDllDirectories 0", [] { return DefaultDirectories(0); }},
    {"SetDefaultDllDirectories System32", [] { return DefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32); }},
    {"SetDllDirectoryW empty", [] { return Ok(SetDllDirectoryW(L"")); }},
    // WOW64.
    {"IsWow64Process", [] {
         BOOL wow64 = FALSE;
         return IsWow64Process(GetCurrentProcess(), &wow64) ? (wow64 ? "TRUE wow64" : "TRUE not wow64") : Err();
     }},
    {"IsWow64Process2", [] { return Wow64Machines(); }},
    {"GetNativeSystemInfo", [] {
         SYSTEM_INFO info;
         memset(&info, 0, sizeof(info));
         GetNativeSystemInfo(&info);
         return "processor " + std::to_string(info.wProcessorArchitecture);
     }},
    {"GetSystemDirectoryW", [] { return LastName(GetSystemDirectoryW); }},
    {"GetSystemWow64DirectoryW", [] { return LastName(GetSystemWow64DirectoryW); }},
    {"GetFileAttributesW Sysnative", [] {
         DWORD a = GetFileAttributesW((WindowsDir() + L"\\Sysnative").c_str());
         return a == INVALID_FILE_ATTRIBUTES ? "INVALID " + std::to_string(GetLastError()) : std::string("found");
     }},
    {"file made in System32, looked for in SysWOW64", [] {
         return SeenAs(L"\\System32\\crvnprobe.tmp", L"\\SysWOW64\\crvnprobe.tmp", false);
     }},
    {"file made in Sysnative, looked for in System32", [] {
         return SeenAs(L"\\Sysnative\\crvnprobe.tmp", L"\\System32\\crvnprobe.tmp", false);
     }},
    {"file made in System32 without redirection, looked for in Sysnative", [] {
         return SeenAs(L"\\System32\\crvnprobe.tmp", L"\\Sysnative\\crvnprobe.tmp", true);
     }},
    {"file made in System32\\spool, looked for in Sysnative\\spool", [] {
         return SeenAs(L"\\System32\\spool\\crvnprobe.tmp", L"\\Sysnative\\spool\\crvnprobe.tmp", false);
     }},
    {"RegOpenKeyExW a key of the 64-bit view only", [] { return OpenKey(HKEY_LOCAL_MACHINE, kKey64, KEY_READ); }},
    {"RegOpenKeyExW a key of the 64-bit view only, 64-bit view", [] {
         return OpenKey(HKEY_LOCAL_MACHINE, kKey64, KEY_READ | KEY_WOW64_64KEY);
     }},
    // Spooler.
    {"GetPrinterDriverDirectoryW size query", [] { return DriverDirectory(gEnv, 1, 0); }},
    {"GetPrinterDriverDirectoryW buffer too small", [] { return DriverDirectory(gEnv, 1, 4); }},
    {"GetPrinterDriverDirectoryW", [] { return DriverDirectory(gEnv, 1, 600); }},
    {"GetPrinterDriverDirectoryW x86", [] { return DriverDirectory(gX86, 1, 600); }},
    {"GetPrinterDriverDirectoryW null environment", [] { return DriverDirectory(nullptr, 1, 600); }},
    {"GetPrinterDriverDirectoryW unknown environment", [] { return DriverDirectory(gBadEnv, 1, 600); }},
    {"GetPrinterDriverDirectoryW level 2", [] { return DriverDirectory(gEnv, 2, 600); }},
    {"EnumPortsW level 2", [] {
         return TwoCalls([](BYTE *b, DWORD n, DWORD *need, DWORD *got) { return EnumPortsW(nullptr, 2, b, n, need, got); });
     }},
    {"EnumPortsW level 3", [] {
         return TwoCalls([](BYTE *b, DWORD n, DWORD *need, DWORD *got) { return EnumPortsW(nullptr, 3, b, n, need, got); });
     }},
    {"AddPrinterDriverW level 8", [] { return AddDriver(gEnv); }},
    {"AddPrinterDriverW unknown environment", [] { return AddDriver(gBadEnv); }},
    {"AddPrinterDriverW copies into the version folder", [] { return InVersionFolder(); }},
    {"AddPrinterDriverExW APD_COPY_NEW_FILES over the driver", [] { return AddDriverEx(APD_COPY_NEW_FILES); }},
    {"EnumPrinterDriversW the version added", [] { return ListedVersion(); }},
    {"EnumPrinterDriversW level 8", [] { return Drivers(gEnv, 8); }},
    {"EnumPrinterDriversW unknown environment", [] { return Drivers(gBadEnv, 8); }},
    {"EnumPrinterDriversW level 9", [] { return Drivers(gEnv, 9); }},
    {"EnumPrinterDriversW null environment", [] { return Drivers(nullptr, 8); }},
    {"AddPrinterW", [] { return AddQueue(); }},
    {"AddPrinterW existing", [] { return AddQueue(); }},
    {"EnumPrintersW level 2", [] {
         return TwoCalls([](BYTE *b, DWORD n, DWORD *need, DWORD *got) { return EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, b, n, need, got); });
     }},
    {"OpenPrinterW missing", [] {
         HANDLE h = nullptr;
         return OpenPrinterW(const_cast<LPWSTR>(L"Corvane No Such Queue"), &h, nullptr) ? std::string("TRUE") : Err();
     }},
    {"GetPrinterW level 2", [] { return Printer(2); }},
    {"DeletePrinterDriverExW in use", [] { return Ok(DeletePrinterDriverExW(nullptr, gEnv, const_cast<LPWSTR>(kDriver), 0, 0)); }},
    {"DeletePrinter", [] { return DeleteQueue(); }},
    {"DeletePrinterDriverExW unused files", [] {
         return Ok(DeletePrinterDriverExW(nullptr, gEnv, const_cast<LPWSTR>(kDriver), DPD_DELETE_UNUSED_FILES, 0));
     }},
    {"AddPrinterDriverW again", [] { return AddDriver(gEnv); }},
    {"DeletePrinterDriverExW no flags", [] { return Ok(DeletePrinterDriverExW(nullptr, gEnv, const_cast<LPWSTR>(kDriver), 0, 0)); }},
    {"DeletePrinterDriverExW missing", [] {
         SetLastError(0);
         return Ok(DeletePrinterDriverExW(nullptr, gEnv, const_cast<LPWSTR>(L"Corvane No Such Driver"), 0, 0));
     }},
    {"DeletePrinterDriverExW unknown environment", [] { return Ok(DeletePrinterDriverExW(nullptr, gBadEnv, const_cast<LPWSTR>(kDriver), 0, 0)); }},
    {"DeleteMonitorW missing", [] { return Ok(DeleteMonitorW(nullptr, gEnv, const_cast<LPWSTR>(L"Corvane No Such Monitor"))); }},
    {"AddMonitorW other environment", [] {
         MONITOR_INFO_2W info = {const_cast<LPWSTR>(L"Corvane Probe Monitor"), gX86, const_cast<LPWSTR>(L"crvnprobemon.dll")};
         return Ok(AddMonitorW(nullptr, 2, reinterpret_cast<BYTE *>(&info)));
     }},
};

// What each side needs beforehand, made with its own means: the probe's
// registry key (the program never writes the registry) and port.
void Arrange(bool wow64) {
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    gDir = std::wstring(temp) + L"crvnprobe\\";
    const WCHAR multi[] = L"a\0bc\0";
#ifdef _WIN32
    HKEY key, sub;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegSetValueExW(key, L"Text", 0, REG_SZ, reinterpret_cast<const BYTE *>(L"abc"), 8);
    // Six bytes of "xyzw": Wine adds a terminator that follows the data.
    RegSetValueExW(key, L"NoTerm", 0, REG_SZ, reinterpret_cast<const BYTE *>(L"xyzw"), 6);
    RegSetValueExW(key, L"Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(multi), sizeof(multi));
    DWORD seven = 7;
    RegSetValueExW(key, L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&seven), 4);
    for (const WCHAR *name : {L"One", L"Two"}) {
        RegCreateKeyExW(key, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr);
        RegCloseKey(sub);
    }
    RegCloseKey(key);
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey64, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    RegCloseKey(key);
    (void)wow64;  // the probe's own bitness
    HKEY ports;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports", 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &ports, nullptr);
    RegSetValueExW(ports, L"USB001", 0, REG_SZ, reinterpret_cast<const BYTE *>(L""), 2);
    RegCloseKey(ports);
#else
    sim::Reset();
    // The 32-bit probe on x64 Windows: the registry calls below take keys as
    // they are, and a 32-bit caller's HKLM\SOFTWARE is the WOW6432Node.
    sim::SetProgram32Bit(wow64);
    const std::wstring key = wow64 ? L"SOFTWARE\\WOW6432Node\\CorvaneProbe" : kKey;
    sim::SetStringValue(key, L"Text", L"abc");
    sim::SetRawValue(key, L"NoTerm", REG_SZ, sim::RegText(L"xyz", false));
    sim::SetRawValue(key, L"Multi", REG_MULTI_SZ,
                     std::vector<uint8_t>(reinterpret_cast<const uint8_t *>(multi),
                                          reinterpret_cast<const uint8_t *>(multi) + sizeof(multi)));
    sim::SetDwordValue(key, L"Number", 7);
    sim::CreateKey(key + L"\\One");
    sim::CreateKey(key + L"\\Two");
    sim::CreateKey(kKey64);
    sim::CreateKey(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print");
    sim::AddPort(L"USB001");
#endif
    // The driver's files, where the spooler takes them from.
    WCHAR dir[MAX_PATH];
    DWORD needed = 0;
    if (GetPrinterDriverDirectoryW(nullptr, gEnv, 1, reinterpret_cast<BYTE *>(dir), sizeof(dir), &needed))
        for (const WCHAR *file : {L"crvnprobe.dll", L"crvnprobe.dat", L"crvnprobeui.dll"})
            WriteSmallFile(std::wstring(dir) + L"\\" + file);
}

}  // namespace

// The host build plays the 32-bit probe on x64 Windows with --wow64.
#ifdef _WIN32
int wmain() {
    Arrange(sizeof(void *) == 4);
#else
int main(int argc, char **argv) {
    Arrange(argc > 1 && std::strcmp(argv[1], "--wow64") == 0);
#endif
    for (const Row &row : kRows)
        std::printf("%s: %s\n", row.Name, row.Answer().c_str());
    return 0;
}
