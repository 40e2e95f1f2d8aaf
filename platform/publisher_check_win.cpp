#include <windows.h>
// windows.h first: the other Windows headers build on it.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/encoding_win.h"
#include "platform/fs.h"
#include "platform/held_file_win.h"
#include "platform/publisher_check.h"

namespace solvane {
namespace {

// The revocation servers could not be asked; the signature itself is sound.
bool RevocationUnknown(LONG status) {
  return status == static_cast<LONG>(CERT_E_REVOCATION_FAILURE) ||
         status == static_cast<LONG>(CRYPT_E_REVOCATION_OFFLINE) ||
         status == static_cast<LONG>(CRYPT_E_NO_REVOCATION_CHECK);
}

std::string RefusalText(LONG status) {
  switch (static_cast<HRESULT>(status)) {
    case TRUST_E_NOSIGNATURE:
    case TRUST_E_SUBJECT_FORM_UNKNOWN:
      return "no signature";
    case TRUST_E_BAD_DIGEST:
      return "changed after it was signed";
    case CERT_E_EXPIRED:
      return "the certificate has expired";
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_UNTRUSTEDTESTROOT:
      return "the certificate chain ends in an untrusted root";
    case CERT_E_CHAINING:
      return "the certificate chain cannot be built";
    case CRYPT_E_REVOKED:
      return "the certificate was revoked";
    case TRUST_E_EXPLICIT_DISTRUST:
      return "the certificate is distrusted";
    case CERT_E_WRONG_USAGE:
      return "the certificate is not for code signing";
    default:
      break;
  }
  char text[64];
  std::snprintf(text, sizeof text, "Windows refused the signature (0x%08lx)",
                static_cast<unsigned long>(status));
  return text;
}

// One WinVerifyTrust run on the handle, whose state is released when it ends.
class TrustRun {
 public:
  TrustRun(HANDLE handle, const std::wstring& path, DWORD revocation) {
    file_.cbStruct = sizeof file_;
    file_.pcwszFilePath = path.c_str();
    file_.hFile = handle;
    data_.cbStruct = sizeof data_;
    data_.dwUIChoice = WTD_UI_NONE;
    data_.fdwRevocationChecks = revocation;
    data_.dwUnionChoice = WTD_CHOICE_FILE;
    data_.pFile = &file_;
    data_.dwStateAction = WTD_STATEACTION_VERIFY;
    data_.dwProvFlags = revocation == WTD_REVOKE_NONE ? 0 : WTD_REVOCATION_CHECK_CHAIN;
    // The verifier reads the file through the handle from its start.
    LARGE_INTEGER start = {};
    ::SetFilePointerEx(handle, start, nullptr, FILE_BEGIN);
    status_ = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
  }
  ~TrustRun() {
    data_.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
  }
  TrustRun(const TrustRun&) = delete;
  TrustRun& operator=(const TrustRun&) = delete;

  LONG status() const { return status_; }

  // The signer's certificate; null when the verifier kept none.
  PCCERT_CONTEXT Signer() const {
    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(data_.hWVTStateData);
    if (!provider) return nullptr;
    CRYPT_PROVIDER_SGNR* signer = ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (!signer || signer->csCertChain == 0 || !signer->pasCertChain) return nullptr;
    return signer->pasCertChain[0].pCert;
  }

 private:
  GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_FILE_INFO file_ = {};
  WINTRUST_DATA data_ = {};
  LONG status_ = 0;
};

struct LocalFreer {
  void operator()(void* memory) const noexcept { ::LocalFree(memory); }
};

// The certificate's subject common name and its DER public key; nullopt
// when either cannot be read.
std::optional<SignerFacts> FactsOf(PCCERT_CONTEXT certificate) {
  SignerFacts facts;
  wchar_t name[512];
  const DWORD length =
      ::CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0,
                           const_cast<char*>(szOID_COMMON_NAME), name, sizeof name / sizeof *name);
  if (length <= 1) return std::nullopt;  // 1: the empty string
  facts.name = Utf8FromWide(name);
  BYTE* encoded = nullptr;
  DWORD size = 0;
  if (!::CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO,
                             &certificate->pCertInfo->SubjectPublicKeyInfo, CRYPT_ENCODE_ALLOC_FLAG,
                             nullptr, &encoded, &size)) {
    return std::nullopt;
  }
  const std::unique_ptr<BYTE, LocalFreer> owned(encoded);
  facts.public_key_info.assign(reinterpret_cast<const char*>(encoded), size);
  return facts;
}

}  // namespace

PublisherVerdict CheckPublisher(HeldFile& file, const std::string& path,
                                const PublisherRule& rule) {
  if (rule.names.empty()) return {PublisherVerdictKind::kNotChecked, ""};
  std::wstring wide;
  try {
    wide = ToFsPath(path).wstring();
  } catch (const std::filesystem::filesystem_error&) {
    return {PublisherVerdictKind::kRefused, "its path cannot be given to the verifier"};
  }
  auto run = std::make_unique<TrustRun>(file.handle, wide, WTD_REVOKE_WHOLECHAIN);
  bool revocation_unchecked = false;
  if (RevocationUnknown(run->status())) {
    // As for TLS, revocation is best effort: a chain whose revocation lists
    // cannot be fetched is judged without them, and the caller says so.
    run.reset();
    run = std::make_unique<TrustRun>(file.handle, wide, WTD_REVOKE_NONE);
    revocation_unchecked = true;
  }
  if (run->status() != ERROR_SUCCESS) {
    return {PublisherVerdictKind::kRefused, RefusalText(run->status())};
  }
  const PCCERT_CONTEXT certificate = run->Signer();
  const std::optional<SignerFacts> facts =
      certificate ? FactsOf(certificate) : std::optional<SignerFacts>();
  if (!facts) return {PublisherVerdictKind::kRefused, "the signer's certificate cannot be read"};
  PublisherVerdict verdict = JudgeSigner(*facts, rule);
  verdict.revocation_unchecked =
      revocation_unchecked && verdict.kind == PublisherVerdictKind::kAccepted;
  return verdict;
}

}  // namespace solvane
