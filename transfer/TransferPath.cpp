#include "transfer/TransferPath.h"

namespace qrv {

bool TransferPath::Normalise(std::string_view name, std::string& out) {
  if (name.empty() || name.front() == '/' || name.front() == '\\') return false;
  if (name.size() >= 2 && name[1] == ':') return false;
  std::string result;
  std::string component;
  auto flush = [&]() {
    if (component.empty()) return true;
    if (component == ".." || component == ".") return false;
    if (!result.empty()) result += '/';
    result += component;
    component.clear();
    return true;
  };
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    if (c == '/' || c == '\\') {
      if (!flush()) return false;
    } else {
      component += c;
    }
  }
  if (!flush() || result.empty()) return false;
  out = std::move(result);
  return true;
}

std::string TransferPath::SlashSeparated(std::string_view text) {
  std::string out;
  bool pending = false;
  for (char c : text) {
    if (c == '\\') {
      pending = true;
      continue;
    }
    if (pending && !out.empty()) out += '/';
    pending = false;
    out += c;
  }
  return out;
}

std::string TransferPath::Join(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

}  // namespace qrv
