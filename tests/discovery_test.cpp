// USB printer discovery: records, order, port names, checksums and the
// registry values that printers (or broken drivers) leave behind.
#include <windows.h>
#include <string.h>

#include <string>
#include <vector>

#include "install/catalog.h"
#include "install/discovery.h"
#include "sim/devices.h"
#include "sim/registry.h"
#include "tests/test_support.h"

namespace {

class DiscoveryTest : public SimTest {
protected:
    void TearDown() override {
        FreeDeviceList(&list);
        SimTest::TearDown();
    }

    std::vector<std::wstring> Descriptions() {
        std::vector<std::wstring> out;
        for (DeviceRecord *r = list; r; r = r->Next)
            out.push_back(r->PortDescription);
        return out;
    }

    DeviceRecord *list = nullptr;
};

WORD Checksum(const char *text) { return ComputeIdChecksum((const BYTE *)text, (WORD)strlen(text)); }

TEST(IdChecksum, DiffersFromCrc16ArcOnlyThroughTheLastHighNibbleEntry) {
    EXPECT_EQ(0x4721, Checksum("ABC"));  // CRC-16/ARC would give 0x4521
    EXPECT_EQ(0x9738, Checksum("abc"));  // same as CRC-16/ARC
    EXPECT_EQ(0x0000, Checksum(""));
    EXPECT_EQ(0x0000, ComputeIdChecksum(nullptr, 0));
}

// CRC-16 with the reflected polynomial 0xA001, one bit at a time.
WORD BitwiseCrc16(WORD crc, BYTE byte) {
    crc ^= byte;
    for (int bit = 0; bit < 8; bit++)
        crc = (WORD)((crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1);
    return crc;
}

TEST(IdChecksum, BothNibbleTablesMatchTheBitwiseCrcSaveTheLastHighEntry) {
    // A byte b from a zero register gives low[b & 15] ^ high[b >> 4]: the
    // 256 bytes take every entry of both tables in every pairing. Only the
    // high entry 15 (0x4600, the CRC's 0x4400) differs, by 0x0200.
    for (int b = 0; b < 256; b++) {
        BYTE byte = (BYTE)b;
        WORD expected = BitwiseCrc16(0, byte) ^ (WORD)((b >> 4) == 15 ? 0x0200 : 0);
        EXPECT_EQ(expected, ComputeIdChecksum(&byte, 1)) << "byte " << b;
    }
    // A running register takes the same difference wherever the byte it
    // meets has the high nibble 15.
    BYTE all[256];
    WORD crc = 0;
    for (int b = 0; b < 256; b++) {
        all[b] = (BYTE)(255 - b);
        BYTE index = (BYTE)(all[b] ^ (crc & 0xFF));
        crc = BitwiseCrc16(crc, all[b]) ^ (WORD)((index >> 4) == 15 ? 0x0200 : 0);
    }
    EXPECT_EQ(crc, ComputeIdChecksum(all, 256));
}

TEST_F(DiscoveryTest, NoPrinterGivesAnEmptyList) {
    EXPECT_EQ(0, ScanUsbPrinters(&list));
    EXPECT_EQ(nullptr, list);
}

TEST_F(DiscoveryTest, ListHoldsTheNewestInterfaceFirst) {
    sim::PlugUsbPrinter(L"A", 1, L"S1");
    sim::PlugUsbPrinter(L"B", 2, L"S2");
    sim::PlugUsbPrinter(L"C", 3, L"S3");
    EXPECT_EQ(3, ScanUsbPrinters(&list));
    EXPECT_EQ((std::vector<std::wstring>{L"C", L"B", L"A"}), Descriptions());
}

TEST_F(DiscoveryTest, RecordFieldsOfACataloguedPrinter) {
    sim::UsbPrinter p;
    p.DevicePath = sim::UsbPrinterPath(L"vid_3e8b&pid_0101", L"sn0001");
    p.PortDescription = L"ABC";
    p.PortNumber = 1;
    p.SerialNumber = L"SN0001";
    sim::PlugUsbPrinter(p);
    ASSERT_EQ(1, ScanUsbPrinters(&list));
    EXPECT_STREQ(L"3e8b", list->VendorId);
    EXPECT_STREQ(L"4721", list->Checksum);
    EXPECT_STREQ(L"USB001", list->PortName);
    EXPECT_STREQ(L"ABC", list->PortDescription);
    EXPECT_STREQ(L"SN0001", list->SerialNumber);
    EXPECT_STREQ(L"usbprint\\abc4721", list->HardwareId);
    EXPECT_EQ(1, list->Flag);
    EXPECT_EQ(nullptr, list->Next);
}

TEST_F(DiscoveryTest, PortNamesHaveAtLeastThreeDigits) {
    sim::PlugUsbPrinter(L"P1", 1, L"S1");
    sim::PlugUsbPrinter(L"P12", 12, L"S2");
    sim::PlugUsbPrinter(L"P1234", 1234, L"S3");
    ASSERT_EQ(3, ScanUsbPrinters(&list));
    EXPECT_STREQ(L"USB1234", list->PortName);
    EXPECT_STREQ(L"USB012", list->Next->PortName);
    EXPECT_STREQ(L"USB001", list->Next->Next->PortName);
}

TEST_F(DiscoveryTest, LongDescriptionIsCutTo32CharactersBeforeTheChecksum) {
    std::wstring forty = L"Corvane LX-420 with a long model tail!!!";
    ASSERT_EQ(40u, forty.size());
    sim::PlugUsbPrinter(forty, 1);
    ASSERT_EQ(1, ScanUsbPrinters(&list));
    std::wstring cut = forty.substr(0, 32);
    EXPECT_EQ(cut, list->PortDescription);
    std::string narrow(cut.begin(), cut.end());
    wchar_t expected[5];
    swprintf(expected, 5, L"%04x", Checksum(narrow.c_str()));
    EXPECT_STREQ(expected, list->Checksum);
    std::wstring hwid = L"usbprint\\" + cut + expected;
    for (auto &c : hwid)
        c = towlower(c);
    EXPECT_EQ(hwid, list->HardwareId);
}

TEST_F(DiscoveryTest, EmptyAndNonAnsiDescriptions) {
    sim::PlugUsbPrinter(L"", 1, L"S1");
    sim::PlugUsbPrinter(L"Corvane \x03A9X", 2, L"S2");  // a Greek capital omega
    ASSERT_EQ(2, ScanUsbPrinters(&list));
    // Only A to Z are lower-cased; the checksum uses the ANSI form "Corvane ?X".
    EXPECT_STREQ(L"Corvane \x03A9X", list->PortDescription);
    wchar_t expected[40];
    swprintf(expected, 40, L"usbprint\\corvane \x03A9x%04x", Checksum("Corvane ?X"));
    EXPECT_STREQ(expected, list->HardwareId);
    EXPECT_STREQ(L"0000", list->Next->Checksum);
    EXPECT_STREQ(L"usbprint\\0000", list->Next->HardwareId);
}

TEST_F(DiscoveryTest, UnpluggedPrinterIsGoneAtTheNextScanAndNothingLeaks) {
    std::wstring a = sim::PlugUsbPrinter(L"A", 1, L"S1");
    sim::PlugUsbPrinter(L"B", 2, L"S2");
    ASSERT_EQ(2, ScanUsbPrinters(&list));
    sim::UnplugUsbPrinter(a);
    ASSERT_EQ(1, ScanUsbPrinters(&list));
    EXPECT_EQ((std::vector<std::wstring>{L"B"}), Descriptions());
    EXPECT_EQ(1u, sim::LiveAllocations());
    EXPECT_EQ(0, sim::OpenKeyCount());
    EXPECT_EQ(0, sim::OpenDeviceInfoSets());
    FreeDeviceList(&list);
    EXPECT_EQ(nullptr, list);
    EXPECT_EQ(0u, sim::LiveAllocations());
}

TEST_F(DiscoveryTest, FindDeviceByPortComparesWholeNamesWithCase) {
    EXPECT_EQ(nullptr, FindDeviceByPort(nullptr, L"USB001"));
    sim::PlugUsbPrinter(L"Older", 1, L"S1");
    sim::PlugUsbPrinter(L"Other", 2, L"S2");
    sim::PlugUsbPrinter(L"Newer", 1, L"S3");
    ASSERT_EQ(3, ScanUsbPrinters(&list));
    DeviceRecord *found = FindDeviceByPort(list, L"USB001");
    ASSERT_NE(nullptr, found);
    EXPECT_STREQ(L"Newer", found->PortDescription);
    EXPECT_EQ(nullptr, FindDeviceByPort(list, L"usb001"));
    EXPECT_EQ(nullptr, FindDeviceByPort(list, L"USB00"));
    EXPECT_EQ(nullptr, FindDeviceByPort(list, L"USB003"));
}

// Values as a faulty driver or a hand-edited registry may leave them.
class MalformedValuesTest : public DiscoveryTest {
protected:
    std::wstring Plug(const std::wstring &description = L"Corvane LX-420") {
        path = sim::PlugUsbPrinter(description, 1);
        key = sim::UsbPrinterParametersKey(path);
        return path;
    }
    std::wstring path, key;
};

TEST_F(MalformedValuesTest, PrinterWithoutAUsablePortNumberIsSkipped) {
    Plug();
    sim::DeleteValue(key, L"Port Number");
    EXPECT_EQ(0, ScanUsbPrinters(&list));
    sim::SetStringValue(key, L"Port Number", L"1");
    EXPECT_EQ(0, ScanUsbPrinters(&list));
    sim::SetRawValue(key, L"Port Number", REG_DWORD, {1, 0});
    EXPECT_EQ(0, ScanUsbPrinters(&list));
    EXPECT_EQ(0u, sim::LiveAllocations());
}

TEST_F(MalformedValuesTest, TextValuesWithoutTerminatorOddSizeOrWrongType) {
    Plug();
    sim::SetRawValue(key, L"Port Description", REG_SZ, sim::RegText(L"Corvane LX-420", false));
    std::vector<uint8_t> odd = sim::RegText(L"SN42", false);
    odd.push_back('Z');
    sim::SetRawValue(key, L"Serial Number", REG_SZ, odd);
    ASSERT_EQ(1, ScanUsbPrinters(&list));
    EXPECT_STREQ(L"Corvane LX-420", list->PortDescription);
    EXPECT_EQ(0, wcsncmp(L"SN42", list->SerialNumber, 4));
    EXPECT_LE(wcslen(list->SerialNumber), 5u);

    sim::SetDwordValue(key, L"Port Description", 7);
    sim::DeleteValue(key, L"Serial Number");
    ASSERT_EQ(1, ScanUsbPrinters(&list));
    EXPECT_STREQ(L"", list->PortDescription);
    EXPECT_STREQ(L"", list->SerialNumber);
    EXPECT_STREQ(L"usbprint\\0000", list->HardwareId);
}

TEST_F(MalformedValuesTest, EveryTextTypeIsReadAsTextAndOtherTypesGiveNothing) {
    Plug();
    const struct {
        DWORD Type;
        bool Text;
    } cases[] = {{REG_SZ, true}, {REG_EXPAND_SZ, true}, {REG_MULTI_SZ, true}, {REG_BINARY, false}, {REG_NONE, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Type);
        if (c.Type == REG_MULTI_SZ) {
            // A multi-string gives its first string.
            sim::SetMultiStringValue(key, L"Port Description", {L"Corvane LX-420", L"Second"});
            sim::SetMultiStringValue(key, L"Serial Number", {L"SN42", L"Other"});
        } else {
            sim::SetStringValue(key, L"Port Description", L"Corvane LX-420", c.Type);
            sim::SetStringValue(key, L"Serial Number", L"SN42", c.Type);
        }
        ASSERT_EQ(1, ScanUsbPrinters(&list));
        EXPECT_EQ(c.Text ? L"Corvane LX-420" : L"", std::wstring(list->PortDescription));
        EXPECT_EQ(c.Text ? L"SN42" : L"", std::wstring(list->SerialNumber));
        // The printer is recognised when its description could be read.
        EXPECT_EQ(c.Text, MatchCatalogEntry(list->PortDescription) != nullptr);
    }
}

TEST_F(MalformedValuesTest, HugeValuesAreCutAt32Characters) {
    Plug();
    std::wstring huge(100000, L'x');
    sim::SetStringValue(key, L"Port Description", huge);
    sim::SetStringValue(key, L"Serial Number", huge);
    ASSERT_EQ(1, ScanUsbPrinters(&list));
    EXPECT_EQ(std::wstring(32, L'x'), list->PortDescription);
    EXPECT_EQ(std::wstring(32, L'x'), list->SerialNumber);
}

TEST_F(MalformedValuesTest, ShortDevicePathGivesWhatItHasAsVendorId) {
    sim::UsbPrinter p;
    p.DevicePath = L"\\\\?\\usb#vid_3e";  // 14 characters
    p.PortDescription = L"X";
    p.PortNumber = 5;
    sim::PlugUsbPrinter(p);
    p.DevicePath = L"\\\\?\\usb#v";  // shorter than the vendor id's place
    p.PortNumber = 6;
    sim::PlugUsbPrinter(p);
    ASSERT_EQ(2, ScanUsbPrinters(&list));
    EXPECT_STREQ(L"", list->VendorId);
    EXPECT_STREQ(L"3e", list->Next->VendorId);
}

TEST_F(MalformedValuesTest, InterfacesThatCannotBeReadAreSkipped) {
    Plug();
    sim::PlugUsbPrinter(L"Second", 2, L"S2");
    sim::FailCall("RegOpenKeyExW", ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(1, ScanUsbPrinters(&list));
    EXPECT_STREQ(L"Second", list->PortDescription);
    sim::FailCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);
    EXPECT_EQ(1, ScanUsbPrinters(&list));
    // No device list at all is a failure of its own, not an empty list.
    sim::FailCall("SetupDiGetClassDevsW", ERROR_INVALID_PARAMETER, 1);
    EXPECT_EQ(SCAN_FAILED, ScanUsbPrinters(&list));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(nullptr, list);
    EXPECT_EQ(0, sim::OpenKeyCount());
}

}  // namespace
