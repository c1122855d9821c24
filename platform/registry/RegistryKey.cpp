#include "platform/registry/RegistryKey.h"

#include <utility>
#include <vector>

#include "platform/core/LastError.h"
#include "platform/registry/RegistryStore.h"

namespace qrv::platform {
namespace {

// Windows keeps values to the size of available memory; a bound here keeps a
// runaway caller from filling the store with one value.
constexpr size_t kMaxValueBytes = 1024 * 1024;

std::string Quote(std::string_view text) {
  constexpr size_t kShown = 60;
  std::string shown(text.substr(0, kShown));
  if (text.size() > kShown) shown += "...";
  return "\"" + shown + "\"";
}

RegStatus CheckName(std::string_view name, const char* what) {
  std::string why;
  if (!RegNameIsValid(name, &why)) {
    LastError::Set(std::string(what) + " " + why);
    return RegStatus::kInvalidArgument;
  }
  return RegStatus::kOk;
}

// Splits "A\B\C" into its names. One trailing '\' is accepted, as the
// system's registry API does; a leading '\' or an empty name is not.
RegStatus SplitPath(std::string_view path, std::vector<std::string_view>& names) {
  names.clear();
  if (path.empty()) return RegStatus::kOk;
  if (path.front() == '\\') {
    LastError::Set("key path " + Quote(path) + " starts with a backslash");
    return RegStatus::kInvalidArgument;
  }
  if (path.back() == '\\') path.remove_suffix(1);
  size_t start = 0;
  while (true) {
    size_t end = path.find('\\', start);
    std::string_view name = path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (name.empty()) {
      LastError::Set("key path " + Quote(path) + " has an empty key name");
      return RegStatus::kInvalidArgument;
    }
    if (RegStatus s = CheckName(name, "key"); s != RegStatus::kOk) return s;
    names.push_back(name);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return RegStatus::kOk;
}

std::string JoinPath(std::string_view base, std::string_view path) {
  if (path.empty()) return std::string(base);
  if (base.empty()) return std::string(path);
  return std::string(base) + "\\" + std::string(path);
}

std::string FullName(uint32_t root, std::string_view path) {
  std::string name(RegRootShortName(root));
  if (!path.empty()) {
    name += '\\';
    name += path;
  }
  return name;
}

std::string UpperAscii(std::string_view text) {
  std::string up(text);
  for (char& c : up) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return up;
}

// Finds the key at basePath\names with one lookup of its whole path. When it
// is missing, the message names the first key on the way that is missing.
RegStatus Find(RegistryStore& store, uint32_t root, const std::string& basePath,
               const std::vector<std::string_view>& names, int64_t& id, std::string& path) {
  std::string full = basePath;
  for (std::string_view name : names) {
    if (!full.empty()) full += '\\';
    full += name;
  }
  RegStatus s = store.FindKey(UpperAscii(full), id, path);
  if (s != RegStatus::kNotFound || LastError::Text().find("damaged") != std::string::npos) return s;
  std::string missing = basePath;
  std::string ignored;
  int64_t ignoredId = 0;
  for (std::string_view name : names) {
    missing = JoinPath(missing, name);
    if (store.FindKey(UpperAscii(missing), ignoredId, ignored) != RegStatus::kOk) break;
  }
  LastError::Set("key " + FullName(root, missing) + " does not exist");
  return s;
}

}  // namespace

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() = default;

RegistryKey::RegistryKey(RegistryKey&& other) noexcept
    : m_store(std::move(other.m_store)),
      m_id(std::exchange(other.m_id, 0)),
      m_root(std::exchange(other.m_root, kRootCount)),
      m_access(other.m_access),
      m_path(std::move(other.m_path)) {}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
  if (this != &other) {
    m_store = std::move(other.m_store);
    m_id = std::exchange(other.m_id, 0);
    m_root = std::exchange(other.m_root, kRootCount);
    m_access = other.m_access;
    m_path = std::move(other.m_path);
  }
  return *this;
}

RegStatus RegistryKey::Open(uint32_t root, std::string_view path, RegAccess access, RegistryKey& out) {
  out.Close();
  std::vector<std::string_view> names;
  if (RegStatus s = SplitPath(path, names); s != RegStatus::kOk) return s;
  std::shared_ptr<RegistryStore> store;
  if (RegStatus s = RegistryStore::Acquire(root, false, store); s != RegStatus::kOk) {
    if (s == RegStatus::kNotFound && LastError::Text().find("does not exist") != std::string::npos) {
      LastError::Set("key " + FullName(root, path) + " does not exist (no store " +
                     RegistryStore::FileFor(root).string() + ")");
    }
    return s;
  }
  int64_t id = 0;
  std::string found;
  if (RegStatus s = Find(*store, root, "", names, id, found); s != RegStatus::kOk) return s;
  out.m_store = std::move(store);
  out.m_id = id;
  out.m_root = root;
  out.m_access = access;
  out.m_path = std::move(found);
  return RegStatus::kOk;
}

RegStatus RegistryKey::Create(uint32_t root, std::string_view path, RegistryKey& out) {
  out.Close();
  std::vector<std::string_view> names;
  if (RegStatus s = SplitPath(path, names); s != RegStatus::kOk) return s;
  std::shared_ptr<RegistryStore> store;
  if (RegStatus s = RegistryStore::Acquire(root, true, store); s != RegStatus::kOk) return s;
  int64_t id = RegistryStore::kRootKeyId;
  std::string found;
  if (!names.empty()) {
    if (RegStatus s = store->CreatePath(RegistryStore::kRootKeyId, names, id, found); s != RegStatus::kOk) return s;
  }
  out.m_store = std::move(store);
  out.m_id = id;
  out.m_root = root;
  out.m_access = RegAccess::kAll;
  out.m_path = std::move(found);
  return RegStatus::kOk;
}

RegStatus RegistryKey::OpenSubKey(std::string_view path, RegAccess access, RegistryKey& out) const {
  if (&out == this) {
    LastError::Set("a key cannot be opened into its own handle");
    return RegStatus::kInvalidArgument;
  }
  out.Close();
  if (RegStatus s = CheckOpen(false); s != RegStatus::kOk) return s;
  std::vector<std::string_view> names;
  if (RegStatus s = SplitPath(path, names); s != RegStatus::kOk) return s;
  int64_t id = 0;
  std::string found;
  if (RegStatus s = Find(*m_store, m_root, m_path, names, id, found); s != RegStatus::kOk) return s;
  out.m_store = m_store;
  out.m_id = id;
  out.m_root = m_root;
  out.m_access = access;
  out.m_path = std::move(found);
  return RegStatus::kOk;
}

RegStatus RegistryKey::CreateSubKey(std::string_view path, RegistryKey& out) const {
  if (&out == this) {
    LastError::Set("a key cannot be opened into its own handle");
    return RegStatus::kInvalidArgument;
  }
  out.Close();
  if (RegStatus s = CheckOpen(true); s != RegStatus::kOk) return s;
  std::vector<std::string_view> names;
  if (RegStatus s = SplitPath(path, names); s != RegStatus::kOk) return s;
  int64_t id = m_id;
  std::string found = m_path;
  if (!names.empty()) {
    if (RegStatus s = m_store->CreatePath(m_id, names, id, found); s != RegStatus::kOk) return s;
  }
  out.m_store = m_store;
  out.m_id = id;
  out.m_root = m_root;
  out.m_access = RegAccess::kAll;
  out.m_path = std::move(found);
  return RegStatus::kOk;
}

RegStatus RegistryKey::CheckOpen(bool write) const {
  if (m_store == nullptr || m_id == 0) {
    LastError::Set("registry key handle is not open");
    return RegStatus::kInvalidArgument;
  }
  if (write && m_access != RegAccess::kAll) {
    LastError::Set("key " + FullName(m_root, m_path) + " was opened for reading only");
    return RegStatus::kAccessDenied;
  }
  return RegStatus::kOk;
}

RegStatus RegistryKey::Query(std::string_view name, RegValue& out) const {
  if (RegStatus s = CheckOpen(false); s != RegStatus::kOk) return s;
  if (RegStatus s = CheckName(name, "value"); s != RegStatus::kOk) return s;
  RegStatus s = m_store->QueryValue(m_id, name, out);
  if (s == RegStatus::kNotFound && LastError::Text().find("damaged") == std::string::npos) {
    LastError::Set("value " + Quote(name) + " does not exist in key " + FullName(m_root, m_path));
  }
  return s;
}

RegStatus RegistryKey::Set(std::string_view name, const RegValue& value) {
  if (RegStatus s = CheckOpen(true); s != RegStatus::kOk) return s;
  if (RegStatus s = CheckValue(name, value); s != RegStatus::kOk) return s;
  return m_store->SetValue(m_id, name, value);
}

RegStatus RegistryKey::CheckPath(std::string_view path) {
  std::vector<std::string_view> names;
  return SplitPath(path, names);
}

RegStatus RegistryKey::LookupNames(std::string_view path, std::vector<std::string>& names) {
  names.clear();
  std::vector<std::string_view> parts;
  if (RegStatus s = SplitPath(path, parts); s != RegStatus::kOk) return s;
  for (std::string_view part : parts) names.push_back(UpperAscii(part));
  return RegStatus::kOk;
}

RegStatus RegistryKey::CheckValueName(std::string_view name) { return CheckName(name, "value"); }

RegStatus RegistryKey::CheckValue(std::string_view name, const RegValue& value) {
  if (RegStatus s = CheckName(name, "value"); s != RegStatus::kOk) return s;
  if (value.type != kRegSz && value.type != kRegDword && value.type != kRegBinary) {
    LastError::Set("value type " + std::to_string(value.type) + " is not supported (REG_SZ, REG_DWORD, REG_BINARY)");
    return RegStatus::kInvalidArgument;
  }
  if (value.type == kRegDword && value.data.size() != 4) {
    LastError::Set("a REG_DWORD value needs 4 bytes, not " + std::to_string(value.data.size()));
    return RegStatus::kInvalidArgument;
  }
  if (value.data.size() > kMaxValueBytes) {
    LastError::Set("value " + Quote(name) + " has " + std::to_string(value.data.size()) + " bytes; at most " +
                   std::to_string(kMaxValueBytes) + " are allowed");
    return RegStatus::kInvalidArgument;
  }
  return RegStatus::kOk;
}

RegStatus RegistryKey::SetString(std::string_view name, std::string_view text) {
  return Set(name, RegValue::String(text));
}

RegStatus RegistryKey::SetDword(std::string_view name, uint32_t value) { return Set(name, RegValue::Dword(value)); }

RegStatus RegistryKey::DeleteValue(std::string_view name) {
  if (RegStatus s = CheckOpen(true); s != RegStatus::kOk) return s;
  if (RegStatus s = CheckName(name, "value"); s != RegStatus::kOk) return s;
  RegStatus s = m_store->DeleteValue(m_id, name);
  if (s == RegStatus::kNotFound) {
    LastError::Set("value " + Quote(name) + " does not exist in key " + FullName(m_root, m_path));
  }
  return s;
}

RegStatus RegistryKey::EnumSubKey(uint32_t index, std::string& name) const {
  if (RegStatus s = CheckOpen(false); s != RegStatus::kOk) return s;
  return m_store->EnumChild(m_id, index, name);
}

RegStatus RegistryKey::EnumValue(uint32_t index, std::string& name, RegValue& value) const {
  if (RegStatus s = CheckOpen(false); s != RegStatus::kOk) return s;
  return m_store->EnumValue(m_id, index, name, value);
}

RegStatus RegistryKey::DeleteSubKeyTree(std::string_view path) {
  if (RegStatus s = CheckOpen(true); s != RegStatus::kOk) return s;
  std::vector<std::string_view> names;
  if (RegStatus s = SplitPath(path, names); s != RegStatus::kOk) return s;
  if (names.empty()) {
    LastError::Set("no subkey named to delete below " + FullName(m_root, m_path));
    return RegStatus::kInvalidArgument;
  }
  int64_t id = 0;
  std::string found;
  if (RegStatus s = Find(*m_store, m_root, m_path, names, id, found); s != RegStatus::kOk) return s;
  return m_store->DeleteTree(id);
}

void RegistryKey::Close() {
  m_store.reset();
  m_id = 0;
  m_root = kRootCount;
  m_path.clear();
}

bool RegistryKey::IsOpen() const { return m_store != nullptr && m_id != 0; }

}  // namespace qrv::platform
