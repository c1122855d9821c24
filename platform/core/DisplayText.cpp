#include "platform/core/DisplayText.h"

#include <cstdint>

namespace qrv::platform {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool Continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the valid UTF-8 character at text[at], or 0 when the byte there
// does not start one (a stray continuation byte, an overlong form, a
// surrogate, a code point past U+10FFFF, a sequence cut short).
size_t CharLength(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (!Continuation(byte(i))) return 0;
  }
  return length;
}

std::string ByteEscape(unsigned char byte) { return {'\\', 'x', kHex[byte >> 4], kHex[byte & 0x0F]}; }

// Whether the three bytes at text[at] are a bidirectional control (U+200E,
// U+200F, U+202A..U+202E, U+2066..U+2069): shown raw, they reorder what a
// terminal displays, so a path can be made to read as another.
bool BidiControl(std::string_view text, size_t at) {
  if (static_cast<unsigned char>(text[at]) != 0xE2) return false;
  const auto b1 = static_cast<unsigned char>(text[at + 1]);
  const auto b2 = static_cast<unsigned char>(text[at + 2]);
  return (b1 == 0x80 && (b2 == 0x8E || b2 == 0x8F || (b2 >= 0xAA && b2 <= 0xAE))) ||
         (b1 == 0x81 && b2 >= 0xA6 && b2 <= 0xA9);
}

// The bytes of the character at text[at] (1 for a byte that starts none);
// escape tells whether it is shown as an escape.
size_t Next(std::string_view text, size_t at, bool& escape) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const size_t length = CharLength(text, at);
  escape = length == 0 || lead < 0x20 || lead == 0x7F ||
           (length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F) ||
           (length == 3 && BidiControl(text, at));
  return length == 0 ? 1 : length;
}

// The escape of the character (or stray byte) `raw`.
std::string EscapeOf(std::string_view raw) {
  const auto lead = static_cast<unsigned char>(raw[0]);
  if (raw.size() == 2) {  // a C1 character
    const auto code = static_cast<unsigned char>(raw[1]);
    return {'\\', 'u', '0', '0', kHex[code >> 4], kHex[code & 0x0F]};
  }
  if (raw.size() == 3) {  // a bidirectional control
    const unsigned code = ((lead & 0x0Fu) << 12) | ((static_cast<unsigned char>(raw[1]) & 0x3Fu) << 6) |
                          (static_cast<unsigned char>(raw[2]) & 0x3Fu);
    return {'\\', 'u', kHex[(code >> 12) & 0x0F], kHex[(code >> 8) & 0x0F], kHex[(code >> 4) & 0x0F],
            kHex[code & 0x0F]};
  }
  switch (lead) {
    case 0x1B: return "\\e";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: return ByteEscape(lead);
  }
}

// Calls piece(text) for each piece of the escaped form of text, in order.
template <typename Sink>
void ForEachPiece(std::string_view text, Sink&& piece) {
  size_t at = 0;
  while (at < text.size()) {
    bool escape = false;
    const size_t length = Next(text, at, escape);
    const std::string_view raw = text.substr(at, length);
    if (escape) piece(EscapeOf(raw));
    else piece(raw);
    at += length;
  }
}

}  // namespace

std::string DisplayText::Escape(std::string_view text) {
  if (!NeedsEscape(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 16);
  ForEachPiece(text, [&](std::string_view piece) { out += piece; });
  return out;
}

std::vector<std::string> DisplayText::Pieces(std::string_view text) {
  std::vector<std::string> pieces;
  ForEachPiece(text, [&](std::string_view piece) { pieces.emplace_back(piece); });
  return pieces;
}

bool DisplayText::NeedsEscape(std::string_view text) {
  size_t at = 0;
  while (at < text.size()) {
    bool escape = false;
    at += Next(text, at, escape);
    if (escape) return true;
  }
  return false;
}

size_t DisplayText::Width(std::string_view piece) {
  size_t width = 0;
  for (char c : piece) {
    if (!Continuation(static_cast<unsigned char>(c))) ++width;
  }
  return width;
}

}  // namespace qrv::platform
