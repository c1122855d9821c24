#include "platform/shell/DesktopEntry.h"

namespace qrv::platform {

std::string DesktopEntry::Render(std::string_view name, std::string_view target, std::string_view comment) {
  std::string text = "[Desktop Entry]\nType=Application\nVersion=1.5\n";
  text += "Name=" + EscapeValue(name) + "\n";
  if (!comment.empty()) text += "Comment=" + EscapeValue(comment) + "\n";
  // quoting first, then the value escapes: readers undo them in the other order
  text += "Exec=" + EscapeValue(QuoteArgument(target)) + "\n";
  text += "Path=" + EscapeValue(FolderOf(target)) + "\n";
  return text;
}

std::string DesktopEntry::EscapeValue(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case ' ':
        // readers trim the blanks after '=', so a leading space must be escaped
        out += i == 0 ? "\\s" : " ";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) break;
        out += c;
    }
  }
  return out;
}

std::string DesktopEntry::QuoteArgument(std::string_view argument) {
  static constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`=";
  bool quote = argument.empty() || argument.find_first_of(kReserved) != std::string_view::npos;
  std::string out;
  if (quote) out += '"';
  for (char c : argument) {
    if (c == '%') {
      out += "%%";
      continue;
    }
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) out += '\\';
    out += c;
  }
  if (quote) out += '"';
  return out;
}

std::string DesktopEntry::FolderOf(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace qrv::platform
