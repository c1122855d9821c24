#include "config/CQUpdateUtilRegistry.h"

#include <cctype>

#include "platform/core/Diagnostics.h"
#include "platform/registry/RegistryKey.h"

namespace qrv {
namespace {

using platform::RegAccess;
using platform::RegistryKey;
using platform::RegStatus;
using platform::RegValue;

// The product's subkey path, or empty when it would pass the key-path limit.
std::string ProductKeyPath(std::string_view product) {
  std::string path(CQUpdateUtilRegistry::kMainKey);
  path += '\\';
  path += product;
  if (product.empty() || path.size() > CQUpdateUtilRegistry::kMaxKeyPathChars) return {};
  return path;
}

bool ReadText(const RegistryKey& key, std::string_view name, std::string& out) {
  out.clear();
  RegValue value;
  if (key.Query(name, value) != RegStatus::kOk) return false;
  // Longer strings do not fit the readers' buffers and count as unreadable.
  if (value.data.size() > CQUpdateUtilRegistry::kMaxStringBytes) return false;
  out = value.AsString();
  return true;
}

// A display name is only shown: one too long for the readers' buffers is
// cut (at a character's start) rather than losing the product. Any update's
// registry action may write another product's name, and a dropped product
// would never be offered an update again.
bool ReadDisplayName(const RegistryKey& key, std::string_view product, std::string& out) {
  out.clear();
  RegValue value;
  if (key.Query("ProductName", value) != RegStatus::kOk) return false;
  out = value.AsString();
  if (out.size() <= CQUpdateUtilRegistry::kMaxStringBytes) return true;
  size_t cut = CQUpdateUtilRegistry::kMaxStringBytes - 1;  // room for the reader's terminator
  while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
  out.resize(cut);
  platform::Diagnostics::Report("the ProductName of " + std::string(product) + " is " + std::to_string(value.data.size()) +
                                " bytes long; shown cut to " + std::to_string(cut));
  return true;
}

uint32_t ReadNumber(const RegistryKey& key, std::string_view name) {
  RegValue value;
  if (key.Query(name, value) != RegStatus::kOk || value.data.size() != 4) {
    return CQUpdateUtilRegistry::kMissingDword;
  }
  return *value.AsDword();
}

bool OpenMain(RegAccess access, RegistryKey& key) {
  return RegistryKey::Open(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, access, key) ==
         RegStatus::kOk;
}

bool OpenProduct(std::string_view product, RegAccess access, RegistryKey& key) {
  std::string path = ProductKeyPath(product);
  return !path.empty() && RegistryKey::Open(platform::kRootLocalMachine, path, access, key) == RegStatus::kOk;
}

// Whole name of the installer's record is a prefix of the product name, case
// ignored for ASCII letters (other bytes must match exactly).
bool IsPrefixNoCase(std::string_view prefix, std::string_view text) {
  if (prefix.size() > text.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    auto a = static_cast<unsigned char>(prefix[i]);
    auto b = static_cast<unsigned char>(text[i]);
    if (a < 0x80 && b < 0x80) {
      if (std::toupper(a) != std::toupper(b)) return false;
    } else if (a != b) {
      return false;
    }
  }
  return true;
}

}  // namespace

int CQUpdateUtilRegistry::ReadString(std::string_view name, std::string& out) const {
  out.clear();
  RegistryKey key;
  if (!OpenMain(RegAccess::kRead, key)) return 0;
  return ReadText(key, name, out) ? 1 : 0;
}

int CQUpdateUtilRegistry::ReadStringValue(std::string_view name, std::string& out) const {
  return ReadString(name, out);
}

uint32_t CQUpdateUtilRegistry::ReadDword(std::string_view name) const {
  RegistryKey key;
  if (!OpenMain(RegAccess::kAll, key)) return kMissingDword;
  return ReadNumber(key, name);
}

int CQUpdateUtilRegistry::WriteString(std::string_view name, std::string_view text) const {
  RegistryKey key;
  if (!OpenMain(RegAccess::kAll, key)) return 0;
  return key.SetString(name, text) == RegStatus::kOk ? 1 : 0;
}

int CQUpdateUtilRegistry::WriteDword(std::string_view name, uint32_t value) const {
  RegistryKey key;
  if (!OpenMain(RegAccess::kAll, key)) return 0;
  return key.SetDword(name, value) == RegStatus::kOk ? 1 : 0;
}

uint32_t CQUpdateUtilRegistry::ReadProductDword(std::string_view product, std::string_view name) const {
  RegistryKey key;
  if (!OpenProduct(product, RegAccess::kAll, key)) return kMissingDword;
  return ReadNumber(key, name);
}

int CQUpdateUtilRegistry::WriteProductDword(std::string_view name, std::string_view product, uint32_t value) const {
  RegistryKey key;
  if (!OpenProduct(product, RegAccess::kAll, key)) return 0;
  return key.SetDword(name, value) == RegStatus::kOk ? 1 : 0;
}

void CQUpdateUtilRegistry::DeleteProductValue(std::string_view name, std::string_view product) const {
  RegistryKey key;
  if (OpenProduct(product, RegAccess::kAll, key)) key.DeleteValue(name);
}

void CQUpdateUtilRegistry::ReadProductString(std::string& out, std::string_view product,
                                             std::string_view name) const {
  RegistryKey key;
  if (!OpenProduct(product, RegAccess::kAll, key) || !ReadText(key, name, out)) out = std::string(product);
}

int CQUpdateUtilRegistry::ReadProductFilePath(std::string& out, std::string_view product) const {
  out.clear();
  RegistryKey key;
  if (!OpenProduct(product, RegAccess::kAll, key)) return 0;
  return ReadText(key, "FilePath", out) ? 1 : 0;
}

int CQUpdateUtilRegistry::ReadProductPath(std::string& out, std::string_view product) const {
  out.clear();
  RegistryKey key;
  if (!OpenProduct(product, RegAccess::kAll, key)) return 0;
  return ReadText(key, "ProductPath", out) ? 1 : 0;
}

int CQUpdateUtilRegistry::LookupInstallPath(std::string& out, std::string_view product) const {
  RegistryKey info;
  if (RegistryKey::Open(platform::kRootLocalMachine, kInstallInfoKey, RegAccess::kAll, info) != RegStatus::kOk) {
    return 0;
  }
  std::string match;
  std::string name;
  for (uint32_t i = 0; info.EnumSubKey(i, name) == RegStatus::kOk; ++i) {
    if (IsPrefixNoCase(name, product)) {
      match = name;
      break;
    }
  }
  if (match.empty()) return 1;

  RegistryKey record;
  if (info.OpenSubKey(match, RegAccess::kAll, record) != RegStatus::kOk) return 0;
  std::string path;
  if (!ReadText(record, "Path", path)) {
    // Nothing to remember: an empty ProductPath would only hide the next lookup.
    return 0;
  }
  out = path;
  RegistryKey productKey;
  if (OpenProduct(product, RegAccess::kAll, productKey)) productKey.SetString("ProductPath", path);
  return 1;
}

int CQUpdateUtilRegistry::EnumProducts(std::vector<tagUPDATETYPE>& products, std::string_view keyPath) const {
  RegistryKey parent;
  if (RegistryKey::Open(platform::kRootLocalMachine, keyPath, RegAccess::kAll, parent) != RegStatus::kOk) return 0;
  std::string name;
  for (uint32_t i = 0; parent.EnumSubKey(i, name) == RegStatus::kOk; ++i) {
    RegistryKey sub;
    if (parent.OpenSubKey(name, RegAccess::kAll, sub) != RegStatus::kOk) break;
    tagUPDATETYPE record;
    if (ReadText(sub, "Pidkey", record.pidkey) && ReadDisplayName(sub, name, record.productName) &&
        ReadText(sub, "Product", record.product)) {
      products.push_back(std::move(record));
    }
  }
  return 1;
}

int CQUpdateUtilRegistry::SetStringValue(uint32_t root, std::string_view keyPath, std::string_view name,
                                         std::string_view text) const {
  if (root >= platform::kRootCount) return 0;
  RegistryKey key;
  if (RegistryKey::Open(root, keyPath, RegAccess::kAll, key) != RegStatus::kOk &&
      RegistryKey::Create(root, keyPath, key) != RegStatus::kOk) {
    return 0;
  }
  return key.SetString(name, text) == RegStatus::kOk ? 1 : 0;
}

int CQUpdateUtilRegistry::SetDwordValueFromText(uint32_t root, std::string_view keyPath, std::string_view name,
                                                std::string_view text) const {
  if (root >= platform::kRootCount) return 0;
  RegistryKey key;
  if (RegistryKey::Open(root, keyPath, RegAccess::kAll, key) != RegStatus::kOk) return 0;
  return key.SetDword(name, ParseLeadingNumber(text)) == RegStatus::kOk ? 1 : 0;
}

int CQUpdateUtilRegistry::SetBinaryValue(uint32_t root, std::string_view keyPath, std::string_view name,
                                         uint32_t value) const {
  if (root >= platform::kRootCount) return 0;
  RegistryKey key;
  if (RegistryKey::Open(root, keyPath, RegAccess::kAll, key) != RegStatus::kOk) return 0;
  RegValue binary = RegValue::Dword(value);
  binary.type = platform::kRegBinary;
  return key.Set(name, binary) == RegStatus::kOk ? 1 : 0;
}

int CQUpdateUtilRegistry::DeleteValue(uint32_t root, std::string_view keyPath, std::string_view name) const {
  if (root >= platform::kRootCount) return 0;
  RegistryKey key;
  if (RegistryKey::Open(root, keyPath, RegAccess::kAll, key) != RegStatus::kOk) return 0;
  key.DeleteValue(name);
  return 1;
}

uint32_t CQUpdateUtilRegistry::ParseLeadingNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10u + static_cast<uint32_t>(text[i] - '0');
  }
  return negative ? 0u - value : value;
}

}  // namespace qrv
