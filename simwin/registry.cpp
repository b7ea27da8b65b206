// The simulated registry. Values are kept in the host's layout (text as
// WCHARs of sizeof(WCHAR) bytes), so that a byte count that the product reads
// from a value is a host byte count, as the product's buffers are.
#include <windows.h>

#include <cstring>
#include <map>

#include "kernel.h"
#include "sim/registry.h"

namespace {

struct Value {
    std::wstring Name;
    DWORD Type = REG_NONE;
    std::vector<uint8_t> Data;
};

struct Key {
    std::wstring Path;  // as first created
    std::vector<Value> Values;
};

struct Registry {
    std::map<std::wstring, Key> Keys;  // by lower-case path
    std::map<HKEY, std::wstring> Open; // handle -> lower-case path
};

Registry &R() {
    static Registry registry;
    return registry;
}

simk::Registrar gRegistrar([] { simk::OnReset([] { R() = Registry(); }); });

using simk::Lower;

std::wstring Normalise(const std::wstring &path) {
    std::wstring out;
    for (wchar_t c : path) {
        if (c == L'\\' && (out.empty() || out.back() == L'\\'))
            continue;
        out += c;
    }
    while (!out.empty() && out.back() == L'\\')
        out.pop_back();
    return out;
}

Key &Ensure(const std::wstring &path) {
    std::wstring norm = Normalise(path);
    // Parents exist too.
    for (size_t pos = norm.find(L'\\'); pos != std::wstring::npos; pos = norm.find(L'\\', pos + 1)) {
        std::wstring parent = norm.substr(0, pos);
        auto &k = R().Keys[Lower(parent)];
        if (k.Path.empty())
            k.Path = parent;
    }
    auto &k = R().Keys[Lower(norm)];
    if (k.Path.empty())
        k.Path = norm;
    return k;
}

Value *FindValue(Key &key, const std::wstring &name) {
    std::wstring lname = Lower(name);
    for (auto &v : key.Values)
        if (Lower(v.Name) == lname)
            return &v;
    return nullptr;
}

void Store(const std::wstring &path, const std::wstring &name, DWORD type, std::vector<uint8_t> data) {
    Key &k = Ensure(path);
    Value *v = FindValue(k, name);
    if (!v) {
        k.Values.push_back({name, type, {}});
        v = &k.Values.back();
    }
    v->Type = type;
    v->Data = std::move(data);
}

bool IsRoot(HKEY key) { return key == HKEY_LOCAL_MACHINE; }

// The lower-case path that a handle names, or false for an unknown handle.
bool Resolve(HKEY key, std::wstring *path) {
    if (IsRoot(key)) {
        path->clear();
        return true;
    }
    auto it = R().Open.find(key);
    if (it == R().Open.end())
        return false;
    *path = it->second;
    return true;
}

// --- The WOW64 registry redirector ------------------------------------------
//
// In the 32-bit view (a WOW64 process's default, or KEY_WOW64_32KEY) of a
// 64-bit Windows, HKLM\SOFTWARE leads to HKLM\SOFTWARE\WOW6432Node, except
// the keys that both views share, as Microsoft lists them for Windows 7 and
// later ("Registry Keys Affected by WOW64"); below the shared
// SOFTWARE\Classes, its redirected subkeys lead to
// SOFTWARE\Classes\WOW6432Node. A subkey inherits its parent's rule unless
// it has its own. Everything outside SOFTWARE (SYSTEM among it) is shared.
// The view is chosen by each call: a key opened in one view does not pass it
// on to the subkeys opened through it.

struct ViewRule {
    const wchar_t *Key;  // below HKLM, lower case
    bool Shared;
};

const ViewRule kViewRules[] = {
    {L"software\\classes", true},
    {L"software\\classes\\clsid", false},
    {L"software\\classes\\directshow", false},
    {L"software\\classes\\interface", false},
    {L"software\\classes\\media type", false},
    {L"software\\classes\\mediafoundation", false},
    {L"software\\clients", true},
    {L"software\\microsoft\\com3", true},
    {L"software\\microsoft\\cryptography\\calais\\current", true},
    {L"software\\microsoft\\cryptography\\calais\\readers", true},
    {L"software\\microsoft\\cryptography\\services", true},
    {L"software\\microsoft\\ctf\\systemshared", true},
    {L"software\\microsoft\\ctf\\tip", true},
    {L"software\\microsoft\\dfs", true},
    {L"software\\microsoft\\driver signing", true},
    {L"software\\microsoft\\enterprisecertificates", true},
    {L"software\\microsoft\\eventsystem", true},
    {L"software\\microsoft\\msmq", true},
    {L"software\\microsoft\\non-driver signing", true},
    {L"software\\microsoft\\notepad\\defaultfonts", true},
    {L"software\\microsoft\\ole", true},
    {L"software\\microsoft\\ras", true},
    {L"software\\microsoft\\rpc", true},
    {L"software\\microsoft\\software\\microsoft\\shared tools\\msinfo", true},
    {L"software\\microsoft\\systemcertificates", true},
    {L"software\\microsoft\\termservlicensing", true},
    {L"software\\microsoft\\transactionserver", true},
    {L"software\\microsoft\\windows\\currentversion\\app paths", true},
    {L"software\\microsoft\\windows\\currentversion\\control panel\\cursors\\schemes", true},
    {L"software\\microsoft\\windows\\currentversion\\explorer\\autoplayhandlers", true},
    {L"software\\microsoft\\windows\\currentversion\\explorer\\driveicons", true},
    {L"software\\microsoft\\windows\\currentversion\\explorer\\kindmap", true},
    {L"software\\microsoft\\windows\\currentversion\\group policy", true},
    {L"software\\microsoft\\windows\\currentversion\\policies", true},
    {L"software\\microsoft\\windows\\currentversion\\previewhandlers", true},
    {L"software\\microsoft\\windows\\currentversion\\setup", true},
    {L"software\\microsoft\\windows\\currentversion\\telephony\\locations", true},
    {L"software\\microsoft\\windows nt\\currentversion\\console", true},
    {L"software\\microsoft\\windows nt\\currentversion\\fontdpi", true},
    {L"software\\microsoft\\windows nt\\currentversion\\fontlink", true},
    {L"software\\microsoft\\windows nt\\currentversion\\fontmapper", true},
    {L"software\\microsoft\\windows nt\\currentversion\\fonts", true},
    {L"software\\microsoft\\windows nt\\currentversion\\fontsubstitutes", true},
    {L"software\\microsoft\\windows nt\\currentversion\\gre_initialize", true},
    {L"software\\microsoft\\windows nt\\currentversion\\image file execution options", true},
    {L"software\\microsoft\\windows nt\\currentversion\\language pack", true},
    {L"software\\microsoft\\windows nt\\currentversion\\networkcards", true},
    {L"software\\microsoft\\windows nt\\currentversion\\perflib", true},
    {L"software\\microsoft\\windows nt\\currentversion\\ports", true},
    {L"software\\microsoft\\windows nt\\currentversion\\print", true},
    {L"software\\microsoft\\windows nt\\currentversion\\profilelist", true},
    {L"software\\microsoft\\windows nt\\currentversion\\time zones", true},
    {L"software\\policies", true},
    {L"software\\registeredapplications", true},
};

const wchar_t kSoftware[] = L"software";
const wchar_t kClasses[] = L"software\\classes";
const wchar_t kRedirectNode[] = L"\\WOW6432Node";

bool AtOrBelow(const std::wstring &path, const std::wstring &key) {
    return path.compare(0, key.size(), key) == 0 && (path.size() == key.size() || path[key.size()] == L'\\');
}

// A lower-case path in the 32-bit view.
std::wstring In32BitView(const std::wstring &path) {
    if (!AtOrBelow(path, kSoftware) || AtOrBelow(path, Lower(kSoftware + std::wstring(kRedirectNode))) ||
        AtOrBelow(path, Lower(kClasses + std::wstring(kRedirectNode))))
        return path;  // outside SOFTWARE, or one of the 32-bit keys already
    const ViewRule *rule = nullptr;
    for (auto &r : kViewRules)
        if (AtOrBelow(path, r.Key) && (!rule || wcslen(r.Key) > wcslen(rule->Key)))
            rule = &r;
    if (rule && rule->Shared)
        return path;
    std::wstring base = rule ? kClasses : kSoftware;
    return base + Lower(kRedirectNode) + path.substr(base.size());
}

// The key a call with this access mask reaches for a lower-case path;
// ERROR_INVALID_PARAMETER when it asks for both views.
LONG ApplyView(REGSAM desired, std::wstring *path) {
    if ((desired & KEY_WOW64_64KEY) && (desired & KEY_WOW64_32KEY))
        return ERROR_INVALID_PARAMETER;
    bool view32 = (desired & KEY_WOW64_32KEY) || (!(desired & KEY_WOW64_64KEY) && simk::IsWow64());
    if (view32 && simk::Is64BitWindows())
        *path = In32BitView(*path);
    return ERROR_SUCCESS;
}

std::wstring Join(const std::wstring &base, const WCHAR *sub) {
    std::wstring s = sub ? Normalise(sub) : std::wstring();
    if (base.empty())
        return Lower(s);
    if (s.empty())
        return base;
    return base + L"\\" + Lower(s);
}

}  // namespace

namespace sim {

void CreateKey(const std::wstring &path) { Ensure(path); }

bool KeyExists(const std::wstring &path) { return R().Keys.count(Lower(Normalise(path))) != 0; }

void DeleteKey(const std::wstring &path) {
    std::wstring lp = Lower(Normalise(path));
    for (auto it = R().Keys.begin(); it != R().Keys.end();) {
        if (it->first == lp || it->first.compare(0, lp.size() + 1, lp + L"\\") == 0)
            it = R().Keys.erase(it);
        else
            ++it;
    }
}

std::vector<uint8_t> RegText(const std::wstring &text, bool terminator) {
    std::vector<uint8_t> data((text.size() + (terminator ? 1 : 0)) * sizeof(WCHAR), 0);
    memcpy(data.data(), text.data(), text.size() * sizeof(WCHAR));
    return data;
}

void SetStringValue(const std::wstring &path, const std::wstring &name, const std::wstring &text, DWORD type) {
    Store(path, name, type, RegText(text, true));
}

void SetMultiStringValue(const std::wstring &path, const std::wstring &name, const std::vector<std::wstring> &items) {
    std::wstring joined;
    for (auto &i : items) {
        joined += i;
        joined += L'\0';
    }
    Store(path, name, REG_MULTI_SZ, RegText(joined, true));
}

void SetDwordValue(const std::wstring &path, const std::wstring &name, DWORD value) {
    std::vector<uint8_t> data(sizeof(DWORD));
    memcpy(data.data(), &value, sizeof(DWORD));
    Store(path, name, REG_DWORD, data);
}

void SetRawValue(const std::wstring &path, const std::wstring &name, DWORD type, const std::vector<uint8_t> &data) {
    Store(path, name, type, data);
}

void DeleteValue(const std::wstring &path, const std::wstring &name) {
    auto it = R().Keys.find(Lower(Normalise(path)));
    if (it == R().Keys.end())
        return;
    std::wstring lname = Lower(name);
    auto &vals = it->second.Values;
    for (auto v = vals.begin(); v != vals.end(); ++v)
        if (Lower(v->Name) == lname) {
            vals.erase(v);
            return;
        }
}

int OpenKeyCount() { return static_cast<int>(R().Open.size()); }

}  // namespace sim

// A subkey is looked up in the view that samDesired asks for (the caller's
// own by default); no subkey opens the key itself again.
LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM samDesired, PHKEY result) {
    if (DWORD e = simk::Enter("RegOpenKeyExW"))
        return static_cast<LONG>(e);
    if (!result)
        return ERROR_INVALID_PARAMETER;
    std::wstring base;
    if (!Resolve(key, &base))
        return ERROR_INVALID_HANDLE;
    std::wstring path = Join(base, subKey);
    std::wstring viewed = path;
    if (LONG error = ApplyView(samDesired, &viewed))
        return error;
    if (subKey && *subKey)
        path = viewed;
    if (path.empty() || !R().Keys.count(path)) {
        // HKEY_LOCAL_MACHINE itself always opens.
        if (!path.empty())
            return ERROR_FILE_NOT_FOUND;
    }
    HKEY h = static_cast<HKEY>(simk::NewHandleValue());
    R().Open[h] = path;
    *result = h;
    return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result) {
    if (DWORD e = simk::Enter("RegOpenKeyW"))
        return static_cast<LONG>(e);
    if (!result)
        return ERROR_INVALID_PARAMETER;
    if (!subKey || !*subKey) {
        // Windows hands back the same key in this case.
        std::wstring base;
        if (!Resolve(key, &base))
            return ERROR_INVALID_HANDLE;
        *result = key;
        return ERROR_SUCCESS;
    }
    return RegOpenKeyExW(key, subKey, 0, MAXIMUM_ALLOWED, result);
}

LONG WINAPI RegCloseKey(HKEY key) {
    simk::Enter("RegCloseKey");
    if (IsRoot(key))
        return ERROR_SUCCESS;
    if (!R().Open.erase(key))
        return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize) {
    if (DWORD e = simk::Enter("RegQueryValueExW"))
        return static_cast<LONG>(e);
    if (reserved || (data && !dataSize))
        return ERROR_INVALID_PARAMETER;
    std::wstring path;
    if (!Resolve(key, &path))
        return ERROR_INVALID_HANDLE;
    auto it = R().Keys.find(path);
    if (it == R().Keys.end())
        return ERROR_FILE_NOT_FOUND;  // deleted meanwhile
    Value *v = FindValue(it->second, valueName ? valueName : L"");
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    if (type)
        *type = v->Type;
    DWORD size = static_cast<DWORD>(v->Data.size());
    if (!dataSize)
        return ERROR_SUCCESS;
    if (!data) {
        *dataSize = size;
        return ERROR_SUCCESS;
    }
    if (*dataSize < size) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    memcpy(data, v->Data.data(), size);
    *dataSize = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegGetValueW(HKEY key, LPCWSTR subKey, LPCWSTR value, DWORD flags, LPDWORD type, PVOID data,
                         LPDWORD dataSize) {
    if (DWORD e = simk::Enter("RegGetValueW"))
        return static_cast<LONG>(e);
    if ((data && !dataSize) || (flags & RRF_RT_ANY) == 0)
        return ERROR_INVALID_PARAMETER;
    std::wstring base;
    if (!Resolve(key, &base))
        return ERROR_INVALID_HANDLE;
    std::wstring path = Join(base, subKey);
    if (subKey && *subKey)
        ApplyView(0, &path);  // the caller's own view
    auto it = R().Keys.find(path);
    if (it == R().Keys.end())
        return ERROR_FILE_NOT_FOUND;
    Value *v = FindValue(it->second, value ? value : L"");
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    static const struct {
        DWORD Type, Flag;
    } kFlags[] = {{REG_NONE, RRF_RT_REG_NONE},     {REG_SZ, RRF_RT_REG_SZ},
                  {REG_EXPAND_SZ, RRF_RT_REG_EXPAND_SZ}, {REG_BINARY, RRF_RT_REG_BINARY},
                  {REG_DWORD, RRF_RT_REG_DWORD},   {REG_MULTI_SZ, RRF_RT_REG_MULTI_SZ},
                  {REG_QWORD, RRF_RT_REG_QWORD}};
    bool allowed = false;
    for (auto &f : kFlags)
        if (f.Type == v->Type && (flags & f.Flag))
            allowed = true;
    if (!allowed)
        return ERROR_UNSUPPORTED_TYPE;
    if (type)
        *type = v->Type;
    // String data comes back terminated (a multi-string with both
    // terminators), adding what the stored value lacks.
    std::vector<uint8_t> out = v->Data;
    if (v->Type == REG_SZ || v->Type == REG_EXPAND_SZ || v->Type == REG_MULTI_SZ) {
        out.resize(out.size() / sizeof(WCHAR) * sizeof(WCHAR));
        size_t n = out.size() / sizeof(WCHAR);
        const WCHAR *w = reinterpret_cast<const WCHAR *>(out.data());
        size_t need = v->Type == REG_MULTI_SZ ? 2 : 1;
        size_t have = 0;
        while (have < need && have < n && w[n - 1 - have] == 0)
            have++;
        out.resize(out.size() + (need - have) * sizeof(WCHAR), 0);
    }
    DWORD size = static_cast<DWORD>(out.size());
    if (!dataSize)
        return ERROR_SUCCESS;
    if (!data) {
        *dataSize = size;
        return ERROR_SUCCESS;
    }
    if (*dataSize < size) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    memcpy(data, out.data(), size);
    *dataSize = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyW(HKEY key, DWORD index, LPWSTR name, DWORD nameSize) {
    if (DWORD e = simk::Enter("RegEnumKeyW"))
        return static_cast<LONG>(e);
    std::wstring path;
    if (!Resolve(key, &path))
        return ERROR_INVALID_HANDLE;
    std::wstring prefix = path.empty() ? std::wstring() : path + L"\\";
    DWORD i = 0;
    for (auto &k : R().Keys) {
        if (k.first.compare(0, prefix.size(), prefix) != 0 || k.first.size() == prefix.size())
            continue;
        if (k.first.find(L'\\', prefix.size()) != std::wstring::npos)
            continue;  // deeper than one level
        if (i++ != index)
            continue;
        std::wstring child = k.second.Path.substr(k.second.Path.size() - (k.first.size() - prefix.size()));
        if (child.size() + 1 > nameSize)
            return ERROR_MORE_DATA;
        wmemcpy(name, child.c_str(), child.size() + 1);
        return ERROR_SUCCESS;
    }
    return ERROR_NO_MORE_ITEMS;
}
