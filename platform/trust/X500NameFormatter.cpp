#include "platform/trust/X500NameFormatter.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <string_view>

#include "platform/core/LastError.h"

namespace qrv::platform {
namespace {

struct KeyName {
  const char* oid;
  const char* key;
};

// The first name the platform knows for each attribute; its aliases (ST,
// Email, Title, GN ...) are accepted on input there but never printed.
constexpr KeyName kKeyNames[] = {
    {"2.5.4.3", "CN"},        {"2.5.4.7", "L"},
    {"2.5.4.10", "O"},        {"2.5.4.11", "OU"},
    {"1.2.840.113549.1.9.1", "E"}, {"2.5.4.6", "C"},
    {"2.5.4.8", "S"},         {"2.5.4.9", "STREET"},
    {"2.5.4.12", "T"},        {"2.5.4.42", "G"},
    {"2.5.4.43", "I"},        {"2.5.4.4", "SN"},
    {"0.9.2342.19200300.100.1.25", "DC"}, {"2.5.4.13", "Description"},
    {"2.5.4.17", "PostalCode"}, {"2.5.4.18", "POBox"},
    {"2.5.4.20", "Phone"},    {"2.5.4.24", "X21Address"},
    {"2.5.4.46", "dnQualifier"},
};

std::string KeyFor(const ASN1_OBJECT* object) {
  char dotted[128];
  const int n = OBJ_obj2txt(dotted, sizeof dotted, object, 1);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof dotted) return "OID.?";
  for (const KeyName& k : kKeyNames) {
    if (std::strcmp(k.oid, dotted) == 0) return k.key;
  }
  return std::string("OID.") + dotted;
}

bool IsStringType(int type) {
  switch (type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_T61STRING:
    case V_ASN1_VIDEOTEXSTRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_NUMERICSTRING:
    case V_ASN1_GENERALSTRING:
    case V_ASN1_GRAPHICSTRING:
    case V_ASN1_BMPSTRING:
    case V_ASN1_UNIVERSALSTRING:
      return true;
    default:
      return false;
  }
}

std::string ValueText(const ASN1_STRING* value) {
  if (value == nullptr) return {};
  if (IsStringType(ASN1_STRING_type(value))) {
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, value);
    if (n >= 0) {
      std::string text(reinterpret_cast<const char*>(utf8), static_cast<size_t>(n));
      OPENSSL_free(utf8);
      return text;
    }
    // an invalid BMP/Universal string: show its bytes like any other blob
  }
  /* not a string: "#" and the hex of the value's DER encoding */
  static const char kHex[] = "0123456789ABCDEF";
  ASN1_TYPE* any = ASN1_TYPE_new();
  std::string text = "#";
  unsigned char* der = nullptr;
  int n = -1;
  if (any != nullptr) {
    ASN1_STRING* copy = ASN1_STRING_dup(value);
    if (copy != nullptr) {
      // SEQUENCE and SET values already hold their whole encoding
      const int type = ASN1_STRING_type(value);
      ASN1_TYPE_set(any, type == V_ASN1_OTHER ? V_ASN1_SEQUENCE : type, copy);
      n = i2d_ASN1_TYPE(any, &der);
    }
    ASN1_TYPE_free(any);
  }
  for (int i = 0; i < n; ++i) {
    text += kHex[der[i] >> 4];
    text += kHex[der[i] & 15];
  }
  OPENSSL_free(der);
  return text;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string Quoted(const std::string& value) {
  bool quote = value.empty() || IsSpace(value.front()) || IsSpace(value.back()) ||
               value.find_first_of(",+=\"\n<>#;") != std::string::npos;
  if (!quote) return value;
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace

std::string X500NameFormatter::Format(const X509_NAME* name) {
  std::string text;
  if (name == nullptr) return text;
  const int count = X509_NAME_entry_count(name);
  int lastSet = -1;
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    const int set = X509_NAME_ENTRY_set(entry);
    if (i > 0) text += set == lastSet ? " + " : ", ";
    lastSet = set;
    text += KeyFor(X509_NAME_ENTRY_get_object(entry));
    text += '=';
    text += Quoted(ValueText(X509_NAME_ENTRY_get_data(entry)));
  }
  // what the platform hands back is a C string
  const size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

std::string X500NameFormatter::FormatSubject(const X509* certificate) {
  if (certificate == nullptr) return {};
  const X509_NAME* subject = X509_get_subject_name(certificate);
  if (subject != nullptr && X509_NAME_entry_count(subject) > 0) return Format(subject);
  GENERAL_NAMES* alt =
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
  std::string text;
  for (int i = 0; alt != nullptr && i < sk_GENERAL_NAME_num(alt); ++i) {
    const GENERAL_NAME* g = sk_GENERAL_NAME_value(alt, i);
    if (g->type == GEN_DIRNAME) {
      text = Format(g->d.directoryName);
      break;
    }
  }
  GENERAL_NAMES_free(alt);
  return text;
}

bool X500NameFormatter::FormatNameDer(const uint8_t* der, size_t size, std::string& out) {
  out.clear();
  const unsigned char* p = der;
  X509_NAME* name = size > 0 && der != nullptr ? d2i_X509_NAME(nullptr, &p, static_cast<long>(size)) : nullptr;
  if (name == nullptr) {
    LastError::Set("X.500 name of " + std::to_string(size) + " bytes does not decode");
    return false;
  }
  out = Format(name);
  X509_NAME_free(name);
  return true;
}

bool X500NameFormatter::FormatCertificateSubjectDer(const uint8_t* der, size_t size, std::string& out) {
  out.clear();
  const unsigned char* p = der;
  X509* cert = size > 0 && der != nullptr ? d2i_X509(nullptr, &p, static_cast<long>(size)) : nullptr;
  if (cert == nullptr) {
    LastError::Set("certificate of " + std::to_string(size) + " bytes does not decode");
    return false;
  }
  out = FormatSubject(cert);
  X509_free(cert);
  return true;
}

}  // namespace qrv::platform
