#include "platform/profile/ProfileDocument.h"

#include <algorithm>
#include <utility>

namespace qrv::platform {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

uint32_t Offset(size_t value) { return static_cast<uint32_t>(value); }

}  // namespace

std::shared_ptr<const ProfileDocument> ProfileDocument::Parse(std::string_view bytes) {
  std::shared_ptr<ProfileDocument> doc(new ProfileDocument());
  doc->m_encoding = ProfileEncoding::Detect(bytes, doc->m_text);
  // The indexes hold views into m_text, so they are built in the document's
  // final place and the document is never copied or moved afterwards.
  doc->Build();
  return doc;
}

void ProfileDocument::Build() {
  const std::string& text = m_text;
  const size_t size = text.size();
  const char* data = text.data();
  bool eolSeen = false;
  // the leading section: named "", no header line, always the first of its name
  Section leading;
  leading.header = kNoHeader;
  leading.first = true;
  m_sections.push_back(leading);
  m_keyIndex.emplace_back();
  m_sectionIndex.try_emplace(std::string_view(), 0);
  size_t section = 0;
  size_t pos = 0;
  while (pos < size) {
    /* find the end of the line */
    size_t end = pos;
    while (end < size && data[end] != '\n' && data[end] != '\r') ++end;
    size_t eolSize = 0;
    if (end < size) eolSize = (data[end] == '\r' && end + 1 < size && data[end + 1] == '\n') ? 2 : 1;
    if (!eolSeen && eolSize != 0) {
      m_eol.assign(data + end, eolSize);
      eolSeen = true;
    }
    AddLine(pos, end, eolSize, section);
    pos = end + eolSize;
  }
  m_sections[section].end = m_lines.size();
}

void ProfileDocument::AddLine(size_t begin, size_t end, size_t eolSize, size_t& section) {
  std::string_view raw(m_text.data() + begin, end - begin);
  std::string_view content = ProfileText::Trim(raw);
  if (content.empty() || content.front() == ';') return;
  const size_t contentBegin = static_cast<size_t>(content.data() - m_text.data());

  Line line;
  line.begin = Offset(begin);
  line.end = Offset(end);
  line.eolSize = static_cast<uint8_t>(eolSize);

  /* section header */
  size_t close = content.front() == '[' ? content.rfind(']') : std::string_view::npos;
  if (close != std::string_view::npos) {
    std::string_view name = ProfileText::CleanName(content.substr(1, close - 1));
    line.kind = LineKind::kSection;
    line.nameBegin = Offset(static_cast<size_t>(name.data() - m_text.data()));
    line.nameSize = Offset(name.size());
    m_sections[section].end = m_lines.size();
    Section record;
    record.header = m_lines.size();
    record.body = record.header + 1;
    // "[]" never wins: the leading section already holds the name ""
    record.first = m_sectionIndex.try_emplace(name, m_sections.size()).second;
    m_sections.push_back(record);
    m_keyIndex.emplace_back();
    m_lines.push_back(line);
    section = m_sections.size() - 1;
    return;
  }

  /* key line; only those of searched sections are worth a record */
  size_t equals = content.find('=');
  if (equals == std::string_view::npos || !m_sections[section].first) return;
  std::string_view name = ProfileText::CleanName(content.substr(0, equals));
  std::string_view value = ProfileText::Trim(ProfileText::CutAtNul(content.substr(equals + 1)));
  line.kind = LineKind::kKey;
  line.nameBegin = Offset(name.empty() ? contentBegin : static_cast<size_t>(name.data() - m_text.data()));
  line.nameSize = Offset(name.size());
  line.equals = Offset(contentBegin + equals);
  line.valueBegin = Offset(value.empty() ? contentBegin + equals + 1 : static_cast<size_t>(value.data() - m_text.data()));
  line.valueSize = Offset(value.size());
  m_keyIndex[section].try_emplace(name, m_lines.size());  // "=value" is the key ""
  m_lines.push_back(line);
}

size_t ProfileDocument::FindSection(std::string_view section) const {
  auto it = m_sectionIndex.find(section);
  return it == m_sectionIndex.end() ? kNone : it->second;
}

std::optional<std::string_view> ProfileDocument::Find(std::string_view section, std::string_view key) const {
  size_t s = FindSection(section);
  if (s == kNone) return std::nullopt;
  const NameIndex& keys = m_keyIndex[s];
  auto it = keys.find(key);
  if (it == keys.end()) return std::nullopt;
  const Line& line = m_lines[it->second];
  return ProfileText::StripQuotes(std::string_view(m_text.data() + line.valueBegin, line.valueSize));
}

std::vector<std::string> ProfileDocument::SectionNames() const {
  std::vector<std::string> names;
  for (const Section& section : m_sections) {
    if (section.first && section.header != kNoHeader) names.emplace_back(NameOf(section));
  }
  return names;
}

std::vector<std::string> ProfileDocument::KeyNames(std::string_view section) const {
  std::vector<std::string> names;
  size_t s = FindSection(section);
  if (s == kNone) return names;
  const NameIndex& keys = m_keyIndex[s];
  for (size_t i = m_sections[s].body; i < m_sections[s].end; ++i) {
    std::string_view name = NameOf(m_lines[i]);
    if (name.empty()) continue;
    auto it = keys.find(name);
    if (it != keys.end() && it->second == i) names.emplace_back(name);  // first of duplicates only
  }
  return names;
}

bool ProfileDocument::SetValue(std::string_view section, std::string_view key, std::string_view value,
                               std::string& bytes, bool& changed, std::string& error) const {
  const std::string_view text = m_text;
  std::string out;
  size_t s = FindSection(section);
  if (s != kNone) {
    const NameIndex& keys = m_keyIndex[s];
    auto it = keys.find(key);
    if (it != keys.end()) {
      /* replace the value; the indentation, the key's spelling and the blanks
         around '=' stay as they were */
      const Line& line = m_lines[it->second];
      size_t keep = size_t{line.equals} + 1;
      if (!value.empty()) {
        while (keep < line.end && ProfileText::IsSpace(text[keep])) ++keep;
      }
      out.reserve(text.size() + value.size());
      out.append(text.substr(0, keep));
      out.append(value);
      out.append(text.substr(line.end));
    } else {
      const Line* after = nullptr;
      const size_t at = NewKeyOffset(s, after);
      out.reserve(text.size() + key.size() + value.size() + 2 * m_eol.size() + 1);
      out.append(text.substr(0, at));
      if (after != nullptr && after->eolSize == 0) out.append(m_eol);
      out.append(key).append("=").append(value).append(m_eol);
      out.append(text.substr(at));
    }
  } else {
    /* new section at the end of the file */
    out.reserve(text.size() + section.size() + key.size() + value.size() + 3 * m_eol.size() + 3);
    out.append(text);
    if (!text.empty() && text.back() != '\n' && text.back() != '\r') out.append(m_eol);
    out.append("[").append(section).append("]").append(m_eol);
    out.append(key).append("=").append(value).append(m_eol);
  }
  changed = out != text;
  if (!changed) {
    bytes.clear();
    return true;
  }
  return Finish(std::move(out), bytes, error);
}

size_t ProfileDocument::NewKeyOffset(size_t s, const Line*& after) const {
  /* after the last key line of the section, ahead of any blank lines and
     comments that close it; right after the header when the section has no
     key line, and at the start of the file for a leading section without one */
  const Section& record = m_sections[s];
  after = nullptr;
  if (record.end > record.body) {
    after = &m_lines[record.end - 1];
  } else if (record.header != kNoHeader) {
    after = &m_lines[record.header];
  }
  return after == nullptr ? 0 : after->Next();
}

bool ProfileDocument::SetValues(const std::vector<Assignment>& assignments, std::string& bytes, bool& changed,
                                std::string& error) const {
  // Keys that are new to a section, in the order they first come; a key set
  // again keeps its first spelling and place and takes the last value.
  struct NewKeys {
    std::vector<std::pair<std::string_view, std::string_view>> keys;
    NameIndex index;
    void Set(std::string_view key, std::string_view value) {
      auto [it, inserted] = index.try_emplace(key, keys.size());
      if (inserted) {
        keys.emplace_back(key, value);
      } else {
        keys[it->second].second = value;
      }
    }
  };
  // A key line that gets a new value. SetValue keeps the blanks after '='
  // for a value that is not empty and drops them for an empty one, so once
  // any value of the run was empty they are gone.
  struct Replacement {
    std::string_view value;
    bool dropBlanks = false;
  };

  /* sort the assignments into replaced lines, keys new to a section and new sections */
  std::unordered_map<size_t, Replacement> replaced;  // by index in m_lines
  std::unordered_map<size_t, NewKeys> added;         // by index in m_sections
  std::vector<std::pair<std::string_view, NewKeys>> newSections;
  NameIndex newSectionIndex;
  for (const Assignment& a : assignments) {
    const size_t s = FindSection(a.section);
    if (s == kNone) {
      auto [it, inserted] = newSectionIndex.try_emplace(a.section, newSections.size());
      if (inserted) newSections.emplace_back(a.section, NewKeys{});
      newSections[it->second].second.Set(a.key, a.value);
      continue;
    }
    const NameIndex& keys = m_keyIndex[s];
    if (auto it = keys.find(a.key); it != keys.end()) {
      Replacement& r = replaced[it->second];
      r.value = a.value;
      r.dropBlanks = r.dropBlanks || a.value.empty();
    } else {
      added[s].Set(a.key, a.value);
    }
  }

  /* the edits in text order: a value replaced before keys inserted at the same offset */
  struct Edit {
    size_t at;
    int order;     // 0 replacement, 1 insertion
    size_t index;  // line (replacement) or section (insertion)
  };
  std::vector<Edit> edits;
  edits.reserve(replaced.size() + added.size());
  for (const auto& [line, r] : replaced) {
    const Line& record = m_lines[line];
    size_t keep = size_t{record.equals} + 1;
    if (!r.dropBlanks) {
      while (keep < record.end && ProfileText::IsSpace(m_text[keep])) ++keep;
    }
    edits.push_back({keep, 0, line});
  }
  for (const auto& [section, keys] : added) {
    const Line* after = nullptr;
    edits.push_back({NewKeyOffset(section, after), 1, section});
  }
  std::sort(edits.begin(), edits.end(),
            [](const Edit& a, const Edit& b) { return a.at != b.at ? a.at < b.at : a.order < b.order; });

  /* one pass over the text */
  const std::string_view text = m_text;
  std::string out;
  out.reserve(text.size() + 64 * assignments.size());
  size_t copied = 0;
  for (const Edit& edit : edits) {
    out.append(text.substr(copied, edit.at - copied));
    copied = edit.at;
    if (edit.order == 0) {
      out.append(replaced[edit.index].value);
      copied = m_lines[edit.index].end;
      continue;
    }
    const Line* after = nullptr;
    NewKeyOffset(edit.index, after);
    if (after != nullptr && after->eolSize == 0) out.append(m_eol);
    for (const auto& [key, value] : added[edit.index].keys) out.append(key).append("=").append(value).append(m_eol);
  }
  out.append(text.substr(copied));
  for (const auto& [section, keys] : newSections) {
    if (!out.empty() && out.back() != '\n' && out.back() != '\r') out.append(m_eol);
    out.append("[").append(section).append("]").append(m_eol);
    for (const auto& [key, value] : keys.keys) out.append(key).append("=").append(value).append(m_eol);
  }
  changed = out != text;
  bytes.clear();
  if (!changed) return true;
  return Finish(std::move(out), bytes, error);
}

bool ProfileDocument::DeleteKey(std::string_view section, std::string_view key, std::string& bytes, bool& changed,
                                std::string& error) const {
  changed = false;
  bytes.clear();
  size_t s = FindSection(section);
  if (s == kNone) return true;
  // every line of that name in the searched section goes, so that a duplicate
  // further down does not surface as the key's new value
  std::string out;
  size_t kept = 0;
  for (size_t i = m_sections[s].body; i < m_sections[s].end; ++i) {
    const Line& line = m_lines[i];
    if (!ProfileText::EqualsNoCase(NameOf(line), key)) continue;
    out.append(m_text, kept, line.begin - kept);
    kept = line.Next();
    changed = true;
  }
  if (!changed) return true;
  out.append(m_text, kept, std::string::npos);
  return Finish(std::move(out), bytes, error);
}

bool ProfileDocument::DeleteSection(std::string_view section, std::string& bytes, bool& changed,
                                    std::string& error) const {
  changed = false;
  bytes.clear();
  // every section of that name goes, so that a duplicate further down does not
  // surface as the section's new content
  std::string out;
  size_t kept = 0;
  for (const Section& record : m_sections) {
    if (!ProfileText::EqualsNoCase(NameOf(record), section)) continue;
    size_t begin = record.header == kNoHeader ? 0 : size_t{m_lines[record.header].begin};
    size_t end = record.end < m_lines.size() ? size_t{m_lines[record.end].begin} : m_text.size();
    if (begin == end) continue;  // a leading section with nothing in it
    out.append(m_text, kept, begin - kept);
    kept = end;
    changed = true;
  }
  if (!changed) return true;
  out.append(m_text, kept, std::string::npos);
  return Finish(std::move(out), bytes, error);
}

bool ProfileDocument::Finish(std::string&& text, std::string& bytes, std::string& error) const {
  if (m_encoding.GetKind() == ProfileEncoding::Kind::kBytes) {
    bytes = std::move(text);
    return true;
  }
  return m_encoding.Encode(text, bytes, error);
}

size_t ProfileDocument::MemoryBytes() const {
  // a hash node holds a view and an index plus the list link and cached hash
  constexpr size_t kNodeBytes = sizeof(std::string_view) + 3 * sizeof(size_t);
  size_t total = sizeof(*this) + m_text.capacity() + m_lines.capacity() * sizeof(Line) +
                 m_sections.capacity() * sizeof(Section) + m_keyIndex.capacity() * sizeof(NameIndex);
  total += m_sectionIndex.size() * kNodeBytes + m_sectionIndex.bucket_count() * sizeof(void*);
  for (const NameIndex& keys : m_keyIndex) total += keys.size() * kNodeBytes + keys.bucket_count() * sizeof(void*);
  return total;
}

}  // namespace qrv::platform
