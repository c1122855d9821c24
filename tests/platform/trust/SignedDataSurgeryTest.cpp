// Changes inside the PKCS#7 that osslsigncode cannot make: legacy
// Authenticode countersignatures and RFC 3161 tokens (made here with OpenSSL,
// over the signer's encrypted digest, with a chosen time and any stamper),
// tokens moved over from another signature, extra signers and missing
// certificates. The edited SignedData is written back into the cabinet with
// the length field and zero padding a signing tool would write.
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <functional>
#include <string>

#include "platform/trust/AuthenticodeVerifier.h"
#include "tests/platform/trust/SignedCabinetFixtures.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

using Status = AuthenticodeResult::Status;

constexpr int64_t kWhen2020 = 1590969600;
constexpr const char* kTokenOid = "1.3.6.1.4.1.311.3.3.1";  // an RFC 3161 token in Authenticode

class SignedDataSurgeryTest : public ::testing::Test {
 protected:
  ~SignedDataSurgeryTest() override {
    for (X509* c : m_certs) X509_free(c);
    for (EVP_PKEY* k : m_keys) EVP_PKEY_free(k);
  }

  // Reads pki/`file` with `read`; `owned` frees it with the fixture.
  template <typename T>
  T* Load(const std::string& file, T* (*read)(FILE*, T**, pem_password_cb*, void*), std::vector<T*>& owned) {
    FILE* f = std::fopen((m_dir / "pki" / file).c_str(), "r");
    T* loaded = f != nullptr ? read(f, nullptr, nullptr, nullptr) : nullptr;
    if (f != nullptr) std::fclose(f);
    EXPECT_NE(loaded, nullptr) << file;
    owned.push_back(loaded);
    return loaded;
  }
  X509* Cert(const std::string& name) { return Load(name + ".pem", PEM_read_X509, m_certs); }
  EVP_PKEY* Key(const std::string& name) { return Load(name + ".key", PEM_read_PrivateKey, m_keys); }

  // The PKCS#7 of fixture `name` (the caller frees it).
  PKCS7* Decode(const std::string& name) {
    const std::string bytes = test::ReadFile(m_dir / name);
    const uint32_t offset = test::ReadU32(bytes, 44);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(bytes.size() - offset));
    EXPECT_NE(p7, nullptr) << name;
    return p7;
  }

  // Decodes the PKCS#7 of fixture `name`, lets `edit` change it and writes
  // the cabinet back as edited.cab; then verifies that file.
  AuthenticodeResult Edit(const std::string& name, const std::function<void(PKCS7*)>& edit) {
    std::string bytes = test::ReadFile(m_dir / name);
    const uint32_t offset = test::ReadU32(bytes, 44);
    PKCS7* p7 = Decode(name);
    if (p7 == nullptr) return {};
    edit(p7);
    unsigned char* der = nullptr;
    const int size = i2d_PKCS7(p7, &der);
    PKCS7_free(p7);
    EXPECT_GT(size, 0);
    std::string signature(reinterpret_cast<const char*>(der), static_cast<size_t>(size));
    OPENSSL_free(der);
    signature.resize((signature.size() + 7) / 8 * 8, '\0');
    bytes = bytes.substr(0, offset) + signature;
    test::WriteU32(bytes, 48, static_cast<uint32_t>(signature.size()));
    test::WriteFile(m_dir / "edited.cab", bytes);
    AuthenticodeResult r;
    AuthenticodeVerifier::Verify((m_dir / "edited.cab").string(), {(m_dir / "anchors.pem").string()}, r);
    return r;
  }

  // Adds an old-style Authenticode countersignature by `stamper` at `when`
  // over `stamped` (the signer's encrypted digest when empty).
  void Countersign(PKCS7* p7, const std::string& stamper, int64_t when, std::string stamped = {}) {
    PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
    if (stamped.empty()) {
      stamped.assign(reinterpret_cast<const char*>(signer->enc_digest->data),
                     static_cast<size_t>(signer->enc_digest->length));
    }
    X509* cert = Cert(stamper);
    PKCS7_SIGNER_INFO* counter = PKCS7_SIGNER_INFO_new();
    ASSERT_EQ(PKCS7_SIGNER_INFO_set(counter, cert, Key(stamper), EVP_sha256()), 1);
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int hashSize = 0;
    EVP_Digest(stamped.data(), stamped.size(), hash, &hashSize, EVP_sha256(), nullptr);
    ASN1_OCTET_STRING* digest = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(digest, hash, static_cast<int>(hashSize));
    PKCS7_add_signed_attribute(counter, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data));
    PKCS7_add_signed_attribute(counter, NID_pkcs9_signingTime, V_ASN1_UTCTIME,
                               ASN1_UTCTIME_set(nullptr, static_cast<time_t>(when)));
    PKCS7_add_signed_attribute(counter, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, digest);
    ASSERT_EQ(PKCS7_SIGNER_INFO_sign(counter), 1);
    unsigned char* der = nullptr;
    const int size = i2d_PKCS7_SIGNER_INFO(counter, &der);
    PKCS7_SIGNER_INFO_free(counter);
    ASN1_STRING* value = ASN1_STRING_new();
    ASN1_STRING_set(value, der, size);
    OPENSSL_free(der);
    ASSERT_EQ(PKCS7_add_attribute(signer, NID_pkcs9_countersignature, V_ASN1_SEQUENCE, value), 1);
    PKCS7_add_certificate(p7, cert);
  }

  // Adds an RFC 3161 token by `stamper` at `when` over the signer's encrypted
  // digest. Made from the CMS calls: OpenSSL's time-stamp server code, like
  // osslsigncode, refuses a stamper without the timeStamping usage.
  void Stamp(PKCS7* p7, const std::string& stamper, int64_t when) {
    PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int hashSize = 0;
    ASSERT_EQ(EVP_Digest(signer->enc_digest->data, static_cast<size_t>(signer->enc_digest->length), hash, &hashSize,
                         EVP_sha256(), nullptr),
              1);
    X509_ALGOR* algorithm = X509_ALGOR_new();
    X509_ALGOR_set0(algorithm, OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr);
    TS_MSG_IMPRINT* imprint = TS_MSG_IMPRINT_new();
    TS_MSG_IMPRINT_set_algo(imprint, algorithm);
    TS_MSG_IMPRINT_set_msg(imprint, hash, static_cast<int>(hashSize));
    ASN1_OBJECT* policy = OBJ_txt2obj("1.3.6.1.4.1.4146.2.3", 1);
    ASN1_INTEGER* serial = ASN1_INTEGER_new();
    ASN1_INTEGER_set(serial, 7);
    ASN1_GENERALIZEDTIME* time = ASN1_GENERALIZEDTIME_set(nullptr, static_cast<time_t>(when));
    TS_TST_INFO* info = TS_TST_INFO_new();
    const bool built = TS_TST_INFO_set_version(info, 1) == 1 && TS_TST_INFO_set_policy_id(info, policy) == 1 &&
                       TS_TST_INFO_set_msg_imprint(info, imprint) == 1 && TS_TST_INFO_set_serial(info, serial) == 1 &&
                       TS_TST_INFO_set_time(info, time) == 1;
    X509_ALGOR_free(algorithm);
    TS_MSG_IMPRINT_free(imprint);
    ASN1_OBJECT_free(policy);
    ASN1_INTEGER_free(serial);
    ASN1_GENERALIZEDTIME_free(time);
    unsigned char* infoDer = nullptr;
    const int infoSize = built ? i2d_TS_TST_INFO(info, &infoDer) : 0;
    TS_TST_INFO_free(info);
    ASSERT_GT(infoSize, 0);

    BIO* content = BIO_new_mem_buf(infoDer, infoSize);
    CMS_ContentInfo* token =
        CMS_sign(Cert(stamper), Key(stamper), nullptr, nullptr, CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP);
    const bool signedOk = token != nullptr && CMS_set1_eContentType(token, OBJ_nid2obj(NID_id_smime_ct_TSTInfo)) == 1 &&
                          CMS_final(token, content, nullptr, CMS_BINARY) == 1;
    BIO_free(content);
    OPENSSL_free(infoDer);
    unsigned char* tokenDer = nullptr;
    const int tokenSize = signedOk ? i2d_CMS_ContentInfo(token, &tokenDer) : 0;
    CMS_ContentInfo_free(token);
    ASSERT_GT(tokenSize, 0);

    ASN1_OBJECT* type = OBJ_txt2obj(kTokenOid, 1);
    X509_ATTRIBUTE* attribute = X509_ATTRIBUTE_create_by_OBJ(nullptr, type, V_ASN1_SEQUENCE, tokenDer, tokenSize);
    ASN1_OBJECT_free(type);
    OPENSSL_free(tokenDer);
    ASSERT_NE(attribute, nullptr);
    EXPECT_NE(X509at_add1_attr(&signer->unauth_attr, attribute), nullptr);
    X509_ATTRIBUTE_free(attribute);
  }

  // Stamps expired.cab with `stamp` by each stamper not meant for time
  // stamping (the code-signing usage only, no extended key usage at all):
  // the stamp is ignored, so the expired signer is checked now.
  void ExpectStampersWithoutTheUsageIgnored(const std::function<void(PKCS7*, const char*)>& stamp) {
    for (const char* stamper : {"tsanoeku", "tsanone"}) {
      AuthenticodeResult r = Edit("expired.cab", [&](PKCS7* p7) { stamp(p7, stamper); });
      EXPECT_EQ(r.status, Status::kExpired) << stamper << ": " << r.reason;
      EXPECT_FALSE(r.timestamped) << stamper;
      EXPECT_NE(r.reason.find("lacks timeStamping"), std::string::npos) << stamper << ": " << r.reason;
    }
  }

  // The RFC 3161 token attribute of fixture `name`'s signer (the caller frees it).
  X509_ATTRIBUTE* TokenOf(const std::string& name) {
    PKCS7* p7 = Decode(name);
    if (p7 == nullptr) return nullptr;
    PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
    X509_ATTRIBUTE* token = nullptr;
    for (int i = 0; token == nullptr && i < sk_X509_ATTRIBUTE_num(signer->unauth_attr); ++i) {
      X509_ATTRIBUTE* a = sk_X509_ATTRIBUTE_value(signer->unauth_attr, i);
      char oid[64] = "";
      OBJ_obj2txt(oid, sizeof oid, X509_ATTRIBUTE_get0_object(a), 1);
      if (std::string(oid) == kTokenOid) token = X509_ATTRIBUTE_dup(a);
    }
    PKCS7_free(p7);
    EXPECT_NE(token, nullptr) << name << " has no RFC 3161 token";
    return token;
  }

  test::SandboxRoot m_root;
  std::filesystem::path m_dir = test::SignedCabinetFixtures::CopyTo(m_root / "fixtures");
  std::vector<X509*> m_certs;
  std::vector<EVP_PKEY*> m_keys;
};

TEST_F(SignedDataSurgeryTest, LegacyCountersignatureSetsTheTimeOnlyWhenItHolds) {
  AuthenticodeResult r = Edit("expired.cab", [](PKCS7*) {});
  EXPECT_EQ(r.status, Status::kExpired) << "re-encoding alone changes nothing: " << r.reason;

  r = Edit("expired.cab", [&](PKCS7* p7) { Countersign(p7, "tsa", kWhen2020); });
  EXPECT_TRUE(r.Accepted()) << r.reason;
  EXPECT_TRUE(r.timestamped);
  EXPECT_EQ(r.verificationTime, kWhen2020);

  // a stamper not meant for time stamping (another usage named, or none at
  // all), a countersignature over other bytes: each falls back to now
  ExpectStampersWithoutTheUsageIgnored([&](PKCS7* p7, const char* s) { Countersign(p7, s, kWhen2020); });
  r = Edit("expired.cab", [&](PKCS7* p7) { Countersign(p7, "tsa", kWhen2020, "some other signature"); });
  EXPECT_EQ(r.status, Status::kExpired);
  EXPECT_NE(r.reason.find("countersignature does not verify"), std::string::npos) << r.reason;
  // a valid stamp from after the signer's certificate ran out does not help
  r = Edit("expired.cab", [&](PKCS7* p7) { Countersign(p7, "tsa", kWhen2020 + 2 * 365 * 86400); });
  EXPECT_EQ(r.status, Status::kExpired) << r.reason;
  EXPECT_TRUE(r.timestamped);
  EXPECT_EQ(r.verificationTime, kWhen2020 + 2 * 365 * 86400);
  // a stamper outside the trusted chain
  r = Edit("expired.cab", [&](PKCS7* p7) { Countersign(p7, "tsastranger", kWhen2020); });
  EXPECT_EQ(r.status, Status::kExpired) << r.reason;
  EXPECT_NE(r.reason.find("time stamper"), std::string::npos) << r.reason;
}

// An RFC 3161 token counts only for the signature it stamps and only from a
// stamper meant for time stamping; otherwise the expired signer is checked now.
TEST_F(SignedDataSurgeryTest, Rfc3161TokenCountsOnlyForItsSignatureAndATimeStamper) {
  AuthenticodeResult r = Edit("expired.cab", [&](PKCS7* p7) { Stamp(p7, "tsa", kWhen2020); });
  EXPECT_TRUE(r.Accepted()) << "a token made here holds when nothing is wrong with it: " << r.reason;
  EXPECT_TRUE(r.timestamped);
  EXPECT_EQ(r.verificationTime, kWhen2020);

  ExpectStampersWithoutTheUsageIgnored([&](PKCS7* p7, const char* s) { Stamp(p7, s, kWhen2020); });

  // The token of expired-ts.cab is genuine, by the right stamper at a time
  // the signer's certificate was valid, but it stamps that file's signature
  // (same certificate, same content, another ECDSA signature value), not
  // this one.
  X509_ATTRIBUTE* borrowed = TokenOf("expired-ts.cab");
  ASSERT_NE(borrowed, nullptr);
  r = Edit("expired.cab", [&](PKCS7* p7) {
    PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
    EXPECT_NE(X509at_add1_attr(&signer->unauth_attr, borrowed), nullptr);
  });
  X509_ATTRIBUTE_free(borrowed);
  EXPECT_EQ(r.status, Status::kExpired) << r.reason;
  EXPECT_FALSE(r.timestamped);
  EXPECT_NE(r.reason.find("timestamp imprint does not match"), std::string::npos) << r.reason;
}

TEST_F(SignedDataSurgeryTest, SignerAndCertificateRules) {
  AuthenticodeResult r = Edit("maker-sha256.cab", [&](PKCS7* p7) {
    PKCS7_add_signature(p7, Cert("other"), Key("other"), EVP_sha256());
    PKCS7_add_certificate(p7, Cert("other"));
  });
  EXPECT_EQ(r.status, Status::kBadSignature);
  EXPECT_NE(r.reason.find("has 2 signers"), std::string::npos) << r.reason;

  r = Edit("maker-sha256.cab", [&](PKCS7* p7) {
    STACK_OF(X509)* certs = p7->d.sign->cert;
    X509* maker = Cert("maker");
    for (int i = 0; i < sk_X509_num(certs); ++i) {
      if (X509_cmp(sk_X509_value(certs, i), maker) == 0) X509_free(sk_X509_delete(certs, i--));
    }
  });
  EXPECT_EQ(r.status, Status::kBadSignature) << r.reason;
  EXPECT_TRUE(r.subject.empty());

  // without the intermediate the chain has a gap
  r = Edit("maker-sha256.cab", [&](PKCS7* p7) {
    STACK_OF(X509)* certs = p7->d.sign->cert;
    X509* inter = Cert("inter");
    for (int i = 0; i < sk_X509_num(certs); ++i) {
      if (X509_cmp(sk_X509_value(certs, i), inter) == 0) X509_free(sk_X509_delete(certs, i--));
    }
  });
  EXPECT_EQ(r.status, Status::kUntrusted) << r.reason;

  // digests outside the SHA family, in the list or at the signer (an
  // unknown one once made OpenSSL leak; the sanitizer run watches for that)
  r = Edit("maker-sha256.cab", [&](PKCS7* p7) {
    X509_ALGOR_set0(sk_X509_ALGOR_value(p7->d.sign->md_algs, 0), OBJ_txt2obj("1.2.3.4", 1), V_ASN1_NULL, nullptr);
  });
  EXPECT_EQ(r.status, Status::kBadSignature);
  EXPECT_NE(r.reason.find("digest algorithm 1.2.3.4"), std::string::npos) << r.reason;
  r = Edit("maker-sha256.cab", [&](PKCS7* p7) {
    PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
    X509_ALGOR_set0(signer->digest_alg, OBJ_nid2obj(NID_md5), V_ASN1_NULL, nullptr);
  });
  EXPECT_EQ(r.status, Status::kBadSignature);
  EXPECT_NE(r.reason.find("signer's digest algorithm"), std::string::npos) << r.reason;

  // the signed attributes must name the content they sign
  r = Edit("maker-sha256.cab", [&](PKCS7* p7) {
    PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
    X509_ATTRIBUTE* type = nullptr;
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(signer->auth_attr); ++i) {
      X509_ATTRIBUTE* a = sk_X509_ATTRIBUTE_value(signer->auth_attr, i);
      if (OBJ_obj2nid(X509_ATTRIBUTE_get0_object(a)) == NID_pkcs9_contentType) type = a;
    }
    ASSERT_NE(type, nullptr);
    sk_X509_ATTRIBUTE_delete_ptr(signer->auth_attr, type);
    X509_ATTRIBUTE_free(type);
  });
  EXPECT_EQ(r.status, Status::kBadSignature) << r.reason;
}

}  // namespace
}  // namespace qrv::platform
