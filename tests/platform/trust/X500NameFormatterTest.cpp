#include "platform/trust/X500NameFormatter.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>
#include <utility>
#include <vector>

namespace qrv::platform {
namespace {

// A name built attribute by attribute; `joinPrevious` adds the attribute to
// the previous RDN (a multi-valued RDN).
struct Attribute {
  std::string type;  // short name or dotted OID
  std::string value;
  int asn1Type = MBSTRING_UTF8;
  bool joinPrevious = false;
};

std::string Formatted(const std::vector<Attribute>& attributes) {
  X509_NAME* name = X509_NAME_new();
  for (const Attribute& a : attributes) {
    ASN1_OBJECT* object = OBJ_txt2obj(a.type.c_str(), 0);
    EXPECT_NE(object, nullptr) << a.type;
    EXPECT_EQ(X509_NAME_add_entry_by_OBJ(name, object, a.asn1Type,
                                         reinterpret_cast<const unsigned char*>(a.value.data()),
                                         static_cast<int>(a.value.size()), -1, a.joinPrevious ? -1 : 0),
              1)
        << a.type;
    ASN1_OBJECT_free(object);
  }
  // through DER, as a name arrives in a certificate
  unsigned char* der = nullptr;
  const int size = i2d_X509_NAME(name, &der);
  std::string text;
  EXPECT_TRUE(X500NameFormatter::FormatNameDer(der, static_cast<size_t>(size), text));
  EXPECT_EQ(text, X500NameFormatter::Format(name));
  OPENSSL_free(der);
  X509_NAME_free(name);
  return text;
}

std::string One(const std::string& value) { return Formatted({{"O", value}}); }

TEST(X500NameFormatterTest, QuotingRules) {
  EXPECT_EQ(One("QORVANE. INC Ltd"), "O=QORVANE. INC Ltd");
  EXPECT_EQ(One("QORVANE. INC, Ltd"), "O=\"QORVANE. INC, Ltd\"");
  for (const char* special : {",", "+", "=", "\"", "\n", "<", ">", "#", ";"}) {
    const std::string value = std::string("a") + special + "b";
    std::string inner = value;
    if (inner[1] == '"') inner = "a\"\"b";
    EXPECT_EQ(One(value), "O=\"" + inner + "\"") << "special character " << int(special[0]);
  }
  EXPECT_EQ(One("say \"hi\""), "O=\"say \"\"hi\"\"\"") << "quotes inside are doubled";
  EXPECT_EQ(One(" lead"), "O=\" lead\"");
  EXPECT_EQ(One("trail "), "O=\"trail \"");
  EXPECT_EQ(One("\ttab"), "O=\"\ttab\"");
  EXPECT_EQ(One("two  spaces"), "O=two  spaces") << "inner runs of spaces are not quoted";
  EXPECT_EQ(One("back\\slash/and 'single'"), "O=back\\slash/and 'single'");
  EXPECT_EQ(One("cr\rinside"), "O=cr\rinside");
  EXPECT_EQ(Formatted({{"O", "", V_ASN1_UTF8STRING}}), "O=\"\"") << "empty values are quoted";
}

TEST(X500NameFormatterTest, KeyNamesOrderAndMultiValuedRdns) {
  EXPECT_EQ(Formatted({{"C", "KR"}, {"ST", "Gyeonggi-do"}, {"L", "Seongnam"}, {"street", "1 Main St"},
                       {"O", "Org"}, {"OU", "Unit"}, {"CN", "Name"}, {"emailAddress", "a@b.example"},
                       {"title", "Dr"}, {"GN", "Given"}, {"initials", "GQ"}, {"SN", "Sur"},
                       {"DC", "example"}, {"description", "Text"}, {"postalCode", "13487"},
                       {"postOfficeBox", "42"}, {"telephoneNumber", "+82"}, {"x121Address", "1"},
                       {"dnQualifier", "q"}}),
            "C=KR, S=Gyeonggi-do, L=Seongnam, STREET=1 Main St, O=Org, OU=Unit, CN=Name, E=a@b.example, "
            "T=Dr, G=Given, I=GQ, SN=Sur, DC=example, Description=Text, PostalCode=13487, POBox=42, "
            "Phone=\"+82\", X21Address=1, dnQualifier=q");
  // encoded order, not the usual "most significant first" reordering
  EXPECT_EQ(Formatted({{"CN", "Leaf"}, {"O", "Org"}, {"C", "KR"}}), "CN=Leaf, O=Org, C=KR");
  EXPECT_EQ(Formatted({{"O", "Org"}, {"OU", "Dev"}, {"CN", "Alice", MBSTRING_UTF8, true}, {"C", "KR"}}),
            "O=Org, OU=Dev + CN=Alice, C=KR");
  EXPECT_EQ(Formatted({{"1.2.3.4.5", "custom"}, {"serialNumber", "123"}}),
            "OID.1.2.3.4.5=custom, OID.2.5.4.5=123");
  EXPECT_EQ(Formatted({}), "");
}

TEST(X500NameFormatterTest, ValueEncodings) {
  // UTF-8, BMP and Latin-1 T61 strings all come out as UTF-8
  EXPECT_EQ(One("\xED\x95\x9C\xEA\xB8\x80"), "O=\xED\x95\x9C\xEA\xB8\x80");
  EXPECT_EQ(Formatted({{"O", std::string("\0A\0B", 4), V_ASN1_BMPSTRING}}), "O=AB");
  EXPECT_EQ(Formatted({{"O", "caf\xE9", V_ASN1_T61STRING}}), "O=caf\xC3\xA9");
  // the platform returns a C string: an embedded NUL ends the text, even
  // inside quotes, so nothing after it can complete the maker's pattern
  EXPECT_EQ(Formatted({{"O", std::string("abc\0 def", 8), V_ASN1_UTF8STRING}, {"CN", "Tail"}}), "O=abc");
  EXPECT_EQ(Formatted({{"O", std::string("abc\0, CN=\"QORVANE. INC", 22), V_ASN1_UTF8STRING}}), "O=\"abc");
  // a value that is no string prints as the hex of its encoding
  EXPECT_EQ(Formatted({{"1.2.3.4", std::string("\x30\x03\x02\x01\x05", 5), V_ASN1_SEQUENCE}}),
            "OID.1.2.3.4=\"#3003020105\"");
}

TEST(X500NameFormatterTest, CertificatesAndBadInput) {
  std::string text = "unchanged";
  const uint8_t junk[] = {0x30, 0x05, 0x01, 0x02};
  EXPECT_FALSE(X500NameFormatter::FormatNameDer(junk, sizeof junk, text));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(X500NameFormatter::FormatNameDer(nullptr, 0, text));
  EXPECT_FALSE(X500NameFormatter::FormatCertificateSubjectDer(junk, sizeof junk, text));
  EXPECT_EQ(X500NameFormatter::FormatSubject(nullptr), "");
  EXPECT_EQ(X500NameFormatter::Format(nullptr), "");

  // a certificate with an empty subject is named by its directory-name SAN
  X509* cert = X509_new();
  GENERAL_NAMES* names = GENERAL_NAMES_new();
  GENERAL_NAME* email = GENERAL_NAME_new();
  ASN1_IA5STRING* address = ASN1_IA5STRING_new();
  ASN1_STRING_set(address, "a@b.example", -1);
  GENERAL_NAME_set0_value(email, GEN_EMAIL, address);
  sk_GENERAL_NAME_push(names, email);
  GENERAL_NAME* dir = GENERAL_NAME_new();
  X509_NAME* dirName = X509_NAME_new();
  X509_NAME_add_entry_by_txt(dirName, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Alt, Name"), -1,
                             -1, 0);
  GENERAL_NAME_set0_value(dir, GEN_DIRNAME, dirName);
  sk_GENERAL_NAME_push(names, dir);
  EXPECT_EQ(X500NameFormatter::FormatSubject(cert), "");
  X509_add1_ext_i2d(cert, NID_subject_alt_name, names, 0, 0);
  EXPECT_EQ(X500NameFormatter::FormatSubject(cert), "CN=\"Alt, Name\"");
  GENERAL_NAMES_free(names);
  X509_free(cert);
}

}  // namespace
}  // namespace qrv::platform
