// The resource loader of the simulated Windows: the program's compiled .res
// file (the build passes its path as SIMWIN_RESOURCE_FILE), the loader's
// language choice, string tables (LoadStringW) and dialog templates.
//
// A .res file is a sequence of entries, each aligned on a DWORD:
//   DWORD DataSize, DWORD HeaderSize, TYPE, NAME (each either 0xFFFF followed
//   by a WORD ordinal or a zero-terminated UTF-16 string), padding to a DWORD,
//   DWORD DataVersion, WORD MemoryFlags, WORD LanguageId, DWORD Version,
//   DWORD Characteristics, then DataSize bytes of data.
// The first entry is an empty one (type 0) that marks the file as 32-bit.
// Text in the file is UTF-16 (two bytes per unit); the host's WCHAR is four
// bytes, so every text handed out is converted.
#include "sim/resources.h"

#include <winerror.h>
#include <winuser.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <utility>

#include "kernel.h"

#ifndef SIMWIN_RESOURCE_FILE
#error "SIMWIN_RESOURCE_FILE must name the compiled resource file"
#endif

namespace {

constexpr WORD kDefaultUiLanguage = 0x0409;

struct Entry {
    bool typeIsOrdinal = false;
    uint16_t typeId = 0;
    std::u16string typeName;
    bool nameIsOrdinal = false;
    uint16_t nameId = 0;
    std::u16string nameName;
    uint16_t lang = 0;
    std::vector<uint8_t> data;
};

std::vector<Entry> g_entries;
std::once_flag g_loadOnce;

WORD g_uiLanguage = kDefaultUiLanguage;
std::vector<UINT> g_stringLoads;  // ids of the LoadStringW calls that went ahead

// Read-only WCHAR copies of string-table entries, for LoadStringW with
// bufferMax 0. Never freed: the pointers stay valid for the test binary's life
// (the resources never change), as pointers into a loaded module would.
std::mutex g_stringCacheLock;
std::map<std::pair<uint16_t, uint16_t>, std::wstring> g_stringCache;

static simk::Registrar g_registrar([] {
    simk::OnReset([] {
        g_uiLanguage = kDefaultUiLanguage;
        g_stringLoads.clear();
    });
});

uint16_t ReadU16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }
uint32_t ReadU32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

size_t Align4(size_t n) { return (n + 3) & ~(size_t)3; }

// Reads a TYPE or NAME field at data[*pos] (limited to end); advances *pos.
bool ReadIdField(const std::vector<uint8_t> &data, size_t *pos, size_t end, bool *isOrdinal,
                 uint16_t *ordinal, std::u16string *name) {
    if (*pos + 2 > end)
        return false;
    uint16_t first = ReadU16(&data[*pos]);
    if (first == 0xFFFF) {
        if (*pos + 4 > end)
            return false;
        *isOrdinal = true;
        *ordinal = ReadU16(&data[*pos + 2]);
        *pos += 4;
        return true;
    }
    *isOrdinal = false;
    name->clear();
    for (;;) {
        if (*pos + 2 > end)
            return false;
        uint16_t c = ReadU16(&data[*pos]);
        *pos += 2;
        if (c == 0)
            return true;
        name->push_back((char16_t)c);
    }
}

bool ParseRes(const std::vector<uint8_t> &file, std::vector<Entry> *out) {
    size_t pos = 0;
    while (pos + 8 <= file.size()) {
        size_t start = pos;
        uint32_t dataSize = ReadU32(&file[start]);
        uint32_t headerSize = ReadU32(&file[start + 4]);
        if (headerSize < 32 || start + (size_t)headerSize + dataSize > file.size())
            return false;
        size_t headerEnd = start + headerSize;
        size_t p = start + 8;
        Entry e;
        if (!ReadIdField(file, &p, headerEnd, &e.typeIsOrdinal, &e.typeId, &e.typeName) ||
            !ReadIdField(file, &p, headerEnd, &e.nameIsOrdinal, &e.nameId, &e.nameName))
            return false;
        p = Align4(p - start) + start;
        if (p + 16 > headerEnd)
            return false;
        // DataVersion (4), MemoryFlags (2), LanguageId (2), Version, Characteristics.
        e.lang = ReadU16(&file[p + 6]);
        bool emptyMarker = e.typeIsOrdinal && e.typeId == 0;
        if (!emptyMarker) {
            e.data.assign(file.begin() + (std::ptrdiff_t)headerEnd,
                          file.begin() + (std::ptrdiff_t)(headerEnd + dataSize));
            out->push_back(std::move(e));
        }
        pos = Align4(headerEnd + dataSize);
    }
    return true;
}

const std::vector<Entry> &Entries() {
    std::call_once(g_loadOnce, [] {
        std::ifstream in(SIMWIN_RESOURCE_FILE, std::ios::binary);
        if (!in.is_open()) {
            fprintf(stderr, "simwin: cannot open the compiled resources %s\n", SIMWIN_RESOURCE_FILE);
            return;
        }
        std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!ParseRes(file, &g_entries) || g_entries.empty())
            fprintf(stderr, "simwin: %s is not a valid .res file\n", SIMWIN_RESOURCE_FILE);
    });
    return g_entries;
}

const Entry *FindEntry(uint16_t type, uint16_t id, uint16_t lang) {
    for (const Entry &e : Entries()) {
        if (e.typeIsOrdinal && e.typeId == type && e.nameIsOrdinal && e.nameId == id && e.lang == lang)
            return &e;
    }
    return nullptr;
}

bool TypeExists(uint16_t type) {
    for (const Entry &e : Entries()) {
        if (e.typeIsOrdinal && e.typeId == type)
            return true;
    }
    return false;
}

// UTF-16 code units to the host's wide characters (surrogate pairs joined).
std::wstring FromUtf16(const uint8_t *p, size_t units) {
    std::wstring s;
    s.reserve(units);
    for (size_t i = 0; i < units; i++) {
        uint32_t c = ReadU16(p + 2 * i);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
            uint32_t lo = ReadU16(p + 2 * (i + 1));
            if (lo >= 0xDC00 && lo < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                i++;
            }
        }
        s.push_back((wchar_t)c);
    }
    return s;
}

// The neutral parent of a specific language: the primary language with
// SUBLANG_NEUTRAL, except for Chinese, whose parents are the script neutrals
// zh-Hans (0x0004: PRC, Singapore) and zh-Hant (0x7C04: Taiwan, Hong Kong,
// Macao), so that Traditional Chinese never falls back to Simplified.
uint16_t NeutralParent(uint16_t lang) {
    uint16_t primary = lang & 0x3FF;
    if (primary == 0x04) {  // LANG_CHINESE
        switch (lang >> 10) {
        case 0x02:  // SUBLANG_CHINESE_SIMPLIFIED (PRC)
        case 0x04:  // SUBLANG_CHINESE_SINGAPORE
            return 0x0004;
        case 0x01:  // SUBLANG_CHINESE_TRADITIONAL (Taiwan)
        case 0x03:  // SUBLANG_CHINESE_HONGKONG
        case 0x05:  // SUBLANG_CHINESE_MACAU
            return 0x7C04;
        default:
            return lang;
        }
    }
    return primary;
}

// Entry 'index' (0..15) of a string-table block: sixteen counted UTF-16
// strings, an empty entry having length 0.
bool StringFromBlock(const std::vector<uint8_t> &block, unsigned index, std::wstring *text) {
    size_t pos = 0;
    for (unsigned i = 0; i < 16; i++) {
        if (pos + 2 > block.size())
            return false;
        uint16_t len = ReadU16(&block[pos]);
        pos += 2;
        if (pos + 2 * (size_t)len > block.size())
            return false;
        if (i == index) {
            *text = FromUtf16(&block[pos], len);
            return true;
        }
        pos += 2 * (size_t)len;
    }
    return false;
}

}  // namespace

namespace sim {
void SetUiLanguage(WORD langId) { g_uiLanguage = langId; }
WORD UiLanguage() { return g_uiLanguage; }
const std::vector<UINT> &StringLoads() { return g_stringLoads; }
}  // namespace sim

namespace simres {

const std::vector<uint8_t> *FindExact(uint16_t type, uint16_t id, uint16_t langId) {
    const Entry *e = FindEntry(type, id, langId);
    return e ? &e->data : nullptr;
}

std::vector<uint16_t> Languages(uint16_t type, uint16_t id) {
    std::vector<uint16_t> langs;
    for (const Entry &e : Entries()) {
        if (e.typeIsOrdinal && e.typeId == type && e.nameIsOrdinal && e.nameId == id)
            langs.push_back(e.lang);
    }
    return langs;
}

// The order follows the documented resource-loader fallback ("User Interface
// Language Management", FindResourceEx with LANG_NEUTRAL as LoadStringW and
// DialogBoxParamW use it): the preferred UI language, its neutral parent,
// language-neutral resources, English (United States, then neutral), and
// finally the first language of the resource directory, which the linker
// sorts by language id.
uint16_t PickLanguage(uint16_t type, uint16_t id, uint16_t uiLang) {
    const uint16_t candidates[] = {uiLang, NeutralParent(uiLang), 0x0000, 0x0409, 0x0009};
    for (uint16_t lang : candidates) {
        if (FindEntry(type, id, lang))
            return lang;
    }
    std::vector<uint16_t> langs = Languages(type, id);
    if (langs.empty())
        return 0xFFFF;
    uint16_t lowest = langs[0];
    for (uint16_t l : langs) {
        if (l < lowest)
            lowest = l;
    }
    return lowest;
}

const std::vector<uint8_t> *Find(uint16_t type, uint16_t id) {
    uint16_t lang = PickLanguage(type, id, sim::UiLanguage());
    return lang == 0xFFFF ? nullptr : FindExact(type, id, lang);
}

bool StringExact(uint16_t id, uint16_t langId, std::wstring *text) {
    const std::vector<uint8_t> *block = FindExact(kTypeString, (uint16_t)(id / 16 + 1), langId);
    if (!block || !StringFromBlock(*block, id % 16, text))
        return false;
    return !text->empty();
}

namespace {

struct Reader {
    const std::vector<uint8_t> &d;
    size_t pos;
    bool ok;

    bool Need(size_t n) {
        if (!ok || pos + n > d.size())
            ok = false;
        return ok;
    }
    uint16_t U16() {
        if (!Need(2))
            return 0;
        uint16_t v = ReadU16(&d[pos]);
        pos += 2;
        return v;
    }
    uint32_t U32() {
        if (!Need(4))
            return 0;
        uint32_t v = ReadU32(&d[pos]);
        pos += 4;
        return v;
    }
    uint8_t U8() {
        if (!Need(1))
            return 0;
        return d[pos++];
    }
    std::wstring Sz() {
        size_t start = pos;
        size_t units = 0;
        for (;;) {
            if (!Need(2))
                return std::wstring();
            uint16_t c = ReadU16(&d[pos]);
            pos += 2;
            if (c == 0)
                break;
            units++;
        }
        return FromUtf16(&d[start], units);
    }
    // sz_Or_Ord: 0x0000 none, 0xFFFF then an ordinal, otherwise a string.
    void SzOrOrd(std::wstring *text, WORD *ordinal) {
        text->clear();
        *ordinal = 0;
        if (!Need(2))
            return;
        uint16_t first = ReadU16(&d[pos]);
        if (first == 0xFFFF) {
            pos += 2;
            *ordinal = U16();
        } else {
            *text = Sz();
        }
    }
    void AlignDword() { pos = Align4(pos); }
};

const wchar_t *PredefinedClass(WORD ordinal) {
    switch (ordinal) {
    case 0x80: return L"Button";
    case 0x81: return L"Edit";
    case 0x82: return L"Static";
    case 0x83: return L"ListBox";
    case 0x84: return L"ScrollBar";
    case 0x85: return L"ComboBox";
    default: return nullptr;
    }
}

}  // namespace

bool ParseDialog(const std::vector<uint8_t> &data, DialogTemplate *out) {
    const DWORD dsSetFont = 0x40;  // DS_SETFONT (DS_SHELLFONT includes it)
    Reader r{data, 0, true};
    DialogTemplate t;
    WORD dlgVer = r.U16();
    WORD signature = r.U16();
    if (!r.ok || dlgVer != 1 || signature != 0xFFFF)
        return false;
    r.U32();  // helpID
    t.exStyle = r.U32();
    t.style = r.U32();
    WORD count = r.U16();
    t.x = (short)r.U16();
    t.y = (short)r.U16();
    t.cx = (short)r.U16();
    t.cy = (short)r.U16();
    std::wstring menu, windowClass;
    WORD ordinal = 0;
    r.SzOrOrd(&menu, &ordinal);
    r.SzOrOrd(&windowClass, &ordinal);
    t.caption = r.Sz();
    if (t.style & dsSetFont) {
        t.pointSize = r.U16();
        t.weight = r.U16();
        t.italic = r.U8();
        t.charset = r.U8();
        t.fontName = r.Sz();
    }
    for (WORD i = 0; i < count && r.ok; i++) {
        DialogItem item;
        r.AlignDword();
        r.U32();  // helpID
        item.exStyle = r.U32();
        item.style = r.U32();
        item.x = (short)r.U16();
        item.y = (short)r.U16();
        item.cx = (short)r.U16();
        item.cy = (short)r.U16();
        item.id = r.U32();
        WORD classOrdinal = 0;
        r.SzOrOrd(&item.className, &classOrdinal);
        if (classOrdinal != 0) {
            const wchar_t *name = PredefinedClass(classOrdinal);
            if (!name)
                return false;
            item.className = name;
        }
        r.SzOrOrd(&item.text, &item.textOrdinal);
        WORD extra = r.U16();
        if (extra && r.Need(extra))
            r.pos += extra;
        t.items.push_back(std::move(item));
    }
    if (!r.ok)
        return false;
    *out = std::move(t);
    return true;
}

}  // namespace simres

int WINAPI LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax) {
    SIM_ENTER("LoadStringW", 0);
    (void)instance;  // the program has one module: its own resources
    g_stringLoads.push_back(id);
    if (!buffer)
        return 0;
    uint16_t blockId = (uint16_t)((id & 0xFFFF) / 16 + 1);
    uint16_t lang = simres::PickLanguage(simres::kTypeString, blockId, sim::UiLanguage());
    std::wstring text;
    bool found = false;
    if (lang == 0xFFFF) {
        simk::SetError(TypeExists(simres::kTypeString) ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    } else {
        // The language is chosen for the whole block: a string missing from the
        // chosen block stays missing, as on Windows.
        found = simres::StringExact((uint16_t)(id & 0xFFFF), lang, &text);
    }
    if (bufferMax == 0) {
        // A read-only pointer to the text instead of a copy.
        if (!found)
            return 0;
        std::lock_guard<std::mutex> lock(g_stringCacheLock);
        const std::wstring &kept = g_stringCache.try_emplace({lang, (uint16_t)(id & 0xFFFF)}, text).first->second;
        *(LPCWSTR *)buffer = kept.c_str();
        return (int)kept.size();
    }
    if (bufferMax < 0)
        return 0;
    size_t n = found ? text.size() : 0;
    if (n > (size_t)bufferMax - 1)
        n = (size_t)bufferMax - 1;
    memcpy(buffer, text.data(), n * sizeof(WCHAR));
    buffer[n] = 0;
    return (int)n;
}
