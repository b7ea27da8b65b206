// CryptoAPI of the simulated Windows (advapi32): a verification context and
// the system's random generator.
#pragma once

#include <windows.h>

typedef ULONG_PTR HCRYPTPROV;

#define PROV_RSA_AES 24
#define CRYPT_VERIFYCONTEXT 0xF0000000

BOOL WINAPI CryptAcquireContextW(HCRYPTPROV *phProv, LPCWSTR szContainer, LPCWSTR szProvider, DWORD dwProvType,
                                 DWORD dwFlags);
BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL WINAPI CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE *pbBuffer);
