#include "common/code_signature.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <string.h>
#include <strsafe.h>

#include "common/build_signer.h"
#include "common/log_file.h"
#include "common/system_libraries.h"

#define SIGNATURE_LINE_CCH 512

// TRUE when the certificate's encoding hashes to the build's signer.
static BOOL IsBuildSigner(PCCERT_CONTEXT certificate) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[BUILD_SIGNER_HASH_BYTES];
    DWORD length = sizeof(digest);
    BOOL same = FALSE;

    if (!CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return FALSE;
    if (CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
        same = CryptHashData(hash, certificate->pbCertEncoded, certificate->cbCertEncoded, 0) &&
               CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0) && length == BUILD_SIGNER_HASH_BYTES &&
               memcmp(digest, BuildSigner, BUILD_SIGNER_HASH_BYTES) == 0;
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    return same;
}

BOOL MayStartCopy(const WCHAR *path, HANDLE file) {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO fileInfo;
    WINTRUST_DATA data;
    CRYPT_PROVIDER_DATA *provider;
    CRYPT_PROVIDER_SGNR *signer;
    CRYPT_PROVIDER_CERT *certificate;
    WCHAR line[SIGNATURE_LINE_CCH];
    LONG result;
    BOOL same = FALSE;

    if (BuildSigner == NULL) {
        if (SUCCEEDED(StringCchPrintfW(line, SIGNATURE_LINE_CCH,
                                       L"This build is not signed: the copy %ws was not checked for a signature.",
                                       path)))
            WriteLogLine(line);
        return TRUE;
    }
    memset(&fileInfo, 0, sizeof(fileInfo));
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;
    fileInfo.hFile = file;
    memset(&data, 0, sizeof(data));
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    // The check is of the bytes and of who signed them, made offline.
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    result = Wintrust.WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);
    if (result == ERROR_SUCCESS) {
        provider = Wintrust.WTHelperProvDataFromStateData(data.hWVTStateData);
        signer = provider != NULL ? Wintrust.WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : NULL;
        certificate = signer != NULL ? Wintrust.WTHelperGetProvCertFromChain(signer, 0) : NULL;
        same = certificate != NULL && certificate->pCert != NULL && IsBuildSigner(certificate->pCert);
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    Wintrust.WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);
    if (result != ERROR_SUCCESS) {
        if (SUCCEEDED(StringCchPrintfW(line, SIGNATURE_LINE_CCH,
                                       L"The copy %ws is not started: it carries no valid signature "
                                       L"(WinVerifyTrust 0x%08lX).",
                                       path, (unsigned long)result)))
            WriteLogLine(line);
    } else if (!same) {
        if (SUCCEEDED(StringCchPrintfW(line, SIGNATURE_LINE_CCH,
                                       L"The copy %ws is not started: its signature is valid, but not made with "
                                       L"the certificate this build is signed with.",
                                       path)))
            WriteLogLine(line);
    }
    return result == ERROR_SUCCESS && same;
}
