#include "tools/qrvctl/RegFileExporter.h"

#include <cstdio>

#include "platform/core/DisplayText.h"
#include "platform/core/LastError.h"
#include "platform/registry/RegistryKey.h"
#include "tools/qrvctl/RegKeyName.h"

namespace qrv::tools {
namespace {

using platform::RegAccess;
using platform::RegistryKey;
using platform::RegStatus;
using platform::RegValue;

constexpr size_t kLineWidth = 76;

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// hex:01,02,... wrapped the way the registry editor wraps long values.
std::string HexData(const std::string& prefix, const std::vector<uint8_t>& data) {
  std::string out = prefix;
  size_t column = out.size();
  for (size_t i = 0; i < data.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    out += byte;
    column += 2;
    if (i + 1 < data.size()) {
      out += ',';
      ++column;
      if (column >= kLineWidth) {
        out += "\\\r\n  ";
        column = 2;
      }
    }
  }
  return out;
}

// Whether string data can be written between quotes and read back the same:
// no NUL (a quoted string ends there), no line end (the file is read line by
// line) and, so that the file can be shown on a terminal as it is, nothing
// else that would have to be escaped there either.
bool IsPlainText(const std::vector<uint8_t>& data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  return text.find('\0') == std::string_view::npos && !platform::DisplayText::NeedsEscape(text);
}

// A key or value name holding a line end cannot be written to the file: a
// name has no other form there, and the line end would end its line.
bool CheckName(const char* what, const std::string& name, const RegistryKey& key, std::string& error) {
  if (name.find_first_of("\r\n") == std::string::npos) return true;
  error = "cannot export " + RegKeyName::LongForm(key.Root(), key.Path()) + ": its " + what + " \"" +
          platform::DisplayText::Escape(name) + "\" holds a line end, which a registry file cannot hold";
  return false;
}

bool ExportKey(const RegistryKey& key, std::string& text, std::string& error) {
  if (!CheckName("path", key.Path(), key, error)) return false;
  text += "[" + RegKeyName::LongForm(key.Root(), key.Path()) + "]\r\n";
  std::string name;
  RegValue value;
  RegStatus status;
  uint32_t i = 0;
  for (; (status = key.EnumValue(i, name, value)) == RegStatus::kOk; ++i) {
    if (!CheckName("value name", name, key, error)) return false;
    std::string line = name.empty() ? "@=" : Quoted(name) + "=";
    switch (value.type) {
      case platform::kRegSz:
        if (IsPlainText(value.data)) {
          line += Quoted(value.AsString());
        } else {
          // hex(1): the string's bytes as they are stored
          line = HexData(line + "hex(1):", value.data);
        }
        break;
      case platform::kRegDword: {
        char number[16];
        std::snprintf(number, sizeof number, "dword:%08x", value.AsDword().value_or(0));
        line += number;
        break;
      }
      default:
        line = HexData(line + "hex:", value.data);
        break;
    }
    text += line + "\r\n";
  }
  if (status != RegStatus::kNoMoreItems) {
    error = platform::LastError::Text();
    return false;
  }
  text += "\r\n";
  for (i = 0; (status = key.EnumSubKey(i, name)) == RegStatus::kOk; ++i) {
    RegistryKey sub;
    if (key.OpenSubKey(name, RegAccess::kRead, sub) != RegStatus::kOk) {
      error = platform::LastError::Text();
      return false;
    }
    if (!ExportKey(sub, text, error)) return false;
  }
  if (status != RegStatus::kNoMoreItems) {
    error = platform::LastError::Text();
    return false;
  }
  return true;
}

}  // namespace

bool RegFileExporter::Export(uint32_t root, const std::string& path, std::string& text, std::string& error) {
  RegistryKey key;
  if (RegistryKey::Open(root, path, RegAccess::kRead, key) != RegStatus::kOk) {
    error = platform::LastError::Text();
    return false;
  }
  text = "REGEDIT4\r\n\r\n";
  return ExportKey(key, text, error);
}

}  // namespace qrv::tools
