#pragma once

#include "config/CQUpdateUtilCoder.h"

namespace qrv {

// Hexadecimal decoder: 0-9, A-F and a-f count as digits, every other
// character is skipped. Two digits make one byte, high half first; the pair
// may span Put calls. A lone digit left at End() is dropped.
class CQUpdateUtilCoderHexDe : public CQUpdateUtilCoder {
 public:
  explicit CQUpdateUtilCoderHexDe(Queue* queue = nullptr);

  // Throws "CQUpdateUtilCoderHexDe::Put() -- 0 length received" for length 0.
  void Put(const uint8_t* data, size_t length) override;
  void PutByte(uint8_t byte) override;
  void End() override;

  // The value of a hexadecimal digit, -1 for any other character.
  static int DigitValue(uint8_t character);

 private:
  int m_high = -1;  // the first digit of a pair, -1 when none is held
};

}  // namespace qrv
