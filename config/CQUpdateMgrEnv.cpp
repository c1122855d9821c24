#include "config/CQUpdateMgrEnv.h"

#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <utility>

#include "config/CQUpdateUtilRegistry.h"
#include "config/StoredPassword.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/DisplayText.h"
#include "platform/core/ProgramFolders.h"
#include "platform/registry/RegistryKey.h"
#include "platform/registry/RegistryTransaction.h"
#include "platform/system/FileVersion.h"

namespace qrv {
namespace {

// The DisplayVersion text installers write in a product's record; empty when
// there is none, it is not text, or it is too long to show.
std::string DisplayVersion(std::string_view keyPath, const std::string& product) {
  platform::RegistryKey key;
  platform::RegValue value;
  if (platform::RegistryKey::Open(platform::kRootLocalMachine, std::string(keyPath) + "\\" + product,
                                  platform::RegAccess::kRead, key) != platform::RegStatus::kOk ||
      key.Query("DisplayVersion", value) != platform::RegStatus::kOk || value.type != platform::kRegSz ||
      value.data.size() > CQUpdateUtilRegistry::kMaxStringBytes) {
    return {};
  }
  return value.AsString();
}

std::string ReadText(std::string_view name) {
  std::string value;
  CQUpdateUtilRegistry().ReadStringValue(name, value);
  return value;
}

std::string Decrypt(std::string_view valueName, const std::string& stored) {
  if (stored.empty()) return {};
  std::string plain;
  std::string error;
  if (!DecryptPassword(stored, plain, &error)) {
    // Using the stored text as a password would send it to the server; an
    // empty password fails the logon visibly instead.
    platform::Diagnostics::Report("settings value " + std::string(valueName) + ": " + error);
    return {};
  }
  return plain;
}

// Whether name can be a product key: one key name below the main key and one
// file name in the download folder. No separator ('/' is an ordinary
// character to the store, but not to the file system), no control character
// (C0, DEL, C1 in UTF-8), not empty, "." or "..".
bool IsProductName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) return false;
    if (c == 0xC2 && i + 1 < name.size()) {
      const auto next = static_cast<unsigned char>(name[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return false;
    }
  }
  return true;
}

// The record EnumProducts makes of subkey name of parent, read the same way:
// false when it makes none (a value missing or too long to read).
bool ReadRecord(const platform::RegistryKey& parent, const std::string& name, tagUPDATETYPE& record) {
  platform::RegistryKey sub;
  if (parent.OpenSubKey(name, platform::RegAccess::kRead, sub) != platform::RegStatus::kOk) return false;
  for (auto [value, text] : {std::pair{"Pidkey", &record.pidkey}, std::pair{"ProductName", &record.productName},
                             std::pair{"Product", &record.product}}) {
    platform::RegValue stored;
    if (sub.Query(value, stored) != platform::RegStatus::kOk ||
        stored.data.size() > CQUpdateUtilRegistry::kMaxStringBytes) {
      return false;
    }
    *text = stored.AsString();
  }
  return true;
}

void ReportUnusableName(const char* what, std::string_view name, std::string_view keyPath) {
  platform::Diagnostics::Report("installed product skipped: the " + std::string(what) + " \"" +
                                platform::DisplayText::Escape(name) + "\" of its record below HKLM\\" +
                                platform::DisplayText::Escape(keyPath) +
                                " cannot name a product (it holds '/', '\\' or a control character, or is empty, "
                                "\".\" or \"..\")");
}

}  // namespace

uint32_t CQUpdateMgrEnv::IsAutoUpdate() const { return CQUpdateUtilRegistry().ReadDword("Auto"); }

int CQUpdateMgrEnv::SetAutoUpdate(uint32_t value) const {
  CQUpdateUtilRegistry().WriteDword("Auto", value);
  return 1;
}

uint32_t CQUpdateMgrEnv::GetTerm() const { return CQUpdateUtilRegistry().ReadDword("Term"); }

int CQUpdateMgrEnv::SetTerm(uint32_t value) const { return CQUpdateUtilRegistry().WriteDword("Term", value); }

uint32_t CQUpdateMgrEnv::GetLastUpdate() const { return CQUpdateUtilRegistry().ReadDword("LastUpdate"); }

int CQUpdateMgrEnv::SetLastUpdate(uint32_t date) const {
  return CQUpdateUtilRegistry().WriteDword("LastUpdate", date);
}

uint32_t CQUpdateMgrEnv::GetUpdateState() const { return CQUpdateUtilRegistry().ReadDword("UpdateState"); }

int CQUpdateMgrEnv::SetUpdateState(uint32_t state) const {
  int written = CQUpdateUtilRegistry().WriteDword("UpdateState", state);
#ifdef QRV_TEST_HOOKS
  // Crash-and-resume tests end the process the moment a state is on disk,
  // as a power cut would. Test builds only: release builds have no such hook.
  const char* killAt = std::getenv("QRVUPDATE_TEST_KILL_AT_STATE");
  if (killAt != nullptr && std::to_string(state) == killAt) std::raise(SIGKILL);
#endif
  return written;
}

std::string CQUpdateMgrEnv::GetServerPath() const {
  std::string path = ReadText("ServerPath");
  return path.empty() ? ReadText("QrvServerPath") : path;
}

std::string CQUpdateMgrEnv::GetDefaultServerPath() const { return ReadText("QrvServerPath"); }

std::string CQUpdateMgrEnv::GetDownloadPath(uint32_t mode) const {
  std::string folder = ReadText("DownloadPath");
  // Never a shared temporary folder: another user could have made
  // QRVDownload there first.
  if (folder.empty()) folder = platform::ProgramFolders::Cache();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder != "/") folder += '/';
  if (mode == 1) folder += "QRVDownload/";
  return folder;
}

int CQUpdateMgrEnv::SetDownloadPath(std::string_view path) const {
  return CQUpdateUtilRegistry().WriteString("DownloadPath", path);
}

std::string CQUpdateMgrEnv::GetTrustAnchors() const { return ReadText("TrustAnchors"); }

uint32_t CQUpdateMgrEnv::GetMinTransferRate() const {
  uint32_t rate = CQUpdateUtilRegistry().ReadDword("MinTransferRate");
  return rate == kMissing || rate == 0 ? kDefaultMinTransferRate : rate;
}

bool CQUpdateMgrEnv::GetRequireSignedInfo() const {
  const uint32_t value = CQUpdateUtilRegistry().ReadDword("RequireSignedInfo");
  return value != kMissing && value != 0;
}

uint32_t CQUpdateMgrEnv::GetHighestReleaseSerial() const {
  // Read by hand: 4294967295 is a valid serial, and ReadDword would give it
  // as "missing", which would let any older release pass afterwards.
  platform::RegistryKey key;
  platform::RegValue value;
  if (platform::RegistryKey::Open(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey,
                                  platform::RegAccess::kRead, key) != platform::RegStatus::kOk ||
      key.Query("HighestReleaseSerial", value) != platform::RegStatus::kOk) {
    return 0;
  }
  return value.AsDword().value_or(0);
}

int CQUpdateMgrEnv::SetHighestReleaseSerial(uint32_t serial) const {
  return CQUpdateUtilRegistry().WriteDword("HighestReleaseSerial", serial);
}

tagSERVERINFO CQUpdateMgrEnv::GetServerInfo() const {
  CQUpdateUtilRegistry registry;
  tagSERVERINFO info;
  info.type = registry.ReadDword("ServerType");
  info.port = registry.ReadDword("ServerPort");
  if (info.port == kMissing) info.port = 0;
  registry.ReadStringValue("ServerPath", info.path);
  registry.ReadStringValue("UserID", info.user);
  std::string stored;
  registry.ReadStringValue("PassWD", stored);
  info.password = Decrypt("PassWD", stored);
  return info;
}

int CQUpdateMgrEnv::SetServerInfo(const tagSERVERINFO& info) const {
  CQUpdateUtilRegistry registry;
  registry.WriteDword("ServerPort", info.port);
  registry.WriteDword("ServerType", info.type);
  registry.WriteString("ServerPath", info.path);
  registry.WriteString("UserID", info.user);
  registry.WriteString("PassWD", info.password);
  return 1;
}

int CQUpdateMgrEnv::SaveServerInfoByType(const tagSERVERINFO& info) const {
  CQUpdateUtilRegistry registry;
  switch (registry.ReadDword("ServerType")) {
    case kServerTypeNetwork:
      registry.WriteString("Network_ServerPath", info.path);
      registry.WriteString("Network_UserID", info.user);
      registry.WriteString("Network_PassWD", info.password);
      break;
    case kServerTypeFtp:
      registry.WriteDword("FTP_ServerPort", info.port);
      registry.WriteString("FTP_ServerPath", info.path);
      registry.WriteString("FTP_UserID", info.user);
      registry.WriteString("FTP_PassWD", info.password);
      break;
    default:
      break;
  }
  return 1;
}

int CQUpdateMgrEnv::SelectServerType(uint32_t type) const {
  CQUpdateUtilRegistry registry;
  switch (type) {
    case kServerTypeNetwork:
      registry.WriteString("ServerPath", ReadText("Network_ServerPath"));
      registry.WriteString("UserID", ReadText("Network_UserID"));
      registry.WriteString("PassWD", ReadText("Network_PassWD"));
      break;
    case kServerTypeFtp:
      // A missing saved port is copied as it reads (0xFFFFFFFF); reading the
      // active settings turns it into the default port.
      registry.WriteDword("ServerPort", registry.ReadDword("FTP_ServerPort"));
      registry.WriteString("ServerPath", ReadText("FTP_ServerPath"));
      registry.WriteString("UserID", ReadText("FTP_UserID"));
      registry.WriteString("PassWD", ReadText("FTP_PassWD"));
      break;
    default:
      break;
  }
  return 1;
}

int CQUpdateMgrEnv::ResetServerInfo() const {
  CQUpdateUtilRegistry registry;
  registry.WriteDword("ServerPort", 0);
  registry.WriteDword("ServerType", kServerTypeHttp);
  registry.WriteString("ServerPath", ReadText("QrvServerPath"));
  registry.WriteString("UserID", "");
  registry.WriteString("PassWD", "");
  return 1;
}

std::string CQUpdateMgrEnv::GetProductName(std::string_view product) const {
  std::string name;
  CQUpdateUtilRegistry().ReadProductString(name, product, "ProductName");
  return name;
}

std::string CQUpdateMgrEnv::GetPidkey(std::string_view product) const {
  std::string pidkey;
  CQUpdateUtilRegistry().ReadProductString(pidkey, product, "Pidkey");
  return pidkey;
}

std::string CQUpdateMgrEnv::GetProductFilePath(std::string_view product) const {
  std::string path;
  CQUpdateUtilRegistry().ReadProductFilePath(path, product);
  return path;
}

std::string CQUpdateMgrEnv::GetProductPath(std::string_view product) const {
  CQUpdateUtilRegistry registry;
  std::string path;
  registry.ReadProductPath(path, product);
  if (path.empty()) registry.LookupInstallPath(path, product);
  return path;
}

uint32_t CQUpdateMgrEnv::GetProductVersion(std::string_view product) const {
  return CQUpdateUtilRegistry().ReadProductDword(product, "ProductVersion");
}

uint32_t CQUpdateMgrEnv::GetProductVersionBak(std::string_view product) const {
  return CQUpdateUtilRegistry().ReadProductDword(product, "ProductVersion_Bak");
}

int CQUpdateMgrEnv::SetProductVersion(std::string_view product, uint32_t version, bool keepBackup) const {
  CQUpdateUtilRegistry registry;
  if (!keepBackup) return registry.WriteProductDword("ProductVersion", product, version);
  // The backup and the new level in one store transaction: one flush to
  // disk instead of two per product, and a crash never keeps one without
  // the other. Should the transaction not begin, they are written one by one.
  platform::RegistryTransaction transaction;
  const bool together = transaction.Begin(platform::kRootLocalMachine) == platform::RegStatus::kOk;
  uint32_t current = registry.ReadProductDword(product, "ProductVersion");
  if (current == kMissing) current = 0;
  registry.WriteProductDword("ProductVersion_Bak", product, current);
  int written = registry.WriteProductDword("ProductVersion", product, version);
  if (together && transaction.Commit() != platform::RegStatus::kOk) written = 0;
  return written;
}

void CQUpdateMgrEnv::DeleteProductVersionBak(std::string_view product) const {
  CQUpdateUtilRegistry().DeleteProductValue("ProductVersion_Bak", product);
}

int CQUpdateMgrEnv::GetInstalledProducts(std::vector<tagUPDATETYPE>& products, std::string_view keyPath) const {
  CQUpdateUtilRegistry registry;
  const auto first = static_cast<std::ptrdiff_t>(products.size());
  if (registry.EnumProducts(products, keyPath) == 0) return 0;
  // A record under a key that could not name a product is dropped: the
  // record EnumProducts made of it is removed (an equal one, should there be
  // two, leaves the same list).
  platform::RegistryKey parent;
  std::string keyName;
  if (platform::RegistryKey::Open(platform::kRootLocalMachine, keyPath, platform::RegAccess::kRead, parent) ==
      platform::RegStatus::kOk) {
    for (uint32_t i = 0; parent.EnumSubKey(i, keyName) == platform::RegStatus::kOk; ++i) {
      if (IsProductName(keyName)) continue;
      tagUPDATETYPE record;
      if (!ReadRecord(parent, keyName, record)) continue;
      auto found = std::find(products.begin() + first, products.end(), record);
      if (found == products.end()) continue;
      ReportUnusableName("key name", keyName, keyPath);
      products.erase(found);
    }
  }
  for (auto it = products.begin(); it != products.end();) {
    // The product key names the record's key below the main key and the
    // product's files in the download folder: it must be one plain name.
    if (!IsProductName(it->product)) {
      ReportUnusableName("Product value", it->product, keyPath);
      it = products.erase(it);
      continue;
    }
    std::string filePath;
    struct stat st {};
    if (registry.ReadProductFilePath(filePath, it->product) == 0 || filePath.empty() ||
        stat(filePath.c_str(), &st) != 0) {
      it = products.erase(it);
      continue;
    }
    // The installed version is the main file's fixed file version "a.b.c.d",
    // as installers record it. A file without one (every program that is not
    // a PE image) shows the version the installer wrote in the record, else
    // the installed update level, so the column is never blank.
    platform::FileVersion::Read(filePath, it->version);
    if (it->version.empty()) it->version = DisplayVersion(keyPath, it->product);
    if (it->version.empty()) {
      const uint32_t level = registry.ReadProductDword(it->product, "ProductVersion");
      it->version = "level " + std::to_string(level == kMissing ? 0 : level);
    }
    ++it;
  }
  return 1;
}

}  // namespace qrv
