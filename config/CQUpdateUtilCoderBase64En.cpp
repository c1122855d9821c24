#include "config/CQUpdateUtilCoderBase64En.h"

namespace qrv {
namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kLineLength = 72;
}  // namespace

CQUpdateUtilCoderBase64En::CQUpdateUtilCoderBase64En(bool lineBreaks, Queue* queue)
    : CQUpdateUtilCoder(queue), m_lineBreaks(lineBreaks) {}

void CQUpdateUtilCoderBase64En::Put(const uint8_t* data, size_t length) {
  CheckLength(length, "CQUpdateUtilCoderBase64En");
  CQUpdateUtilCoder::Put(data, length);
}

void CQUpdateUtilCoderBase64En::PutByte(uint8_t byte) {
  m_group[m_groupLength++] = byte;
  if (m_groupLength == m_group.size()) WriteGroup();
}

void CQUpdateUtilCoderBase64En::WriteGroup() {
  // A partial group is completed with zero bytes; its missing characters
  // become "=".
  for (size_t i = m_groupLength; i < m_group.size(); ++i) m_group[i] = 0;
  const unsigned bits = (unsigned{m_group[0]} << 16) | (unsigned{m_group[1]} << 8) | m_group[2];
  for (size_t i = 0; i < 4; ++i) {
    const bool present = i <= m_groupLength;
    Emit(static_cast<uint8_t>(present ? kAlphabet[(bits >> (18 - 6 * i)) & 0x3F] : '='));
  }
  m_groupLength = 0;
  m_lineLength += 4;
  if (m_lineLength == kLineLength) {
    if (m_lineBreaks) Emit('\n');
    m_lineLength = 0;
  }
}

void CQUpdateUtilCoderBase64En::End() {
  if (m_groupLength > 0) WriteGroup();
  if (m_lineLength != 0) {
    if (m_lineBreaks) Emit('\n');
    m_lineLength = 0;
  }
}

}  // namespace qrv
