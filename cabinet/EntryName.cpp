#include "cabinet/EntryName.h"

#include <algorithm>
#include <cstdint>

namespace Cabinet {
namespace {

constexpr int kAttribUtf8Name = 0x80;
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    size_t extra = 0;
    uint32_t cp = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1;
      cp = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2;
      cp = b & 0x0Fu;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3;
      cp = b & 0x07u;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3Fu);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

std::string WithSlashes(std::string text) {
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

}  // namespace

EntryName::EntryName() : m_cp949(iconv_open("UTF-8", "CP949")) {}

EntryName::~EntryName() {
  if (m_cp949 != kNoConverter) iconv_close(m_cp949);
}

std::string EntryName::Decode(std::string_view raw, int attribs) {
  if ((attribs & kAttribUtf8Name) != 0 && IsValidUtf8(raw)) return WithSlashes(std::string(raw));
  if (IsAscii(raw)) return WithSlashes(std::string(raw));
  std::string converted;
  if (FromCp949(raw, converted)) return WithSlashes(std::move(converted));
  return WithSlashes(FromLatin1(raw));
}

bool EntryName::FromCp949(std::string_view raw, std::string& out) {
  if (m_cp949 == kNoConverter) return false;
  iconv(m_cp949, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
  // A CP949 character is at most two bytes and becomes at most three in UTF-8.
  std::string buffer(raw.size() * 2 + 4, '\0');
  std::string input(raw);
  char* in = input.data();
  size_t inLeft = input.size();
  char* outPtr = buffer.data();
  size_t outLeft = buffer.size();
  if (iconv(m_cp949, &in, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) return false;
  // A truncated lead byte at the end is only reported on the flush.
  if (iconv(m_cp949, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) return false;
  buffer.resize(buffer.size() - outLeft);
  out = std::move(buffer);
  return true;
}

std::string EntryName::Printable(std::string_view name) {
  std::string out;
  for (char c : name) {
    auto b = static_cast<unsigned char>(c);
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (b < 0x20 || b == 0x7F) {
      static const char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

std::string EntryName::FromLatin1(std::string_view raw) {
  std::string out;
  out.reserve(raw.size() * 2);
  for (char c : raw) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

bool EntryName::IsSafe(std::string_view name, std::string& reason) {
  auto refuse = [&](const char* why) {
    reason = "entry \"" + Printable(name) + "\" " + why;
    return false;
  };
  if (name.empty()) return refuse("has an empty name");
  for (char c : name) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return refuse("holds a control character");
  }
  if (name.front() == '/' || name.front() == '\\') return refuse("is an absolute path");
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    return refuse("names a drive");
  }
  size_t start = 0;
  while (true) {
    size_t end = name.find_first_of("/\\", start);
    std::string_view part = name.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (part.empty()) return refuse("has an empty path component");
    if (part == "..") return refuse("climbs out of the target folder with \"..\"");
    if (part == ".") return refuse("has a \".\" path component");
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return true;
}

}  // namespace Cabinet
