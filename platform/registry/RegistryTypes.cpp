#include "platform/registry/RegistryTypes.h"

#include <array>
#include <cctype>

namespace qrv::platform {
namespace {

struct RootNames {
  std::string_view shortName;
  std::string_view longName;
};

constexpr std::array<RootNames, kRootCount> kRootNames{{
    {"HKCR", "HKEY_CLASSES_ROOT"},
    {"HKCU", "HKEY_CURRENT_USER"},
    {"HKLM", "HKEY_LOCAL_MACHINE"},
    {"HKU", "HKEY_USERS"},
    {"HKCC", "HKEY_CURRENT_CONFIG"},
}};

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string RegValue::AsString() const {
  std::string text(data.begin(), data.end());
  size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

std::optional<uint32_t> RegValue::AsDword() const {
  if (data.size() < 4) return std::nullopt;
  return static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
         (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
}

RegValue RegValue::String(std::string_view text) {
  return RegValue{kRegSz, std::vector<uint8_t>(text.begin(), text.end())};
}

RegValue RegValue::Dword(uint32_t value) {
  return RegValue{kRegDword,
                  {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                   static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)}};
}

RegValue RegValue::Binary(std::vector<uint8_t> bytes) { return RegValue{kRegBinary, std::move(bytes)}; }

std::string_view RegRootShortName(uint32_t root) {
  return root < kRootCount ? kRootNames[root].shortName : std::string_view("?");
}

std::string_view RegRootLongName(uint32_t root) {
  return root < kRootCount ? kRootNames[root].longName : std::string_view("?");
}

uint32_t RegRootFromName(std::string_view name) {
  for (uint32_t i = 0; i < kRootCount; ++i) {
    if (EqualNoCase(name, kRootNames[i].shortName) || EqualNoCase(name, kRootNames[i].longName)) return i;
  }
  return kRootCount;
}

bool RegNameIsValid(std::string_view name, std::string* why) {
  auto quoted = [&] {
    constexpr size_t kShown = 60;
    std::string shown(name.substr(0, kShown));
    if (name.size() > kShown) shown += "...";
    return "\"" + shown + "\"";
  };
  if (name.find('\0') != std::string_view::npos) {
    if (why != nullptr) *why = "name " + quoted() + " contains a NUL character";
    return false;
  }
  size_t chars = 0;
  for (unsigned char c : name) {
    if ((c & 0xC0) != 0x80) ++chars;
  }
  if (chars > kRegMaxNameChars) {
    if (why != nullptr) {
      *why = "name " + quoted() + " has " + std::to_string(chars) + " characters; at most " +
             std::to_string(kRegMaxNameChars) + " are allowed";
    }
    return false;
  }
  return true;
}

std::string_view RegStatusText(RegStatus status) {
  switch (status) {
    case RegStatus::kOk: return "ok";
    case RegStatus::kNotFound: return "not found";
    case RegStatus::kNoMoreItems: return "no more items";
    case RegStatus::kAccessDenied: return "access denied";
    case RegStatus::kInvalidArgument: return "invalid argument";
    case RegStatus::kStoreError: return "store error";
  }
  return "unknown status";
}

}  // namespace qrv::platform
