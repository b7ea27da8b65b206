// Setup INF files of the simulated machine: the version information of an
// INF read from the simulated file system.
//
// SP_INF_INFORMATION's VersionData is opaque to its callers. Here it holds
// the INF's full path, then each [Version] entry as key and value, every
// string with its terminator, and one more terminator at the end.
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <utility>
#include <vector>

#include "kernel.h"
#include "sim/files.h"
#include "sim/inf.h"

namespace {

using simk::SameText;

using Entries = std::vector<std::pair<std::wstring, std::wstring>>;

std::wstring Trim(const std::wstring &s) {
    size_t b = s.find_first_not_of(L" \t\r");
    if (b == std::wstring::npos)
        return std::wstring();
    size_t e = s.find_last_not_of(L" \t\r");
    return s.substr(b, e - b + 1);
}

// The file's bytes as text: UTF-16LE with its mark, UTF-8 (mark optional).
std::wstring Decode(const std::string &bytes) {
    std::wstring out;
    if (bytes.size() >= 2 && (unsigned char)bytes[0] == 0xFF && (unsigned char)bytes[1] == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            out += static_cast<wchar_t>((unsigned char)bytes[i] | ((unsigned char)bytes[i + 1] << 8));
        return out;
    }
    size_t i = 0;
    if (bytes.size() >= 3 && (unsigned char)bytes[0] == 0xEF && (unsigned char)bytes[1] == 0xBB &&
        (unsigned char)bytes[2] == 0xBF)
        i = 3;
    while (i < bytes.size()) {
        unsigned char c = (unsigned char)bytes[i];
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        unsigned long cp = extra == 0 ? c : c & (0x3F >> extra);
        size_t j = 1;
        for (; j <= (size_t)extra && i + j < bytes.size() && ((unsigned char)bytes[i + j] & 0xC0) == 0x80; j++)
            cp = (cp << 6) | ((unsigned char)bytes[i + j] & 0x3F);
        if (j != (size_t)extra + 1)
            cp = c;  // not UTF-8: take the byte as it is
        out += static_cast<wchar_t>(cp);
        i += j;
    }
    return out;
}

// The value of an INF line: fields separated by commas outside quotes, each
// trimmed and unquoted ("" inside quotes is one quote), joined by commas.
std::wstring ValueOf(const std::wstring &raw) {
    std::vector<std::wstring> fields(1);
    bool quoted = false;
    std::wstring pending;  // blanks kept only if more text follows in the field
    for (size_t i = 0; i < raw.size(); i++) {
        wchar_t c = raw[i];
        if (c == L'"') {
            if (quoted && i + 1 < raw.size() && raw[i + 1] == L'"') {
                fields.back() += pending + L"\"";
                pending.clear();
                i++;
            } else {
                fields.back() += pending;
                pending.clear();
                quoted = !quoted;
            }
        } else if (!quoted && c == L',') {
            fields.emplace_back();
            pending.clear();
        } else if (!quoted && (c == L' ' || c == L'\t')) {
            if (!fields.back().empty())
                pending += c;
        } else {
            fields.back() += pending + c;
            pending.clear();
        }
    }
    std::wstring joined;
    for (size_t i = 0; i < fields.size(); i++)
        joined += (i ? L"," : L"") + fields[i];
    return joined;
}

// Cuts a line at a ';' that is outside quotes.
std::wstring WithoutComment(const std::wstring &line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); i++) {
        if (line[i] == L'"')
            quoted = !quoted;
        else if (line[i] == L';' && !quoted)
            return line.substr(0, i);
    }
    return line;
}

// The [Version] entries of an INF text; false when it has no signature.
bool ReadVersionSection(const std::wstring &text, Entries *entries) {
    bool inVersion = false;
    bool signed_ = false;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = Trim(WithoutComment(text.substr(start, end - start)));
        start = end + 1;
        if (line.empty())
            continue;
        if (line[0] == L'[') {
            size_t close = line.find(L']');
            inVersion = close != std::wstring::npos && SameText(Trim(line.substr(1, close - 1)), L"Version");
            continue;
        }
        if (!inVersion)
            continue;
        size_t eq = line.find(L'=');
        if (eq == std::wstring::npos)
            continue;
        std::wstring key = Trim(line.substr(0, eq));
        std::wstring value = ValueOf(line.substr(eq + 1));
        if (SameText(key, L"Signature"))
            signed_ = true;
        entries->push_back({key, value});
    }
    return signed_;
}

DWORD InfStyle(const Entries &entries) {
    for (auto &e : entries)
        if (SameText(e.first, L"Signature"))
            return SameText(e.second, L"$Windows NT$") || SameText(e.second, L"$Chicago$") ||
                           SameText(e.second, L"$Windows 95$")
                       ? INF_STYLE_WIN4
                       : INF_STYLE_OLDNT;
    return INF_STYLE_NONE;
}

const wchar_t kInfDirectory[] = L"C:\\Windows\\INF\\";

}  // namespace

namespace sim {
namespace inf {

#ifndef SIMWIN_PACKAGE_DRIVER_VER
#error "the build names the package's DriverVer (cmake/host.cmake)"
#endif
const char kPackageDriverVer[] = SIMWIN_PACKAGE_DRIVER_VER;

bool ParseDriverVer(const std::wstring &value, FILETIME *date, DWORDLONG *version) {
    unsigned month = 0, day = 0, year = 0, parts[4] = {0, 0, 0, 0};
    std::wstring datePart = value.substr(0, value.find(L','));
    if (swscanf(datePart.c_str(), L"%u/%u/%u", &month, &day, &year) != 3 || month < 1 || month > 12 || day < 1 ||
        day > 31 || year < 1601)
        return false;
    if (value.find(L',') != std::wstring::npos)
        swscanf(value.c_str() + value.find(L',') + 1, L"%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    *version = 0;
    for (unsigned part : parts)
        *version = (*version << 16) | (part & 0xFFFF);
    // Days from 1 January 1601 to the date (the proleptic Gregorian calendar).
    static const int kBefore[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    auto leap = [](unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
    unsigned long long days = 0;
    for (unsigned y = 1601; y < year; y++)
        days += leap(y) ? 366 : 365;
    days += kBefore[month - 1] + (month > 2 && leap(year) ? 1 : 0) + (day - 1);
    unsigned long long ticks = days * 24ull * 3600ull * 10000000ull;
    date->dwLowDateTime = static_cast<DWORD>(ticks);
    date->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return true;
}

bool ReadDriverVer(const std::wstring &path, FILETIME *date, DWORDLONG *version) {
    Entries entries;
    if (!sim::files::IsFile(path) || !ReadVersionSection(Decode(sim::files::ReadFile(path)), &entries))
        return false;
    for (auto &e : entries)
        if (SameText(e.first, L"DriverVer"))
            return ParseDriverVer(e.second, date, version);
    return false;
}

std::string PrinterInfText(const std::string &driverVer) {
    std::string text =
        "; Stand-in for the printer maker's INF\r\n"
        "[Version]\r\n"
        "Signature=\"$Windows NT$\"\r\n"
        "Class=Printer\r\n"
        "ClassGUID={4D36E979-E325-11CE-BFC1-08002BE10318}\r\n"
        "Provider=%Corvane%\r\n";
    if (!driverVer.empty())
        text += "DriverVer=" + driverVer + "\r\n";
    text +=
        "CatalogFile=crvnv6.cat\r\n"
        "\r\n"
        "[Strings]\r\n"
        "Corvane=\"Corvane\"\r\n";
    return text;
}

}  // namespace inf
}  // namespace sim

BOOL WINAPI SetupGetInfInformationW(LPCVOID InfSpec, DWORD SearchControl, PSP_INF_INFORMATION ReturnBuffer,
                                    DWORD ReturnBufferSize, PDWORD RequiredSize) {
    SIM_ENTER("SetupGetInfInformationW", FALSE);
    if (!InfSpec) {
        SetLastError(SearchControl == INFINFO_INF_SPEC_IS_HINF ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::wstring path = static_cast<const WCHAR *>(InfSpec);
    if (SearchControl == INFINFO_DEFAULT_SEARCH) {
        // A bare name is looked up in the system's INF folder.
        if (path.find(L'\\') == std::wstring::npos)
            path = kInfDirectory + path;
    } else if (SearchControl != INFINFO_INF_NAME_IS_ABSOLUTE) {
        // Open INF handles and the other searches are not modelled.
        SetLastError(SearchControl == INFINFO_INF_SPEC_IS_HINF ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The INF is read in the calling process, through its file system
    // redirector (the driver store is exempt from it).
    std::wstring file = simk::RedirectedPath(path);
    if (!sim::files::IsFile(file)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    Entries entries;
    if (!ReadVersionSection(Decode(sim::files::ReadFile(file)), &entries)) {
        SetLastError(ERROR_WRONG_INF_STYLE);
        return FALSE;
    }
    std::wstring data = path + L'\0';
    for (auto &e : entries)
        data += e.first + L'\0' + e.second + L'\0';
    data += L'\0';
    DWORD need = static_cast<DWORD>(offsetof(SP_INF_INFORMATION, VersionData) + data.size() * sizeof(WCHAR));
    if (RequiredSize)
        *RequiredSize = need;
    if (!ReturnBuffer) {
        if (ReturnBufferSize != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return TRUE;
    }
    if (ReturnBufferSize < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    ReturnBuffer->InfStyle = InfStyle(entries);
    ReturnBuffer->InfCount = 1;
    memcpy(ReturnBuffer->VersionData, data.data(), data.size() * sizeof(WCHAR));
    return TRUE;
}

BOOL WINAPI SetupQueryInfVersionInformationW(PSP_INF_INFORMATION InfInformation, UINT InfIndex, PCWSTR Key,
                                             PWSTR ReturnBuffer, DWORD ReturnBufferSize, PDWORD RequiredSize) {
    SIM_ENTER("SetupQueryInfVersionInformationW", FALSE);
    if (!InfInformation || InfIndex >= InfInformation->InfCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const WCHAR *p = reinterpret_cast<const WCHAR *>(InfInformation->VersionData);
    p += wcslen(p) + 1;  // the path
    std::wstring answer;
    bool found = false;
    while (*p) {
        std::wstring key = p;
        p += key.size() + 1;
        std::wstring value = p;
        p += value.size() + 1;
        if (!Key) {
            // Every key, each with its terminator, and a final terminator.
            answer += key + L'\0';
            found = true;
        } else if (!found && SameText(key, Key)) {
            answer = value;
            found = true;
        }
    }
    if (!found) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    answer += L'\0';
    DWORD need = static_cast<DWORD>(answer.size()) + (Key ? 0 : 1);
    if (RequiredSize)
        *RequiredSize = need;
    if (!ReturnBuffer)
        return TRUE;
    if (ReturnBufferSize < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    wmemcpy(ReturnBuffer, answer.data(), answer.size());
    if (!Key)
        ReturnBuffer[answer.size()] = 0;
    return TRUE;
}
