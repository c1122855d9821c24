#pragma once

#include "config/CQUpdateUtilCoder.h"

namespace qrv {

// Hexadecimal encoder: two digits per byte, high half first, no separators;
// upper- or lower-case letters as chosen at construction. Nothing is held
// between bytes, so End() writes nothing.
class CQUpdateUtilCoderHexEn : public CQUpdateUtilCoder {
 public:
  explicit CQUpdateUtilCoderHexEn(bool upperCase, Queue* queue = nullptr);

  // Throws "CQUpdateUtilCoderHexEn::Put() -- 0 length received" for length 0.
  void Put(const uint8_t* data, size_t length) override;
  void PutByte(uint8_t byte) override;

 private:
  const char* m_digits;
};

}  // namespace qrv
