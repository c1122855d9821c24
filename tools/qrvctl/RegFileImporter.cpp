#include "tools/qrvctl/RegFileImporter.h"

#include <cctype>
#include <set>

#include "platform/core/LastError.h"
#include "platform/profile/ProfileEncoding.h"
#include "platform/registry/RegistryKey.h"
#include "platform/registry/RegistryTransaction.h"
#include "tools/qrvctl/RegKeyName.h"

namespace qrv::tools {
namespace {

using platform::RegistryKey;
using platform::RegStatus;
using platform::RegValue;

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

// Reads a quoted string starting at s[pos] == '"'; pos ends after the closing quote.
bool ReadQuoted(const std::string& s, size_t& pos, std::string& out) {
  out.clear();
  for (++pos; pos < s.size(); ++pos) {
    char c = s[pos];
    if (c == '\\' && pos + 1 < s.size()) {
      out += s[++pos];
    } else if (c == '"') {
      ++pos;
      return true;
    } else {
      out += c;
    }
  }
  return false;
}

bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& bytes) {
  bytes.clear();
  std::string digits;
  auto flush = [&]() {
    if (digits.empty()) return true;
    if (digits.size() > 2) return false;
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
    digits.clear();
    return true;
  };
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits += c;
    } else if (c == ',') {
      if (digits.empty() || !flush()) return false;
    } else if (!std::isspace(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return flush();
}

}  // namespace

bool RegFileImporter::Parse(const std::string& fileName, const std::string& raw, std::vector<Operation>& operations,
                            std::string& error) {
  operations.clear();
  // Registry editors save UTF-16 with a byte-order mark, older ones plain
  // bytes; the profile-file decoder knows both.
  std::string text;
  platform::ProfileEncoding::Detect(raw, text);
  std::vector<std::string> lines = SplitLines(text);

  size_t n = 0;
  auto fail = [&](size_t lineNo, const std::string& why) {
    error = fileName + ":" + std::to_string(lineNo) + ": " + why;
    return false;
  };
  while (n < lines.size() && Trim(lines[n]).empty()) ++n;
  if (n == lines.size()) return fail(1, "empty file; expected a REGEDIT4 header");
  std::string header = Trim(lines[n]);
  if (header != "REGEDIT4" && header != "Windows Registry Editor Version 5.00") {
    return fail(n + 1, "not a registry file (first line \"" + header.substr(0, 60) + "\", expected REGEDIT4)");
  }
  // version 5.00 files hold hex(1) strings in UTF-16, REGEDIT4 files as bytes
  const bool unicode = header != "REGEDIT4";
  ++n;

  bool haveKey = false;
  uint32_t root = 0;
  std::string path;
  for (; n < lines.size(); ++n) {
    size_t lineNo = n + 1;
    std::string line = Trim(lines[n]);
    if (line.empty() || line[0] == ';') continue;

    if (line[0] == '[') {
      if (line.back() != ']') return fail(lineNo, "key line without closing ']'");
      std::string name = line.substr(1, line.size() - 2);
      bool remove = !name.empty() && name[0] == '-';
      if (remove) name.erase(0, 1);
      std::string why;
      if (!RegKeyName::Parse(name, root, path, why)) return fail(lineNo, why);
      if (remove) {
        if (path.empty()) return fail(lineNo, "a whole root cannot be deleted");
        operations.push_back({Operation::Kind::kDeleteKey, root, path, {}, {}});
        haveKey = false;
      } else {
        operations.push_back({Operation::Kind::kCreateKey, root, path, {}, {}});
        haveKey = true;
      }
      continue;
    }

    // a value line: name, '=', data (hex data may continue on the next lines)
    if (!haveKey) return fail(lineNo, "value line before any [key] line");
    std::string valueName;
    size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (line[0] == '"') {
      if (!ReadQuoted(line, pos, valueName)) return fail(lineNo, "value name without closing quote");
    } else {
      return fail(lineNo, "expected \"name\"=value, @=value or [key]");
    }
    while (pos < line.size() && line[pos] == ' ') ++pos;
    if (pos >= line.size() || line[pos] != '=') return fail(lineNo, "missing '=' after the value name");
    std::string data = Trim(std::string_view(line).substr(pos + 1));

    Operation op{Operation::Kind::kSetValue, root, path, valueName, {}};
    if (data == "-") {
      op.kind = Operation::Kind::kDeleteValue;
    } else if (!data.empty() && data[0] == '"') {
      size_t p = 0;
      std::string value;
      if (!ReadQuoted(data, p, value) || Trim(std::string_view(data).substr(p)) != "") {
        return fail(lineNo, "string value without closing quote");
      }
      op.value = RegValue::String(value);
    } else if (data.rfind("dword:", 0) == 0) {
      std::string digits = data.substr(6);
      if (digits.empty() || digits.size() > 8 ||
          digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return fail(lineNo, "bad dword value \"" + digits + "\" (expected up to 8 hex digits)");
      }
      op.value = RegValue::Dword(static_cast<uint32_t>(std::stoul(digits, nullptr, 16)));
    } else if (data.rfind("hex", 0) == 0) {
      uint32_t type = platform::kRegBinary;
      size_t colon = data.find(':');
      if (colon == std::string::npos) return fail(lineNo, "hex value without ':'");
      std::string kind = data.substr(0, colon);
      if (kind != "hex") {
        if (kind.size() < 6 || kind.compare(0, 4, "hex(") != 0 || kind.back() != ')') {
          return fail(lineNo, "unknown value kind \"" + kind + "\"");
        }
        std::string typeText = kind.substr(4, kind.size() - 5);
        if (typeText.empty() || typeText.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
          return fail(lineNo, "unknown value kind \"" + kind + "\"");
        }
        type = static_cast<uint32_t>(std::stoul(typeText, nullptr, 16));
      }
      std::string bytesText = data.substr(colon + 1);
      // continuation lines
      while (!bytesText.empty() && bytesText.back() == '\\') {
        bytesText.pop_back();
        if (++n >= lines.size()) return fail(lineNo, "hex value continues past the end of the file");
        bytesText += Trim(lines[n]);
      }
      std::vector<uint8_t> bytes;
      if (!ParseHexBytes(bytesText, bytes)) return fail(lineNo, "bad hex bytes in value \"" + valueName + "\"");
      if (type == platform::kRegBinary) {
        op.value = RegValue::Binary(std::move(bytes));
      } else if (type == platform::kRegSz && !unicode) {
        // a string's bytes as stored (RegFileExporter writes strings that
        // cannot stand between quotes this way)
        op.value = RegValue{platform::kRegSz, std::move(bytes)};
      } else if (type == platform::kRegSz) {
        return fail(lineNo, "value \"" + valueName + "\" has type hex(1) in a version 5.00 file, whose hex(1) "
                            "data is UTF-16 text; this tool reads hex(1) only in REGEDIT4 files");
      } else if (type == platform::kRegDword && bytes.size() == 4) {
        op.value = RegValue{platform::kRegDword, std::move(bytes)};
      } else {
        return fail(lineNo, "value \"" + valueName + "\" has type " + kind +
                                ", which this store cannot hold (REG_SZ, REG_DWORD and REG_BINARY only)");
      }
    } else {
      return fail(lineNo, "unrecognised value data \"" + data.substr(0, 40) + "\"");
    }
    operations.push_back(std::move(op));
  }
  return true;
}

bool RegFileImporter::Check(const std::vector<Operation>& operations, std::string& error) {
  for (const Operation& op : operations) {
    RegStatus status = RegistryKey::CheckPath(op.path);
    if (status == RegStatus::kOk && op.kind == Operation::Kind::kSetValue) {
      status = RegistryKey::CheckValue(op.name, op.value);
    } else if (status == RegStatus::kOk && op.kind == Operation::Kind::kDeleteValue) {
      status = RegistryKey::CheckValueName(op.name);
    }
    if (status != RegStatus::kOk) {
      error = RegKeyName::LongForm(op.root, op.path) + ": " + platform::LastError::Text();
      return false;
    }
  }
  return true;
}

bool RegFileImporter::Apply(const std::vector<Operation>& operations, std::string& error) {
  if (!Check(operations, error)) return false;

  /* one transaction per store named, in root order */
  std::set<uint32_t> roots;
  for (const Operation& op : operations) roots.insert(op.root);
  platform::RegistryTransaction transaction;
  for (uint32_t root : roots) {
    if (transaction.Begin(root) != RegStatus::kOk) {
      error = RegKeyName::LongForm(root, "") + ": " + platform::LastError::Text();
      return false;
    }
  }

  /* every operation, in file order */
  for (const Operation& op : operations) {
    RegistryKey key;
    RegStatus status = RegStatus::kOk;
    switch (op.kind) {
      case Operation::Kind::kCreateKey:
        status = RegistryKey::Create(op.root, op.path, key);
        break;
      case Operation::Kind::kDeleteKey: {
        std::string path = op.path;
        if (!path.empty() && path.back() == '\\') path.pop_back();
        size_t slash = path.rfind('\\');
        std::string parent = slash == std::string::npos ? std::string() : path.substr(0, slash);
        std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
        status = RegistryKey::Open(op.root, parent, platform::RegAccess::kAll, key);
        if (status == RegStatus::kOk) status = key.DeleteSubKeyTree(leaf);
        if (status == RegStatus::kNotFound) status = RegStatus::kOk;
        break;
      }
      case Operation::Kind::kSetValue:
        status = RegistryKey::Create(op.root, op.path, key);
        if (status == RegStatus::kOk) status = key.Set(op.name, op.value);
        break;
      case Operation::Kind::kDeleteValue:
        status = RegistryKey::Open(op.root, op.path, platform::RegAccess::kAll, key);
        if (status == RegStatus::kOk) status = key.DeleteValue(op.name);
        if (status == RegStatus::kNotFound) status = RegStatus::kOk;
        break;
    }
    if (status != RegStatus::kOk) {
      error = RegKeyName::LongForm(op.root, op.path) + ": " + platform::LastError::Text();
      transaction.Rollback();
      return false;
    }
  }
  if (transaction.Commit() != RegStatus::kOk) {
    error = platform::LastError::Text();
    return false;
  }
  return true;
}

}  // namespace qrv::tools
