#include "platform/share/MountTable.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/core/LastError.h"

namespace qrv::platform {
namespace {

// \NNN (three octal digits) is how the kernel escapes separators inside a
// field; anything else after a backslash is kept as written.
std::string Unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) && octal(field[i + 3])) {
      int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      if (value <= 0xFF) {
        out += static_cast<char>(value);
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && line[pos] == ' ') ++pos;
    if (pos >= line.size()) break;
    size_t end = line.find(' ', pos);
    if (end == std::string_view::npos) end = line.size();
    fields.push_back(line.substr(pos, end - pos));
    pos = end;
  }
  return fields;
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

MountTable MountTable::Parse(std::string_view mountinfo) {
  MountTable table;
  size_t pos = 0;
  while (pos < mountinfo.size()) {
    size_t end = mountinfo.find('\n', pos);
    if (end == std::string_view::npos) end = mountinfo.size();
    std::string_view line = mountinfo.substr(pos, end - pos);
    pos = end + 1;

    /* id parent major:minor root mount-point options [optional...] - type source super-options */
    std::vector<std::string_view> fields = SplitFields(line);
    size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (dash + 2 >= fields.size()) continue;
    Entry entry;
    entry.root = Unescape(fields[3]);
    entry.mountPoint = Unescape(fields[4]);
    entry.fsType = Unescape(fields[dash + 1]);
    entry.source = Unescape(fields[dash + 2]);
    if (entry.mountPoint.empty() || entry.mountPoint.front() != '/') continue;
    // "/mnt/x/" and "/mnt/x" are the same point; keep one spelling for Find
    while (entry.mountPoint.size() > 1 && entry.mountPoint.back() == '/') entry.mountPoint.pop_back();
    table.m_entries.push_back(std::move(entry));
  }
  return table;
}

MountTable MountTable::ReadCurrent() {
  std::ifstream in("/proc/self/mountinfo", std::ios::binary);
  if (!in) {
    LastError::Set(std::string("cannot read /proc/self/mountinfo: ") + std::strerror(errno));
    return {};
  }
  std::ostringstream text;
  text << in.rdbuf();
  return Parse(text.str());
}

const MountTable::Entry* MountTable::Find(std::string_view path) const {
  if (path.empty() || path.front() != '/') return nullptr;
  const Entry* best = nullptr;
  for (const Entry& entry : m_entries) {
    const std::string& point = entry.mountPoint;
    bool covers = point == "/" ||
                  (path.substr(0, point.size()) == point && (path.size() == point.size() || path[point.size()] == '/'));
    // ">=" so that a later mount on the same point, which hides the earlier one, wins
    if (covers && (best == nullptr || point.size() >= best->mountPoint.size())) best = &entry;
  }
  return best;
}

bool MountTable::IsNetworkType(std::string_view fsType) {
  static constexpr std::array<std::string_view, 15> kNetworkTypes = {
      "cifs", "smb3",      "smbfs",          "nfs",        "nfs4",        "ncpfs", "afs",   "ceph",
      "9p",   "glusterfs", "fuse.glusterfs", "fuse.sshfs", "fuse.rclone", "davfs", "lustre"};
  for (std::string_view type : kNetworkTypes) {
    if (fsType == type) return true;
  }
  return false;
}

std::string MountTable::NetworkName(const Entry& entry, std::string_view path) {
  std::string name = entry.source;
  // a bind mount of a folder inside the file system: its folder belongs to the name
  if (!entry.root.empty() && entry.root != "/" && !EndsWith(name, entry.root)) {
    while (!name.empty() && name.back() == '/') name.pop_back();
    name += entry.root;
  }
  std::string_view rest;
  if (entry.mountPoint == "/") {
    rest = path == "/" ? std::string_view() : path;
  } else if (path.size() > entry.mountPoint.size()) {
    rest = path.substr(entry.mountPoint.size());
  }
  if (!rest.empty()) {
    if (!name.empty() && name.back() == '/') rest.remove_prefix(1);
    name += rest;
  }
  return name;
}

}  // namespace qrv::platform
