#pragma once

#include <cstdint>

#include "config/CQUpdateUtilCoder.h"

namespace qrv {

// Base64 decoder: characters of the standard alphabet count, every other one
// ("=", line breaks, spaces, junk) is skipped. Four characters make three
// bytes; a group may span Put calls. At End() a held partial group of 1 or 2
// characters gives one byte and of 3 characters two bytes (missing bits are
// zero).
class CQUpdateUtilCoderBase64De : public CQUpdateUtilCoder {
 public:
  explicit CQUpdateUtilCoderBase64De(Queue* queue = nullptr);

  // Throws "CQUpdateUtilCoderBase64De::Put() -- 0 length received" for length 0.
  void Put(const uint8_t* data, size_t length) override;
  void PutByte(uint8_t byte) override;
  void End() override;

 private:
  uint32_t m_bits = 0;
  size_t m_count = 0;  // characters held in m_bits
};

}  // namespace qrv
