#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qrv::platform {

// Outcome of a registry call. Reads of a missing, unreadable or damaged store
// give kNotFound (a diagnostic is reported for the last two), so callers that
// treat "missing" as "use the default" need no special case.
enum class RegStatus {
  kOk,
  kNotFound,         // key, value or store file missing, unreadable or damaged
  kNoMoreItems,      // enumeration index past the last item
  kAccessDenied,     // write through a read-only handle; store file not writable
  kInvalidArgument,  // root index not 0..4, bad path, name over 255 characters, closed handle
  kStoreError,       // the store could not carry out a write (disk full, busy too long, damaged)
};

// How a key is opened. kRead handles refuse every write.
enum class RegAccess { kRead, kAll };

// Value types, with the numbers the Windows registry uses for them (they appear
// in exported .reg files and in stored data moved between installations).
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;

// Root indexes: 0 HKEY_CLASSES_ROOT, 1 HKEY_CURRENT_USER, 2 HKEY_LOCAL_MACHINE,
// 3 HKEY_USERS, 4 HKEY_CURRENT_CONFIG. Any other index selects no root.
inline constexpr uint32_t kRootClassesRoot = 0;
inline constexpr uint32_t kRootCurrentUser = 1;
inline constexpr uint32_t kRootLocalMachine = 2;
inline constexpr uint32_t kRootUsers = 3;
inline constexpr uint32_t kRootCurrentConfig = 4;
inline constexpr uint32_t kRootCount = 5;

// Longest key or value name, in characters.
inline constexpr size_t kRegMaxNameChars = 255;

struct RegValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;

  // REG_SZ data as text, up to the first NUL (data need not hold one).
  std::string AsString() const;
  // REG_DWORD data as a number: the first four bytes, little-endian; nothing
  // when the data is shorter.
  std::optional<uint32_t> AsDword() const;

  static RegValue String(std::string_view text);  // stored without a terminator
  static RegValue Dword(uint32_t value);          // four bytes, little-endian
  static RegValue Binary(std::vector<uint8_t> bytes);
};

// The short and long names of a root ("HKLM", "HKEY_LOCAL_MACHINE") and the
// reverse lookup, which accepts either spelling without case. Returns
// kRootCount when the text names no root.
std::string_view RegRootShortName(uint32_t root);
std::string_view RegRootLongName(uint32_t root);
uint32_t RegRootFromName(std::string_view name);

// Whether name can name a key or value: no NUL and at most kRegMaxNameChars
// characters (UTF-8 characters, not bytes). Otherwise false, with the reason
// (naming the actual name and length) in why when given. Key names must also
// not contain '\\'; that is the caller's to check.
bool RegNameIsValid(std::string_view name, std::string* why = nullptr);

// A readable name for a status, for messages ("not found").
std::string_view RegStatusText(RegStatus status);

}  // namespace qrv::platform
