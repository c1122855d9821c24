#include "apply/SignatureVerification.h"

#include "config/CQUpdateMgrEnv.h"
#include "platform/trust/AuthenticodeResult.h"
#include "platform/trust/AuthenticodeVerifier.h"
#include "platform/trust/X500NameFormatter.h"

namespace qrv {
namespace {

// No closing quote on purpose: any continuation of the name after "INC"
// matches.
constexpr const char* kMakerOrganization = "O=\"QORVANE. INC";
constexpr const char* kMakerCommonName = "CN=\"QORVANE. INC";

}  // namespace

int VerifyFileSignature(const std::string& path) { return VerifyFileSignature(path, nullptr, nullptr); }

int VerifyFileSignature(const std::string& path, std::string* reason, std::string* subject,
                        const std::string& extraAnchors) {
  if (reason != nullptr) reason->clear();
  if (subject != nullptr) subject->clear();
  const std::vector<std::string> anchors = {CQUpdateMgrEnv().GetTrustAnchors(), extraAnchors};
  platform::AuthenticodeResult result;
  const bool valid = platform::AuthenticodeVerifier::Verify(path, anchors, result);
  // Where no signer certificate can be had the file is refused, never
  // waved through: the maker test needs a name to test.
  const std::string name = GetCertSubjectName(result.signerCertificate);
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

std::string GetCertSubjectName(const std::vector<uint8_t>& certificateDer) {
  std::string name;
  if (certificateDer.empty()) return name;
  platform::X500NameFormatter::FormatCertificateSubjectDer(certificateDer.data(), certificateDer.size(), name);
  return name;
}

}  // namespace qrv
