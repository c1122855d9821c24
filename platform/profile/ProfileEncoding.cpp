#include "platform/profile/ProfileEncoding.h"

#include <cstdint>

namespace qrv::platform {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

void AppendUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void AppendUnit(uint16_t unit, bool bigEndian, std::string& out) {
  char hi = static_cast<char>(unit >> 8);
  char lo = static_cast<char>(unit & 0xFF);
  if (bigEndian) {
    out += hi;
    out += lo;
  } else {
    out += lo;
    out += hi;
  }
}

void DecodeUtf16(std::string_view bytes, bool bigEndian, std::string& text) {
  size_t count = bytes.size() / 2;
  text.reserve(count);
  auto unitAt = [&](size_t i) {
    auto a = static_cast<unsigned char>(bytes[2 * i]);
    auto b = static_cast<unsigned char>(bytes[2 * i + 1]);
    return static_cast<uint16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
  };
  for (size_t i = 0; i < count; ++i) {
    uint32_t unit = unitAt(i);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count) {
      uint32_t low = unitAt(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), text);
        ++i;
        continue;
      }
    }
    AppendUtf8(unit, text);  // includes unpaired surrogates, kept as their 3-byte form
  }
}

// UTF-8 (surrogate code points allowed, see above) to UTF-16; false at the
// first byte that does not start a well-formed sequence.
bool EncodeUtf16(std::string_view text, bool bigEndian, std::string& out, size_t& badOffset) {
  out.reserve(out.size() + text.size() * 2);
  size_t i = 0;
  while (i < text.size()) {
    auto b = static_cast<unsigned char>(text[i]);
    uint32_t cp = 0;
    size_t length = 0;
    uint32_t min = 0;
    if (b < 0x80) {
      cp = b;
      length = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      cp = b & 0x1F;
      length = 2;
      min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      cp = b & 0x0F;
      length = 3;
      min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      cp = b & 0x07;
      length = 4;
      min = 0x10000;
    } else {
      badOffset = i;
      return false;
    }
    if (i + length > text.size()) {
      badOffset = i;
      return false;
    }
    for (size_t k = 1; k < length; ++k) {
      auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) {
        badOffset = i;
        return false;
      }
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF) {
      badOffset = i;
      return false;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      AppendUnit(static_cast<uint16_t>(0xD800 + (cp >> 10)), bigEndian, out);
      AppendUnit(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)), bigEndian, out);
    } else {
      AppendUnit(static_cast<uint16_t>(cp), bigEndian, out);
    }
    i += length;
  }
  return true;
}

}  // namespace

ProfileEncoding ProfileEncoding::Detect(std::string_view bytes, std::string& text) {
  ProfileEncoding encoding;
  text.clear();
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    encoding.m_kind = Kind::kUtf16Le;
  } else if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
             static_cast<unsigned char>(bytes[1]) == 0xFF) {
    encoding.m_kind = Kind::kUtf16Be;
  } else if (bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
    encoding.m_kind = Kind::kUtf8Bom;
    text.assign(bytes.substr(kUtf8Bom.size()));
    return encoding;
  } else {
    text.assign(bytes);
    return encoding;
  }
  std::string_view body = bytes.substr(2);
  encoding.m_oddTail = body.size() % 2 != 0;
  DecodeUtf16(body, encoding.m_kind == Kind::kUtf16Be, text);
  return encoding;
}

bool ProfileEncoding::Encode(std::string_view text, std::string& bytes, std::string& error) const {
  bytes.clear();
  switch (m_kind) {
    case Kind::kBytes:
      bytes.assign(text);
      return true;
    case Kind::kUtf8Bom:
      bytes.reserve(kUtf8Bom.size() + text.size());
      bytes.append(kUtf8Bom);
      bytes.append(text);
      return true;
    case Kind::kUtf16Le:
    case Kind::kUtf16Be:
      break;
  }
  if (m_oddTail) {
    error = "the UTF-16 file has an odd number of bytes, so it cannot be rewritten without losing its last byte";
    return false;
  }
  bool bigEndian = m_kind == Kind::kUtf16Be;
  bytes.append(bigEndian ? "\xFE\xFF" : "\xFF\xFE", 2);
  size_t badOffset = 0;
  if (!EncodeUtf16(text, bigEndian, bytes, badOffset)) {
    error = "the text to write into a UTF-16 file is not valid UTF-8 (bad byte 0x";
    static constexpr char kHex[] = "0123456789ABCDEF";
    auto b = static_cast<unsigned char>(text[badOffset]);
    error += kHex[b >> 4];
    error += kHex[b & 0xF];
    error += ")";
    bytes.clear();
    return false;
  }
  return true;
}

}  // namespace qrv::platform
