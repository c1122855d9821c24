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
  int64_t started = 0;
  std::string why;
  RemoteValues::Number(reply.values(), 0, 0, 1, started);
  RemoteValues::Text(reply.values(), 1, why);
  if (started == 1) return true;
  platform::LastError::Set(why.empty() ? "the update window could not start " + file : why);
  return false;
}

}  // namespace qrv::remote
