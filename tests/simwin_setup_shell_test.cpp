// The simulated Windows' INF version reader, device information sets of every
// setup class, and the shell's deletion to the Recycle Bin: their buffer
// protocols and the answers the uninstaller relies on.
#include <windows.h>
#include <setupapi.h>
#include <shellapi.h>
#include <shlobj.h>
#include <usbprint.h>

#include <string>
#include <vector>

#include "sim/core.h"
#include "sim/devices.h"
#include "sim/files.h"
#include "sim/inf.h"
#include "sim/shell.h"
#include "tests/test_support.h"

namespace {

const wchar_t kInf[] = L"C:\\Store\\crvnv6.inf";

class SimSetupShellTest : public SimTest {
protected:
    // The INF information block of a file, or empty when it cannot be read.
    static std::vector<BYTE> InfInformation(const std::wstring &path) {
        DWORD size = 0;
        if (!SetupGetInfInformationW(path.c_str(), INFINFO_INF_NAME_IS_ABSOLUTE, NULL, 0, &size) || size == 0)
            return {};
        std::vector<BYTE> block(size);
        if (!SetupGetInfInformationW(path.c_str(), INFINFO_INF_NAME_IS_ABSOLUTE,
                                     reinterpret_cast<SP_INF_INFORMATION *>(block.data()), size, NULL))
            return {};
        return block;
    }

    static std::wstring Version(std::vector<BYTE> &block, const wchar_t *key) {
        WCHAR text[100] = {};
        if (!SetupQueryInfVersionInformationW(reinterpret_cast<SP_INF_INFORMATION *>(block.data()), 0, key, text, 100,
                                              NULL))
            return L"<" + std::to_wstring(GetLastError()) + L">";
        return text;
    }

    static std::wstring FriendlyName(HDEVINFO set, SP_DEVINFO_DATA *device) {
        WCHAR name[64] = {};
        if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_FRIENDLYNAME, NULL, (PBYTE)name, sizeof(name), NULL))
            return L"<" + std::to_wstring(GetLastError()) + L">";
        return name;
    }

    static int Delete(const std::vector<std::wstring> &items, WORD flags, BOOL *aborted = nullptr) {
        std::wstring list;
        for (auto &i : items)
            list += i + L'\0';
        list += L'\0';
        SHFILEOPSTRUCTW op = {};
        op.wFunc = FO_DELETE;
        op.pFrom = list.c_str();
        op.fFlags = flags;
        int result = SHFileOperationW(&op);
        if (aborted)
            *aborted = op.fAnyOperationsAborted;
        return result;
    }
};

TEST_F(SimSetupShellTest, InfInformationFollowsTheSizeProtocol) {
    sim::files::WriteFile(kInf, sim::inf::PrinterInfText());
    DWORD size = 0;
    EXPECT_TRUE(SetupGetInfInformationW(kInf, INFINFO_INF_NAME_IS_ABSOLUTE, NULL, 0, &size));
    EXPECT_GT(size, sizeof(SP_INF_INFORMATION));
    std::vector<BYTE> block(size);
    auto *info = reinterpret_cast<SP_INF_INFORMATION *>(block.data());
    DWORD again = 0;
    EXPECT_FALSE(SetupGetInfInformationW(kInf, INFINFO_INF_NAME_IS_ABSOLUTE, info, size - 1, &again));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(size, again);
    EXPECT_FALSE(SetupGetInfInformationW(kInf, INFINFO_INF_NAME_IS_ABSOLUTE, NULL, size, &again));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_TRUE(SetupGetInfInformationW(kInf, INFINFO_INF_NAME_IS_ABSOLUTE, info, size, NULL));
    EXPECT_EQ((DWORD)INF_STYLE_WIN4, info->InfStyle);
    EXPECT_EQ(1u, info->InfCount);

    EXPECT_FALSE(SetupGetInfInformationW(L"C:\\Store\\missing.inf", INFINFO_INF_NAME_IS_ABSOLUTE, NULL, 0, &size));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    sim::files::WriteFile(L"C:\\Store\\notes.txt", "just text\r\n");
    EXPECT_FALSE(SetupGetInfInformationW(L"C:\\Store\\notes.txt", INFINFO_INF_NAME_IS_ABSOLUTE, NULL, 0, &size));
    EXPECT_EQ(ERROR_WRONG_INF_STYLE, GetLastError());
}

TEST_F(SimSetupShellTest, VersionEntriesAreReadLikeSetupReadsThem) {
    sim::files::WriteFile(kInf,
                          "; comment\r\n[Strings]\r\nDriverVer=wrong section\r\n"
                          "[ version ]\r\nsignature = \"$Windows NT$\" ; trailing\r\n"
                          "DriverVer = 07/16/2025 , 2025.7.16.1\r\nProvider=\"Cor;vane \"\"X\"\"\"\r\n");
    std::vector<BYTE> block = InfInformation(kInf);
    ASSERT_FALSE(block.empty());
    EXPECT_EQ(L"07/16/2025,2025.7.16.1", Version(block, L"DRIVERVER"));
    EXPECT_EQ(L"Cor;vane \"X\"", Version(block, L"Provider"));
    EXPECT_EQ(L"<13>", Version(block, L"CatalogFile"));  // ERROR_INVALID_DATA

    // Sizes are in characters, terminator included.
    auto *info = reinterpret_cast<SP_INF_INFORMATION *>(block.data());
    DWORD need = 0;
    EXPECT_TRUE(SetupQueryInfVersionInformationW(info, 0, L"DriverVer", NULL, 0, &need));
    EXPECT_EQ(23u, need);
    WCHAR text[23];
    EXPECT_FALSE(SetupQueryInfVersionInformationW(info, 0, L"DriverVer", text, 22, NULL));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_TRUE(SetupQueryInfVersionInformationW(info, 0, L"DriverVer", text, 23, NULL));
    EXPECT_STREQ(L"07/16/2025,2025.7.16.1", text);
    EXPECT_FALSE(SetupQueryInfVersionInformationW(info, 1, L"DriverVer", text, 23, NULL));

    // A UTF-16 file with its mark reads the same.
    std::string utf16 = "\xFF\xFE";
    for (char c : sim::inf::PrinterInfText("01/02/2024,1.2.3.4")) {
        utf16 += c;
        utf16 += '\0';
    }
    sim::files::WriteFile(L"C:\\Store\\wide.inf", utf16);
    block = InfInformation(L"C:\\Store\\wide.inf");
    ASSERT_FALSE(block.empty());
    EXPECT_EQ(L"01/02/2024,1.2.3.4", Version(block, L"DriverVer"));
}

TEST_F(SimSetupShellTest, DeviceSetsOfEveryClassWithFriendlyNames) {
    sim::AddDevice({L"SWD\\PRINTENUM\\A", L"PrintQueue", std::wstring(L"Queue A"), true});
    sim::AddDevice({L"USBPRINT\\X\\1", L"Printer", std::nullopt, true});
    sim::AddDevice({L"SWD\\PRINTENUM\\GONE", L"PrintQueue", std::wstring(L"Unplugged"), false});
    sim::AddDevice({L"ROOT\\CUSTOM\\0", L"MyClass", std::wstring(L"Custom"), true});

    GUID guids[2] = {};
    DWORD count = 0;
    EXPECT_FALSE(SetupDiClassGuidsFromNameW(L"printqueue", NULL, 0, &count));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(1u, count);
    EXPECT_TRUE(SetupDiClassGuidsFromNameW(L"PrintQueue", guids, 2, &count));
    EXPECT_TRUE(guids[0] == sim::SetupClassGuid(L"PrintQueue"));
    EXPECT_TRUE(SetupDiClassGuidsFromNameW(L"NoSuchClass", guids, 2, &count));
    EXPECT_EQ(0u, count);

    // Every class, present or not.
    HDEVINFO all = SetupDiGetClassDevsExW(&guids[0], NULL, NULL, DIGCF_ALLCLASSES, NULL, NULL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, all);
    std::vector<std::wstring> names;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    DWORD i = 0;
    for (; SetupDiEnumDeviceInfo(all, i, &device); i++)
        names.push_back(FriendlyName(all, &device));
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());
    EXPECT_EQ((std::vector<std::wstring>{L"Queue A", L"<13>", L"Unplugged", L"Custom"}), names);

    // Present ones of one class.
    GUID queueClass = sim::SetupClassGuid(L"PrintQueue");
    HDEVINFO present = SetupDiGetClassDevsExW(&queueClass, NULL, NULL, DIGCF_PRESENT, NULL, NULL, NULL);
    EXPECT_TRUE(SetupDiEnumDeviceInfo(present, 0, &device));
    EXPECT_EQ(L"Queue A", FriendlyName(present, &device));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(present, 1, &device));
    SP_DEVINFO_DATA wrong = {};
    EXPECT_FALSE(SetupDiEnumDeviceInfo(present, 0, &wrong));
    EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());

    // The size protocol of the property, in bytes.
    DWORD need = 0;
    WCHAR small[3];
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(present, &device, SPDRP_FRIENDLYNAME, NULL, (PBYTE)small,
                                                   sizeof(small), &need));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(8 * sizeof(WCHAR), need);

    // A removed device leaves the machine; its element stays in the set.
    EXPECT_TRUE(SetupDiRemoveDevice(present, &device));
    EXPECT_EQ(3u, sim::DeviceNodes().size());
    ASSERT_EQ(1u, sim::RemovedDevices().size());
    EXPECT_EQ(L"SWD\\PRINTENUM\\A", sim::RemovedDevices()[0].Device.InstanceId);
    EXPECT_TRUE(SetupDiEnumDeviceInfo(present, 0, &device));
    EXPECT_EQ(L"<" + std::to_wstring(ERROR_NO_SUCH_DEVINST) + L">", FriendlyName(present, &device));

    // Both kinds of set are destroyed alike.
    HDEVINFO interfaces = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USBPRINT, NULL, NULL,
                                               DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_EQ(3, sim::OpenDeviceInfoSets());
    for (HDEVINFO set : {all, present, interfaces})
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(all));
    EXPECT_EQ(0, sim::OpenDeviceInfoSets());
}

TEST_F(SimSetupShellTest, DeletionWithUndoMovesItemsToTheRecycleBinAfterAsking) {
    sim::files::LayOutInstallFolder(L"C:\\Corvane\\");
    sim::files::WriteFile(L"D:\\Data\\a.txt", "a");
    // Both items of the list, read up to its double terminator.
    EXPECT_EQ(0, Delete({L"C:\\Corvane\\", L"D:\\Data\\a.txt"}, FOF_ALLOWUNDO));
    ASSERT_EQ(1u, sim::shell::Confirmations().size());
    EXPECT_EQ(L"Delete Multiple Items", sim::shell::Confirmations()[0].Caption);
    ASSERT_EQ(2u, sim::shell::RecycleBin().size());
    EXPECT_EQ(L"C:\\Corvane", sim::shell::RecycleBin()[0].OriginalPath);
    EXPECT_EQ(0u, sim::shell::RecycleBin()[0].BinPath.find(L"C:\\$Recycle.Bin\\"));
    EXPECT_EQ(0u, sim::shell::RecycleBin()[1].BinPath.find(L"D:\\$Recycle.Bin\\"));
    EXPECT_TRUE(sim::files::IsFile(sim::shell::RecycleBin()[0].BinPath + L"\\unins000.exe"));
    EXPECT_FALSE(sim::files::Exists(L"C:\\Corvane"));
    ASSERT_EQ(1u, sim::shell::FileOperations().size());
    EXPECT_EQ(2u, sim::shell::FileOperations()[0].From.size());

    // Answered no: nothing happens.
    sim::files::LayOutInstallFolder(L"C:\\Corvane\\");
    sim::shell::OnConfirmation([](const sim::shell::Confirmation &c) {
        EXPECT_EQ(L"Delete Folder", c.Caption);
        return false;
    });
    BOOL aborted = FALSE;
    EXPECT_EQ(1223, Delete({L"C:\\Corvane\\"}, FOF_ALLOWUNDO, &aborted));
    EXPECT_TRUE(aborted);
    EXPECT_TRUE(sim::files::IsFolder(L"C:\\Corvane"));

    // A file in use inside, a drive root, a missing item: refused, nothing moved.
    sim::shell::OnConfirmation(nullptr);
    sim::files::Lock(L"C:\\Corvane\\unins000.exe", sim::files::LockKind::Image);
    EXPECT_EQ(ERROR_SHARING_VIOLATION, Delete({L"C:\\Corvane\\"}, FOF_ALLOWUNDO));
    EXPECT_EQ(sim::shell::kDeRootDir, Delete({L"C:\\"}, FOF_ALLOWUNDO | FOF_NOCONFIRMATION));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Delete({L"C:\\Nowhere\\"}, FOF_ALLOWUNDO));
    EXPECT_TRUE(sim::files::IsFolder(L"C:\\Corvane"));
    EXPECT_EQ(2u, sim::shell::RecycleBin().size());

    // Without undo the item is gone for good, and no question is asked with
    // FOF_NOCONFIRMATION.
    sim::files::Unlock(L"C:\\Corvane\\unins000.exe");
    size_t questions = sim::shell::Confirmations().size();
    EXPECT_EQ(0, Delete({L"C:\\Corvane"}, FOF_NOCONFIRMATION));
    EXPECT_FALSE(sim::files::Exists(L"C:\\Corvane"));
    EXPECT_EQ(2u, sim::shell::RecycleBin().size());
    EXPECT_EQ(questions, sim::shell::Confirmations().size());

    SHChangeNotify(SHCNE_DELETE, SHCNF_PATHW, L"C:\\Corvane\\", NULL);
    ASSERT_EQ(1u, sim::shell::ChangeNotifications().size());
    EXPECT_EQ(L"C:\\Corvane\\", sim::shell::ChangeNotifications()[0].Item1);
    EXPECT_EQ(L"", sim::shell::ChangeNotifications()[0].Item2);
}

}  // namespace
