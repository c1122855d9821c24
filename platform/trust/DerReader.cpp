#include "platform/trust/DerReader.h"

namespace qrv::platform {

bool DerReader::Next(Element& out) {
  const size_t left = static_cast<size_t>(m_end - m_pos);
  if (left < 2) return false;
  const uint8_t tag = m_pos[0];
  if ((tag & 0x1F) == 0x1F) return false;  // multi-byte tags do not occur in what we read
  size_t header = 2;
  size_t length = m_pos[1];
  if (length & 0x80) {
    const size_t count = length & 0x7F;
    // 0x80 is BER's indefinite length; more than four bytes cannot describe
    // anything inside a cabinet's signature area
    if (count == 0 || count > 4 || left < 2 + count) return false;
    length = 0;
    for (size_t i = 0; i < count; ++i) length = (length << 8) | m_pos[2 + i];
    header += count;
  }
  if (length > left - header) return false;
  out.tag = tag;
  out.begin = m_pos;
  out.content = m_pos + header;
  out.length = length;
  m_pos = out.content + length;
  return true;
}

}  // namespace qrv::platform
