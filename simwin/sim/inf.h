// The test-facing side of the simulated setup INF reader
// (SetupGetInfInformationW, SetupQueryInfVersionInformationW).
//
// INF files are ordinary files of the simulated file system
// (sim::files::WriteFile): 8-bit text, UTF-8 with or without its byte-order
// mark, or UTF-16LE with its mark. The reader takes the [Version] section:
// "key = value" lines, ';' comments, quoted fields, values whose fields are
// joined by commas ("DriverVer = 07/16/2025, 2025.7.16.1" reads as
// "07/16/2025,2025.7.16.1"). A file without a "Signature" in [Version] is not
// an INF that these calls accept (ERROR_WRONG_INF_STYLE).
#pragma once

#include <windef.h>

#include <string>

namespace sim {
namespace inf {

// The DriverVer of the build's own package ("07/16/2025,2025.7.16.1"), as
// CMakeLists.txt sets it.
extern const char kPackageDriverVer[];

// The text of a printer-driver INF with this DriverVer value (no DriverVer
// line when it is empty).
std::string PrinterInfText(const std::string &driverVer = kPackageDriverVer);

// A DriverVer value as a driver record carries it: the date at midnight, and
// the version's four numbers (each cut to 16 bits) in one 64-bit number.
// False when the value is no "MM/DD/YYYY[,a.b.c.d]".
bool ParseDriverVer(const std::wstring &value, FILETIME *date, DWORDLONG *version);

// The DriverVer of the INF file at path (read as SetupGetInfInformationW
// reads it); false when the file has none.
bool ReadDriverVer(const std::wstring &path, FILETIME *date, DWORDLONG *version);

}  // namespace inf
}  // namespace sim
