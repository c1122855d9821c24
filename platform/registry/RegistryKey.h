#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/RegistryTypes.h"

namespace qrv::platform {

class RegistryStore;

// An open registry key: the handle of the registry API, over the SQLite store
// of its root (one file per root below the system root).
//
// Paths are key names joined with '\' ("SOFTWARE\QRV\Shared"); an empty path
// names the root itself, one trailing '\' is ignored, and a leading '\' or an
// empty component ("A\\B") is kInvalidArgument. Key and value names compare
// without regard to ASCII case and keep the case they were created with.
// Subkeys and values enumerate in ascending order of their upper-cased names.
//
// Every write is one transaction and is on disk when the call returns. Other
// processes may read and write the same store at once; a writer that finds the
// store locked waits (several seconds) instead of failing.
//
// On failure every call leaves a text with the actual values in LastError.
//
// Thread: a handle belongs to the thread that opened it. Handles on different
// threads may use the same store at once. Move-only; closes on destruction.
class RegistryKey {
 public:
  RegistryKey();
  ~RegistryKey();
  RegistryKey(RegistryKey&& other) noexcept;
  RegistryKey& operator=(RegistryKey&& other) noexcept;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // Opens an existing key. Never creates the store file or any key.
  static RegStatus Open(uint32_t root, std::string_view path, RegAccess access, RegistryKey& out);
  // Opens the key with full access, creating it and every missing key above
  // it (and the store file) first.
  static RegStatus Create(uint32_t root, std::string_view path, RegistryKey& out);

  // Opens or creates a key below this one; same path rules as above.
  RegStatus OpenSubKey(std::string_view path, RegAccess access, RegistryKey& out) const;
  RegStatus CreateSubKey(std::string_view path, RegistryKey& out) const;

  // Reads a value; the empty name is the key's default value.
  RegStatus Query(std::string_view name, RegValue& out) const;
  // Writes (creates or replaces) a value.
  RegStatus Set(std::string_view name, const RegValue& value);
  RegStatus SetString(std::string_view name, std::string_view text);
  RegStatus SetDword(std::string_view name, uint32_t value);
  // kNotFound when the value does not exist.
  RegStatus DeleteValue(std::string_view name);

  // The index-th subkey (from 0) / value; kNoMoreItems past the last one.
  RegStatus EnumSubKey(uint32_t index, std::string& name) const;
  RegStatus EnumValue(uint32_t index, std::string& name, RegValue& value) const;

  // Deletes the subkey at path (below this key) with everything below it.
  RegStatus DeleteSubKeyTree(std::string_view path);

  // The checks the calls above make of their arguments, for a caller that
  // must know a whole batch of writes will pass them before making the first
  // (see RegistryTransaction): a key path (the path rules above, each name at
  // most kRegMaxNameChars characters); a value name; a value name and value
  // (REG_SZ, REG_DWORD of 4 bytes or REG_BINARY, at most 1 MiB). kOk, or
  // kInvalidArgument with the reason, naming the actual name or size, in
  // LastError.
  static RegStatus CheckPath(std::string_view path);
  static RegStatus CheckValueName(std::string_view name);
  static RegStatus CheckValue(std::string_view name, const RegValue& value);

  // The key names of path as the store looks the key up: split at '\' only
  // ('/' is an ordinary character of a name), one trailing '\' dropped, each
  // name upper-cased in ASCII (the store's comparison). Two paths name the
  // same key exactly when their lists are equal. For callers that must
  // recognise a key however it is spelt. kInvalidArgument, with the reason in
  // LastError and names emptied, for a path the calls above refuse.
  static RegStatus LookupNames(std::string_view path, std::vector<std::string>& names);

  void Close();
  bool IsOpen() const;
  uint32_t Root() const { return m_root; }
  // The key's path from its root, in the case it was created with.
  const std::string& Path() const { return m_path; }

 private:
  RegStatus CheckOpen(bool write) const;

  std::shared_ptr<RegistryStore> m_store;
  int64_t m_id = 0;  // row id of the key in its store; 0 when closed
  uint32_t m_root = kRootCount;
  RegAccess m_access = RegAccess::kRead;
  std::string m_path;
};

}  // namespace qrv::platform
