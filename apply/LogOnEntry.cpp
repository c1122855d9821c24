#include "apply/LogOnEntry.h"

#include <system_error>

#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/AtomicFileWriter.h"
#include "platform/core/SystemRoot.h"
#include "platform/registry/RegistryKey.h"
#include "platform/shell/DesktopEntry.h"

namespace qrv {

namespace {

constexpr std::string_view kArguments = " --auto";

std::string& ProgramFolder() {
  static std::string folder;
  return folder;
}

}  // namespace

void LogOnEntry::SetProgramFolder(std::string folder) { ProgramFolder() = std::move(folder); }

std::string LogOnEntry::Command() {
  if (!ProgramFolder().empty()) return Command(ProgramFolder());
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return Command(ec ? std::string() : self.parent_path().string());
}

std::string LogOnEntry::Command(std::string_view programFolder) {
  std::string command(programFolder);
  if (command.empty() || command.back() != '/') command += '/';
  command += kProgramName;
  command += kArguments;
  return command;
}

std::filesystem::path LogOnEntry::DesktopFilePath() { return platform::SystemRoot::Resolve(kDesktopFile); }

std::string LogOnEntry::DesktopFileText(std::string_view command) {
  // The program path may hold spaces: only it is quoted, the switch stays a
  // word of its own.
  std::string_view program = command;
  std::string_view arguments;
  if (command.size() >= kArguments.size() && command.substr(command.size() - kArguments.size()) == kArguments) {
    program = command.substr(0, command.size() - kArguments.size());
    arguments = kArguments;
  }
  const std::string exec = platform::DesktopEntry::QuoteArgument(program) + std::string(arguments);
  // TryExec: a session skips the entry once the program is gone (removed,
  // while this file, a configuration file of the package, stays).
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Qorvane Update\n"
         "TryExec=" +
         platform::DesktopEntry::EscapeValue(program) + "\nExec=" + platform::DesktopEntry::EscapeValue(exec) +
         "\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool LogOnEntry::Write(std::string& error) { return Write(Command(), error); }

bool LogOnEntry::Write(std::string_view command, std::string& error) {
  error.clear();
  const std::filesystem::path path = DesktopFilePath();
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  if (ec) {
    error = "cannot create " + path.parent_path().string() + ": " + ec.message();
    return false;
  }
  if (!platform::AtomicFileWriter::Replace(path.string(), DesktopFileText(command), 0644, error)) return false;
  if (CQUpdateUtilRegistry().SetStringValue(platform::kRootLocalMachine, kRunKey, kValueName, command) != 1) {
    error = "cannot write the registry value HKLM\\" + std::string(kRunKey) + "\\" + std::string(kValueName);
    std::filesystem::remove(path, ec);
    return false;
  }
  return true;
}

bool LogOnEntry::Remove(std::string& error) {
  error.clear();
  // A missing key means there is no value to remove.
  CQUpdateUtilRegistry().DeleteValue(platform::kRootLocalMachine, kRunKey, kValueName);
  const std::filesystem::path path = DesktopFilePath();
  std::error_code ec;
  std::filesystem::remove(path, ec);
  if (ec) {
    error = "cannot remove " + path.string() + ": " + ec.message();
    return false;
  }
  return true;
}

std::string LogOnEntry::RegisteredCommand() {
  platform::RegistryKey key;
  platform::RegValue value;
  if (platform::RegistryKey::Open(platform::kRootLocalMachine, kRunKey, platform::RegAccess::kRead, key) !=
          platform::RegStatus::kOk ||
      key.Query(kValueName, value) != platform::RegStatus::kOk || value.type != platform::kRegSz) {
    return {};
  }
  return value.AsString();
}

}  // namespace qrv
