// Constants that some SDK headers (notably mingw-w64's) lack. Each is defined
// only when the platform header did not already define it.
#pragma once

#include <windows.h>
#include <winspool.h>

// winspool.h: flags of UploadPrinterDriverPackageW.
#ifndef UPDP_SILENT_UPLOAD
#define UPDP_SILENT_UPLOAD 0x00000001
#endif
#ifndef UPDP_UPLOAD_ALWAYS
#define UPDP_UPLOAD_ALWAYS 0x00000002
#endif
#ifndef UPDP_CHECK_DRIVERSTORE
#define UPDP_CHECK_DRIVERSTORE 0x00000004
#endif
