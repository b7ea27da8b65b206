// The simulated registry: HKEY_LOCAL_MACHINE with typed values.
#pragma once

#include <windef.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {
// Paths are below HKEY_LOCAL_MACHINE, without a leading backslash; names are
// matched without regard to letter case, as Windows does. Setting a value
// creates the key and its parents.
//
// The paths here are the keys themselves, as a 64-bit program sees them: the
// 32-bit view of a redirected key is below SOFTWARE\WOW6432Node (or
// SOFTWARE\Classes\WOW6432Node). The product's registry calls go through the
// WOW64 registry redirector when it runs as a WOW64 process
// (sim::SetProgram32Bit), or when it asks for a view with KEY_WOW64_32KEY or
// KEY_WOW64_64KEY; see simwin/registry.cpp for the keys both views share
// (SOFTWARE\Microsoft\Windows NT\CurrentVersion\Print among them, and
// all of SYSTEM).
void CreateKey(const std::wstring &path);
bool KeyExists(const std::wstring &path);
void DeleteKey(const std::wstring &path);  // with its subkeys
// A string value as Windows stores it: UTF-16 text with its terminator.
void SetStringValue(const std::wstring &path, const std::wstring &name, const std::wstring &text, DWORD type = 1);
// A REG_MULTI_SZ value from its strings (double terminator added).
void SetMultiStringValue(const std::wstring &path, const std::wstring &name, const std::vector<std::wstring> &items);
void SetDwordValue(const std::wstring &path, const std::wstring &name, DWORD value);
// Any value with raw data: the data is given in Windows' own byte layout
// (UTF-16 code units of 2 bytes for text), so that odd sizes, missing
// terminators and wrong types can be stored. Use RegText to build text data.
void SetRawValue(const std::wstring &path, const std::wstring &name, DWORD type, const std::vector<uint8_t> &data);
std::vector<uint8_t> RegText(const std::wstring &text, bool terminator = true);
void DeleteValue(const std::wstring &path, const std::wstring &name);
int OpenKeyCount();  // keys opened and not closed
}  // namespace sim
