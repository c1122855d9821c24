#pragma once

#include "config/CQUpdateUtilCoder.h"
#include "config/CQUpdateUtilCoderHexDe.h"

namespace qrv {

// URL (form) decoder: "+" becomes a space; "%" takes the next two
// characters, whatever they are, through the hexadecimal decoder, so "%41"
// gives "A" while an escape whose two characters are not both hexadecimal
// digits ("%4z", "%zz", "%%4") gives nothing at all; every other byte passes
// unchanged. An escape may span Put calls. An escape cut short by the end of
// the input ("100%", "%4") is dropped at End(), the same as one with a
// missing digit.
class CQUpdateUtilCoderURLDe : public CQUpdateUtilCoder {
 public:
  explicit CQUpdateUtilCoderURLDe(Queue* queue = nullptr);

  // Throws "CQUpdateUtilCoderURLDe::Put() -- 0 length received" for length 0.
  void Put(const uint8_t* data, size_t length) override;
  void PutByte(uint8_t byte) override;
  void End() override;

 private:
  CQUpdateUtilCoderHexDe m_hex;  // writes into this coder's queue
  int m_escapeLeft = 0;          // characters an open "%" escape still takes
};

}  // namespace qrv
