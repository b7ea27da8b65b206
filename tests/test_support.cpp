#include "tests/test_support.h"

#include <commctrl.h>
#include <strsafe.h>
#include <string.h>
#include <wctype.h>

#include "app/run_log.h"
#include "common/build_signer.h"
#include "common/globals.h"
#include "common/log_file.h"
#include "common/system_libraries.h"
#include "install/discovery.h"
#include "install/install_sequence.h"
#include "install/install_window.h"
#include "sim/loader.h"
#include "sim/files.h"
#include "sim/spooler.h"
#include "uninstall/inventory.h"

// The tables of the run-time libraries as start-up fills them. A program the
// simulation runs fills them again itself, and the simulated loader ends it
// should it call a function it has not looked up; product code that a test
// calls directly finds them filled.
#define BIND_WINSPOOL(name) Winspool.name = &::name;
#define BIND_NEWDEV(name) Newdev.name = &::name;
#define BIND_COMCTL32(name) Comctl32.name = &::name;
#define BIND_WINTRUST(name) Wintrust.name = &::name;

void ResetProductGlobals() {
    WINSPOOL_FUNCTIONS(BIND_WINSPOOL)
    WINSPOOL_OPTIONAL_FUNCTIONS(BIND_WINSPOOL)
    NEWDEV_FUNCTIONS(BIND_NEWDEV)
    COMCTL32_FUNCTIONS(BIND_COMCTL32)
    WINTRUST_FUNCTIONS(BIND_WINTRUST)
    BuildSigner = NULL;
    ModuleInstance = NULL;
    memset(InstallDir, 0, sizeof(InstallDir));
    memset(InfPath, 0, sizeof(InfPath));
    memset(PackageDir, 0, sizeof(PackageDir));
    memset(InstallText, 0, sizeof(InstallText));
    memset(LogFilePath, 0, sizeof(LogFilePath));
    LogFileHandle = INVALID_HANDLE_VALUE;
    memset(&LogFolderWay, 0, sizeof(LogFolderWay));
    DiscoveredDevices = NULL;
    InstallIdleEvent = NULL;
    InstallWindowClosing = 0;
    PackageList = NULL;
    DriverEnumBuffer = NULL;
    PrinterEnumBuffer = NULL;
    InventoryIncomplete = FALSE;
    InventoryError = ERROR_SUCCESS;
    RestartNeeded = FALSE;
    UnattendedRun = FALSE;
    memset(RestartCause, 0, sizeof(RestartCause));
    memset(&PackageStaging, 0, sizeof(PackageStaging));
    QueueLeftOnAnotherPort = FALSE;
    memset(RunOutcome, 0, sizeof(RunOutcome));
}

void SimTest::SetUp() {
    sim::Reset();
    ResetProductGlobals();
}

void SimTest::TearDown() {
    // An API that the loader cannot place in its DLL would escape its check
    // that the program looked it up first.
    EXPECT_EQ(std::vector<std::string>(), sim::loader::UnplacedApis())
        << "add these APIs to the table in simwin/loader.cpp";
    sim::Reset();
    ResetProductGlobals();
}

sim::Process RunProgramWindow(int templateId, DLGPROC procedure, const std::wstring &folder, uint64_t timeLimit,
                              const std::wstring &image, const std::function<void()> &after) {
    return sim::RunInProcess(
        [=] {
            ModuleInstance = GetModuleHandleW(NULL);
            StringCchCopyW(InstallDir, INSTALL_DIR_CCH, folder.c_str());
            INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_TREEVIEW_CLASSES | ICC_PROGRESS_CLASS};
            InitCommonControlsEx(&classes);
            DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(templateId), NULL, procedure, 0);
            if (after)
                after();
        },
        timeLimit, image);
}

sim::Process RunCreatedProcess(DWORD processId, uint64_t timeLimit, const std::function<void()> &atEnd) {
    ResetProductGlobals();
    if (atEnd)
        sim::OnProcessEnd([processId, atEnd](const sim::Process &p) {
            if (p.Id == processId)
                atEnd();
        });
    sim::StartCreatedProcess(processId);
    return sim::Run(timeLimit);
}

// UTF-8 to wide characters (the simulation's WCHAR holds any code point).
static std::wstring DecodeUtf8(const std::string &bytes) {
    std::wstring text;
    for (size_t i = 0; i < bytes.size();) {
        unsigned char lead = (unsigned char)bytes[i];
        int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        wchar_t c = extra == 0 ? lead : lead & (0x3F >> extra);
        EXPECT_LT(i + extra, bytes.size()) << "cut UTF-8 sequence";
        for (int k = 1; k <= extra && i + k < bytes.size(); k++) {
            EXPECT_EQ(0x80, (unsigned char)bytes[i + k] & 0xC0) << "bad UTF-8 at byte " << i + k;
            c = (c << 6) | ((unsigned char)bytes[i + k] & 0x3F);
        }
        text += c;
        i += 1 + extra;
    }
    return text;
}

std::vector<LogLine> ReadLog(const std::wstring &path) {
    std::wstring content = DecodeUtf8(sim::files::ReadFile(path));
    std::vector<LogLine> lines;
    size_t start = 0;
    for (size_t end; (end = content.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        std::wstring line = content.substr(start, end - start);
        EXPECT_EQ(std::wstring::npos, line.find_first_of(L"\r\n")) << "a line break inside a line";
        const std::wstring shape = L"0000-00-00 00:00:00.000 ";
        bool stamped = line.size() >= shape.size();
        for (size_t i = 0; stamped && i < shape.size(); i++)
            stamped = shape[i] == L'0' ? iswdigit(line[i]) != 0 : line[i] == shape[i];
        EXPECT_TRUE(stamped) << "no time stamp: " << std::string(line.begin(), line.end());
        // Then the process id, in brackets.
        size_t close = stamped && line.size() > shape.size() && line[shape.size()] == L'[' ? line.find(L"] ", shape.size())
                                                                                          : std::wstring::npos;
        bool numbered = close != std::wstring::npos && close > shape.size() + 1;
        for (size_t i = shape.size() + 1; numbered && i < close; i++)
            numbered = iswdigit(line[i]) != 0;
        EXPECT_TRUE(!stamped || numbered) << "no process id: " << std::string(line.begin(), line.end());
        if (stamped && numbered)
            lines.push_back({line.substr(0, shape.size() - 1), line.substr(close + 2),
                             std::stoul(line.substr(shape.size() + 1, close - shape.size() - 1))});
    }
    EXPECT_EQ(content.size(), start) << "the log does not end with CRLF";
    return lines;
}

std::vector<std::wstring> LogTexts(const std::wstring &path) {
    std::vector<std::wstring> texts;
    for (const LogLine &line : ReadLog(path))
        texts.push_back(line.Text);
    return texts;
}

std::vector<std::wstring> LogBody(const std::wstring &path) {
    std::vector<std::wstring> texts;
    for (const std::wstring &text : LogTexts(path))
        if (text.rfind(L"Corvane setup ", 0) != 0 && text.rfind(L"Ends with exit code ", 0) != 0)
            texts.push_back(text);
    return texts;
}

std::vector<std::wstring> TraceLines() {
    std::vector<std::wstring> lines = sim::DebugLines();
    if (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

::testing::AssertionResult IsStagedCopy(const std::wstring &path, const std::wstring &name) {
    const std::wstring prefix = L"C:\\Windows\\Temp\\CorvaneSetup.";
    size_t folderEnd = prefix.size() + 16;
    if (path.compare(0, prefix.size(), prefix) != 0 || path.size() <= folderEnd || path[folderEnd] != L'\\' ||
        path.substr(folderEnd + 1) != name)
        return ::testing::AssertionFailure() << "not a staged copy of " << std::string(name.begin(), name.end());
    std::wstring folder = path.substr(0, folderEnd);
    if (sim::files::Exists(folder) &&
        (sim::files::Security(folder) != L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)" ||
         sim::files::UserCanWrite(path) || sim::files::UserCanRename(folder)))
        return ::testing::AssertionFailure() << "the staged folder is not the administrators' alone";
    return ::testing::AssertionSuccess();
}


std::wstring StagingLine(const std::wstring &installDir) {
    const std::wstring inf = sim::Uploads().empty() ? std::wstring() : sim::Uploads().back().SourceInf;
    return L"The package of " + installDir + L" is as built, and Windows gets it from " +
           inf.substr(0, inf.rfind(L'\\') + 1) + L".";
}
