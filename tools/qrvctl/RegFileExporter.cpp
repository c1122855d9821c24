#include "tools/qrvctl/RegFileExporter.h"

#include <cstdio>

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

bool ExportKey(const RegistryKey& key, std::string& text, std::string& error) {
  text += "[" + RegKeyName::LongForm(key.Root(), key.Path()) + "]\r\n";
  std::string name;
  RegValue value;
  RegStatus status;
  uint32_t i = 0;
  for (; (status = key.EnumValue(i, name, value)) == RegStatus::kOk; ++i) {
    std::string line = name.empty() ? "@=" : Quoted(name) + "=";
    switch (value.type) {
      case platform::kRegSz:
        line += Quoted(value.AsString());
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
