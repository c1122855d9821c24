#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qrv::platform {

// Who is at the other end of a connected Unix socket, in the kernel's
// words (SO_PEERCRED, SO_PEERGROUPS: what the peer was when it connected),
// never in the peer's own.
//
// Thread: any.
struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  std::vector<gid_t> groups;  // supplementary groups and the primary group

  // Reads the credentials of fd's peer; false with the reason in error.
  static bool Of(int fd, PeerCredentials& out, std::string& error);
  // Whether the peer administers the machine by the rule of
  // UserAdministrator (uid 0, or a member of sudo, wheel or admin).
  bool IsAdministrator() const;
};

}  // namespace qrv::platform
