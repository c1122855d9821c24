#include "platform/profile/ProfileText.h"

namespace qrv::platform {

bool ProfileText::IsSpace(char c) {
  return (c >= '\t' && c <= '\r') || c == '\x1A' || c == ' ';
}

std::string_view ProfileText::TrimLeft(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size() && IsSpace(text[begin])) ++begin;
  return text.substr(begin);
}

std::string_view ProfileText::TrimRight(std::string_view text) {
  size_t end = text.size();
  while (end > 0 && IsSpace(text[end - 1])) --end;
  return text.substr(0, end);
}

std::string_view ProfileText::Trim(std::string_view text) { return TrimRight(TrimLeft(text)); }

std::string_view ProfileText::CutAtNul(std::string_view text) {
  size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

std::string_view ProfileText::CleanName(std::string_view name) { return Trim(CutAtNul(name)); }

char ProfileText::FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

bool ProfileText::EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

size_t ProfileText::HashNoCase(std::string_view text) {
  // FNV-1a over the folded bytes: cheap, and good enough for names.
  uint64_t hash = 14695981039346656037ULL;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(FoldCase(c));
    hash *= 1099511628211ULL;
  }
  return static_cast<size_t>(hash);
}

std::string_view ProfileText::StripQuotes(std::string_view value) {
  if (value.size() > 1 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

size_t ProfileText::CutLength(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text.size();
  // find the lead byte of the character that straddles the cut
  size_t lead = maxBytes;
  size_t stepsBack = 0;
  while (lead > 0 && stepsBack < 3 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) {
    --lead;
    ++stepsBack;
  }
  if (lead == maxBytes) return maxBytes;  // the cut falls between two characters
  auto b = static_cast<unsigned char>(text[lead]);
  size_t length = 0;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
  } else {
    return maxBytes;  // not UTF-8: plain byte cut
  }
  if (lead + length <= maxBytes || lead + length > text.size()) return maxBytes;
  for (size_t i = lead + 1; i < lead + length; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return maxBytes;
  }
  return lead;
}

uint32_t ProfileText::ParseInteger(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && static_cast<unsigned char>(text[pos]) <= ' ') ++pos;
  bool minus = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    minus = text[pos] == '-';
    ++pos;
  }
  uint32_t base = 10;
  if (text.size() - pos >= 2 && text[pos] == '0') {
    char prefix = text[pos + 1];  // Windows reads only the lower-case prefixes
    if (prefix == 'x') base = 16;
    if (prefix == 'o') base = 8;
    if (prefix == 'b') base = 2;
    if (base != 10) pos += 2;
  }
  uint32_t total = 0;
  for (; pos < text.size(); ++pos) {
    char c = FoldCase(text[pos]);
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'z') {
      digit = static_cast<uint32_t>(c - 'a') + 10;
    } else {
      break;
    }
    if (digit >= base) break;
    total = total * base + digit;  // unsigned: wraps modulo 2^32 by definition
  }
  return minus ? 0U - total : total;
}

}  // namespace qrv::platform
