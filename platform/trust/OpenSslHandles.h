#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace qrv::platform {

// Internal to platform/trust: owning handles for the OpenSSL objects the
// signature check juggles, so that every early return frees what it made.
template <typename T, void (*Free)(T*)>
struct OpenSslDeleter {
  void operator()(T* p) const { Free(p); }
};

template <typename T, void (*Free)(T*)>
using OpenSslHandle = std::unique_ptr<T, OpenSslDeleter<T, Free>>;

inline void FreeBio(BIO* b) { BIO_free_all(b); }
inline void FreeX509Stack(STACK_OF(X509) * s) { sk_X509_free(s); }  // the stack only, not the certificates

using BioHandle = OpenSslHandle<BIO, FreeBio>;
using CmsHandle = OpenSslHandle<CMS_ContentInfo, CMS_ContentInfo_free>;
using MdCtxHandle = OpenSslHandle<EVP_MD_CTX, EVP_MD_CTX_free>;
using MdHandle = OpenSslHandle<EVP_MD, EVP_MD_free>;
using Pkcs7Handle = OpenSslHandle<PKCS7, PKCS7_free>;
using SignerInfoHandle = OpenSslHandle<PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free>;
using TstInfoHandle = OpenSslHandle<TS_TST_INFO, TS_TST_INFO_free>;
using X509Handle = OpenSslHandle<X509, X509_free>;
using X509NameHandle = OpenSslHandle<X509_NAME, X509_NAME_free>;
using X509StackRef = OpenSslHandle<STACK_OF(X509), FreeX509Stack>;
using StoreHandle = OpenSslHandle<X509_STORE, X509_STORE_free>;
using StoreCtxHandle = OpenSslHandle<X509_STORE_CTX, X509_STORE_CTX_free>;

}  // namespace qrv::platform
