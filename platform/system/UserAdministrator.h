#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qrv::platform {

// Whether the user running the program administers the machine: the
// effective user is root, or one of the process's groups is sudo, wheel or
// admin. Membership counts even when the process is not elevated, the way a
// deny-only administrators group still marks a user on other systems.
//
// Thread: any.
class UserAdministrator {
 public:
  // The group name of a group id; nullopt when the id has no name.
  using GroupNameLookup = std::function<std::optional<std::string>(gid_t)>;

  // The rule, on given facts: effectiveUid 0, or a group in groups whose name
  // (through lookup) is one of the administrator groups.
  static bool Decide(uid_t effectiveUid, const std::vector<gid_t>& groups, const GroupNameLookup& lookup);

  // The process's groups: the supplementary groups plus the real and
  // effective primary groups, each once. Empty only when getgroups fails.
  static std::vector<gid_t> ProcessGroups();

  // The name of a group from the group database (getgrgid_r).
  static std::optional<std::string> GroupName(gid_t group);

  // Decide() for this process.
  static bool IsAdministrator();
};

}  // namespace qrv::platform
