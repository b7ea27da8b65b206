// The inventory of installed components: which packages, drivers and queues
// are the product's, how they are arranged (newest first, a driver under every
// package, a queue under every node of its driver), the placeholders for
// drivers without a package, and the installed-check of start-up.
#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "sim/core.h"
#include "sim/files.h"
#include "sim/inf.h"
#include "sim/registry.h"
#include "sim/spooler.h"
#include "tests/uninstall_fixture.h"
#include "uninstall/inventory.h"

namespace {

using namespace uninstall_fixture;

class InventoryTest : public UninstallFixture {
protected:
    static void CollectAll() {
        CollectDriverPackages();
        CollectPrinterDrivers();
        CollectPrintQueues();
    }

    static std::vector<PackageNode *> Packages() {
        std::vector<PackageNode *> out;
        for (PackageNode *p = PackageList; p; p = p->Next)
            out.push_back(p);
        return out;
    }

    static std::vector<DriverNode *> Drivers(PackageNode *p) {
        std::vector<DriverNode *> out;
        for (DriverNode *d = p->Drivers; d; d = d->Next)
            out.push_back(d);
        return out;
    }

    static std::vector<std::wstring> QueueNames(DriverNode *d) {
        std::vector<std::wstring> out;
        for (QueueNode *q = d->Queues; q; q = q->Next)
            out.push_back(q->PrinterInfo->pPrinterName);
        return out;
    }

    // Whether p points into the last driver or printer enumeration's block.
    static bool InDriverBuffer(const void *p) { return Inside(p, DriverEnumBuffer, EnumSize(true)); }
    static bool InPrinterBuffer(const void *p) { return Inside(p, PrinterEnumBuffer, EnumSize(false)); }

    static bool Inside(const void *p, const BYTE *start, DWORD size) {
        const BYTE *b = static_cast<const BYTE *>(p);
        return start != nullptr && b >= start && b < start + size;
    }

    static DWORD EnumSize(bool drivers) {
        DWORD needed = 0, count = 0;
        if (drivers)
            EnumPrinterDriversW(NULL, NULL, 8, NULL, 0, &needed, &count);
        else
            EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 2, NULL, 0, &needed, &count);
        return needed;
    }
};

TEST_F(InventoryTest, ThreePackageVersionsEachHoldTheOneProductDriver) {
    std::wstring first = AddStorePackage(L"aaaa", "01/01/2024,2024.1.1.1");
    std::wstring second = AddStorePackage(L"bbbb", "03/03/2025,2025.3.3.3");
    std::wstring third = AddStorePackage(L"cccc");
    AddProductDriver(L"Corvane MODEL", second);
    sim::PrinterDriver other;
    other.pName = std::wstring(L"Other Printer");
    other.pDriverPath = std::wstring(L"unidrv.dll");
    sim::AddDriver(other);

    EXPECT_EQ(1, CollectDriverPackages());
    EXPECT_EQ(0, CollectPrinterDrivers());

    std::vector<PackageNode *> packages = Packages();
    ASSERT_EQ(3u, packages.size());
    // The last one enumerated stands at the head.
    const std::wstring stores[] = {third, second, first};
    const wchar_t *versions[] = {L"07/16/2025,2025.7.16.1", L"03/03/2025,2025.3.3.3", L"01/01/2024,2024.1.1.1"};
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_STREQ(L"crvnv6.inf", packages[i]->InfFileName);
        EXPECT_EQ(stores[i], packages[i]->StoreInfPath);
        EXPECT_STREQ(versions[i], packages[i]->PackageVersion);
        EXPECT_EQ(1, packages[i]->DriverCount);
        std::vector<DriverNode *> drivers = Drivers(packages[i]);
        ASSERT_EQ(1u, drivers.size());
        ASSERT_NE(nullptr, drivers[0]->DriverInfo);
        EXPECT_STREQ(L"Corvane MODEL", drivers[0]->DriverInfo->pName);
        // Each node has a copy of its own, whose strings lie in the buffer.
        EXPECT_FALSE(InDriverBuffer(drivers[0]->DriverInfo));
        EXPECT_TRUE(InDriverBuffer(drivers[0]->DriverInfo->pName));
        EXPECT_EQ(0, drivers[0]->QueueCount);
        EXPECT_EQ(nullptr, drivers[0]->Queues);
    }
    EXPECT_NE(Drivers(packages[0])[0]->DriverInfo, Drivers(packages[1])[0]->DriverInfo);
    EXPECT_EQ(0, sim::OpenKeyCount());  // every key closed again
}

TEST_F(InventoryTest, DriversWithoutAPackageGatherUnderAPlaceholder) {
    // With an INF path: the placeholder takes it as its store path.
    std::wstring store = sim::DriverStorePath(kSourceInf);
    AddProductDriver(L"Corvane A", store);
    CollectDriverPackages();
    CollectPrinterDrivers();
    std::vector<PackageNode *> packages = Packages();
    ASSERT_EQ(1u, packages.size());
    EXPECT_STREQ(L"", packages[0]->InfFileName);
    EXPECT_STREQ(L"", packages[0]->PackageVersion);
    EXPECT_EQ(store, packages[0]->StoreInfPath);
    EXPECT_EQ(1, packages[0]->DriverCount);
    ASSERT_EQ(1u, Drivers(packages[0]).size());
    EXPECT_FALSE(InDriverBuffer(packages[0]->Drivers->DriverInfo));

    // Without: the first driver's record is used in place, and a second such
    // driver joins the same placeholder.
    sim::Reset();
    ResetProductGlobals();
    SetUp();
    AddProductDriver(L"Corvane A");
    AddProductDriver(L"Corvane B");
    CollectDriverPackages();
    CollectPrinterDrivers();
    packages = Packages();
    ASSERT_EQ(1u, packages.size());
    EXPECT_STREQ(L"", packages[0]->StoreInfPath);
    EXPECT_EQ(2, packages[0]->DriverCount);
    std::vector<DriverNode *> drivers = Drivers(packages[0]);
    ASSERT_EQ(2u, drivers.size());
    EXPECT_STREQ(L"Corvane B", drivers[0]->DriverInfo->pName);
    EXPECT_STREQ(L"Corvane A", drivers[1]->DriverInfo->pName);
    EXPECT_EQ((void *)DriverEnumBuffer, (void *)drivers[1]->DriverInfo);
    EXPECT_FALSE(InDriverBuffer(drivers[0]->DriverInfo));
}

TEST_F(InventoryTest, OnlyTheProductsOwnFileNamesCountAndUnreadablePathsAreSkipped) {
    std::wstring product = AddStorePackage(L"aaaa");
    // Another INF, and the product's names in capitals only.
    SetPackageKey(L"b-other", L"C:\\Windows\\System32\\DriverStore\\FileRepository\\other.inf_amd64_1\\other.inf");
    SetPackageKey(L"c-capitals", L"C:\\Windows\\System32\\DriverStore\\FileRepository\\x_amd64_2\\CRVNV6.INF");
    // After the product's key: a value of the wrong type, one that is missing,
    // one too long for the read. None of them may repeat the earlier path.
    std::wstring keys = kPackagesKey;
    sim::SetStringValue(keys + L"\\d-wrong-type", L"DriverStorePath", product);
    sim::CreateKey(keys + L"\\e-no-value");
    SetPackageKey(L"f-too-long", L"C:\\" + std::wstring(520, L'x') + L"\\crvnv6.inf");
    sim::PrinterDriver capitals = ProductDriver(L"Capitals");
    capitals.pDriverPath = std::wstring(L"CRVNDRV6.DLL");
    sim::AddDriver(capitals);
    AddProductDriver(L"Corvane MODEL", product);

    CollectAll();
    std::vector<PackageNode *> packages = Packages();
    ASSERT_EQ(1u, packages.size());
    EXPECT_EQ(product, packages[0]->StoreInfPath);
    std::vector<DriverNode *> drivers = Drivers(packages[0]);
    ASSERT_EQ(1u, drivers.size());
    EXPECT_STREQ(L"Corvane MODEL", drivers[0]->DriverInfo->pName);
    EXPECT_EQ(0, sim::OpenKeyCount());
}

TEST_F(InventoryTest, EntriesThatCannotBeMadeLeaveTheirGaps) {
    std::wstring first = AddStorePackage(L"aaaa");
    AddStorePackage(L"bbbb");
    std::wstring third = AddStorePackage(L"cccc");
    AddProductDriver(L"Corvane MODEL", first);

    // The second package's subkey cannot be opened (the first opening is
    // the "DriverPackages" key's): that package is passed over.
    int opens = 0;
    sim::OnCall("RegOpenKeyExW", [&opens] {
        if (++opens == 3)
            sim::FailCall("RegOpenKeyExW", ERROR_ACCESS_DENIED);
    });
    CollectDriverPackages();
    std::vector<PackageNode *> packages = Packages();
    ASSERT_EQ(2u, packages.size());
    EXPECT_EQ(third, packages[0]->StoreInfPath);
    EXPECT_EQ(first, packages[1]->StoreInfPath);
    EXPECT_EQ(0, sim::OpenKeyCount());

    // After the enumeration's buffer: the driver node of the head package,
    // then its record, which cannot be had; then the node of the next one,
    // which cannot be had either.
    int allocations = 0;
    sim::OnCall("HeapAlloc", [&allocations] {
        ++allocations;
        if (allocations == 3 || allocations == 4)
            sim::FailCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY);
    });
    CollectPrinterDrivers();
    packages = Packages();
    ASSERT_EQ(3u, packages.size());
    // The head package keeps a node without a record, which does not count;
    // the next has none at all.
    ASSERT_EQ(1u, Drivers(packages[1]).size());
    EXPECT_EQ(nullptr, packages[1]->Drivers->DriverInfo);
    EXPECT_EQ(0, packages[1]->DriverCount);
    EXPECT_EQ(nullptr, packages[2]->Drivers);
    EXPECT_EQ(0, packages[2]->DriverCount);
    // Attached nowhere, the driver gathers under a placeholder, its record
    // used in place.
    EXPECT_STREQ(L"", packages[0]->StoreInfPath);
    EXPECT_EQ(1, packages[0]->DriverCount);
    ASSERT_EQ(1u, Drivers(packages[0]).size());
    EXPECT_EQ((void *)DriverEnumBuffer, (void *)packages[0]->Drivers->DriverInfo);
}

TEST_F(InventoryTest, QueuesStandUnderEveryNodeOfTheirDriverByExactName) {
    std::wstring a = AddStorePackage(L"aaaa");
    AddStorePackage(L"bbbb");
    AddProductDriver(L"Corvane MODEL", a);
    AddQueue(L"Corvane MODEL", L"Corvane MODEL", L"USB001");
    AddQueue(L"Second", L"Corvane MODEL", L"USB002");
    AddQueue(L"Lower case driver", L"corvane model", L"USB003");
    AddQueue(L"Unrelated", L"Other Printer", L"LPT1:");

    CollectAll();
    std::vector<PackageNode *> packages = Packages();
    ASSERT_EQ(2u, packages.size());
    for (PackageNode *p : packages) {
        DriverNode *d = p->Drivers;
        ASSERT_NE(nullptr, d);
        EXPECT_EQ(2, d->QueueCount);
        // In enumeration order, newest first; the records are not copied.
        EXPECT_EQ((std::vector<std::wstring>{L"Second", L"Corvane MODEL"}), QueueNames(d));
        EXPECT_TRUE(InPrinterBuffer(d->Queues->PrinterInfo));
    }
    EXPECT_EQ(packages[0]->Drivers->Queues->PrinterInfo, packages[1]->Drivers->Queues->PrinterInfo);
}

TEST_F(InventoryTest, UnknownArchitectureCollectsNoPackageAndGoesOnWithDriversAndQueues) {
    sim::SetNativeArchitecture(PROCESSOR_ARCHITECTURE_IA64);
    SetPackageKey(L"crvnv6", L"C:\\Windows\\System32\\DriverStore\\FileRepository\\crvnv6.inf_ia64_1\\crvnv6.inf");
    EXPECT_EQ(0, CollectDriverPackages());
    EXPECT_EQ(nullptr, PackageList);
    EXPECT_EQ(0, sim::CallCount("RegOpenKeyExW"));
    // The later steps still ask the spooler (which has no drivers for this
    // processor either).
    CollectPrinterDrivers();
    CollectPrintQueues();
    EXPECT_EQ(1, sim::CallCount("EnumPrinterDriversW"));
    EXPECT_EQ(1, sim::CallCount("EnumPrintersW"));
}

TEST_F(InventoryTest, MissingRegistryKeyStillCollectsDriversAsPlaceholders) {
    AddProductDriver(L"Corvane MODEL");
    AddQueue(L"Corvane MODEL", L"Corvane MODEL");
    EXPECT_EQ(1, CollectDriverPackages());
    EXPECT_EQ(nullptr, PackageList);
    CollectPrinterDrivers();
    CollectPrintQueues();
    ASSERT_NE(nullptr, PackageList);
    EXPECT_EQ(nullptr, PackageList->Next);
    EXPECT_EQ(1, PackageList->Drivers->QueueCount);
}

TEST_F(InventoryTest, PackageVersionIsEmptyWhenTheInfCannotTellIt) {
    std::wstring noInf = AddStorePackage(L"aaaa");
    sim::files::Remove(noInf);
    std::wstring noDriverVer = AddStorePackage(L"bbbb", "");
    std::wstring tooLong = AddStorePackage(L"cccc", "07/16/2025," + std::string(60, '9'));
    std::wstring fits = AddStorePackage(L"dddd", "07/16/2025," + std::string(38, '9'));  // 49 characters

    CollectDriverPackages();
    std::vector<PackageNode *> packages = Packages();
    ASSERT_EQ(4u, packages.size());
    EXPECT_EQ(fits, packages[0]->StoreInfPath);
    EXPECT_EQ(L"07/16/2025," + std::wstring(38, L'9'), packages[0]->PackageVersion);
    for (int i = 1; i < 4; i++) {
        SCOPED_TRACE(i);
        EXPECT_STREQ(L"", packages[i]->PackageVersion);
        EXPECT_STREQ(L"crvnv6.inf", packages[i]->InfFileName);
    }
    EXPECT_EQ(noInf, packages[3]->StoreInfPath);
}

TEST_F(InventoryTest, OverlongNamesArePutInShortened) {
    // A final path part of 60 characters: InfFileName keeps 49 of them.
    std::wstring name = std::wstring(50, L'n') + L"crvnv6.inf";
    SetPackageKey(L"long-name", L"C:\\Store\\" + name);
    CollectDriverPackages();
    ASSERT_NE(nullptr, PackageList);
    EXPECT_EQ(name.substr(0, 49), PackageList->InfFileName);
    EXPECT_EQ(L"C:\\Store\\" + name, PackageList->StoreInfPath);

    // A driver's INF path of 1100 characters: StoreInfPath keeps 1023.
    sim::Reset();
    ResetProductGlobals();
    SetUp();
    std::wstring infPath = L"C:\\" + std::wstring(1100, L'p') + L"\\crvnv6.inf";
    AddProductDriver(L"Corvane MODEL", infPath);
    CollectDriverPackages();
    CollectPrinterDrivers();
    ASSERT_NE(nullptr, PackageList);
    EXPECT_EQ(infPath.substr(0, 1023), PackageList->StoreInfPath);
}

TEST_F(InventoryTest, WhatTheSpoolerOrTheHeapDeniesLeavesTheInventoryIncomplete) {
    struct Case {
        const char *Api;  // null: nothing fails
        int Occurrence;
        DWORD Error;
        bool Incomplete;
    } cases[] = {
        {nullptr, 0, 0, false},
        {"HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY, false},  // the INF information: only the version is missing
        {"HeapAlloc", 2, ERROR_NOT_ENOUGH_MEMORY, true},   // the package's node
        {"EnumPrinterDriversW", 1, RPC_S_SERVER_UNAVAILABLE, true},
        {"EnumPrinterDriversW", 2, RPC_S_SERVER_UNAVAILABLE, true},
        {"EnumPrintersW", 1, RPC_S_SERVER_UNAVAILABLE, true},
        {"EnumPrintersW", 2, RPC_S_SERVER_UNAVAILABLE, true},
        {"RegOpenKeyExW", 1, ERROR_FILE_NOT_FOUND, false},  // no packages yet
        {"RegOpenKeyExW", 1, ERROR_ACCESS_DENIED, true},    // packages there may be
        {"RegEnumKeyW", 1, ERROR_ACCESS_DENIED, true},
    };
    for (const Case &c : cases) {
        sim::Reset();
        ResetProductGlobals();
        InstallProduct();
        // What an earlier inventory missed is forgotten by the next one.
        MarkInventoryIncomplete(ERROR_OUTOFMEMORY);
        if (c.Api != nullptr)
            sim::FailCallAt(c.Api, c.Occurrence, c.Error);
        TakeInventory();
        std::string what = std::string(c.Api ? c.Api : "nothing") + " #" + std::to_string(c.Occurrence);
        EXPECT_EQ(c.Incomplete, InventoryIncomplete != FALSE) << what;
        EXPECT_EQ(c.Incomplete ? c.Error : (DWORD)ERROR_SUCCESS, InventoryError) << what;
    }

    // A machine without the product gives a complete, empty inventory.
    sim::Reset();
    ResetProductGlobals();
    CollectAll();
    EXPECT_EQ(nullptr, PackageList);
    EXPECT_FALSE(InventoryIncomplete);
}

TEST_F(InventoryTest, ProductCountsAsInstalledOnlyWithAProductDriver) {
    AddStorePackage(L"aaaa");
    AddStorePackage(L"bbbb");
    EXPECT_FALSE(IsProductInstalled());
    EXPECT_EQ(0, sim::CallCount("EnumPrintersW"));

    sim::Reset();
    ResetProductGlobals();
    SetUp();
    AddProductDriver(L"Corvane MODEL");
    EXPECT_TRUE(IsProductInstalled());
    EXPECT_EQ(0, sim::CallCount("EnumPrintersW"));

    sim::Reset();
    ResetProductGlobals();
    SetUp();
    EXPECT_FALSE(IsProductInstalled());
    EXPECT_EQ(nullptr, PackageList);
}

}  // namespace
