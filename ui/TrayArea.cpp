#include "ui/TrayArea.h"

#include "platform/core/ServiceSlot.h"
#include "ui/QtTrayArea.h"

namespace qrv {
namespace {
platform::ServiceSlot<TrayArea> g_slot;
}  // namespace

TrayArea& TrayArea::Current() {
  // Made on first use and never destroyed: its Qt objects must not be torn
  // down after the application object, which static destruction would do.
  static QtTrayArea* fallback = new QtTrayArea();
  return g_slot.Current(*fallback);
}

std::shared_ptr<TrayArea> TrayArea::Install(std::shared_ptr<TrayArea> area) {
  return g_slot.Install(std::move(area));
}

}  // namespace qrv
