// The size and SHA-256 of every package file the program installs, copies
// into Windows, hands to Plug and Play or starts. The table is generated when
// the package is built (cmake/package_hashes.cmake) and built into the
// program, so that whatever vouches for the program vouches for these files
// too.
#pragma once

#include <windows.h>

#define PACKAGE_HASH_BYTES 32

typedef struct PackageFileHash {
    const WCHAR *Name;  // relative to the install folder: L"amd64\\crvndrv6.dll"
    ULONGLONG Size;     // in bytes
    BYTE Sha256[PACKAGE_HASH_BYTES];
} PackageFileHash;

extern const PackageFileHash PackageFileHashes[];
extern const int PackageFileHashCount;
