#pragma once

#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/net/TransferBudget.h"

namespace qrv::platform {

class PartialFile;

// A client of SMB servers with one set of credentials, on libsmbclient
// (SMB2 or later; SMB1 is never offered). URLs are those ShareLocation::Url
// makes: smb://server[:port]/share/path.
//
// Credentials: user "DOMAIN\name" logs on as name in DOMAIN; an empty user
// logs on anonymously (guest). With a user name a refused logon is an error:
// libsmbclient's silent retry as anonymous is turned off, so a wrong password
// never ends up as a guest session that happens to see the share.
//
// The client library's connection to a server is made on first use and kept
// (and reused) until the session is destroyed. Use one session per server
// and port: libsmbclient finds a kept connection by server and share name
// alone.
//
// DFS: libsmbclient follows a referral to whatever server it names and logs
// on there with this session's credentials, without asking; it has no switch
// to stop that. So a share that is a DFS namespace root (where paths may
// refer elsewhere) is refused by CheckShare() before any path in it is used.
//
// Results are errno values (0 = success); a failure leaves the URL, the user
// name (never the password) and the reason in LastError. The client library
// reads the system's smb.conf (client settings) and writes nothing when given
// addresses; host names may be cached in Samba's cache folder as any Samba
// client does.
//
// Thread: libsmbclient keeps process-wide state (its configuration, the
// talloc stack) that two threads must not use at once, so every call of every
// session in the process is serialised by one process-wide lock; a session
// may be used from any thread. A long copy holds the lock until it ends.
class SmbSession {
 public:
  SmbSession(std::string user, std::string password);
  ~SmbSession();
  SmbSession(const SmbSession&) = delete;
  SmbSession& operator=(const SmbSession&) = delete;

  // Opens and closes the folder at url: the logon. EACCES / EPERM: the user,
  // password or access to the share was refused; ENOENT: no such share or
  // folder; ENOTDIR: url names a file; ECONNREFUSED, ETIMEDOUT, ...: no
  // server there.
  int OpenFolder(const std::string& url);
  // stat of the file or folder at url.
  int Stat(const std::string& url, struct stat& st);
  // Logs on to the share at shareUrl (smb://server[:port]/share, nothing
  // below) and checks that it is no DFS namespace root: EREMOTE when it is.
  // Only the share's own root is looked at, which no referral can move.
  int CheckShare(const std::string& shareUrl);
  // Copies the regular file at url into into (already open), holding the copy
  // to budget (started here, with the file's size as the expected length);
  // st receives the file's status (size, time, mode). EISDIR when url names a
  // folder; EFBIG with limit kSize when the file is larger than maxBytes (by
  // its size, before a byte is read, or by what arrives); ETIMEDOUT with
  // limit kTime when the copy falls below the budget's floor rate. into is
  // left open (the caller commits or discards it).
  int ReadFile(const std::string& url, PartialFile& into, uint64_t maxBytes, TransferBudget& budget,
               struct stat& st, LimitHit& limit);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace qrv::platform
