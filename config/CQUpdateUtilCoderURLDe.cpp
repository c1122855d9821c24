#include "config/CQUpdateUtilCoderURLDe.h"

namespace qrv {

CQUpdateUtilCoderURLDe::CQUpdateUtilCoderURLDe(Queue* queue)
    : CQUpdateUtilCoder(queue), m_hex(OutputQueue()) {}

void CQUpdateUtilCoderURLDe::Put(const uint8_t* data, size_t length) {
  CheckLength(length, "CQUpdateUtilCoderURLDe");
  CQUpdateUtilCoder::Put(data, length);
}

void CQUpdateUtilCoderURLDe::PutByte(uint8_t byte) {
  if (m_escapeLeft > 0) {
    m_hex.PutByte(byte);
    // A pair that was not two digits leaves a digit (or nothing) held; End
    // drops it so it cannot pair with the next escape.
    if (--m_escapeLeft == 0) m_hex.End();
    return;
  }
  if (byte == '%') {
    m_escapeLeft = 2;
  } else if (byte == '+') {
    Emit(' ');
  } else {
    Emit(byte);
  }
}

void CQUpdateUtilCoderURLDe::End() {
  m_escapeLeft = 0;
  m_hex.End();
}

}  // namespace qrv
