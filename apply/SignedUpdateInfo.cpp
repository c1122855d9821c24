#include "apply/SignedUpdateInfo.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "apply/SignatureVerification.h"
#include "apply/UpdateFiles.h"
#include "config/CQUpdateMgrEnv.h"
#include "platform/core/AtomicFileWriter.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/LastError.h"
#include "platform/core/MessageService.h"
#include "platform/core/RegularFile.h"
#include "platform/profile/ProfileFile.h"
#include "platform/trust/DetachedSignatureVerifier.h"
#include "platform/trust/Sha256Digest.h"
#include "res/StringIds.h"
#include "transfer/CQUpdateTransferMgr.h"
#include "transfer/TransferLimits.h"

namespace qrv {
namespace {

constexpr std::string_view kSignatureSuffix = ".p7s";
constexpr uint32_t kValueChars = 128;

// A decimal number of at most max, nothing else (no sign, no blanks).
std::optional<uint64_t> Decimal(const std::string& text, uint64_t max) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// "YYYY-MM-DDTHH:MM:SSZ" (UTC) as Unix seconds; nothing for any other form
// or a field out of range.
std::optional<int64_t> UtcTime(const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char tail = 0;
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18}) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour, &minute, &second, &tail) !=
      7) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return static_cast<int64_t>(timegm(&tm));
}

// 64 hex digits, either case: the form of a listed SHA-256.
bool IsHexDigest(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

std::string UtcText(int64_t when) {
  const time_t t = static_cast<time_t>(when);
  std::tm tm{};
  char text[40] = "?";
  if (gmtime_r(&t, &tm) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

}  // namespace

bool SignedUpdateInfo::Required() {
  // Also once this machine has taken a signed release: otherwise whoever
  // sits in between would only have to strip the signatures to serve an
  // older tree again.
  const CQUpdateMgrEnv env;
  return env.GetRequireSignedInfo() || env.GetHighestReleaseSerial() > 0;
}

bool SignedUpdateInfo::NotesMayBeShown(const std::string& product, const std::string& bytes, std::string& reason) {
  const std::string info = UpdateFiles::InfoPath();
  const std::string sizeText = platform::ProfileFile::GetString(info, "UpdateInfoSize", product, "", kValueChars);
  const std::string hashText = platform::ProfileFile::GetString(info, "UpdateInfoSHA256", product, "", kValueChars);
  if (sizeText.empty() && hashText.empty()) {
    if (!Required()) return true;
    reason = "the update notes of " + product + " are not shown: the signed information lists no size and hash for them";
    return false;
  }
  const std::optional<uint64_t> size = Decimal(sizeText, TransferLimits::kMaxNotesBytes);
  const std::string hash = platform::Sha256Digest::OfBytes(bytes);
  if (size && *size == bytes.size() && platform::Sha256Digest::SameHex(hashText, hash)) return true;
  reason = "the update notes of " + product + " are not shown: they have " + std::to_string(bytes.size()) +
           " bytes and SHA-256 " + hash + "; the information lists \"" + sizeText + "\" bytes and \"" + hashText + "\"";
  return false;
}

bool SignedUpdateInfo::InUse() const { return m_checked ? m_signed || m_required : Required(); }

bool SignedUpdateInfo::Refuse(uint32_t id, const std::string& argument, const std::string& reason) {
  m_reason = reason;
  platform::Diagnostics::Report(reason);
  if (argument.empty()) {
    platform::MessageService::Current().Show(id, platform::MessageService::kOk);
  } else {
    platform::MessageService::Current().ShowWith(id, argument, platform::MessageService::kOk);
  }
  return false;
}

bool SignedUpdateInfo::RefuseMismatch(const std::string& shownPath, const std::string& what) {
  return Refuse(kStringInfoFileMismatch, shownPath, shownPath + " is refused: " + what);
}

SignedUpdateInfo::Fetched SignedUpdateInfo::Check(CQUpdateTransferMgr& transport, const std::string& folder,
                                                  const std::string& name, bool inUse,
                                                  const std::optional<ListedFile>& expected) {
  const std::string path = folder + name;
  std::string bytes;
  bool truncated = false;
  if (!platform::RegularFile::ReadPrefix(path, TransferLimits::kMaxProfileFileBytes, bytes, truncated) || truncated) {
    Refuse(kStringInfoIncomplete, name,
           "cannot read " + path + (truncated ? ": it holds more than " +
                                                    std::to_string(TransferLimits::kMaxProfileFileBytes) + " bytes"
                                              : ": " + platform::LastError::Text()));
    return Fetched::kRefused;
  }

  /* the signature beside it; none on the server means unsigned */
  transport.SetFileCap(platform::DetachedSignatureVerifier::kMaxSignatureBytes);
  const bool fetched = transport.DownloadFile(folder, name + std::string(kSignatureSuffix)) == 1;
  transport.SetFileCap(0);
  Fetched outcome = Fetched::kUnsigned;
  if (fetched) {
    std::string signature;
    std::string reason;
    if (!platform::RegularFile::ReadPrefix(path + std::string(kSignatureSuffix),
                                           platform::DetachedSignatureVerifier::kMaxSignatureBytes, signature,
                                           truncated)) {
      Refuse(kStringInfoBadSignature, name, "cannot read the signature of " + path + ": " + platform::LastError::Text());
      return Fetched::kRefused;
    }
    if (!inUse && (signature.empty() || static_cast<unsigned char>(signature[0]) != 0x30)) {
      // Not even DER (a server's own "not found" page answered with 200):
      // where signatures are not in use, that is a server without them.
      // Anything that is DER is checked in full, and refused if it fails.
      platform::Diagnostics::Report(path + std::string(kSignatureSuffix) +
                                    " is no signature (not DER); the file is taken as unsigned");
    } else if (VerifyDetachedSignature(bytes, signature, path, &reason, nullptr) != 1) {
      Refuse(kStringInfoBadSignature, name, "the signature of " + path + " is refused: " + reason);
      return Fetched::kRefused;
    } else {
      outcome = Fetched::kSigned;
    }
  } else if (inUse) {
    const std::string& why = transport.LastFailure();
    Refuse(kStringInfoUnsigned, "",
           path + " is refused: signed update information is in use, and its signature " + name +
               std::string(kSignatureSuffix) + " cannot be fetched" + (why.empty() ? "" : " (" + why + ")"));
    return Fetched::kRefused;
  }

  if (expected) {
    const std::string hash = platform::Sha256Digest::OfBytes(bytes);
    if (bytes.size() != expected->size || !platform::Sha256Digest::SameHex(expected->sha256, hash)) {
      RefuseMismatch(name, path + " has " + std::to_string(bytes.size()) + " bytes and SHA-256 " + hash +
                               "; the release lists " + std::to_string(expected->size) + " bytes and " +
                               expected->sha256);
      return Fetched::kRefused;
    }
  }
  // From here on the file is read by name, many times: it must hold what
  // was checked (see the class comment).
  if (outcome == Fetched::kSigned || expected) {
    struct stat st {};
    const bool existing = lstat(path.c_str(), &st) == 0;
    std::string error;
    if (!platform::AtomicFileWriter::Replace(path, bytes, existing ? &st : nullptr, error)) {
      Refuse(kStringInfoIncomplete, name, "cannot keep the checked " + path + ": " + error);
      return Fetched::kRefused;
    }
    platform::ProfileFile::FlushCache();
  }
  return outcome;
}

bool SignedUpdateInfo::AcceptInfo(CQUpdateTransferMgr& transport, const std::string& folder) {
  *this = SignedUpdateInfo();
  m_checked = true;
  m_required = Required();
  const std::string name(CQUpdateMgrEnv::kInfoFileName);
  m_infoPath = folder + name;
  switch (Check(transport, folder, name, m_required, std::nullopt)) {
    case Fetched::kRefused: return false;
    case Fetched::kUnsigned: return true;  // only where signatures are not required (Check refuses otherwise)
    case Fetched::kSigned: break;
  }
  m_signed = true;
  return AcceptRelease(m_infoPath);
}

bool SignedUpdateInfo::AcceptRelease(const std::string& infoPath) {
  using platform::ProfileFile;
  const std::string serialText = ProfileFile::GetString(infoPath, "Release", "Serial", "", kValueChars);
  const std::string dateText = ProfileFile::GetString(infoPath, "Release", "Date", "", kValueChars);
  const std::string expiresText = ProfileFile::GetString(infoPath, "Release", "Expires", "", kValueChars);
  const std::optional<uint64_t> serial = Decimal(serialText, UINT32_MAX);
  const std::optional<int64_t> expires = UtcTime(expiresText);
  auto incomplete = [&](const std::string& key, const std::string& value) {
    return Refuse(kStringInfoIncomplete, "[Release] " + key,
                  infoPath + " is refused: [Release] " + key + " is missing or unreadable (\"" + value + "\")");
  };
  if (!serial || *serial == 0) return incomplete("Serial", serialText);
  if (!UtcTime(dateText)) return incomplete("Date", dateText);
  if (!expires) return incomplete("Expires", expiresText);

  CQUpdateMgrEnv env;
  const uint32_t known = env.GetHighestReleaseSerial();
  const auto offered = static_cast<uint32_t>(*serial);
  if (offered < known) {
    return Refuse(kStringInfoRollback, std::to_string(offered) + " / " + std::to_string(known),
                  infoPath + " is refused: it offers release " + std::to_string(offered) +
                      ", older than release " + std::to_string(known) + " accepted before");
  }
  const auto now = static_cast<int64_t>(std::time(nullptr));
  if (*expires <= now) {
    return Refuse(kStringInfoExpired, UtcText(*expires),
                  infoPath + " is refused: release " + std::to_string(offered) + " expired at " +
                      UtcText(*expires) + " UTC (now " + UtcText(now) + " UTC)");
  }
  m_serial = offered;
  if (offered > known && env.SetHighestReleaseSerial(offered) == 0) {
    platform::Diagnostics::Report("cannot record release " + std::to_string(offered) +
                                  " as the highest accepted one: " + platform::LastError::Text());
  }
  return true;
}

uint64_t SignedUpdateInfo::ProductFileSize(const std::string& product) const {
  if (!m_signed) return 0;
  const std::string text = platform::ProfileFile::GetString(m_infoPath, "ProductFileSize", product, "", kValueChars);
  return Decimal(text, TransferLimits::kMaxProfileFileBytes).value_or(0);
}

bool SignedUpdateInfo::AcceptProductFile(CQUpdateTransferMgr& transport, const std::string& folder,
                                         const std::string& product) {
  m_reason.clear();
  const bool inUse = InUse();
  std::optional<ListedFile> expected;
  if (inUse) {
    const std::string infoPath = m_infoPath.empty() ? folder + std::string(CQUpdateMgrEnv::kInfoFileName) : m_infoPath;
    const std::string sizeText = platform::ProfileFile::GetString(infoPath, "ProductFileSize", product, "", kValueChars);
    const std::string hashText =
        platform::ProfileFile::GetString(infoPath, "ProductFileSHA256", product, "", kValueChars);
    const uint64_t size = ProductFileSize(product);
    if (!m_signed || size == 0 || !IsHexDigest(hashText)) {
      return Refuse(kStringInfoIncomplete, "[ProductFileSize] / [ProductFileSHA256] " + product,
                    "the product file " + product + ".ini is refused: " +
                        (m_signed ? "the signed " + infoPath + " lists no valid size (\"" + sizeText +
                                        "\") or SHA-256 (\"" + hashText + "\") for it"
                                  : std::string("no signed update information was accepted in this run")));
    }
    expected = ListedFile{size, hashText};
  }
  return Check(transport, folder, product + ".ini", inUse, expected) != Fetched::kRefused;
}

bool SignedUpdateInfo::ListedFileOf(const std::string& productFile, const std::string& product,
                                    const std::string& feature, uint32_t index, std::optional<ListedFile>& out) {
  out.reset();
  if (!InUse()) return true;
  const std::string prefix = feature + std::to_string(static_cast<int32_t>(index));
  const std::string sizeText = platform::ProfileFile::GetString(productFile, product, prefix + "SIZE", "", kValueChars);
  const std::string hashText =
      platform::ProfileFile::GetString(productFile, product, prefix + "SHA256", "", kValueChars);
  const std::optional<uint64_t> size = Decimal(sizeText, TransferLimits::kMaxFileBytes);
  if (!size || *size == 0 || !IsHexDigest(hashText)) {
    return Refuse(kStringInfoIncomplete, product + ".ini " + prefix + "SIZE / " + prefix + "SHA256",
                  productFile + " is refused: it lists no valid size (\"" + sizeText + "\") or SHA-256 (\"" +
                      hashText + "\") for " + prefix + "FILE");
  }
  out = ListedFile{*size, hashText};
  return true;
}

bool SignedUpdateInfo::MatchesOpenFile(int fd, const ListedFile& listed, const std::string& shownPath,
                                       std::string& reason) {
  std::string hash;
  uint64_t size = 0;
  if (!platform::Sha256Digest::OfOpenFile(fd, shownPath, hash, size, reason)) return false;
  if (size == listed.size && platform::Sha256Digest::SameHex(listed.sha256, hash)) return true;
  reason = shownPath + " has " + std::to_string(size) + " bytes and SHA-256 " + hash + "; the signed information lists " +
           std::to_string(listed.size) + " bytes and " + listed.sha256;
  return false;
}

}  // namespace qrv
