#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/tagSERVERINFO.h"
#include "config/tagUPDATETYPE.h"

namespace qrv {

// The updater's persistent settings and per-product state, kept in the
// registry below HKLM\SOFTWARE\QRV\Shared\QrvUpdate.
//
// Stateless: every call opens the registry, reads or writes a value or a few,
// and closes it again, so a value written anywhere is seen at once everywhere.
// Create one on the stack wherever a value is needed. A missing key or value
// is never an error: strings read as empty (or their stated fallback) and
// numbers as 0xFFFFFFFF.
//
// Thread: any.
class CQUpdateMgrEnv {
 public:
  static constexpr uint32_t kMissing = 0xFFFFFFFFu;
  // The update information fetched from the server and the update log of a
  // run, both in the download folder.
  static constexpr std::string_view kInfoFileName = "qupdate_s.ini";
  static constexpr std::string_view kLogFileName = "quplog.ini";

  virtual ~CQUpdateMgrEnv() = default;

  // Auto: 1 on, 0 off; kMissing (missing) counts as on for callers testing non-zero.
  uint32_t IsAutoUpdate() const;
  int SetAutoUpdate(uint32_t value) const;  // always 1
  uint32_t GetTerm() const;
  int SetTerm(uint32_t value) const;  // 1 when written, else 0
  uint32_t GetLastUpdate() const;     // yyyymmdd, kMissing = never
  int SetLastUpdate(uint32_t date) const;
  uint32_t GetUpdateState() const;
  int SetUpdateState(uint32_t state) const;

  // ServerPath, or QrvServerPath when ServerPath is empty or missing.
  std::string GetServerPath() const;
  std::string GetDefaultServerPath() const;
  // DownloadPath (when not set, ProgramFolders::Cache(): below the system
  // root for root and sandbox runs, else the user's own cache) ending in one
  // '/'; mode 1 appends "QRVDownload/".
  std::string GetDownloadPath(uint32_t mode) const;
  int SetDownloadPath(std::string_view path) const;
  // TrustAnchors: a PEM file of certificates trusted for update signatures
  // besides the system's; empty when not set.
  std::string GetTrustAnchors() const;
  // MinTransferRate: the slowest a download may be, in bytes per second,
  // averaged over the whole file (see platform::TransferBudget); missing or
  // 0 reads as kDefaultMinTransferRate.
  static constexpr uint32_t kDefaultMinTransferRate = 4096;
  uint32_t GetMinTransferRate() const;
  // RequireSignedInfo: non-zero makes update information without a valid
  // signature a refusal; missing or 0 takes a server without signatures as
  // before (a signature that is present must be valid either way).
  bool GetRequireSignedInfo() const;
  // HighestReleaseSerial: the highest release serial of signed update
  // information accepted so far; 0 when none (missing).
  uint32_t GetHighestReleaseSerial() const;
  int SetHighestReleaseSerial(uint32_t serial) const;  // 1 when written, else 0

  // The active server. A missing port (or one copied from a missing saved
  // port) reads as 0. A stored password that cannot be decrypted gives an
  // empty password and a diagnostic.
  tagSERVERINFO GetServerInfo() const;
  // The record's password must already be encrypted. Return 1.
  int SetServerInfo(const tagSERVERINFO& info) const;
  int SaveServerInfoByType(const tagSERVERINFO& info) const;
  // Copies the saved settings of a type into the active values (ServerType
  // itself is not written). Returns 1.
  int SelectServerType(uint32_t type) const;
  int ResetServerInfo() const;

  std::string GetProductName(std::string_view product) const;  // fallback: product
  std::string GetPidkey(std::string_view product) const;       // fallback: product
  std::string GetProductFilePath(std::string_view product) const;
  // ProductPath; when empty, looked up in the installers' records and stored.
  std::string GetProductPath(std::string_view product) const;
  uint32_t GetProductVersion(std::string_view product) const;
  uint32_t GetProductVersionBak(std::string_view product) const;
  // With keepBackup, first copies ProductVersion (missing = 0) into
  // ProductVersion_Bak. Returns the result (1/0) of the last write.
  int SetProductVersion(std::string_view product, uint32_t version, bool keepBackup) const;
  void DeleteProductVersionBak(std::string_view product) const;

  // Fills products with the installed products below keyPath (under HKLM):
  // subkeys with Pidkey, ProductName and Product whose FilePath names an
  // existing file; the installed version text is read from that file. A
  // record whose key name or Product is empty, "." or "..", or holds '/',
  // '\' or a control character is skipped with a diagnostic: the name would
  // become a file name in the download folder. Returns 1, or 0 when keyPath
  // cannot be opened.
  int GetInstalledProducts(std::vector<tagUPDATETYPE>& products, std::string_view keyPath) const;
};

}  // namespace qrv
