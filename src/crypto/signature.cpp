#include "crypto/signature.h"

#include <windows.h>
#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>

namespace {

// One verification of a file, whose state (the signer's certificates) is
// closed on every path out.
class TrustVerification {
 public:
  TrustVerification(HANDLE file, const wchar_t* path) {
    file_.cbStruct = sizeof(file_);
    file_.pcwszFilePath = path;
    file_.hFile = file;
    data_.cbStruct = sizeof(data_);
    data_.dwUIChoice = WTD_UI_NONE;
    // No revocation lookup: an update must not fail on an offline machine or
    // behind a proxy that blocks the revocation servers. Nothing else is
    // fetched either (a missing intermediate certificate fails). A
    // certificate in the machine's store of distrusted ones still fails.
    data_.fdwRevocationChecks = WTD_REVOKE_NONE;
    data_.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    data_.dwUnionChoice = WTD_CHOICE_FILE;
    data_.pFile = &file_;
    data_.dwStateAction = WTD_STATEACTION_VERIFY;
    status_ = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
  }
  TrustVerification(const TrustVerification&) = delete;
  TrustVerification& operator=(const TrustVerification&) = delete;
  ~TrustVerification() {
    data_.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
  }

  // The certificate that signed the file, when its signature verified.
  const CERT_CONTEXT* SigningCertificate() const {
    if (status_ != ERROR_SUCCESS) {
      return nullptr;
    }
    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(data_.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer =
        provider != nullptr ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* cert =
        signer != nullptr ? ::WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    return cert != nullptr ? cert->pCert : nullptr;
  }

 private:
  GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_FILE_INFO file_{};
  WINTRUST_DATA data_{};
  LONG status_ = 0;
};

CERT_NAME_BLOB NameBlob(const std::vector<BYTE>& name) {
  // The platform's blob type is not const-correct; the comparison only reads.
  return {static_cast<DWORD>(name.size()), const_cast<BYTE*>(name.data())};
}

}  // namespace

bool Signer::IsSameAs(const Signer& other) const {
  CERT_NAME_BLOB mine = NameBlob(subject_);
  CERT_NAME_BLOB theirs = NameBlob(other.subject_);
  return ::CertCompareCertificateName(X509_ASN_ENCODING, &mine, &theirs) != FALSE;
}

FileHandle OpenUnchanging(const std::filesystem::path& path) {
  return FileHandle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

std::optional<Signer> VerifiedSigner(const FileHandle& file, const std::filesystem::path& path) {
  if (!file) {
    return std::nullopt;
  }
  const TrustVerification verification(file.get(), path.c_str());
  const CERT_CONTEXT* cert = verification.SigningCertificate();
  if (cert == nullptr) {
    return std::nullopt;
  }
  const CERT_NAME_BLOB& subject = cert->pCertInfo->Subject;
  return Signer(std::vector<BYTE>(subject.pbData, subject.pbData + subject.cbData));
}

std::optional<Signer> VerifiedSigner(const std::filesystem::path& path) {
  const FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
  return VerifiedSigner(file, path);
}
