#include "config/CQUpdateUtilCoderHexDe.h"

namespace qrv {

CQUpdateUtilCoderHexDe::CQUpdateUtilCoderHexDe(Queue* queue) : CQUpdateUtilCoder(queue) {}

void CQUpdateUtilCoderHexDe::Put(const uint8_t* data, size_t length) {
  CheckLength(length, "CQUpdateUtilCoderHexDe");
  CQUpdateUtilCoder::Put(data, length);
}

int CQUpdateUtilCoderHexDe::DigitValue(uint8_t character) {
  if (character >= '0' && character <= '9') return character - '0';
  if (character >= 'A' && character <= 'F') return character - 'A' + 10;
  if (character >= 'a' && character <= 'f') return character - 'a' + 10;
  return -1;
}

void CQUpdateUtilCoderHexDe::PutByte(uint8_t byte) {
  const int value = DigitValue(byte);
  if (value < 0) return;
  if (m_high < 0) {
    m_high = value;
    return;
  }
  Emit(static_cast<uint8_t>(m_high * 16 + value));
  m_high = -1;
}

void CQUpdateUtilCoderHexDe::End() { m_high = -1; }

}  // namespace qrv
