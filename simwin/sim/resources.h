// The program's compiled resources (.res) as the simulated resource loader
// sees them.
#pragma once

#include <windef.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {
// The user-interface language that the resource loader prefers (for example
// 0x0407 German, 0x0413 Dutch, 0x0804 Chinese Simplified). Default 0x0409;
// sim::Reset restores it.
void SetUiLanguage(WORD langId);
WORD UiLanguage();
// The string ids of the program's LoadStringW calls, in order (an injected
// failure's call is not among them).
const std::vector<UINT> &StringLoads();
}  // namespace sim

namespace simres {

// Numeric resource types (winuser.h's RT_* values).
constexpr uint16_t kTypeIcon = 3;
constexpr uint16_t kTypeBitmap = 2;
constexpr uint16_t kTypeDialog = 5;
constexpr uint16_t kTypeString = 6;
constexpr uint16_t kTypeGroupIcon = 14;
constexpr uint16_t kTypeManifest = 24;

// Raw data of the resource of the given numeric type and id, in the language
// that the loader picks for the current UI language, with the loader's
// fallback; null when there is none.
const std::vector<uint8_t> *Find(uint16_t type, uint16_t id);
// The same resource in exactly this language, or null.
const std::vector<uint8_t> *FindExact(uint16_t type, uint16_t id, uint16_t langId);
// Every language in which a resource of this type and id exists, in the
// order of the .res file.
std::vector<uint16_t> Languages(uint16_t type, uint16_t id);

// The language the loader picks for a resource of this type and id when the
// UI language is uiLang (see resources.cpp for the order); 0xFFFF when the
// resource does not exist at all.
uint16_t PickLanguage(uint16_t type, uint16_t id, uint16_t uiLang);

// String id from the string table in exactly this language; false when the
// table block or the string (an empty entry) is missing.
bool StringExact(uint16_t id, uint16_t langId, std::wstring *text);

// A parsed extended dialog template (DLGTEMPLATEEX).
struct DialogItem {
    DWORD id = 0;  // as stored: an unnamed static has 0xFFFFFFFF (-1)
    DWORD style = 0, exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring className;  // predefined class ordinals 0x80..0x85 mapped to their names
    std::wstring text;       // empty when textOrdinal is set
    WORD textOrdinal = 0;    // resource id for a title given by ordinal, 0 if text is a string
};

struct DialogTemplate {
    DWORD style = 0, exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring caption, fontName;
    WORD pointSize = 0, weight = 0;
    BYTE italic = 0, charset = 0;
    std::vector<DialogItem> items;  // in template order
};

// Parses a DLGTEMPLATEEX resource; false when the data is not a well-formed
// extended template.
bool ParseDialog(const std::vector<uint8_t> &data, DialogTemplate *out);

}  // namespace simres
