#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace qrv::platform {

// Formats X.500 names the way the Windows certificate API prints them in its
// "X500" style, because the maker check compares against that text:
//
//   C=KR, O="QORVANE. INC, Ltd", CN="QORVANE. INC, Ltd"
//
// - RDNs in encoded order, joined by ", "; the attributes of one multi-valued
//   RDN joined by " + ".
// - KEY=value with the short key names CN L O OU E C S STREET T G I SN DC
//   Description PostalCode POBox Phone X21Address dnQualifier; any other
//   attribute as "OID." and its dotted number.
// - A value is wrapped in double quotes when it is empty, starts or ends
//   with white space, or contains one of , + = " \n < > # ; and a double
//   quote inside it is doubled. Consecutive spaces alone cause no quoting.
// - String values are printed as UTF-8. A value that is not a string
//   (an OCTET STRING, a SEQUENCE) prints as "#" and the upper-case hex of its
//   DER encoding, and so is quoted by the rule above.
// - The text ends at the first NUL character, as the C string of the
//   platform API does.
//
// Thread: any; no shared state. Never throws.
class X500NameFormatter {
 public:
  static std::string Format(const X509_NAME* name);

  // The subject of a certificate; a certificate with an empty subject is
  // named by the first directory name of its subject alternative names, and
  // is "" when it has none.
  static std::string FormatSubject(const X509* certificate);

  // The same from DER (a Name, or a whole certificate). False, with `out`
  // empty and the reason in LastError, when the bytes do not decode.
  static bool FormatNameDer(const uint8_t* der, size_t size, std::string& out);
  static bool FormatCertificateSubjectDer(const uint8_t* der, size_t size, std::string& out);
};

}  // namespace qrv::platform
