#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qrv::platform {

// The character-level rules of profile files, shared by the parser, the
// lookups and the writer so that all of them agree on what a blank, a name and
// a value are.
//
// Thread: stateless; any thread.
class ProfileText {
 public:
  // 0x09-0x0D, 0x1A (the old end-of-file mark) and 0x20.
  static bool IsSpace(char c);
  static std::string_view TrimLeft(std::string_view text);
  static std::string_view TrimRight(std::string_view text);
  static std::string_view Trim(std::string_view text);

  // Names and values end at their first NUL, as the C strings of the original
  // interface do.
  static std::string_view CutAtNul(std::string_view text);

  // A lookup or written name: cut at NUL, then trimmed.
  static std::string_view CleanName(std::string_view name);

  // ASCII case folding only; bytes >= 0x80 compare as they are.
  static char FoldCase(char c);
  static bool EqualsNoCase(std::string_view a, std::string_view b);
  static size_t HashNoCase(std::string_view text);

  // One pair of matching outer quotes ('...' or "...") removed when the text is
  // longer than one character.
  static std::string_view StripQuotes(std::string_view value);

  // The number of bytes of text that fit in maxBytes, backing off so that a
  // well-formed UTF-8 character is never split in two. Invalid or non-UTF-8
  // bytes are cut exactly at maxBytes.
  static size_t CutLength(std::string_view text, size_t maxBytes);

  // Integer reading of the profile API: leading control characters and blanks
  // skipped, optional '+' / '-', base prefix 0x / 0o / 0b (lower case only:
  // "0X1F" is the decimal 0 followed by other text) else decimal, digits of
  // that base (either case) up to the first other character, modulo 2^32,
  // negated for '-'.
  static uint32_t ParseInteger(std::string_view text);

  // Hash and equality functors for unordered containers keyed by names.
  struct NoCaseHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return HashNoCase(text); }
  };
  struct NoCaseEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return EqualsNoCase(a, b); }
  };
};

}  // namespace qrv::platform
