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

#include <string>

namespace sim {
namespace inf {

// The text of a printer-driver INF with this DriverVer value (no DriverVer
// line when it is empty).
std::string PrinterInfText(const std::string &driverVer = "07/16/2025,2025.7.16.1");

}  // namespace inf
}  // namespace sim
