#include "tools/qrvctl/RegCommand.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/core/AtomicFileWriter.h"
#include "platform/core/LastError.h"
#include "platform/registry/RegistryKey.h"
#include "tools/qrvctl/CommandOutput.h"
#include "tools/qrvctl/RegFileExporter.h"
#include "tools/qrvctl/RegFileImporter.h"
#include "tools/qrvctl/RegKeyName.h"

namespace qrv::tools {
namespace {

using platform::LastError;
using platform::RegAccess;
using platform::RegistryKey;
using platform::RegStatus;
using platform::RegValue;

// NAME, TYPE and DATA on one line; CommandOutput::Fields escapes control
// characters, so a stored value can neither split the line nor act on the
// administrator's terminal.
void PrintValue(const std::string& name, const RegValue& value) {
  switch (value.type) {
    case platform::kRegSz:
      CommandOutput::Fields({name, "REG_SZ", value.AsString()});
      return;
    case platform::kRegDword:
      CommandOutput::Fields({name, "REG_DWORD", std::to_string(value.AsDword().value_or(0))});
      return;
    default: {
      std::string hex;
      char digits[3];
      for (uint8_t b : value.data) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        hex += digits;
      }
      CommandOutput::Fields({name, "REG_BINARY", hex});
      return;
    }
  }
}

// The whole content of descriptor fd, read from name; false with the
// reason, naming the file and the system's error text.
bool ReadAll(int fd, const std::string& name, std::string& text, std::string& error) {
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    error = name + " is a folder, not a registry file";
    return false;
  }
  text.clear();
  char buffer[65536];
  while (true) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      error = "cannot read " + name + ": " + std::strerror(errno);
      return false;
    }
    text.append(buffer, static_cast<size_t>(got));
  }
}

bool OpenNamed(const std::string& text, RegAccess access, RegistryKey& key, int& exitCode) {
  uint32_t root = 0;
  std::string path, error;
  if (!RegKeyName::Parse(text, root, path, error)) {
    exitCode = CommandOutput::Error(error);
    return false;
  }
  if (RegistryKey::Open(root, path, access, key) != RegStatus::kOk) {
    exitCode = CommandOutput::Error(LastError::Text());
    return false;
  }
  return true;
}

int Query(const std::vector<std::string>& args) {
  if (args.size() < 1 || args.size() > 2) return CommandOutput::Usage("usage: reg query KEY [VALUE]");
  RegistryKey key;
  int exitCode = 0;
  if (!OpenNamed(args[0], RegAccess::kRead, key, exitCode)) return exitCode;
  RegValue value;
  if (args.size() == 2) {
    if (key.Query(args[1], value) != RegStatus::kOk) return CommandOutput::Error(LastError::Text());
    std::string name;
    // print the name as stored, which may differ in case from the one asked for
    for (uint32_t i = 0; key.EnumValue(i, name, value) == RegStatus::kOk; ++i) {
      if (name.size() == args[1].size() && strncasecmp(name.c_str(), args[1].c_str(), name.size()) == 0) break;
    }
    PrintValue(name, value);
    return 0;
  }
  std::string name;
  RegStatus status;
  for (uint32_t i = 0; (status = key.EnumValue(i, name, value)) == RegStatus::kOk; ++i) {
    PrintValue(name, value);
  }
  if (status != RegStatus::kNoMoreItems) return CommandOutput::Error(LastError::Text());
  return 0;
}

int Add(const std::vector<std::string>& args) {
  if (args.size() != 4) return CommandOutput::Usage("usage: reg add KEY VALUE TYPE DATA");
  const std::string& type = args[2];
  RegValue value;
  if (strcasecmp(type.c_str(), "REG_SZ") == 0) {
    value = RegValue::String(args[3]);
  } else if (strcasecmp(type.c_str(), "REG_DWORD") == 0) {
    uint32_t number = 0;
    if (!RegCommand::ParseDword(args[3], number)) {
      return CommandOutput::Error("\"" + args[3] + "\" is not a REG_DWORD (decimal or 0x-hex, 0 to 4294967295)");
    }
    value = RegValue::Dword(number);
  } else if (strcasecmp(type.c_str(), "REG_BINARY") == 0) {
    std::vector<uint8_t> bytes;
    if (!RegCommand::ParseBinary(args[3], bytes)) {
      return CommandOutput::Error("\"" + args[3] + "\" is not REG_BINARY data (pairs of hex digits)");
    }
    value = RegValue::Binary(std::move(bytes));
  } else {
    return CommandOutput::Error("unknown type \"" + type + "\" (REG_SZ, REG_DWORD or REG_BINARY)");
  }
  uint32_t root = 0;
  std::string path, error;
  if (!RegKeyName::Parse(args[0], root, path, error)) return CommandOutput::Error(error);
  // checked first so that a refused value never leaves a new, empty key behind
  if (!platform::RegNameIsValid(args[1], &error)) return CommandOutput::Error("value " + error);
  RegistryKey key;
  if (RegistryKey::Create(root, path, key) != RegStatus::kOk || key.Set(args[1], value) != RegStatus::kOk) {
    return CommandOutput::Error(LastError::Text());
  }
  return 0;
}

int Delete(const std::vector<std::string>& args) {
  if (args.size() < 1 || args.size() > 2) return CommandOutput::Usage("usage: reg delete KEY [VALUE]");
  uint32_t root = 0;
  std::string path, error;
  if (!RegKeyName::Parse(args[0], root, path, error)) return CommandOutput::Error(error);
  RegistryKey key;
  if (args.size() == 2) {
    if (RegistryKey::Open(root, path, RegAccess::kAll, key) != RegStatus::kOk ||
        key.DeleteValue(args[1]) != RegStatus::kOk) {
      return CommandOutput::Error(LastError::Text());
    }
    return 0;
  }
  if (path.empty()) return CommandOutput::Error("a whole root cannot be deleted");
  std::string trimmed = path;
  if (trimmed.back() == '\\') trimmed.pop_back();
  size_t slash = trimmed.rfind('\\');
  std::string parent = slash == std::string::npos ? std::string() : trimmed.substr(0, slash);
  std::string leaf = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  if (RegistryKey::Open(root, parent, RegAccess::kAll, key) != RegStatus::kOk ||
      key.DeleteSubKeyTree(leaf) != RegStatus::kOk) {
    return CommandOutput::Error(LastError::Text());
  }
  return 0;
}

int SubKeys(const std::vector<std::string>& args) {
  if (args.size() != 1) return CommandOutput::Usage("usage: reg subkeys KEY");
  RegistryKey key;
  int exitCode = 0;
  if (!OpenNamed(args[0], RegAccess::kRead, key, exitCode)) return exitCode;
  std::string name;
  RegStatus status;
  for (uint32_t i = 0; (status = key.EnumSubKey(i, name)) == RegStatus::kOk; ++i) CommandOutput::Line(name);
  if (status != RegStatus::kNoMoreItems) return CommandOutput::Error(LastError::Text());
  return 0;
}

int Export(const std::vector<std::string>& args) {
  if (args.size() != 2) return CommandOutput::Usage("usage: reg export KEY FILE");
  uint32_t root = 0;
  std::string path, error, text;
  if (!RegKeyName::Parse(args[0], root, path, error)) return CommandOutput::Error(error);
  if (!RegFileExporter::Export(root, path, text, error)) return CommandOutput::Error(error);
  if (args[1] == "-") {
    CommandOutput::Raw(text);
    return 0;
  }
  // Private whatever the umask: an export of the main key holds the stored
  // server password. Written beside and renamed over, so a link planted
  // under the name is replaced, never followed.
  if (!platform::AtomicFileWriter::Replace(args[1], text, 0600, error)) return CommandOutput::Error(error);
  return 0;
}

int Import(const std::vector<std::string>& args) {
  if (args.size() != 1) return CommandOutput::Usage("usage: reg import FILE");
  std::string text, error;
  if (args[0] == "-") {
    if (!ReadAll(STDIN_FILENO, "standard input", text, error)) return CommandOutput::Error(error);
  } else {
    const int fd = ::open(args[0].c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return CommandOutput::Error("cannot open " + args[0] + ": " + std::strerror(errno));
    const bool read = ReadAll(fd, args[0], text, error);
    ::close(fd);
    if (!read) return CommandOutput::Error(error);
  }
  std::vector<RegFileImporter::Operation> operations;
  if (!RegFileImporter::Parse(args[0], text, operations, error)) {
    return CommandOutput::Error(error + " (nothing was imported)");
  }
  if (!RegFileImporter::Apply(operations, error)) return CommandOutput::Error(error + " (nothing was imported)");
  return 0;
}

}  // namespace

bool RegCommand::ParseDword(const std::string& text, uint32_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || std::isspace(static_cast<unsigned char>(text[0]))) {
    return false;
  }
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > 0xFFFFFFFFull) return false;
  value = static_cast<uint32_t>(parsed);
  return true;
}

bool RegCommand::ParseBinary(const std::string& text, std::vector<uint8_t>& bytes) {
  bytes.clear();
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits += c;
    } else if (c != ',' && c != ' ' && c != ':') {
      return false;
    }
  }
  if (digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return true;
}

int RegCommand::Run(const std::vector<std::string>& args) {
  if (args.empty()) return CommandOutput::Usage("reg needs a subcommand: query, add, delete, subkeys, export, import");
  std::vector<std::string> rest(args.begin() + 1, args.end());
  const std::string& sub = args[0];
  if (sub == "query") return Query(rest);
  if (sub == "add") return Add(rest);
  if (sub == "delete") return Delete(rest);
  if (sub == "subkeys") return SubKeys(rest);
  if (sub == "export") return Export(rest);
  if (sub == "import") return Import(rest);
  return CommandOutput::Usage("unknown reg subcommand \"" + sub + "\"");
}

}  // namespace qrv::tools
