#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qrv {

// Signature check of a fetched update file: the file must carry a valid
// Authenticode signature (platform::AuthenticodeVerifier, trusting the
// system's anchors plus the TrustAnchors file of the settings) and the
// signer's subject, as X.500 text, must name the maker: it must contain both
// `O="QORVANE. INC` and `CN="QORVANE. INC` (plain, case-sensitive substring
// tests). Because the text quotes a value only when it holds a comma or
// another special character, the maker's "QORVANE. INC, Ltd" passes and the
// same words without the comma do not.
//
// Thread: any; reads the settings on each call.

// 1 accepted, 0 refused. Refusals are not reported anywhere; use the
// overload below to learn why.
int VerifyFileSignature(const std::string& path);

// The same, telling why: `reason` (may be null) gets the refusal text with
// the path and values (empty when accepted); `subject` (may be null) gets
// the signer's subject whenever the signature itself checked out, also when
// the file is then refused. `extraAnchors` names one more PEM file to trust
// for this call only, on top of TrustAnchors (empty: none).
int VerifyFileSignature(const std::string& path, std::string* reason, std::string* subject,
                        const std::string& extraAnchors = {});

// The same rules for a file the caller has open, checked on that open file
// and never by its name (platform::AuthenticodeVerifier::VerifyDescriptor):
// whoever then reads `fd` reads exactly the bytes that were accepted, even if
// the path was replaced in between. `shownPath` names the file in `reason`.
// On acceptance `cabinetLength` (may be null) gets the number of bytes the
// signature covers from the start of the file (the cabinet without its
// signature); 0 on refusal.
int VerifyOpenFileSignature(int fd, const std::string& shownPath, std::string* reason, std::string* subject,
                            uint64_t* cabinetLength);

// The same rules for a detached CMS signature (`signature`, the bytes of a
// ".p7s" file) over `content`, bytes the caller holds and goes on to use
// (platform::DetachedSignatureVerifier): the same anchors, the same maker
// test. `shownPath` names the signed file in `reason`.
int VerifyDetachedSignature(std::string_view content, std::string_view signature, const std::string& shownPath,
                            std::string* reason, std::string* subject);

// The subject of a DER certificate as X.500 text (see
// platform::X500NameFormatter); empty when there is no certificate or it
// does not decode.
std::string GetCertSubjectName(const std::vector<uint8_t>& certificateDer);

}  // namespace qrv
