// The compiled resources: both dialogs and the string table in all eight
// languages, the pictures, the icon and the manifest, and the resource
// loader's language choice and LoadStringW's buffer protocol.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <iterator>
#include <string>
#include <vector>

#include "common/resource_ids.h"
#include "sim/resources.h"
#include "tests/test_support.h"

namespace {

const uint16_t kEnglish = 0x0009, kDutch = 0x0013;
// The six languages with their own translation.
const uint16_t kTranslated[] = {0x0004, 0x0404, 0x0007, 0x000A, 0x000C, 0x0010};
const uint16_t kAllLanguages[] = {0x0004, 0x0404, 0x0007, 0x0009, 0x000A, 0x000C, 0x0010, 0x0013};

const DWORD kDialogStyle = 0x80C808C8;  // WS_POPUP|WS_CAPTION|WS_SYSMENU|DS_MODALFRAME|DS_CENTER|DS_SETFONT|DS_FIXEDSYS

bool IsTranslated(uint16_t lang) {
    for (uint16_t l : kTranslated) {
        if (l == lang)
            return true;
    }
    return false;
}

// Windows looks window classes up without regard to case (and windres stores
// the names of custom classes in capitals).
bool SameClass(const std::wstring &a, const std::wstring &b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (towlower(a[i]) != towlower(b[i]))
            return false;
    }
    return true;
}

simres::DialogTemplate Dialog(uint16_t id, uint16_t lang) {
    simres::DialogTemplate t;
    const std::vector<uint8_t> *data = simres::FindExact(simres::kTypeDialog, id, lang);
    EXPECT_NE(data, nullptr) << "dialog " << id << " language " << std::hex << lang;
    if (data) {
        EXPECT_TRUE(simres::ParseDialog(*data, &t));
    }
    return t;
}

std::wstring String(uint16_t id, uint16_t lang) {
    std::wstring s;
    EXPECT_TRUE(simres::StringExact(id, lang, &s)) << "string " << id << " language " << std::hex << lang;
    return s;
}

struct Control {
    DWORD id;
    const wchar_t *className;
    short x, y, cx, cy;
    DWORD style;
};

void ExpectControls(const simres::DialogTemplate &t, const std::vector<Control> &expected, uint16_t lang) {
    ASSERT_EQ(t.items.size(), expected.size()) << std::hex << lang;
    for (size_t i = 0; i < expected.size(); i++) {
        const simres::DialogItem &item = t.items[i];
        const Control &want = expected[i];
        SCOPED_TRACE(testing::Message() << "language 0x" << std::hex << lang << ", control " << std::dec << i);
        EXPECT_EQ(item.id, want.id);
        EXPECT_TRUE(SameClass(item.className, want.className));
        EXPECT_EQ(item.x, want.x);
        EXPECT_EQ(item.y, want.y);
        EXPECT_EQ(item.cx, want.cx);
        EXPECT_EQ(item.cy, want.cy);
        EXPECT_EQ(item.style, want.style) << std::hex << item.style;
        EXPECT_EQ(item.exStyle, 0u);
    }
}

void ExpectDialogFrame(const simres::DialogTemplate &t, short cx, short cy) {
    EXPECT_EQ(t.style, kDialogStyle) << std::hex << t.style;
    EXPECT_EQ(t.exStyle, 0u);
    EXPECT_EQ(t.cx, cx);
    EXPECT_EQ(t.cy, cy);
    EXPECT_EQ(t.fontName, L"MS Shell Dlg");
    EXPECT_EQ(t.pointSize, 8);
    EXPECT_EQ(t.weight, 400);
    EXPECT_EQ(t.italic, 0);
    EXPECT_EQ(t.charset, 1);  // DEFAULT_CHARSET
    EXPECT_FALSE(t.caption.empty());
}

// The printf placeholders of a text in order; a hexadecimal one written with
// its 0x prefix counts as "0x%x".
std::vector<std::wstring> Placeholders(const std::wstring &s) {
    std::vector<std::wstring> out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != L'%')
            continue;
        if (i + 1 < s.size() && s[i + 1] == L'%') {
            i++;
            continue;
        }
        size_t j = i + 1;
        while (j < s.size() && (iswdigit(s[j]) || s[j] == L'-' || s[j] == L'.' || s[j] == L'#'))
            j++;
        size_t end = (j + 1 < s.size() && s[j] == L'w' && s[j + 1] == L's') ? j + 2 : j + 1;
        std::wstring conv = s.substr(i, end - i);
        if (conv == L"%x" && i >= 2 && s.compare(i - 2, 2, L"0x") == 0)
            conv = L"0x%x";
        out.push_back(conv);
        i = end - 1;
    }
    return out;
}

bool EndsWith(const std::wstring &s, const std::wstring &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class ResourcesTest : public SimTest {};

const DWORD kButton = 0x50010000, kDefButton = 0x50010001, kHiddenButton = 0x40010000;
const DWORD kLabel = 0x50020000, kPicture = 0x5000000E;

TEST_F(ResourcesTest, UninstallDialogHasTheSameLayoutInAllLanguages) {
    const Control remove{IDC_REMOVE, L"Button", 198, 155, 50, 14, kDefButton};
    const Control close{IDC_CLOSE, L"Button", 252, 155, 50, 14, kButton};
    const Control label{IDC_UNINSTALL_LABEL, L"Static", 8, 9, 294, 8, kLabel};
    const Control tree{IDC_COMPONENT_TREE, L"SysTreeView32", 7, 22, 295, 114, 0x50910006};
    const Control progress{IDC_PROGRESS, L"msctls_progress32", 7, 139, 295, 11, 0x40800000};
    for (uint16_t lang : kAllLanguages) {
        simres::DialogTemplate t = Dialog(IDD_UNINSTALL, lang);
        ExpectDialogFrame(t, 309, 176);
        if (IsTranslated(lang))
            ExpectControls(t, {remove, close, tree, label, progress}, lang);
        else
            ExpectControls(t, {remove, close, label, tree, progress}, lang);
    }
}

TEST_F(ResourcesTest, InstallDialogHasTheSameLayoutInAllLanguages) {
    for (uint16_t lang : kAllLanguages) {
        simres::DialogTemplate t = Dialog(IDD_INSTALL, lang);
        ExpectDialogFrame(t, 341, 132);
        ExpectControls(t,
                       {
                           {IDCANCEL, L"Button", 284, 9, 50, 14, kButton},
                           {IDC_WIZARD, L"Button", 284, 25, 50, 14, kHiddenButton},
                           {IDC_LOG, L"Edit", 7, 41, 325, 74, 0x50A10844},
                           {0xFFFFFFFF, L"Static", 4, 0, 45, 41, kPicture},
                           {IDC_PICTURE, L"Static", 5, 42, 327, 75, kPicture},
                           {IDC_STATUS, L"Static", 51, 5, 225, 30, kLabel},
                           {IDC_PROGRESS, L"msctls_progress32", 7, 119, 327, 12, 0x50800008},
                       },
                       lang);
        ASSERT_EQ(t.items.size(), 7u);
        EXPECT_EQ(t.items[3].textOrdinal, IDB_GEAR);
        EXPECT_EQ(t.items[4].textOrdinal, IDB_CONNECT);
        EXPECT_EQ(t.items[2].text, L"");
        EXPECT_EQ(t.items[5].text, L"");
    }
}

TEST_F(ResourcesTest, DialogTextsAreEnglishInEnglishAndDutchAndTranslatedElsewhere) {
    for (uint16_t lang : {kEnglish, kDutch}) {
        simres::DialogTemplate un = Dialog(IDD_UNINSTALL, lang);
        simres::DialogTemplate in = Dialog(IDD_INSTALL, lang);
        ASSERT_EQ(un.items.size(), 5u);
        ASSERT_EQ(in.items.size(), 7u);
        EXPECT_EQ(un.caption, L"Uninstall printer driver");
        EXPECT_EQ(un.items[0].text, L"Remove");
        EXPECT_EQ(un.items[1].text, L"Close");
        EXPECT_EQ(un.items[2].text, L"The printer components below will be removed from you computer.");
        EXPECT_EQ(in.caption, L"Swiftset installer");
        EXPECT_EQ(in.items[0].text, L"Cancel");
        EXPECT_EQ(in.items[1].text, L"Wizard");
    }
    simres::DialogTemplate enUn = Dialog(IDD_UNINSTALL, kEnglish);
    simres::DialogTemplate enIn = Dialog(IDD_INSTALL, kEnglish);
    for (uint16_t lang : kTranslated) {
        SCOPED_TRACE(testing::Message() << "language 0x" << std::hex << lang);
        simres::DialogTemplate un = Dialog(IDD_UNINSTALL, lang);
        simres::DialogTemplate in = Dialog(IDD_INSTALL, lang);
        ASSERT_EQ(un.items.size(), 5u);
        ASSERT_EQ(in.items.size(), 7u);
        EXPECT_NE(un.caption, enUn.caption);
        EXPECT_NE(in.caption, enIn.caption);
        for (int i : {0, 1, 3})  // Remove, Close, the label
            EXPECT_NE(un.items[i].text, L"");
        EXPECT_NE(un.items[3].text, enUn.items[2].text);
        EXPECT_NE(in.items[0].text, L"Cancel");
        EXPECT_NE(in.items[1].text, L"Wizard");
        // The button that reads "Cancel" is renamed to string 118 at the end:
        // both must be in the same language.
        EXPECT_NE(String(IDS_DONE, lang), L"Done");
    }
}

const wchar_t *const kEnglishStrings[] = {
    L"Device not found, Please power on printer and  connect to computer for auto-install (recommended), Click "
    L"\"Wizard\" for custom setup or\nCancel\" to quit.",
    L"Message",
    L"The driver for printer [%ws] is installed.",
    L"The printer driver install failed, error code:%d. Please contact our technical support.",
    L"Nothing need to be removed there",
    L"Driver Package:%ws, version:%ws, %ws, %ws",
    L"Printer driver list:",
    L"Printer Driver:%ws, %ws, version:%d.%d.%d.%d, %ws",
    L"No printer driver",
    L"Printer:%ws on the port: %ws. %ws",
    L"No printer",
    L"Removed.",
    L"Failed. Error:%d",
    L"Uninstall driver failed. Please try again, or reboot your OS then try again, or contact our support for "
    L"assistance.",
    L"The driver is uninstalled.",
    L"The driver folder: %ws",
    L"Found the printer %ws, installing the driver...\r\n",
    L"Done",
    L"Searching for printer devices, please wait...",
};

TEST_F(ResourcesTest, EnglishStringsAreVerbatimAndDutchDiffersInThreeOnly) {
    for (uint16_t id = 101; id <= 119; id++) {
        EXPECT_EQ(String(id, kEnglish), kEnglishStrings[id - 101]) << id;
        if (id != 101 && id != 103 && id != 117) {
            EXPECT_EQ(String(id, kDutch), kEnglishStrings[id - 101]) << id;
        }
    }
    EXPECT_EQ(String(101, kDutch),
              L"Device not found. Power on printer, connect to computer for auto-install (recommended). Click "
              L"\"Wizard\" for custom setup or \"Cancel\" to quit.");
    EXPECT_EQ(String(103, kDutch), L"The printer [%ws] is installed on the port [%ws].");
    EXPECT_EQ(String(117, kDutch), L"Found the printer %ws at %ws, installing the driver...\r\n");
    // Nothing beyond the table.
    std::wstring s;
    EXPECT_FALSE(simres::StringExact(100, kEnglish, &s));
    EXPECT_FALSE(simres::StringExact(120, kEnglish, &s));
}

TEST_F(ResourcesTest, EveryLanguageKeepsThePlaceholdersAndLineBreaks) {
    for (uint16_t lang : kAllLanguages) {
        for (uint16_t id = 101; id <= 119; id++) {
            SCOPED_TRACE(testing::Message() << "language 0x" << std::hex << lang << ", string " << std::dec << id);
            std::wstring text = String(id, lang);
            std::vector<std::wstring> want = Placeholders(kEnglishStrings[id - 101]);
            if (lang == kDutch && (id == 103 || id == 117))
                want = {L"%ws", L"%ws"};
            if (IsTranslated(lang) && id == 113)
                want = {L"0x%x"};
            EXPECT_EQ(Placeholders(text), want);

            bool english = lang == kEnglish;
            if (id == 101) {
                EXPECT_EQ(text.find(L'\n') != std::wstring::npos, english);
                EXPECT_EQ(text.find(L'\r'), std::wstring::npos);
            } else if (id == 103) {
                EXPECT_EQ(EndsWith(text, L"\r\n"), IsTranslated(lang));
                EXPECT_EQ(text.find_first_of(L"\r\n"), IsTranslated(lang) ? text.size() - 2 : std::wstring::npos);
            } else if (id == 117) {
                EXPECT_TRUE(EndsWith(text, L"\r\n"));
                EXPECT_EQ(text.find_first_of(L"\r\n"), text.size() - 2);
            } else {
                EXPECT_EQ(text.find_first_of(L"\r\n"), std::wstring::npos);
            }
        }
    }
}

TEST_F(ResourcesTest, EveryResourceExistsInExactlyTheEightLanguages) {
    std::vector<uint16_t> all(std::begin(kAllLanguages), std::end(kAllLanguages));
    std::sort(all.begin(), all.end());
    // Dialogs, and the two string blocks that hold 96..111 and 112..127.
    for (auto [type, id] : {std::pair<uint16_t, uint16_t>{simres::kTypeDialog, 105},
                            {simres::kTypeDialog, 106},
                            {simres::kTypeString, 7},
                            {simres::kTypeString, 8}}) {
        std::vector<uint16_t> langs = simres::Languages(type, id);
        std::sort(langs.begin(), langs.end());
        EXPECT_EQ(langs, all) << type << "/" << id;
    }
}

// A BITMAPINFOHEADER as stored in a bitmap or icon resource.
struct BitmapHeader {
    uint32_t size;
    int32_t width, height;
    uint16_t planes, bitCount;
    uint32_t compression;
};

BitmapHeader ReadBitmapHeader(const std::vector<uint8_t> &d) {
    BitmapHeader h{};
    if (d.size() >= 20) {
        memcpy(&h.size, &d[0], 4);
        memcpy(&h.width, &d[4], 4);
        memcpy(&h.height, &d[8], 4);
        memcpy(&h.planes, &d[12], 2);
        memcpy(&h.bitCount, &d[14], 2);
        memcpy(&h.compression, &d[16], 4);
    }
    return h;
}

// Blue, green, red of a pixel of a bottom-up 24-bit DIB (row 0 is the top).
void Pixel24(const std::vector<uint8_t> &d, const BitmapHeader &h, int x, int y, int *b, int *g, int *r) {
    size_t stride = ((size_t)h.width * 3 + 3) & ~(size_t)3;
    size_t at = h.size + (size_t)(h.height - 1 - y) * stride + (size_t)x * 3;
    *b = d[at];
    *g = d[at + 1];
    *r = d[at + 2];
}

TEST_F(ResourcesTest, PicturesAreUncompressed24BitBitmapsOfTheirSize) {
    struct {
        uint16_t id;
        int width, height;
    } const pictures[] = {{IDB_GEAR, 67, 67}, {IDB_CONNECT, 490, 122}};
    for (const auto &p : pictures) {
        SCOPED_TRACE(p.id);
        std::vector<uint16_t> langs = simres::Languages(simres::kTypeBitmap, p.id);
        ASSERT_EQ(langs.size(), 1u);
        const std::vector<uint8_t> *d = simres::FindExact(simres::kTypeBitmap, p.id, langs[0]);
        ASSERT_NE(d, nullptr);
        BitmapHeader h = ReadBitmapHeader(*d);
        EXPECT_EQ(h.size, 40u);
        EXPECT_EQ(h.width, p.width);
        EXPECT_EQ(h.height, p.height);  // bottom-up
        EXPECT_EQ(h.planes, 1);
        EXPECT_EQ(h.bitCount, 24);
        EXPECT_EQ(h.compression, 0u);  // BI_RGB
        size_t stride = ((size_t)p.width * 3 + 3) & ~(size_t)3;
        ASSERT_EQ(d->size(), 40 + stride * (size_t)p.height);
        // A light background: the corners are near white.
        for (auto [x, y] : {std::pair<int, int>{0, 0}, {p.width - 1, 0}, {0, p.height - 1}, {p.width - 1, p.height - 1}}) {
            int b, g, r;
            Pixel24(*d, h, x, y, &b, &g, &r);
            EXPECT_GT(b + g + r, 3 * 200) << x << "," << y;
        }
    }
    // The gear is blue: its centre ring is clearly more blue than red.
    const std::vector<uint8_t> *gear = simres::Find(simres::kTypeBitmap, IDB_GEAR);
    ASSERT_NE(gear, nullptr);
    BitmapHeader h = ReadBitmapHeader(*gear);
    int blue = 0;
    for (int y = 0; y < 67; y++) {
        for (int x = 0; x < 67; x++) {
            int b, g, r;
            Pixel24(*gear, h, x, y, &b, &g, &r);
            if (b > r + 60 && b > 120)
                blue++;
        }
    }
    EXPECT_GT(blue, 67 * 67 / 8);
}

TEST_F(ResourcesTest, IconIsOne256Pixel32BitUncompressedImage) {
    const std::vector<uint8_t> *group = simres::Find(simres::kTypeGroupIcon, IDI_APP);
    ASSERT_NE(group, nullptr);
    // GRPICONDIR: reserved, type 1, count; then 14-byte entries.
    ASSERT_EQ(group->size(), 6u + 14u);
    const uint8_t *g = group->data();
    EXPECT_EQ(g[2] | g[3] << 8, 1);
    EXPECT_EQ(g[4] | g[5] << 8, 1);
    EXPECT_EQ(g[6], 0);  // width 256
    EXPECT_EQ(g[7], 0);  // height 256
    EXPECT_EQ(g[12] | g[13] << 8, 32);
    uint16_t imageId = (uint16_t)(g[18] | g[19] << 8);
    const std::vector<uint8_t> *image = simres::Find(simres::kTypeIcon, imageId);
    ASSERT_NE(image, nullptr);
    ASSERT_GE(image->size(), 40u);
    EXPECT_NE(memcmp(image->data(), "\x89PNG", 4), 0);
    BitmapHeader h = ReadBitmapHeader(*image);
    EXPECT_EQ(h.size, 40u);
    EXPECT_EQ(h.width, 256);
    EXPECT_EQ(h.height, 512);  // colour and mask
    EXPECT_EQ(h.bitCount, 32);
    EXPECT_EQ(h.compression, 0u);
    ASSERT_EQ(image->size(), 40u + 256u * 256u * 4u + 256u * 32u);
    // Transparent corners, an opaque picture in the middle.
    auto alpha = [&](int x, int y) { return (*image)[40 + ((size_t)(255 - y) * 256 + (size_t)x) * 4 + 3]; };
    EXPECT_EQ(alpha(0, 0), 0);
    EXPECT_EQ(alpha(255, 255), 0);
    EXPECT_EQ(alpha(128, 128), 255);
}

TEST_F(ResourcesTest, ManifestAsksForAdministratorAndNothingElse) {
    const std::vector<uint8_t> *m = simres::Find(simres::kTypeManifest, 1);
    ASSERT_NE(m, nullptr);
    std::string text(m->begin(), m->end());
    EXPECT_NE(text.find("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\""), std::string::npos);
    for (const char *absent : {"Common-Controls", "dpiAware", "dpiAwareness", "supportedOS"})
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
}

std::wstring Load(UINT id) {
    WCHAR buffer[260];
    wmemset(buffer, L'#', 260);
    int n = LoadStringW(NULL, id, buffer, 260);
    EXPECT_EQ((size_t)n, wcslen(buffer));
    return buffer;
}

TEST_F(ResourcesTest, LoaderPicksTheUiLanguageThenItsNeutralThenEnglish) {
    EXPECT_EQ(sim::UiLanguage(), 0x0409);
    EXPECT_EQ(Load(IDS_DONE), L"Done");
    const struct {
        WORD ui;
        uint16_t expected;
    } cases[] = {
        {0x0407, 0x0007},  // German (Germany) -> German
        {0x0807, 0x0007},  // German (Switzerland) -> German
        {0x0413, 0x0013},  // Dutch (Netherlands) -> Dutch
        {0x0813, 0x0013},  // Dutch (Belgium) -> Dutch
        {0x040C, 0x000C}, {0x0C0A, 0x000A}, {0x0410, 0x0010},
        {0x0804, 0x0004},  // Chinese (PRC) -> Simplified
        {0x1004, 0x0004},  // Chinese (Singapore) -> Simplified
        {0x0404, 0x0404},  // Chinese (Taiwan) exactly
        {0x0C04, 0x0009},  // Chinese (Hong Kong): Traditional, never Simplified
        {0x0419, 0x0009},  // Russian -> English
        {0x0809, 0x0009},  // English (United Kingdom)
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.ui);
        sim::SetUiLanguage(c.ui);
        EXPECT_EQ(simres::PickLanguage(simres::kTypeString, IDS_DONE / 16 + 1, c.ui), c.expected);
        EXPECT_EQ(Load(IDS_DONE), String(IDS_DONE, c.expected));
        EXPECT_EQ(Load(IDS_INSTALLED), String(IDS_INSTALLED, c.expected));
        simres::DialogTemplate t;
        ASSERT_NE(simres::Find(simres::kTypeDialog, IDD_INSTALL), nullptr);
        ASSERT_TRUE(simres::ParseDialog(*simres::Find(simres::kTypeDialog, IDD_INSTALL), &t));
        EXPECT_EQ(t.caption, Dialog(IDD_INSTALL, c.expected).caption);
    }
    // Resources in one language only are found from any UI language.
    sim::SetUiLanguage(0x0407);
    EXPECT_NE(simres::Find(simres::kTypeBitmap, IDB_CONNECT), nullptr);
    EXPECT_NE(simres::Find(simres::kTypeManifest, 1), nullptr);
    // A new machine speaks English again.
    sim::Reset();
    EXPECT_EQ(sim::UiLanguage(), 0x0409);
}

TEST_F(ResourcesTest, LoadStringCutsToTheBufferAndTerminates) {
    WCHAR buffer[8];
    wmemset(buffer, L'#', 8);
    EXPECT_EQ(LoadStringW(NULL, IDS_DONE, buffer, 5), 4);
    EXPECT_STREQ(buffer, L"Done");
    wmemset(buffer, L'#', 8);
    EXPECT_EQ(LoadStringW(NULL, IDS_DONE, buffer, 4), 3);
    EXPECT_STREQ(buffer, L"Don");
    EXPECT_EQ(buffer[4], L'#');
    wmemset(buffer, L'#', 8);
    EXPECT_EQ(LoadStringW(NULL, IDS_DONE, buffer, 1), 0);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], L'#');

    // The long string cut to a 260-character buffer, as the install worker loads it.
    sim::SetUiLanguage(0x0407);
    WCHAR small[20];
    EXPECT_EQ(LoadStringW(NULL, IDS_INSTALL_FAILED, small, ARRAYSIZE(small)), 19);
    EXPECT_EQ(std::wstring(small), String(IDS_INSTALL_FAILED, 0x0007).substr(0, 19));
}

TEST_F(ResourcesTest, LoadStringOfAMissingIdGivesAnEmptyText) {
    WCHAR buffer[8];
    wmemset(buffer, L'#', 8);
    EXPECT_EQ(LoadStringW(NULL, 120, buffer, 8), 0);  // block exists, entry empty
    EXPECT_EQ(buffer[0], 0);
    wmemset(buffer, L'#', 8);
    EXPECT_EQ(LoadStringW(NULL, 4000, buffer, 8), 0);  // no such block
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
}

TEST_F(ResourcesTest, LoadStringWithZeroBufferGivesAReadOnlyPointer) {
    LPCWSTR text = nullptr;
    int n = LoadStringW(NULL, IDS_SEARCHING, (LPWSTR)&text, 0);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::wstring(text, (size_t)n), L"Searching for printer devices, please wait...");
    // The pointer stays valid while other strings and languages are loaded.
    sim::SetUiLanguage(0x0407);
    LPCWSTR german = nullptr;
    int m = LoadStringW(NULL, IDS_SEARCHING, (LPWSTR)&german, 0);
    EXPECT_EQ(std::wstring(german, (size_t)m), String(IDS_SEARCHING, 0x0007));
    EXPECT_EQ(std::wstring(text, (size_t)n), L"Searching for printer devices, please wait...");
}

TEST_F(ResourcesTest, DialogParserRejectsTruncatedTemplates) {
    const std::vector<uint8_t> *data = simres::FindExact(simres::kTypeDialog, IDD_INSTALL, kEnglish);
    ASSERT_NE(data, nullptr);
    simres::DialogTemplate t;
    ASSERT_TRUE(simres::ParseDialog(*data, &t));
    // Every cut is noticed, up to the last control's last byte (no read past the end).
    for (size_t cut = 0; cut < data->size(); cut++) {
        std::vector<uint8_t> part(data->begin(), data->begin() + (std::ptrdiff_t)cut);
        simres::DialogTemplate u;
        EXPECT_FALSE(simres::ParseDialog(part, &u)) << cut;
    }
    std::vector<uint8_t> notEx(*data);
    notEx[2] = 0;  // signature no longer 0xFFFF: a plain DLGTEMPLATE
    EXPECT_FALSE(simres::ParseDialog(notEx, &t));
}

}  // namespace
