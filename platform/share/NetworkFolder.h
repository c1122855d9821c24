#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/share/MountTable.h"
#include "platform/share/ShareLocation.h"

namespace qrv::platform {

class SmbSession;

// A folder that update files are copied from: a local or mounted folder, or a
// folder on an SMB share (see ShareLocation for the spellings), with the user
// and password to log on with. The logon answers with the result codes of
// the Windows network logon, so callers can keep its rules:
//
//   kNoError                     reachable and readable
//   kSessionCredentialConflict   a folder on a network mount (cifs, nfs, ...)
//                                while a user is set: the mount is reached with
//                                its own credentials, the setting's are unused
//   kLogonFailure                SMB: user, password or access to the share refused
//   kAccessDenied                local: the folder may not be read
//   kBadNetName                  no such share or folder
//   kBadNetPath                  SMB: no server answers there
//   kDirectory                   the path names a file, not a folder
//   kInvalidName                 the path cannot be a folder here (see ShareLocation)
//   kExtendedError               anything else (the reason is in LastError)
//
// Files of a local folder are read through the file system, mounts included;
// files of a share through the SMB client, logged on with the credentials on
// first use (LogOn need not come first). Names of files are relative,
// '/'-separated, and must be checked by the caller: they are joined to the
// folder as given.
//
// Every failure leaves its reason, with the paths, in LastError (of the
// calling thread).
//
// Thread: LogOn, HasFile and CopyFile may be called from different threads
// (the logon on the user-interface thread, copies on a worker); SMB calls are
// serialised process-wide (SmbSession). Create and destroy on one thread.
class NetworkFolder {
 public:
  static constexpr uint32_t kNoError = 0;
  static constexpr uint32_t kAccessDenied = 5;
  static constexpr uint32_t kBadNetPath = 53;
  static constexpr uint32_t kBadNetName = 67;
  static constexpr uint32_t kAlreadyAssigned = 85;
  static constexpr uint32_t kInvalidName = 123;
  static constexpr uint32_t kDirectory = 267;
  static constexpr uint32_t kDeviceAlreadyRemembered = 1202;
  static constexpr uint32_t kExtendedError = 1208;
  static constexpr uint32_t kSessionCredentialConflict = 1219;
  static constexpr uint32_t kLogonFailure = 1326;

  // port: the server setting's port, used for SMB locations that name none
  // (0 = the SMB default).
  NetworkFolder(std::string_view path, std::string user, std::string password, uint32_t port = 0);
  // The same, deciding what a local path is mounted on from mounts instead of
  // this process's mount table.
  NetworkFolder(std::string_view path, std::string user, std::string password, uint32_t port, MountTable mounts);
  ~NetworkFolder();
  NetworkFolder(const NetworkFolder&) = delete;
  NetworkFolder& operator=(const NetworkFolder&) = delete;

  // Logs on to the folder (SMB: opens it with the credentials; local: opens
  // it to read) and returns one of the codes above.
  uint32_t LogOn();
  // True when name is a regular file in the folder.
  bool HasFile(std::string_view name);
  // Copies the regular file name of the folder to target, replacing an
  // existing target (even a read-only one) in one step (PartialFile). False
  // when the source is missing, a folder or unreadable, when target's folder
  // does not exist or the target is a folder; nothing is left at target then.
  bool CopyFile(std::string_view name, const std::string& target);

  const ShareLocation& Location() const { return m_location; }
  // The network name found by the last LogOn: the share URL of an SMB folder,
  // the mount's source and the rest of the path for a folder on a network
  // mount ("//nas/updates/2024"), empty for a folder on a local disk or
  // before a successful LogOn.
  std::string NetworkName() const;

 private:
  uint32_t LogOnLocal();
  uint32_t LogOnSmb();
  bool CopyLocal(const std::string& source, const std::string& target);
  SmbSession& Session();
  std::string LocalFile(std::string_view name) const;

  ShareLocation m_location;
  std::string m_user;
  std::string m_password;
  std::optional<MountTable> m_mounts;
  mutable std::mutex m_mutex;  // guards m_session (made on first use) and m_networkName
  std::unique_ptr<SmbSession> m_session;
  std::string m_networkName;
};

}  // namespace qrv::platform
