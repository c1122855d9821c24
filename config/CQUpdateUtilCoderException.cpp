#include "config/CQUpdateUtilCoderException.h"

#include <utility>

namespace qrv {

CQUpdateUtilCoderException::CQUpdateUtilCoderException(std::string message)
    : m_message(std::move(message)) {}

const char* CQUpdateUtilCoderException::what() const noexcept { return m_message.c_str(); }

}  // namespace qrv
