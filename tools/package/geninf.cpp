// geninf: writes the driver package's INF, "crvnv6.inf", from the installer's
// own model catalogue and its own hardware-id checksum, so that the INF lists
// exactly the hardware ids the installer computes for the printers it
// recognises. Built and run on the build machine (not a Windows program).
//
//   geninf OUTPUT.inf
//
// For every catalogue row the installer accepts two port descriptions,
// "CorvaneMODEL" and "Corvane MODEL"; a printer reporting either gets the
// hardware id "usbprint\" + description + its 4-digit checksum, lower-cased.
// Each such id is one line of the models sections, for every architecture.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "install/catalog.h"
#include "install/discovery.h"
#include "product_version.h"

namespace {

// The longest port description the scan keeps (it cuts after 32 characters).
const size_t kDescriptionLimit = 32;

const char *const kArchitectures[] = {"NTx86", "NTamd64", "NTarm", "NTarm64"};

struct Model {
    std::string Name;                    // "Corvane LD-2040"
    std::vector<std::string> HardwareIds; // joined form first, then spaced
};

bool ToAscii(const WCHAR *text, std::string *out)
{
    out->clear();
    for (; *text; ++text) {
        if (*text < 0x20 || *text > 0x7E || *text == L'"' || *text == L'%')
            return false;
        out->push_back(static_cast<char>(*text));
    }
    return true;
}

std::string HardwareIdOf(const std::string &description)
{
    WORD sum = ComputeIdChecksum(reinterpret_cast<const BYTE *>(description.data()),
                                 static_cast<WORD>(description.size()));
    char digits[8];
    snprintf(digits, sizeof(digits), "%04x", static_cast<unsigned>(sum));
    std::string id = "usbprint\\" + description + digits;
    for (char &c : id)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return id;
}

// A hardware id with a blank in it is written quoted.
std::string InfField(const std::string &value)
{
    if (value.find(' ') == std::string::npos)
        return value;
    return "\"" + value + "\"";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: geninf OUTPUT.inf\n");
        return 2;
    }
    std::vector<Model> models;
    std::vector<std::string> allIds;
    for (const CatalogEntry *row = ModelCatalog; row->Model != nullptr; ++row) {
        std::string manufacturer, model;
        if (row->Manufacturer == nullptr || !ToAscii(row->Manufacturer, &manufacturer) ||
            !ToAscii(row->Model, &model)) {
            fprintf(stderr, "geninf: row %d: a name is missing or not plain ASCII\n",
                    static_cast<int>(row - ModelCatalog));
            return 1;
        }
        Model m;
        m.Name = manufacturer + " " + model;
        const std::string forms[] = {manufacturer + model, manufacturer + " " + model};
        for (const std::string &description : forms) {
            if (description.size() > kDescriptionLimit) {
                fprintf(stderr, "geninf: \"%s\" is longer than a port description can be\n", description.c_str());
                return 1;
            }
            std::string id = HardwareIdOf(description);
            for (const std::string &seen : allIds) {
                if (seen == id) {
                    fprintf(stderr, "geninf: hardware id %s appears twice\n", id.c_str());
                    return 1;
                }
            }
            allIds.push_back(id);
            m.HardwareIds.push_back(id);
        }
        models.push_back(m);
    }
    if (models.empty()) {
        fprintf(stderr, "geninf: the catalogue is empty\n");
        return 1;
    }

    std::string inf;
    auto line = [&inf](const std::string &text) { inf += text + "\r\n"; };
    line("; crvnv6.inf - printer driver package for Corvane USB label and receipt printers.");
    line("; Generated from the installer's model catalogue by tools/package/geninf; do not edit.");
    line("; " + std::to_string(models.size()) + " models, each under both of the descriptions a printer may report.");
    line("");
    line("[Version]");
    line("Signature=\"$Windows NT$\"");
    line("Class=Printer");
    line("ClassGUID={4D36E979-E325-11CE-BFC1-08002BE10318}");
    line("Provider=%Corvane%");
    // The build's DriverVer, which the manual road registers too.
    line("DriverVer=" DRIVER_VER_TEXT);
    line("PnpLockdown=1");
    line("CatalogFile=crvnv6.cat");
    line("");
    line("[Manufacturer]");
    line("%Corvane%=Corvane,NTx86,NTamd64,NTarm,NTarm64");
    for (const char *arch : kArchitectures) {
        line("");
        line(std::string("[Corvane.") + arch + "]");
        for (const Model &m : models)
            for (const std::string &id : m.HardwareIds)
                line("\"" + m.Name + "\" = CRVNV6, " + InfField(id));
    }
    line("");
    line("; Every model installs the same driver files.");
    line("[CRVNV6]");
    line("CopyFiles=CRVNV6.Files");
    line("DriverFile=crvndrv6.dll");
    line("ConfigFile=crvndrv6ui.dll");
    line("DataFile=crvndrv6.dat");
    line("DefaultDataType=RAW");
    line("");
    line("[CRVNV6.Files]");
    line("crvndrv6.dll");
    line("crvndrv6ui.dll");
    line("crvndrv6.dat");
    line("");
    line("[DestinationDirs]");
    line("DefaultDestDir=66000");
    line("");
    line("; The architecture folders beside this INF; the data file is shared.");
    line("[SourceDisksNames.x86]");
    line("1=%DiskName%,,,\\i386");
    line("2=%DiskName%,,,\\dat");
    line("");
    line("[SourceDisksNames.amd64]");
    line("1=%DiskName%,,,\\amd64");
    line("2=%DiskName%,,,\\dat");
    line("");
    line("[SourceDisksNames.arm]");
    line("1=%DiskName%,,,\\arm");
    line("2=%DiskName%,,,\\dat");
    line("");
    line("[SourceDisksNames.arm64]");
    line("1=%DiskName%,,,\\arm64");
    line("2=%DiskName%,,,\\dat");
    line("");
    line("[SourceDisksFiles]");
    line("crvndrv6.dll=1");
    line("crvndrv6ui.dll=1");
    line("crvnmon.dll=1");
    line("crvndrv6.dat=2");
    line("");
    line("[Strings]");
    line("Corvane=\"Corvane\"");
    line("DiskName=\"Corvane printer driver package\"");

    FILE *out = fopen(argv[1], "wb");
    if (out == nullptr) {
        perror(argv[1]);
        return 1;
    }
    bool ok = fwrite(inf.data(), 1, inf.size(), out) == inf.size();
    ok = fclose(out) == 0 && ok;
    if (!ok) {
        fprintf(stderr, "geninf: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
