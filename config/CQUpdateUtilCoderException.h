#pragma once

#include <exception>
#include <string>

namespace qrv {

// What the text coders throw: a zero-length Put, or a null buffer given to
// Get. The message names the coder and the call, e.g.
// "CQUpdateUtilCoderHexEn::Put() -- 0 length received".
class CQUpdateUtilCoderException : public std::exception {
 public:
  explicit CQUpdateUtilCoderException(std::string message);
  const char* what() const noexcept override;

 private:
  std::string m_message;
};

}  // namespace qrv
