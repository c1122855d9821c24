#include "ui/FolderPicker.h"

#include "platform/core/ServiceSlot.h"
#include "ui/QtFolderPicker.h"

namespace qrv {
namespace {
platform::ServiceSlot<FolderPicker> g_slot;
}

FolderPicker& FolderPicker::Current() {
  static QtFolderPicker fallback;
  return g_slot.Current(fallback);
}

std::shared_ptr<FolderPicker> FolderPicker::Install(std::shared_ptr<FolderPicker> picker) {
  return g_slot.Install(std::move(picker));
}

}  // namespace qrv
