#include "config/CQUpdateUtilCoderURLEn.h"

namespace qrv {

CQUpdateUtilCoderURLEn::CQUpdateUtilCoderURLEn(bool upperCase, Queue* queue)
    : CQUpdateUtilCoder(queue), m_digits(upperCase ? "0123456789ABCDEF" : "0123456789abcdef") {}

void CQUpdateUtilCoderURLEn::Put(const uint8_t* data, size_t length) {
  CheckLength(length, "CQUpdateUtilCoderURLEn");
  CQUpdateUtilCoder::Put(data, length);
}

void CQUpdateUtilCoderURLEn::PutByte(uint8_t byte) {
  const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                     (byte >= '0' && byte <= '9') || byte == '.' || byte == '@';
  if (plain) {
    Emit(byte);
  } else if (byte == ' ') {
    Emit('+');
  } else {
    Emit('%');
    Emit(static_cast<uint8_t>(m_digits[byte >> 4]));
    Emit(static_cast<uint8_t>(m_digits[byte & 0x0F]));
  }
}

}  // namespace qrv
