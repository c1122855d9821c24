#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/profile/ProfileEncoding.h"
#include "platform/profile/ProfileText.h"

namespace qrv::platform {

// One profile file, parsed once: its section headers and key lines with the
// positions of their names and values, plus hash indexes from section name to
// section and from key name to line, so a lookup costs two hash probes whatever
// the file's size.
//
// Parsing rules (the Windows profile semantics): lines end at "\n", "\r\n" or a
// lone "\r"; a line is trimmed at both ends; a line starting with '[' that holds
// a ']' is a section header named by the trimmed text up to the LAST ']'; a line
// starting with ';' is a comment; any other line with a '=' is a key line (key =
// trimmed text before the first '=', value = trimmed rest); everything else is
// kept but invisible. Names and values end at their first NUL byte (and are
// trimmed after that cut). Every file opens with a section named "" that has no
// header line: the lines before the first header belong to it. A "[]" header
// is therefore never the first section of its name and is never searched. A
// line "=value" is the key "". Only the first section of a name is searched
// and within it the first key of a name wins.
//
// Edits never change the document; they return the bytes of the edited file, in
// which every line they do not touch is kept byte for byte (the line-ending
// style of the file is used for new lines).
//
// Thread: immutable after Parse(); shared between threads through the cache.
class ProfileDocument {
 public:
  // Parses a file's bytes (BOM included). An empty string is an empty document,
  // which is also what a missing file reads as.
  static std::shared_ptr<const ProfileDocument> Parse(std::string_view bytes);

  ProfileDocument(const ProfileDocument&) = delete;
  ProfileDocument& operator=(const ProfileDocument&) = delete;

  // The value of key in the first section named section (names already cleaned
  // by the caller): trimmed, cut at NUL, one pair of outer quotes removed. The
  // view lives as long as the document.
  std::optional<std::string_view> Find(std::string_view section, std::string_view key) const;

  // Names in file order, first spelling of duplicates only, empty names left
  // out (so neither the leading section nor the key "" is listed).
  std::vector<std::string> SectionNames() const;
  std::vector<std::string> KeyNames(std::string_view section) const;

  // The edited file's bytes. SetValue takes validated names and a value whose
  // leading blanks are already stripped; a new key of the leading section ""
  // goes after its last key line, or at the very start of the file when it has
  // none. DeleteSection("") removes the leading section (everything before the
  // first header) and every "[]" section. All three fail only when the encoding
  // cannot carry the result (reason in error); changed is false (and bytes
  // empty) when the edit would leave the file as it is.
  bool SetValue(std::string_view section, std::string_view key, std::string_view value, std::string& bytes,
                bool& changed, std::string& error) const;
  // Several SetValue edits made at once, in one pass over the text: the bytes
  // are those that applying each assignment in order with SetValue (each to
  // the file the previous one left) would give, at the cost of one edit
  // whatever their number. Names and values as for SetValue.
  struct Assignment {
    std::string_view section;
    std::string_view key;
    std::string_view value;
  };
  bool SetValues(const std::vector<Assignment>& assignments, std::string& bytes, bool& changed,
                 std::string& error) const;
  bool DeleteKey(std::string_view section, std::string_view key, std::string& bytes, bool& changed,
                 std::string& error) const;
  bool DeleteSection(std::string_view section, std::string& bytes, bool& changed, std::string& error) const;

  // Rough heap use, for the cache's budget.
  size_t MemoryBytes() const;

 private:
  enum class LineKind : uint8_t { kSection, kKey };

  // Only section headers and key lines are recorded (comments, blank and odd
  // lines need no record: edits keep them by keeping the bytes between
  // records), and offsets are 32-bit (files are capped well below 4 GiB), so a
  // hostile file of millions of short lines stays affordable.
  struct Line {
    uint32_t begin = 0;  // first byte of the line
    uint32_t end = 0;    // end of the content, before the line ending
    // section: the name; key: the key name (both cut at NUL and trimmed)
    uint32_t nameBegin = 0;
    uint32_t nameSize = 0;
    // key only: the '=' and the value (cut at NUL and trimmed, quotes kept)
    uint32_t equals = 0;
    uint32_t valueBegin = 0;
    uint32_t valueSize = 0;
    uint8_t eolSize = 0;  // 0 (last line without one), 1 or 2
    LineKind kind = LineKind::kKey;
    size_t Next() const { return size_t{end} + eolSize; }
  };

  struct Section {
    size_t header = 0;   // index in m_lines of the header; kNoHeader for the leading section
    size_t body = 0;     // index in m_lines of the first record after the header
    size_t end = 0;      // index in m_lines of the next header, or the record count
    bool first = false;  // the first section of its name (the searched one)
  };
  static constexpr size_t kNoHeader = static_cast<size_t>(-1);

  using NameIndex = std::unordered_map<std::string_view, size_t, ProfileText::NoCaseHash, ProfileText::NoCaseEqual>;

  ProfileDocument() = default;
  void Build();
  // Records the line [begin, end); section is the index of the section it is
  // in (0, the leading section, before the first header) and is moved on by a
  // header.
  void AddLine(size_t begin, size_t end, size_t eolSize, size_t& section);
  std::string_view NameOf(const Line& line) const { return {m_text.data() + line.nameBegin, line.nameSize}; }
  std::string_view NameOf(const Section& section) const {
    return section.header == kNoHeader ? std::string_view() : NameOf(m_lines[section.header]);
  }
  // Index in m_sections of the first section named section; npos when none.
  size_t FindSection(std::string_view section) const;
  // Where SetValue puts a new key of section s (an index in m_sections):
  // the offset in m_text, and the line it follows (null at the very start).
  size_t NewKeyOffset(size_t s, const Line*& after) const;
  bool Finish(std::string&& text, std::string& bytes, std::string& error) const;

  ProfileEncoding m_encoding;
  std::string m_text;  // the file's text without its byte-order mark
  std::string m_eol = "\n";  // for new lines: the file's first line ending, "\n" when it has none
  std::vector<Line> m_lines;
  std::vector<Section> m_sections;
  NameIndex m_sectionIndex;           // name -> index in m_sections of the first section of that name
  std::vector<NameIndex> m_keyIndex;  // per section (filled for first sections only): key -> line index
};

}  // namespace qrv::platform
