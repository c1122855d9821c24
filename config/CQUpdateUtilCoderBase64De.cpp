#include "config/CQUpdateUtilCoderBase64De.h"

namespace qrv {
namespace {

int ValueOf(uint8_t character) {
  if (character >= 'A' && character <= 'Z') return character - 'A';
  if (character >= 'a' && character <= 'z') return character - 'a' + 26;
  if (character >= '0' && character <= '9') return character - '0' + 52;
  if (character == '+') return 62;
  if (character == '/') return 63;
  return -1;
}

}  // namespace

CQUpdateUtilCoderBase64De::CQUpdateUtilCoderBase64De(Queue* queue) : CQUpdateUtilCoder(queue) {}

void CQUpdateUtilCoderBase64De::Put(const uint8_t* data, size_t length) {
  CheckLength(length, "CQUpdateUtilCoderBase64De");
  CQUpdateUtilCoder::Put(data, length);
}

void CQUpdateUtilCoderBase64De::PutByte(uint8_t byte) {
  const int value = ValueOf(byte);
  if (value < 0) return;
  m_bits = (m_bits << 6) | static_cast<uint32_t>(value);
  if (++m_count < 4) return;
  Emit(static_cast<uint8_t>(m_bits >> 16));
  Emit(static_cast<uint8_t>(m_bits >> 8));
  Emit(static_cast<uint8_t>(m_bits));
  m_bits = 0;
  m_count = 0;
}

void CQUpdateUtilCoderBase64De::End() {
  if (m_count > 0) {
    const uint32_t bits = m_bits << (6 * (4 - m_count));
    Emit(static_cast<uint8_t>(bits >> 16));
    if (m_count == 3) Emit(static_cast<uint8_t>(bits >> 8));
  }
  m_bits = 0;
  m_count = 0;
}

}  // namespace qrv
