#pragma once

#include <string>
#include <string_view>

namespace qrv::platform {

// How a profile file's bytes map to the text the parser works on. Files
// without a byte-order mark are taken byte for byte (UTF-8 or a legacy code
// page alike); a UTF-8 mark is set aside and put back on writing; UTF-16 files
// (either byte order) are decoded to UTF-8 and encoded back on writing, so
// they stay UTF-16.
//
// UTF-16 text is decoded so that it encodes back to the very same bytes: an
// unpaired surrogate becomes the 3-byte form of its code unit (as WTF-8 does)
// instead of being replaced. Only a trailing odd byte has no place in the text;
// such a file reads fine but CanEncode() refuses to write it back.
//
// Thread: values; any thread.
class ProfileEncoding {
 public:
  enum class Kind { kBytes, kUtf8Bom, kUtf16Le, kUtf16Be };

  // Splits a file's bytes into its encoding and its text.
  static ProfileEncoding Detect(std::string_view bytes, std::string& text);

  // The file bytes for text. False (with the reason in error) when text cannot
  // be represented: a UTF-16 file gets text that is not UTF-8, or the file had
  // a trailing odd byte.
  bool Encode(std::string_view text, std::string& bytes, std::string& error) const;

  Kind GetKind() const { return m_kind; }

 private:
  Kind m_kind = Kind::kBytes;
  bool m_oddTail = false;
};

}  // namespace qrv::platform
