#include "platform/system/PeerCredentials.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/system/UserAdministrator.h"

namespace qrv::platform {

bool PeerCredentials::Of(int fd, PeerCredentials& out, std::string& error) {
  ucred cred{};
  socklen_t length = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred) {
    error = std::string("cannot learn who is connected (SO_PEERCRED): ") + std::strerror(errno);
    return false;
  }
  out.pid = cred.pid;
  out.uid = cred.uid;
  out.gid = cred.gid;
  // The groups the peer had when it connected; the list is asked for with
  // room to spare and again when the kernel says it needs more.
  std::vector<gid_t> groups(64);
  for (;;) {
    socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
      groups.resize(bytes / sizeof(gid_t));
      break;
    }
    if (errno == ERANGE && bytes > groups.size() * sizeof(gid_t) && bytes < (1u << 20)) {
      groups.resize(bytes / sizeof(gid_t) + 1);
      continue;
    }
    error = std::string("cannot learn the groups of who is connected (SO_PEERGROUPS): ") + std::strerror(errno);
    return false;
  }
  if (std::find(groups.begin(), groups.end(), out.gid) == groups.end()) groups.push_back(out.gid);
  out.groups = std::move(groups);
  return true;
}

bool PeerCredentials::IsAdministrator() const {
  return UserAdministrator::Decide(uid, groups, &UserAdministrator::GroupName);
}

}  // namespace qrv::platform
