#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qrv::platform {

// Profile (INI) files with the semantics of the Windows profile API
// (GetPrivateProfileStringA, GetPrivateProfileIntA, WritePrivateProfileStringA).
//
// Reading: section and key names compare without ASCII case; lines, names and
// values are trimmed (blanks are 0x09-0x0D, 0x1A, 0x20); a section is the text
// between '[' and the last ']' of its line; a key is the text before the first
// '=', its value the rest; one pair of matching outer quotes is removed from a
// value longer than one character; ';' starts a comment only at the start of a
// line; only the first section of a name is searched and the first key of a
// name in it wins. Names and values end at their first NUL byte. The lines
// before the first header form the section "" (so a lookup of "" or of blanks
// finds them, and a later "[]" section is never searched); a line "=value" is
// the key "". Enumeration leaves empty names out. A file that is missing,
// unreadable, a folder or larger than 16 MiB reads as empty (the default is
// returned) with the reason in LastError; a write that would make a file larger
// than that is refused.
//
// Encodings: files are read byte for byte (UTF-8, or any single-byte code
// page) unless they start with a byte-order mark: a UTF-8 mark is skipped and
// kept on writing; UTF-16 files (either byte order) are read as UTF-8 and stay
// UTF-16 when written (names and values written into them must be UTF-8).
//
// Writing: every line the write does not change stays byte for byte, the
// file's line-ending style is kept, and the file is replaced atomically
// (temporary file in the same folder, flushed, renamed over the file; a symbolic
// link is followed and stays a link). A read-only file is not written. Writes
// within this process are serialised; writes from several processes at the
// same moment are not coordinated (the last one wins, as on Windows).
//
// Paths are used as given: a relative path is relative to the current folder.
// Parsed files are cached (see ProfileCache) and re-read whenever their size,
// inode or times change.
//
// Errors: every call clears LastError first; a failure, and a read that had to
// fall back to the default because the file could not be read, leave the
// reason (with the path) in LastError.
//
// Thread: every function may be called from any thread at any time.
class ProfileFile {  // static functions only
 public:
  static constexpr uint32_t kDefaultBufferChars = 260;

  // GetPrivateProfileStringA for one section and key: copies the value, or the
  // default (its trailing spaces stripped) when the file, section or key is
  // missing, into buffer: at most size-1 bytes plus a NUL, never splitting a
  // UTF-8 character. Returns the number of bytes copied (without the NUL).
  // size 0 (or a null buffer): copies nothing, returns 0.
  static uint32_t GetString(const std::string& file, std::string_view section, std::string_view key,
                            std::string_view def, char* buffer, uint32_t size);
  // Same result as text, as read with a buffer of bufferChars (so at most bufferChars-1 bytes).
  static std::string GetString(const std::string& file, std::string_view section, std::string_view key,
                               std::string_view def = {}, uint32_t bufferChars = kDefaultBufferChars);
  // GetPrivateProfileIntA: UINT result (callers cast to int32_t for the signed
  // view). Missing key or empty value: def. Otherwise the first 29 characters
  // of the value read as an integer: optional sign, lower-case 0x / 0o / 0b
  // prefix ("0X1F" is 0), digits up to the first other character, modulo 2^32.
  static uint32_t GetInt(const std::string& file, std::string_view section, std::string_view key, int32_t def);
  // Names in file order (first occurrence of duplicates only, empty names left
  // out), for enumeration. KeyNames("") lists the keys before the first header.
  static std::vector<std::string> SectionNames(const std::string& file);
  static std::vector<std::string> KeyNames(const std::string& file, std::string_view section);

  // WritePrivateProfileStringA with a key and a value: creates the file (its
  // folder must exist), the section and the key as needed; false on failure
  // with the reason in LastError. An existing key keeps its spelling and place;
  // a new key goes after the last key line of the section's first occurrence; a
  // new section goes at the end of the file. The section "" (or blanks) is the
  // part before the first header: a new key there goes after its last key line,
  // or at the start of the file; it never gets a "[]" header. The key "" (or
  // blanks) is written as "=value". Leading blanks of the value are dropped.
  // Refused: a section name with ']', a key name with '=' or starting with '['
  // or ';', and any name or value with a line break or a NUL byte.
  static bool WriteString(const std::string& file, std::string_view section, std::string_view key,
                          std::string_view value);
  // One value for WriteStrings.
  struct Assignment {
    std::string section;
    std::string key;
    std::string value;
  };
  // WriteString of each assignment in order, with one read and one replace of
  // the file (flushed to disk like every write) whatever their number: the file
  // ends as those calls would leave it (a key set twice keeps its first place
  // and takes its last value). An assignment WriteString would refuse is left
  // out while the others are written; the call then returns false with the
  // first refusal in LastError. False as well, with the reason, when the file
  // cannot be written (then nothing of it is).
  static bool WriteStrings(const std::string& file, const std::vector<Assignment>& assignments);
  // lpString NULL: removes every line of that key from the searched section.
  // Nothing to remove (or no file) is success and writes nothing.
  static bool DeleteKey(const std::string& file, std::string_view section, std::string_view key);
  // lpKeyName NULL: removes every section of that name, header to next header;
  // for "" that is everything before the first header and every "[]" section.
  // Nothing to remove (or no file) is success and writes nothing.
  static bool DeleteSection(const std::string& file, std::string_view section);

  // Forgets every cached file (tests, and callers that know a file changed within the same mtime tick).
  static void FlushCache();
};

}  // namespace qrv::platform
