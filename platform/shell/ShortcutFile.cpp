#include "platform/shell/ShortcutFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/core/AtomicFileWriter.h"
#include "platform/core/DisplayText.h"
#include "platform/core/LastError.h"
#include "platform/shell/DesktopEntry.h"

namespace qrv::platform {
namespace {

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

}  // namespace

bool ShortcutFile::IsValidName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
}

std::string ShortcutFile::PathFor(const std::string& folder, std::string_view name) {
  if (!IsValidName(name)) return {};
  std::string path = folder;
  if (path.empty() || path.back() != '/') path += '/';
  return path + std::string(name) + ".desktop";
}

bool ShortcutFile::Write(const std::string& folder, std::string_view name, std::string_view target,
                         std::string_view comment) {
  LastError::Clear();
  if (!IsValidName(name)) {
    LastError::Set("shortcut name " + Quoted(name) + " cannot be a file name in " + Quoted(folder));
    return false;
  }
  if (target.empty() || target[0] != '/') {
    LastError::Set("shortcut " + Quoted(name) + " cannot start " + Quoted(DisplayText::Escape(target)) +
                   ": a launcher needs an absolute program path");
    return false;
  }
  // The value escapes could carry a newline or a tab, but launchers differ
  // in how they split what they read back, and the other control characters
  // have no spelling at all: rather no shortcut than one to another program.
  for (char c : target) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      LastError::Set("shortcut " + Quoted(name) + " cannot start " + Quoted(DisplayText::Escape(target)) +
                     ": the path holds a control character");
      return false;
    }
  }
  std::string path = PathFor(folder, name);
  std::string text = DesktopEntry::Render(name, target, comment);

  // readable by every user whatever the umask: the menu is shared
  std::string error;
  if (!AtomicFileWriter::Replace(path, text, 0644, error)) {
    LastError::Set("cannot write shortcut " + Quoted(name) + ": " + error);
    return false;
  }
  return true;
}

bool ShortcutFile::Remove(const std::string& folder, std::string_view name) {
  LastError::Clear();
  if (!IsValidName(name)) {
    LastError::Set("shortcut name " + Quoted(name) + " cannot be a file name in " + Quoted(folder) +
                   "; nothing deleted");
    return false;
  }
  std::string path = PathFor(folder, name);
  if (::unlink(path.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR) return true;
  int code = errno;
  LastError::Set("cannot delete shortcut " + Quoted(path) + ": " + std::strerror(code));
  return false;
}

}  // namespace qrv::platform
