#include "app/remote/RemoteLauncher.h"

#include "app/remote/RemoteChannel.h"
#include "app/remote/RemoteValues.h"
#include "platform/core/LastError.h"

namespace qrv::remote {

bool RemoteLauncher::Open(const std::string& file, const std::string& folder) {
  Values args;
  RemoteValues::AddText(args, file);
  RemoteValues::AddText(args, folder);
  Message reply;
  if (!m_channel.Call(OPEN_FILE, args, reply)) {
    platform::LastError::Set("cannot start " + file + ": the update window is gone (" + m_channel.CloseReason() + ")");
    return false;
  }
  return RemoteValues::Outcome(reply.values(), "the update window could not start " + file);
}

}  // namespace qrv::remote
