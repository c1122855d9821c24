#pragma once

#include <string>

#include "platform/shell/Launcher.h"

namespace qrv::remote {

class RemoteChannel;

// The engine service's program starts: an update's "start this program"
// happens in the window's desktop session, as the window's user, never as
// root and never without a display. The window opens the file with its own
// launcher.
//
// Thread: the session's thread (program starts run there, in the finalize).
class RemoteLauncher : public platform::Launcher {
 public:
  explicit RemoteLauncher(RemoteChannel& channel) : m_channel(channel) {}

  bool Open(const std::string& file, const std::string& folder) override;

 private:
  RemoteChannel& m_channel;
};

}  // namespace qrv::remote
