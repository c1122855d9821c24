#include "platform/system/PeVersionResource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

#include "platform/core/LastError.h"

namespace qrv::platform {
namespace {

constexpr uint16_t kResourceVersion = 16;     // RT_VERSION
constexpr uint32_t kVersionInfoId = 1;        // VS_VERSION_INFO
constexpr uint32_t kFixedSignature = 0xFEEF04BD;
constexpr uint32_t kMaxSections = 96;         // the loader's own limit
constexpr uint32_t kMaxDirectoryEntries = 4096;
constexpr uint32_t kMaxBlock = 0x10000;       // a 16-bit wLength cannot describe more
constexpr int kMaxNodeDepth = 4;              // root, file info, table, string

uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// The file, read piece by piece with every read checked against its size.
class ImageFile {
 public:
  explicit ImageFile(const std::string& path) : m_path(path) {}
  ~ImageFile() {
    if (m_fd >= 0) ::close(m_fd);
  }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  bool Open() {
    m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) {
      return Fail(std::string("cannot open: ") + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) return Fail("not a regular file");
    m_size = static_cast<uint64_t>(st.st_size);
    return true;
  }

  // Reads exactly size bytes at offset; false when they are not all there.
  bool Read(uint64_t offset, uint32_t size, std::vector<unsigned char>& out, const char* what) {
    if (offset > m_size || size > m_size - offset) {
      return Fail(std::string(what) + " at " + Hex(offset) + " (" + std::to_string(size) +
                  " bytes) lies past the end of the file (" + std::to_string(m_size) + " bytes)");
    }
    out.resize(size);
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::pread(m_fd, out.data() + done, size - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Fail(std::string("cannot read ") + what + ": " + (n < 0 ? std::strerror(errno) : "short read"));
      done += static_cast<size_t>(n);
    }
    return true;
  }

  uint64_t Size() const { return m_size; }

  bool Fail(const std::string& reason) {
    LastError::Set(m_path + ": " + reason);
    return false;
  }

 private:
  std::string m_path;
  int m_fd = -1;
  uint64_t m_size = 0;
};

struct Section {
  uint32_t rva = 0;
  uint32_t span = 0;  // bytes of raw data that back the section in memory
  uint32_t rawOffset = 0;
};

// Maps [rva, rva + size) to a file offset; nullopt when no section holds all of it.
// (64-bit so that an RVA plus an offset from the file cannot wrap.)
std::optional<uint64_t> FileOffset(const std::vector<Section>& sections, uint64_t rva, uint32_t size) {
  for (const Section& s : sections) {
    if (rva < s.rva) continue;
    uint64_t inside = rva - s.rva;
    if (inside + size <= s.span) return s.rawOffset + inside;
  }
  return std::nullopt;
}

// One node of a version block: wLength, wValueLength, wType, key, value, children.
struct Node {
  size_t begin = 0;
  size_t end = 0;  // begin + wLength, within the parent
  uint16_t valueLength = 0;
  uint16_t type = 0;
  std::u16string key;
  size_t valueBegin = 0;
  size_t childrenBegin = 0;
};

size_t Align4(size_t offset) { return (offset + 3) & ~static_cast<size_t>(3); }

// Parses the node at offset inside [offset, limit); false when its header or
// key do not fit.
bool ParseNode(const std::string& block, size_t offset, size_t limit, Node& node) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
  if (limit > block.size() || offset + 6 > limit) return false;
  uint16_t length = Le16(bytes + offset);
  if (length < 6 || offset + length > limit) return false;
  node.begin = offset;
  node.end = offset + length;
  node.valueLength = Le16(bytes + offset + 2);
  node.type = Le16(bytes + offset + 4);
  node.key.clear();
  size_t pos = offset + 6;
  for (;;) {
    if (pos + 2 > node.end) return false;  // the key must end inside the node
    char16_t c = Le16(bytes + pos);
    pos += 2;
    if (c == 0) break;
    node.key.push_back(c);
  }
  node.valueBegin = std::min(Align4(pos), node.end);
  // Text values count characters, binary ones bytes; either way they stay
  // inside the node.
  size_t valueBytes = node.type == 1 ? size_t{node.valueLength} * 2 : node.valueLength;
  node.childrenBegin = std::min(Align4(node.valueBegin + std::min(valueBytes, node.end - node.valueBegin)), node.end);
  return true;
}

bool KeyEquals(const std::u16string& key, std::string_view name) {
  if (key.size() != name.size()) return false;
  for (size_t i = 0; i < key.size(); ++i) {
    char16_t a = key[i];
    char16_t b = static_cast<unsigned char>(name[i]);
    if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a - u'A' + u'a');
    if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b - u'A' + u'a');
    if (a != b) return false;
  }
  return true;
}

// The child of parent whose key is name (without case).
bool FindChild(const std::string& block, const Node& parent, std::string_view name, Node& child) {
  size_t offset = parent.childrenBegin;
  while (offset + 6 <= parent.end) {
    if (!ParseNode(block, offset, parent.end, child)) return false;
    if (KeyEquals(child.key, name)) return true;
    offset = Align4(child.end);  // wLength >= 6, so this always moves on
  }
  return false;
}

// Follows a path of keys from the root node; false when any step is missing
// or the path is deeper than a version block can be.
bool FindPath(const std::string& block, std::initializer_list<std::string_view> path, Node& node) {
  if (path.size() > kMaxNodeDepth) return false;
  if (!ParseNode(block, 0, block.size(), node)) return false;
  for (std::string_view name : path) {
    Node child;
    if (!FindChild(block, node, name, child)) return false;
    node = child;
  }
  return true;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

bool PeVersionResource::Load(const std::string& path) {
  m_block.clear();
  ImageFile file(path);
  if (!file.Open()) return false;
  std::vector<unsigned char> buf;

  /* dos header */
  if (file.Size() < 64) return file.Fail("not a PE image: only " + std::to_string(file.Size()) + " bytes");
  if (!file.Read(0, 64, buf, "DOS header")) return false;
  if (buf[0] != 'M' || buf[1] != 'Z') return file.Fail("not a PE image: no MZ signature");
  uint32_t peOffset = Le32(buf.data() + 0x3C);

  /* pe and coff headers */
  if (!file.Read(peOffset, 24, buf, "PE header")) return false;
  if (std::memcmp(buf.data(), "PE\0\0", 4) != 0) return file.Fail("no PE signature at " + Hex(peOffset));
  uint16_t sectionCount = Le16(buf.data() + 6);
  uint16_t optionalSize = Le16(buf.data() + 20);
  if (sectionCount == 0 || sectionCount > kMaxSections) {
    return file.Fail("implausible section count " + std::to_string(sectionCount));
  }

  /* optional header: where the data directories start depends on PE32 / PE32+ */
  uint64_t optionalOffset = uint64_t{peOffset} + 24;
  if (!file.Read(optionalOffset, optionalSize, buf, "optional header")) return false;
  if (optionalSize < 2) return file.Fail("optional header of " + std::to_string(optionalSize) + " bytes");
  uint16_t magic = Le16(buf.data());
  size_t countField = 0;
  if (magic == 0x10B) {
    countField = 92;
  } else if (magic == 0x20B) {
    countField = 108;
  } else {
    return file.Fail("unknown optional header magic " + Hex(magic));
  }
  size_t resourceField = countField + 4 + 2 * 8;
  if (optionalSize < resourceField + 8 || Le32(buf.data() + countField) < 3) {
    return file.Fail("no resource directory entry in the optional header");
  }
  uint32_t resourceRva = Le32(buf.data() + resourceField);
  uint32_t resourceSize = Le32(buf.data() + resourceField + 4);
  if (resourceRva == 0 || resourceSize == 0) return file.Fail("no resources");

  /* section table */
  if (!file.Read(optionalOffset + optionalSize, uint32_t{sectionCount} * 40, buf, "section table")) return false;
  std::vector<Section> sections;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    const unsigned char* s = buf.data() + size_t{i} * 40;
    Section section;
    uint32_t virtualSize = Le32(s + 8);
    section.rva = Le32(s + 12);
    section.span = Le32(s + 16);
    section.rawOffset = Le32(s + 20);
    if (virtualSize != 0) section.span = std::min(section.span, virtualSize);
    sections.push_back(section);
  }

  // Reads a piece of the resource directory: offsets are relative to its
  // start and must stay inside it.
  auto readResource = [&](uint32_t offset, uint32_t size, const char* what) -> bool {
    if (offset > resourceSize || size > resourceSize - offset) {
      return file.Fail(std::string(what) + " at resource offset " + Hex(offset) + " lies outside the " +
                       std::to_string(resourceSize) + "-byte resource directory");
    }
    auto at = FileOffset(sections, uint64_t{resourceRva} + offset, size);
    if (!at) return file.Fail(std::string(what) + " at RVA " + Hex(uint64_t{resourceRva} + offset) + " is in no section");
    return file.Read(*at, size, buf, what);
  };

  /* resource directory: type, then name, then language; exactly three levels,
     so an entry that points back up can never make the walk go round */
  uint32_t directory = 0;
  uint32_t leaf = 0;
  for (int level = 0; level < 3; ++level) {
    if (!readResource(directory, 16, "resource directory")) return false;
    uint32_t count = uint32_t{Le16(buf.data() + 12)} + Le16(buf.data() + 14);
    if (count > kMaxDirectoryEntries) return file.Fail("resource directory with " + std::to_string(count) + " entries");
    if (count == 0) return file.Fail("empty resource directory at " + Hex(directory));
    if (!readResource(directory + 16, count * 8, "resource directory entries")) return false;
    std::optional<uint32_t> chosen;
    for (uint32_t i = 0; i < count && !chosen; ++i) {
      uint32_t name = Le32(buf.data() + size_t{i} * 8);
      uint32_t target = Le32(buf.data() + size_t{i} * 8 + 4);
      bool isId = (name & 0x80000000u) == 0;
      if (level == 0 && isId && name == kResourceVersion) chosen = target;
      if (level == 1 && isId && name == kVersionInfoId) chosen = target;
    }
    // A version entry under another name, and any language, still counts.
    if (!chosen && level > 0) chosen = Le32(buf.data() + 4);
    if (!chosen) return file.Fail("no version resource");
    bool isDirectory = (*chosen & 0x80000000u) != 0;
    if (isDirectory != (level < 2)) return file.Fail("malformed resource directory at " + Hex(directory));
    if (level < 2) {
      directory = *chosen & 0x7FFFFFFFu;
    } else {
      leaf = *chosen;
    }
  }

  /* data entry, then the version block itself */
  if (!readResource(leaf, 16, "resource data entry")) return false;
  uint32_t dataRva = Le32(buf.data());
  uint32_t dataSize = std::min(Le32(buf.data() + 4), kMaxBlock);
  auto at = FileOffset(sections, dataRva, dataSize);
  if (!at) return file.Fail("version data at RVA " + Hex(dataRva) + " (" + std::to_string(dataSize) +
                            " bytes) is in no section");
  if (!file.Read(*at, dataSize, buf, "version data")) return false;
  if (!Parse(std::string(buf.begin(), buf.end()))) return file.Fail("damaged version block");
  return true;
}

bool PeVersionResource::Parse(std::string block) {
  m_block = std::move(block);
  Node root;
  if (ParseNode(m_block, 0, m_block.size(), root) && KeyEquals(root.key, "VS_VERSION_INFO")) {
    m_block.resize(root.end);
    return true;
  }
  m_block.clear();
  return false;
}

bool PeVersionResource::FixedFileVersion(uint32_t& ms, uint32_t& ls) const {
  Node root;
  if (!FindPath(m_block, {}, root)) return false;
  if (root.valueLength < 52 || root.valueBegin + 52 > root.end) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(m_block.data()) + root.valueBegin;
  if (Le32(p) != kFixedSignature) return false;
  ms = Le32(p + 8);
  ls = Le32(p + 12);
  return true;
}

bool PeVersionResource::FirstTranslation(uint16_t& language, uint16_t& codePage) const {
  Node var;
  if (!FindPath(m_block, {"VarFileInfo", "Translation"}, var)) return false;
  if (var.valueLength < 4 || var.valueBegin + 4 > var.end) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(m_block.data()) + var.valueBegin;
  language = Le16(p);
  codePage = Le16(p + 2);
  return true;
}

std::string PeVersionResource::StringValue(std::string_view table, std::string_view key) const {
  Node node;
  if (!FindPath(m_block, {"StringFileInfo", table, key}, node)) return {};
  const auto* bytes = reinterpret_cast<const unsigned char*>(m_block.data());
  size_t end = std::min(node.end, node.valueBegin + size_t{node.valueLength} * 2);
  std::string out;
  for (size_t pos = node.valueBegin; pos + 2 <= end; pos += 2) {
    char32_t c = Le16(bytes + pos);
    if (c == 0) break;
    if (c >= 0xD800 && c <= 0xDBFF && pos + 4 <= end) {
      char32_t low = Le16(bytes + pos + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        pos += 2;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;  // a lone surrogate
    AppendUtf8(out, c);
  }
  return out;
}

}  // namespace qrv::platform
