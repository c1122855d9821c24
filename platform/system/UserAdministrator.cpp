#include "platform/system/UserAdministrator.h"

#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/core/LastError.h"

namespace qrv::platform {

bool UserAdministrator::Decide(uid_t effectiveUid, const std::vector<gid_t>& groups, const GroupNameLookup& lookup) {
  if (effectiveUid == 0) return true;
  // The groups distributions give the right to become root.
  static constexpr std::array<std::string_view, 3> kAdminGroups = {"sudo", "wheel", "admin"};
  for (gid_t group : groups) {
    std::optional<std::string> name = lookup ? lookup(group) : std::nullopt;
    if (name && std::find(kAdminGroups.begin(), kAdminGroups.end(), *name) != kAdminGroups.end()) return true;
  }
  return false;
}

std::vector<gid_t> UserAdministrator::ProcessGroups() {
  int count = ::getgroups(0, nullptr);
  if (count < 0) {
    LastError::Set(std::string("getgroups failed: ") + std::strerror(errno));
    return {};
  }
  std::vector<gid_t> groups(static_cast<size_t>(count));
  // The list can grow between the two calls; ask again with room to spare.
  groups.resize(groups.size() + 16);
  count = ::getgroups(static_cast<int>(groups.size()), groups.data());
  if (count < 0) {
    LastError::Set(std::string("getgroups failed: ") + std::strerror(errno));
    return {};
  }
  groups.resize(static_cast<size_t>(count));
  // getgroups need not report the primary group.
  for (gid_t primary : {::getgid(), ::getegid()}) {
    if (std::find(groups.begin(), groups.end(), primary) == groups.end()) groups.push_back(primary);
  }
  return groups;
}

std::optional<std::string> UserAdministrator::GroupName(gid_t group) {
  std::vector<char> buffer(1024);
  for (;;) {
    struct group entry {};
    struct group* found = nullptr;
    int rc = ::getgrgid_r(group, &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 4);
      continue;
    }
    if (rc != 0 || found == nullptr || found->gr_name == nullptr) return std::nullopt;
    return std::string(found->gr_name);
  }
}

bool UserAdministrator::IsAdministrator() {
  return Decide(::geteuid(), ProcessGroups(), &UserAdministrator::GroupName);
}

}  // namespace qrv::platform
