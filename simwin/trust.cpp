// Authenticode verification (wintrust.dll) of the simulated Windows: see
// sim/trust.h for how a file carries its signature.
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kernel.h"
#include "sim/files.h"
#include "sim/trust.h"

namespace {

const char kBlockStart[] = "\n[Authenticode signature: signer=";

std::string Narrow(const std::wstring &text) { return std::string(text.begin(), text.end()); }

std::string Hex(const std::string &bytes) {
    std::string out;
    char digits[3];
    for (unsigned char b : bytes) {
        std::snprintf(digits, sizeof(digits), "%02x", b);
        out += digits;
    }
    return out;
}

// What a verification with WTD_STATEACTION_VERIFY leaves until it is closed.
struct State {
    CRYPT_PROVIDER_DATA Data = {sizeof(CRYPT_PROVIDER_DATA)};
    bool Signed = false;
    std::string Encoded;  // the signer's certificate
    CERT_CONTEXT Certificate = {};
    CRYPT_PROVIDER_CERT ChainCertificate = {sizeof(CRYPT_PROVIDER_CERT), nullptr};
    CRYPT_PROVIDER_SGNR Signer = {};
};

struct Trust {
    std::map<HANDLE, std::unique_ptr<State>> States;
    std::vector<sim::trust::Verification> Verifications;
};
Trust &T() {
    static Trust t;
    return t;
}
simk::Registrar gReset([] { simk::OnReset([] { T() = Trust(); }); });

// The answer for a file's content, and its signer when the answer is 0.
LONG Verify(const std::string &content, std::wstring *signer) {
    size_t at = content.rfind(kBlockStart);
    if (at == std::string::npos || content.back() != ']')
        return TRUST_E_NOSIGNATURE;
    std::string block = content.substr(at + sizeof(kBlockStart) - 1);
    size_t hashAt = block.find("; sha256=");
    if (hashAt == std::string::npos)
        return TRUST_E_NOSIGNATURE;
    std::string hash = block.substr(hashAt + 9, block.size() - hashAt - 10);
    if (hash != Hex(simk::Sha256Of(content.substr(0, at))))
        return TRUST_E_BAD_DIGEST;
    std::string name = block.substr(0, hashAt);
    *signer = std::wstring(name.begin(), name.end());
    return ERROR_SUCCESS;
}

}  // namespace

LONG WINAPI WinVerifyTrust(HWND hwnd, GUID *action, LPVOID trustData) {
    SIM_ENTER("WinVerifyTrust", TRUST_E_PROVIDER_UNKNOWN);
    (void)hwnd;
    static const GUID kGenericVerifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_DATA *data = static_cast<WINTRUST_DATA *>(trustData);
    if (action == nullptr || !(*action == kGenericVerifyV2))
        return TRUST_E_ACTION_UNKNOWN;
    if (data == nullptr || data->cbStruct < sizeof(WINTRUST_DATA))
        return static_cast<LONG>(0x80070057L);  // E_INVALIDARG
    if (data->dwStateAction == WTD_STATEACTION_CLOSE) {
        T().States.erase(data->hWVTStateData);
        data->hWVTStateData = nullptr;
        return ERROR_SUCCESS;
    }
    if (data->dwUnionChoice != WTD_CHOICE_FILE || data->pFile == nullptr)
        return TRUST_E_SUBJECT_FORM_UNKNOWN;
    // The file: through the handle the caller gave, or opened by its path.
    std::string content;
    std::wstring path = data->pFile->pcwszFilePath != nullptr ? data->pFile->pcwszFilePath : L"";
    LONG result;
    HANDLE handle = data->pFile->hFile;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        result = simk::FileContentOfHandle(handle, &content) ? ERROR_SUCCESS : static_cast<LONG>(0x80070006L);
    } else if (DWORD error = sim::files::TryOpen(path, GENERIC_READ, FILE_SHARE_READ)) {
        result = static_cast<LONG>(0x80070000L | (error & 0xFFFF));
    } else {
        content = sim::files::ReadFile(path);
        result = ERROR_SUCCESS;
    }
    std::wstring signer;
    if (result == ERROR_SUCCESS)
        result = Verify(content, &signer);
    T().Verifications.push_back({path, result});
    if (data->dwStateAction == WTD_STATEACTION_VERIFY) {
        auto state = std::make_unique<State>();
        if (result == ERROR_SUCCESS) {
            State &s = *state;
            s.Signed = true;
            s.Encoded = sim::trust::CertificateOf(signer);
            s.Certificate.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
            s.Certificate.pbCertEncoded = reinterpret_cast<BYTE *>(&s.Encoded[0]);
            s.Certificate.cbCertEncoded = static_cast<DWORD>(s.Encoded.size());
            s.ChainCertificate.pCert = &s.Certificate;
            s.Signer.cbStruct = sizeof(CRYPT_PROVIDER_SGNR);
            s.Signer.csCertChain = 1;
            s.Signer.pasCertChain = &s.ChainCertificate;
        }
        HANDLE key = static_cast<HANDLE>(simk::NewHandleValue());
        data->hWVTStateData = key;
        T().States[key] = std::move(state);
    }
    return result;
}

CRYPT_PROVIDER_DATA *WINAPI WTHelperProvDataFromStateData(HANDLE stateData) {
    SIM_ENTER("WTHelperProvDataFromStateData", nullptr);
    auto it = T().States.find(stateData);
    return it == T().States.end() ? nullptr : &it->second->Data;
}

// The state whose provider data this is.
static State *StateOf(const CRYPT_PROVIDER_DATA *data) {
    for (auto &entry : T().States)
        if (&entry.second->Data == data)
            return entry.second.get();
    return nullptr;
}

CRYPT_PROVIDER_SGNR *WINAPI WTHelperGetProvSignerFromChain(CRYPT_PROVIDER_DATA *data, DWORD signerIndex,
                                                           BOOL counterSigner, DWORD counterSignerIndex) {
    SIM_ENTER("WTHelperGetProvSignerFromChain", nullptr);
    (void)counterSignerIndex;
    State *state = StateOf(data);
    if (state == nullptr || !state->Signed || signerIndex != 0 || counterSigner)
        return nullptr;
    return &state->Signer;
}

CRYPT_PROVIDER_CERT *WINAPI WTHelperGetProvCertFromChain(CRYPT_PROVIDER_SGNR *signer, DWORD certificateIndex) {
    SIM_ENTER("WTHelperGetProvCertFromChain", nullptr);
    if (signer == nullptr || certificateIndex >= signer->csCertChain)
        return nullptr;
    return &signer->pasCertChain[certificateIndex];
}

namespace sim {
namespace trust {

std::string Signed(const std::string &content, const std::wstring &signer) {
    return content + kBlockStart + Narrow(signer) + "; sha256=" + Hex(simk::Sha256Of(content)) + "]";
}

std::string CertificateOf(const std::wstring &signer) { return "simulated certificate: CN=" + Narrow(signer); }

std::vector<unsigned char> CertificateSha256(const std::wstring &signer) {
    std::string hash = simk::Sha256Of(CertificateOf(signer));
    return std::vector<unsigned char>(hash.begin(), hash.end());
}

const std::vector<Verification> &Verifications() { return T().Verifications; }

}  // namespace trust
}  // namespace sim
