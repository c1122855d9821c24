#pragma once

#include <iconv.h>

#include <string>
#include <string_view>

namespace Cabinet {

// The name of a file inside a cabinet, as the bytes of its CFFILE entry, turned
// into a relative path below the target folder.
//
// Decoding: the bytes are UTF-8 when the entry's attributes carry the
// name-is-UTF-8 flag (0x80) and the bytes are valid UTF-8. Otherwise a name of
// plain ASCII stays as it is; a name with bytes above 0x7F is read as code page
// 949 (the products ship Korean names written by Korean Windows) when it is
// valid there, else byte by byte (each byte is the character of the same
// value, Latin-1). Both '\' and '/' separate folders; the result uses '/'.
//
// Thread: an EntryName object belongs to one thread (it keeps a converter).
class EntryName {
 public:
  EntryName();
  ~EntryName();
  EntryName(const EntryName&) = delete;
  EntryName& operator=(const EntryName&) = delete;

  // The UTF-8 name with '/' separators; never fails (every byte string has a
  // byte-by-byte reading).
  std::string Decode(std::string_view raw, int attribs);

  // True when a decoded name may be written below a target folder: not empty,
  // not absolute ('/' first, or a drive such as "C:"), no empty, "." or ".."
  // component, no control character (below 0x20, or 0x7F). Otherwise false and
  // reason says which rule it breaks, with the name (as Printable() shows it).
  static bool IsSafe(std::string_view name, std::string& reason);

  // name with control characters written as escapes (\t, \n, \r, \xNN), fit
  // for one line of a message or a listing: a hostile name must not be able
  // to steer the terminal that shows it.
  static std::string Printable(std::string_view name);

  // The byte-by-byte reading (Latin-1 to UTF-8).
  static std::string FromLatin1(std::string_view raw);

 private:
  bool FromCp949(std::string_view raw, std::string& out);

  iconv_t m_cp949;  // (iconv_t)-1 when the C library has no CP949 converter
};

}  // namespace Cabinet
