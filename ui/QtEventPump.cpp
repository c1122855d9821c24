#include "ui/QtEventPump.h"

#include <QCoreApplication>

namespace qrv {

QtEventPump::QtEventPump()
    : m_previousHook(platform::EventPump::SetThreadHook([] { QCoreApplication::processEvents(); })),
      m_previousInterval(platform::EventPump::ThreadInterval()) {
  platform::EventPump::SetThreadInterval(kInterval);
}

QtEventPump::~QtEventPump() {
  platform::EventPump::SetThreadHook(std::move(m_previousHook));
  platform::EventPump::SetThreadInterval(m_previousInterval);
}

}  // namespace qrv
