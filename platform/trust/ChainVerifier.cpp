#include "platform/trust/ChainVerifier.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

#include "platform/core/PrivateFolder.h"
#include "platform/trust/OpenSslErrorQueue.h"
#include "platform/trust/X500NameFormatter.h"

namespace qrv::platform {
namespace {

std::string UtcText(int64_t when) {
  const time_t t = static_cast<time_t>(when);
  struct tm tm {};
  char text[40] = "?";
  if (gmtime_r(&t, &tm) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

// What a loaded store was made from: the system bundle as OpenSSL finds it
// and each anchors file, by identity and change time (ctime cannot be set
// back by hand), so a file that changes is read again.
std::string StoreKey(const std::vector<std::string>& anchorFiles) {
  std::string key;
  auto add = [&key](const char* what, const char* path) {
    struct stat st {};
    key += what;
    key += path != nullptr ? path : "";
    if (path != nullptr && stat(path, &st) == 0) {
      key += ":" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) +
             ":" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
             std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
    }
    key += '\n';
  };
  const char* fileVariable = std::getenv(X509_get_default_cert_file_env());
  const char* dirVariable = std::getenv(X509_get_default_cert_dir_env());
  add("bundle ", fileVariable != nullptr ? fileVariable : X509_get_default_cert_file());
  add("dir ", dirVariable != nullptr ? dirVariable : X509_get_default_cert_dir());
  for (const std::string& file : anchorFiles) {
    if (!file.empty()) add("anchors ", file.c_str());
  }
  return key;
}

// Parsing the system bundle takes far longer than checking a signature, and
// every cabinet of a run is checked against the same anchors: the last store
// made is kept for the process. X509_STORE may be shared by threads once
// loaded; each check makes its own context.
std::mutex g_cacheMutex;
std::string g_cachedKey;
X509_STORE* g_cachedStore = nullptr;
uint64_t g_cachedGeneration = 0;
uint64_t g_lastGeneration = 0;

// Chains that checked out (see the class comment), by ChainKey: from when to
// when every certificate of the chain is valid.
struct GoodChain {
  int64_t from = 0;
  int64_t until = 0;
};
std::mutex g_chainMutex;
std::map<std::string, GoodChain> g_goodChains;

// The store's generation and the SHA-256 of the leaf and of each untrusted
// certificate, in order; empty when a digest cannot be made (nothing is
// remembered then).
std::string ChainKey(uint64_t generation, X509* leaf, STACK_OF(X509) * untrusted) {
  std::string key(reinterpret_cast<const char*>(&generation), sizeof generation);
  auto add = [&key](X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1) return false;
    key.append(reinterpret_cast<const char*>(digest), size);
    return true;
  };
  if (!add(leaf)) return {};
  for (int i = 0; untrusted != nullptr && i < sk_X509_num(untrusted); ++i) {
    if (!add(sk_X509_value(untrusted, i))) return {};
  }
  return key;
}

bool AsUnixTime(const ASN1_TIME* time, int64_t& out) {
  struct tm tm {};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return false;
  out = static_cast<int64_t>(timegm(&tm));
  return true;
}

// The span in which every certificate of chain is valid; false when a time
// does not read.
bool ValidSpan(STACK_OF(X509) * chain, GoodChain& span) {
  span.from = INT64_MIN;
  span.until = INT64_MAX;
  for (int i = 0; chain != nullptr && i < sk_X509_num(chain); ++i) {
    X509* certificate = sk_X509_value(chain, i);
    int64_t notBefore = 0;
    int64_t notAfter = 0;
    if (!AsUnixTime(X509_get0_notBefore(certificate), notBefore) ||
        !AsUnixTime(X509_get0_notAfter(certificate), notAfter)) {
      return false;
    }
    span.from = std::max(span.from, notBefore);
    span.until = std::min(span.until, notAfter);
  }
  return chain != nullptr && span.from < span.until;
}

}  // namespace

ChainVerifier::ChainVerifier() = default;

ChainVerifier::~ChainVerifier() { X509_STORE_free(m_store); }

ChainVerifier::Status ChainVerifier::Load(const std::vector<std::string>& anchorFiles, std::string& reason) {
  X509_STORE_free(m_store);
  m_store = nullptr;
  m_generation = 0;
  // Whoever can change an anchors file decides whose signatures pass; it
  // must be as safe from other users as the updater itself. Checked on
  // every load: a folder above it may have changed without the file.
  for (const std::string& file : anchorFiles) {
    if (file.empty()) continue;
    std::string why;
    if (access(file.c_str(), F_OK) == 0 && !PrivateFolder::CheckTrustedFile(file, why)) {
      reason = "the trust anchors file " + file + " cannot be trusted: " + why;
      return Status::kAnchorsUnavailable;
    }
  }
  const std::string key = StoreKey(anchorFiles);
  {
    std::lock_guard lock(g_cacheMutex);
    if (g_cachedStore != nullptr && key == g_cachedKey && X509_STORE_up_ref(g_cachedStore) == 1) {
      m_store = g_cachedStore;
      m_generation = g_cachedGeneration;
      return Status::kAccepted;
    }
  }
  m_store = X509_STORE_new();
  if (m_store == nullptr) {
    reason = "cannot make a certificate store: " + OpenSslErrorQueue::Take();
    return Status::kAnchorsUnavailable;
  }
  // A machine without a system bundle still checks against the given files.
  X509_STORE_set_default_paths(m_store);
  ERR_clear_error();
  for (const std::string& file : anchorFiles) {
    if (file.empty()) continue;
    // OpenSSL's own message for a missing file names no path; find out first.
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      reason = "cannot read the trust anchors file " + file + ": " + std::strerror(errno);
      return Status::kAnchorsUnavailable;
    }
    close(fd);
    if (X509_STORE_load_file(m_store, file.c_str()) != 1) {
      reason = "the trust anchors file " + file + " holds no usable PEM certificate: " + OpenSslErrorQueue::Take();
      return Status::kAnchorsUnavailable;
    }
  }
  std::lock_guard lock(g_cacheMutex);
  if (X509_STORE_up_ref(m_store) == 1) {
    X509_STORE_free(g_cachedStore);
    g_cachedStore = m_store;
    g_cachedKey = key;
    // chains checked against the store this one replaces no longer count
    g_cachedGeneration = ++g_lastGeneration;
    m_generation = g_cachedGeneration;
  }
  return Status::kAccepted;
}

ChainVerifier::Status ChainVerifier::Verify(X509* leaf, STACK_OF(X509) * untrusted, int64_t when,
                                            std::string& reason) const {
  /* a chain that checked out against this very store, still valid at that time */
  const int64_t at = when != 0 ? when : static_cast<int64_t>(std::time(nullptr));
  const std::string key = m_generation != 0 ? ChainKey(m_generation, leaf, untrusted) : std::string();
  if (!key.empty()) {
    std::lock_guard lock(g_chainMutex);
    auto found = g_goodChains.find(key);
    // strictly inside: the edges are left to the full check
    if (found != g_goodChains.end() && at > found->second.from && at < found->second.until) {
      return Status::kAccepted;
    }
  }

  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  if (ctx == nullptr || X509_STORE_CTX_init(ctx, m_store, leaf, untrusted) != 1) {
    X509_STORE_CTX_free(ctx);
    reason = "cannot set up the chain check: " + OpenSslErrorQueue::Take();
    return Status::kUntrusted;
  }
  X509_STORE_CTX_set_purpose(ctx, X509_PURPOSE_ANY);
  if (when != 0) X509_STORE_CTX_set_time(ctx, 0, static_cast<time_t>(when));
  const int ok = X509_verify_cert(ctx);
  Status status = Status::kAccepted;
  if (ok != 1) {
    const int error = X509_STORE_CTX_get_error(ctx);
    X509* where = X509_STORE_CTX_get_current_cert(ctx);
    status = (error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID) ? Status::kExpired
                                                                                              : Status::kUntrusted;
    reason = "certificate \"" + X500NameFormatter::FormatSubject(where != nullptr ? where : leaf) + "\": " +
             X509_verify_cert_error_string(error) + " (checked at " +
             UtcText(when != 0 ? when : static_cast<int64_t>(std::time(nullptr))) + ")";
    ERR_clear_error();
  }
  GoodChain span;
  if (status == Status::kAccepted && !key.empty() && ValidSpan(X509_STORE_CTX_get0_chain(ctx), span)) {
    std::lock_guard lock(g_chainMutex);
    if (g_goodChains.size() >= kMaxGoodChains) g_goodChains.clear();
    g_goodChains[key] = span;
  }
  X509_STORE_CTX_free(ctx);
  return status;
}

bool ChainVerifier::HasUsage(X509* certificate, Usage usage, std::string& reason) {
  const std::string who = "certificate \"" + X500NameFormatter::FormatSubject(certificate) + "\"";
  // X509_get_key_usage() also makes OpenSSL cache the extensions; a
  // certificate whose extensions do not decode is marked invalid by that.
  const uint32_t keyUsage = X509_get_key_usage(certificate);
  if (X509_get_extension_flags(certificate) & EXFLAG_INVALID) {
    reason = who + " has extensions that do not decode";
    return false;
  }
  if ((X509_get_extension_flags(certificate) & EXFLAG_KUSAGE) && !(keyUsage & KU_DIGITAL_SIGNATURE)) {
    char bits[16];
    std::snprintf(bits, sizeof bits, "0x%04x", keyUsage);
    reason = who + " is not allowed to make digital signatures (key usage " + bits + " lacks digitalSignature)";
    return false;
  }
  const bool hasEku = (X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) != 0;
  const uint32_t eku = X509_get_extended_key_usage(certificate);
  if (usage == Usage::kCodeSigning && hasEku && !(eku & XKU_CODE_SIGN)) {
    reason = who + " is not meant for code signing (its extended key usage lacks codeSigning)";
    return false;
  }
  if (usage == Usage::kTimeStamping && (!hasEku || !(eku & XKU_TIMESTAMP))) {
    reason = who + " is not meant for time stamping (its extended key usage lacks timeStamping)";
    return false;
  }
  return true;
}

}  // namespace qrv::platform
