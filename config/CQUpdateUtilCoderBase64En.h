#pragma once

#include <array>

#include "config/CQUpdateUtilCoder.h"

namespace qrv {

// Base64 encoder (standard alphabet with "+/" and "=" padding). With line
// breaks on, a line feed follows every 72 characters and ends the last,
// shorter line, so non-empty output always ends in a line feed; with them off
// the output is one line without any.
//
// End() writes a held partial group of 1 or 2 bytes with "=" padding.
class CQUpdateUtilCoderBase64En : public CQUpdateUtilCoder {
 public:
  explicit CQUpdateUtilCoderBase64En(bool lineBreaks, Queue* queue = nullptr);

  // Throws "CQUpdateUtilCoderBase64En::Put() -- 0 length received" for length 0.
  void Put(const uint8_t* data, size_t length) override;
  void PutByte(uint8_t byte) override;
  void End() override;

 private:
  void WriteGroup();

  bool m_lineBreaks;
  std::array<uint8_t, 3> m_group{};
  size_t m_groupLength = 0;
  size_t m_lineLength = 0;  // characters on the current line
};

}  // namespace qrv
