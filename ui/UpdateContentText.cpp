#include "ui/UpdateContentText.h"

#include <iconv.h>

#include <QStringDecoder>
#include <algorithm>
#include <cerrno>

#include "platform/core/RegularFile.h"

namespace qrv {

namespace {

// Bytes at the end of text that start a UTF-8 sequence not finished before
// the end (0 when the last sequence is whole or the text is no UTF-8).
qsizetype IncompleteUtf8Tail(const QByteArray& text) {
  for (qsizetype back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto byte = static_cast<unsigned char>(text[text.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const qsizetype length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return length > back ? back : 0;
  }
  return 0;
}

}  // namespace

QString UpdateContentText::Read(const std::string& path) {
  std::string bytes;
  bool truncated = false;
  if (!platform::RegularFile::ReadPrefix(path, static_cast<size_t>(kMaxBytes), bytes, truncated)) return {};
  return Show(bytes, truncated);
}

QString UpdateContentText::Show(const std::string& bytes, bool truncated) {
  QString text = Decode(QByteArray::fromStdString(bytes), truncated);
  QString broken;
  broken.reserve(text.size() + text.size() / kMaxLineChars + 1);
  qsizetype run = 0;
  for (const QChar c : text) {
    if (c == QLatin1Char('\n')) {
      run = 0;
    } else if (++run > kMaxLineChars && !c.isLowSurrogate()) {  // never inside a character
      broken += QLatin1Char('\n');
      run = 1;
    }
    broken += c;
  }
  return broken;
}

QString UpdateContentText::Decode(QByteArray bytes, bool truncated) {
  const qsizetype nul = bytes.indexOf('\0');
  if (nul >= 0) {
    bytes.truncate(nul);
    truncated = false;
  }
  QByteArray utf8 = bytes;
  if (truncated) utf8.chop(IncompleteUtf8Tail(utf8));
  QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
  QString text = decoder.decode(utf8);
  if (!decoder.hasError()) return text;
  return FromCp949(bytes);
}

QString UpdateContentText::FromCp949(const QByteArray& bytes) {
  iconv_t cd = iconv_open("UTF-8", "CP949");
  if (cd == reinterpret_cast<iconv_t>(-1)) return QString::fromLatin1(bytes);
  QByteArray out;
  out.reserve(bytes.size() * 3 / 2 + 16);
  char buffer[4096];
  char* in = const_cast<char*>(bytes.constData());
  size_t inLeft = static_cast<size_t>(bytes.size());
  while (inLeft > 0) {
    char* dst = buffer;
    size_t dstLeft = sizeof buffer;
    const size_t r = iconv(cd, &in, &inLeft, &dst, &dstLeft);
    out.append(buffer, static_cast<qsizetype>(dst - buffer));
    if (r != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    if (errno == EINVAL) break;  // a lead byte cut off at the end of the bytes read
    out.append("\xEF\xBF\xBD");  // EILSEQ: mark the byte and go on after it
    ++in;
    --inLeft;
  }
  iconv_close(cd);
  return QString::fromUtf8(out);
}

}  // namespace qrv
