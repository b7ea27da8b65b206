// Whether the program may start a copy of itself: the copy's Authenticode
// signature, checked against the certificate this build is signed with.
#pragma once

#include <windows.h>

// TRUE when the program may start the copy at path, held open as file. In a
// build signed with a certificate (BuildSigner, common/build_signer.h), only
// when WinVerifyTrust finds a valid Authenticode signature on the copy, made
// with that very certificate: a copy whose bytes changed after signing, an
// unsigned one, or one signed by anyone else is never started. In a build
// without a certificate there is nothing to check the copy against: TRUE,
// and the log says that the copy was not checked. Otherwise FALSE, and the
// log says why.
BOOL MayStartCopy(const WCHAR *path, HANDLE file);
