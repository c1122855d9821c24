#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net/TransferBudget.h"
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
// first use (LogOn need not come first). Names of files are relative and
// '/'-separated. A file of a local folder is opened below the folder without
// following any symbolic link (FolderFile): a link is refused, never read
// through. A share that is a DFS namespace root is refused (its referrals
// would carry the logon to other servers; see SmbSession), on LogOn and on
// the first use of the share.
//
// Copies are held to the limits every download has: a size cap (checked
// against the file's size before a byte is copied, and against what
// arrives) and the floor rate of SetFloorRate (TransferBudget). A copy is
// private to the account that made it: mode 0600, or 0400 from a source its
// owner may not write (never wider than the source).
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

  static constexpr uint64_t kDefaultMaxFileBytes = uint64_t{4} << 30;

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
  // True when name is a regular file in the folder (reached without links).
  bool HasFile(std::string_view name);
  // Copies the regular file name of the folder to target, replacing an
  // existing target (even a read-only one) in one step (PartialFile). False
  // when the source is missing, a folder, a link or unreadable, when target's
  // folder does not exist or the target is a folder, and when a limit ends
  // the copy: larger than maxBytes, or slower than the floor rate (limit,
  // when given, says which: kSize, kTime, else kNone). Nothing is left at
  // target after a failure.
  bool CopyFile(std::string_view name, const std::string& target, uint64_t maxBytes = kDefaultMaxFileBytes,
                LimitHit* limit = nullptr);

  // The floor rate of the copies that follow, in bytes per second (0: the
  // default of TransferBudget). May be set from any thread.
  void SetFloorRate(uint64_t bytesPerSecond) { m_floorRate.store(bytesPerSecond); }

  const ShareLocation& Location() const { return m_location; }
  // The network name found by the last LogOn: the share URL of an SMB folder,
  // the mount's source and the rest of the path for a folder on a network
  // mount ("//nas/updates/2024"), empty for a folder on a local disk or
  // before a successful LogOn.
  std::string NetworkName() const;

 private:
  uint32_t LogOnLocal();
  uint32_t LogOnSmb();
  bool CopyLocal(std::string_view name, const std::string& target, uint64_t maxBytes, LimitHit& limit);
  bool CopySmb(std::string_view name, const std::string& target, uint64_t maxBytes, LimitHit& limit);
  // Opens name below the local folder (FolderFile) with flags: -1 with
  // LastError set when it cannot be opened.
  int OpenLocal(std::string_view name, int flags) const;
  SmbSession& Session();
  // 0 once the share has passed SmbSession::CheckShare (done once; again when
  // force is set), else its errno with LastError set.
  int CheckShare(bool force);
  std::string LocalFile(std::string_view name) const;

  ShareLocation m_location;
  std::string m_user;
  std::string m_password;
  std::optional<MountTable> m_mounts;
  mutable std::mutex m_mutex;  // guards m_session (made on first use), m_networkName, m_shareChecked
  std::unique_ptr<SmbSession> m_session;
  std::string m_networkName;
  bool m_shareChecked = false;
  std::atomic<uint64_t> m_floorRate{TransferBudget::kDefaultFloorRate};
};

}  // namespace qrv::platform
