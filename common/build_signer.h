// The certificate this build's executables are signed with.
#pragma once

#include <windows.h>

#define BUILD_SIGNER_HASH_BYTES 32

// The SHA-256 of the signing certificate's encoding (BUILD_SIGNER_HASH_BYTES
// bytes), generated when the program is built with a certificate
// (cmake/signing.cmake); NULL in a build without one. It is part of the
// program's code, so nothing that happens to the program's file after it
// started can change what the program takes for its own signer.
extern const BYTE *BuildSigner;
