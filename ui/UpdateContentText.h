#pragma once

#include <QByteArray>
#include <QString>
#include <string>

namespace qrv {

// The update-content text of a product as the product page shows it: the
// file the server names under UPDATEINFOPATH, fetched into the download
// folder. The file is read whole, up to kMaxBytes (a larger one shows its
// first kMaxBytes), and decoded once: as UTF-8 when it is valid UTF-8, else
// as CP949 (the Korean code page the older servers wrote), so that no
// character is ever cut in two.
//
// Thread: any.
class UpdateContentText {
 public:
  static constexpr qsizetype kMaxBytes = qsizetype{1} << 20;
  // Longer lines are broken at this many characters: a text box lays a
  // line out whole, and a megabyte without a line break held the window
  // for seconds.
  static constexpr qsizetype kMaxLineChars = 4096;

  // The text of the file at path; empty, with no message, when the file is
  // missing, is a link or not a regular file, or cannot be read. The text
  // ends at the first NUL byte; its lines are broken at kMaxLineChars.
  static QString Read(const std::string& path);
  // The text of bytes read from such a file (truncated: cut at kMaxBytes),
  // decoded and broken as Read does.
  static QString Show(const std::string& bytes, bool truncated);
  // Decodes bytes as above. truncated says the bytes were cut at kMaxBytes:
  // an incomplete character at their end is dropped, not taken as a fault.
  static QString Decode(QByteArray bytes, bool truncated);
  // bytes as CP949; an invalid byte becomes U+FFFD.
  static QString FromCp949(const QByteArray& bytes);
};

}  // namespace qrv
