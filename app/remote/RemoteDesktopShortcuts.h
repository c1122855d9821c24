#pragma once

#include <string_view>

#include "platform/shell/DesktopShortcuts.h"

namespace qrv::remote {

class RemoteChannel;

// The engine service's desktop shortcuts: root has no desktop, and the
// shortcut is meant for the person updating, so the window puts it on its
// own user's desktop, as that user.
//
// Thread: the session's thread (shortcuts are made in the finalize).
class RemoteDesktopShortcuts : public platform::DesktopShortcuts {
 public:
  explicit RemoteDesktopShortcuts(RemoteChannel& channel) : m_channel(channel) {}

  bool Make(std::string_view name, std::string_view target, std::string_view comment) override;
  bool Remove(std::string_view name) override;

 private:
  RemoteChannel& m_channel;
};

}  // namespace qrv::remote
