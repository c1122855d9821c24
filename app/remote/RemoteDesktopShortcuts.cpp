#include "app/remote/RemoteDesktopShortcuts.h"

#include <string>

#include "app/remote/RemoteChannel.h"
#include "app/remote/RemoteValues.h"
#include "platform/core/LastError.h"

namespace qrv::remote {
namespace {

// One call to the window; its answer is 1 or 0 and the window's reason.
bool AskWindow(RemoteChannel& channel, Method method, const Values& args, const std::string& what) {
  Message reply;
  if (!channel.Call(method, args, reply)) {
    platform::LastError::Set("cannot " + what + ": the update window is gone (" + channel.CloseReason() + ")");
    return false;
  }
  return RemoteValues::Outcome(reply.values(), "the update window could not " + what);
}

}  // namespace

bool RemoteDesktopShortcuts::Make(std::string_view name, std::string_view target, std::string_view comment) {
  Values args;
  RemoteValues::AddText(args, std::string(name));
  RemoteValues::AddText(args, std::string(target));
  RemoteValues::AddText(args, std::string(comment));
  return AskWindow(m_channel, MAKE_DESKTOP_SHORTCUT, args,
                   "put the shortcut \"" + std::string(name) + "\" on the desktop");
}

bool RemoteDesktopShortcuts::Remove(std::string_view name) {
  Values args;
  RemoteValues::AddText(args, std::string(name));
  return AskWindow(m_channel, REMOVE_DESKTOP_SHORTCUT, args,
                   "remove the shortcut \"" + std::string(name) + "\" from the desktop");
}

}  // namespace qrv::remote
