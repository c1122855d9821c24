#pragma once

#include "config/CQUpdateUtilCoder.h"

namespace qrv {

// URL (form) encoder: letters, digits, "." and "@" pass unchanged, a space
// becomes "+", every other byte "%" and two hexadecimal digits in the case
// chosen at construction. Nothing is held between bytes.
class CQUpdateUtilCoderURLEn : public CQUpdateUtilCoder {
 public:
  explicit CQUpdateUtilCoderURLEn(bool upperCase, Queue* queue = nullptr);

  // Throws "CQUpdateUtilCoderURLEn::Put() -- 0 length received" for length 0.
  void Put(const uint8_t* data, size_t length) override;
  void PutByte(uint8_t byte) override;

 private:
  const char* m_digits;
};

}  // namespace qrv
