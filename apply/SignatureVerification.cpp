#include "apply/SignatureVerification.h"

#include "config/CQUpdateMgrEnv.h"
#include "platform/trust/AuthenticodeResult.h"
#include "platform/trust/AuthenticodeVerifier.h"
#include "platform/trust/DetachedSignatureVerifier.h"
#include "platform/trust/X500NameFormatter.h"

namespace qrv {
namespace {

// No closing quote on purpose: any continuation of the name after "INC"
// matches.
constexpr const char* kMakerOrganization = "O=\"QORVANE. INC";
constexpr const char* kMakerCommonName = "CN=\"QORVANE. INC";

// The maker rule over the outcome of a signature check: 1 when the
// signature is valid and the signer is the maker.
int JudgeSigner(const std::string& path, bool valid, const platform::AuthenticodeResult& result, std::string* reason,
                std::string* subject) {
  // Where no signer certificate can be had the file is refused, never
  // waved through: the maker test needs a name to test. The verifier has
  // formatted the subject of the certificate it took from the signature
  // already; decoding that certificate again for it cost as much as a
  // quarter of a small file's check.
  const std::string name = result.signerCertificate.empty() ? std::string() : result.subject;
  if (subject != nullptr) *subject = name;
  if (!valid) {
    if (reason != nullptr) *reason = result.reason;
    return 0;
  }
  if (name.find(kMakerOrganization) == std::string::npos || name.find(kMakerCommonName) == std::string::npos) {
    if (reason != nullptr) {
      *reason = path + ": signed by \"" + name + "\", which is not the maker (the name must contain " +
                kMakerOrganization + " and " + kMakerCommonName + ")";
    }
    return 0;
  }
  return 1;
}

}  // namespace

int VerifyFileSignature(const std::string& path) { return VerifyFileSignature(path, nullptr, nullptr); }

int VerifyFileSignature(const std::string& path, std::string* reason, std::string* subject,
                        const std::string& extraAnchors) {
  if (reason != nullptr) reason->clear();
  if (subject != nullptr) subject->clear();
  const std::vector<std::string> anchors = {CQUpdateMgrEnv().GetTrustAnchors(), extraAnchors};
  platform::AuthenticodeResult result;
  const bool valid = platform::AuthenticodeVerifier::Verify(path, anchors, result);
  return JudgeSigner(path, valid, result, reason, subject);
}

int VerifyOpenFileSignature(int fd, const std::string& shownPath, std::string* reason, std::string* subject,
                            uint64_t* cabinetLength) {
  if (reason != nullptr) reason->clear();
  if (subject != nullptr) subject->clear();
  if (cabinetLength != nullptr) *cabinetLength = 0;
  const std::vector<std::string> anchors = {CQUpdateMgrEnv().GetTrustAnchors()};
  platform::AuthenticodeResult result;
  const bool valid = platform::AuthenticodeVerifier::VerifyDescriptor(fd, shownPath, anchors, result);
  if (JudgeSigner(shownPath, valid, result, reason, subject) == 0) return 0;
  if (cabinetLength != nullptr) *cabinetLength = result.cabinetLength;
  return 1;
}

int VerifyDetachedSignature(std::string_view content, std::string_view signature, const std::string& shownPath,
                            std::string* reason, std::string* subject) {
  if (reason != nullptr) reason->clear();
  if (subject != nullptr) subject->clear();
  const std::vector<std::string> anchors = {CQUpdateMgrEnv().GetTrustAnchors()};
  platform::AuthenticodeResult result;
  const bool valid = platform::DetachedSignatureVerifier::Verify(content, signature, shownPath, anchors, result);
  return JudgeSigner(shownPath, valid, result, reason, subject);
}

std::string GetCertSubjectName(const std::vector<uint8_t>& certificateDer) {
  std::string name;
  if (certificateDer.empty()) return name;
  platform::X500NameFormatter::FormatCertificateSubjectDer(certificateDer.data(), certificateDer.size(), name);
  return name;
}

}  // namespace qrv
