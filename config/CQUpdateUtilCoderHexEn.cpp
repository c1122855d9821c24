#include "config/CQUpdateUtilCoderHexEn.h"

namespace qrv {

CQUpdateUtilCoderHexEn::CQUpdateUtilCoderHexEn(bool upperCase, Queue* queue)
    : CQUpdateUtilCoder(queue), m_digits(upperCase ? "0123456789ABCDEF" : "0123456789abcdef") {}

void CQUpdateUtilCoderHexEn::Put(const uint8_t* data, size_t length) {
  CheckLength(length, "CQUpdateUtilCoderHexEn");
  CQUpdateUtilCoder::Put(data, length);
}

void CQUpdateUtilCoderHexEn::PutByte(uint8_t byte) {
  Emit(static_cast<uint8_t>(m_digits[byte >> 4]));
  Emit(static_cast<uint8_t>(m_digits[byte & 0x0F]));
}

}  // namespace qrv
