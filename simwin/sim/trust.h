// Authenticode signatures of simulated files, for WinVerifyTrust (trust.cpp).
//
// A signed file is its content followed by a signature block, as a signed
// program is its image followed by its certificate table:
//
//   CONTENT "\n[Authenticode signature: signer=" SIGNER "; sha256=" HASH "]"
//
// where HASH is the SHA-256 of CONTENT in lower-case hex (the digest the
// signature vouches for) and SIGNER names the certificate that signed it.
// WinVerifyTrust (WINTRUST_ACTION_GENERIC_VERIFY_V2, a file) answers:
//   - no block at the end of the file: TRUST_E_NOSIGNATURE;
//   - a block whose HASH is not that of the content before it (a byte
//     changed after signing): TRUST_E_BAD_DIGEST;
//   - otherwise ERROR_SUCCESS; every signer is trusted.
// Every file counts as a program image here. Windows answers
// TRUST_E_SUBJECT_FORM_UNKNOWN for a file that none of its subject interface
// packages reads (a text file); the program only checks copies of itself.
// A file that cannot be read answers with its error as an HRESULT
// (0x80070002 for a missing one). With WTD_STATEACTION_VERIFY the state
// stays until WTD_STATEACTION_CLOSE, and for a valid signature its signer's
// certificate is the chain's first (WTHelperGetProvSignerFromChain(data, 0,
// FALSE, 0), WTHelperGetProvCertFromChain(signer, 0)); its encoding is
// CertificateOf(SIGNER).
#pragma once

#include <string>
#include <vector>

namespace sim {
namespace trust {

// content, signed by signer: what a signed file of that content holds.
std::string Signed(const std::string &content, const std::wstring &signer);
// The encoded certificate of a signer, and its SHA-256 (32 bytes).
std::string CertificateOf(const std::wstring &signer);
std::vector<unsigned char> CertificateSha256(const std::wstring &signer);
// Every WinVerifyTrust call's file and answer, in order.
struct Verification {
    std::wstring File;
    long Result;
};
const std::vector<Verification> &Verifications();

}  // namespace trust
}  // namespace sim
