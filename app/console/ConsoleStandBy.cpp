#include "app/console/ConsoleStandBy.h"

#include "res/CQUpdateStrings.h"
#include "res/StringIds.h"

namespace qrv {

namespace {
}

ConsoleStandBy::ConsoleStandBy(std::FILE* out) : m_out(out) {
  std::fputs(CQUpdateStrings::Get(kStringWait).c_str(), m_out);
  std::fflush(m_out);
}

ConsoleStandBy::~ConsoleStandBy() {
  std::fputc('\n', m_out);
  std::fflush(m_out);
}

void ConsoleStandBy::Advance() {
  std::fputc('.', m_out);
  std::fflush(m_out);
}

}  // namespace qrv
