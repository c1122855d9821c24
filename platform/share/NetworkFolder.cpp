#include "platform/share/NetworkFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/core/LastError.h"
#include "platform/share/FolderFile.h"
#include "platform/share/PartialFile.h"
#include "platform/share/SmbSession.h"

namespace qrv::platform {
namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

uint32_t LocalLogonCode(int code) {
  switch (code) {
    case ENOENT:
      return NetworkFolder::kBadNetName;
    case ENOTDIR:
      return NetworkFolder::kDirectory;
    case EACCES:
    case EPERM:
      return NetworkFolder::kAccessDenied;
    case ELOOP:
    case ENAMETOOLONG:
      return NetworkFolder::kInvalidName;
    default:
      return NetworkFolder::kExtendedError;
  }
}

uint32_t SmbLogonCode(int code) {
  switch (code) {
    case EACCES:
    case EPERM:
      return NetworkFolder::kLogonFailure;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return NetworkFolder::kBadNetName;
    case ENOTDIR:
      return NetworkFolder::kDirectory;
    case ECONNREFUSED:
    case ECONNRESET:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETUNREACH:
    case ENETDOWN:
      return NetworkFolder::kBadNetPath;
    case EINVAL:
      return NetworkFolder::kInvalidName;
    default:
      return NetworkFolder::kExtendedError;
  }
}

}  // namespace

NetworkFolder::NetworkFolder(std::string_view path, std::string user, std::string password, uint32_t port)
    : m_location(ShareLocation::Parse(path, port)), m_user(std::move(user)), m_password(std::move(password)) {}

NetworkFolder::NetworkFolder(std::string_view path, std::string user, std::string password, uint32_t port,
                             MountTable mounts)
    : NetworkFolder(path, std::move(user), std::move(password), port) {
  m_mounts = std::move(mounts);
}

NetworkFolder::~NetworkFolder() = default;

std::string NetworkFolder::NetworkName() const {
  std::lock_guard lock(m_mutex);
  return m_networkName;
}

uint32_t NetworkFolder::LogOn() {
  LastError::Clear();
  {
    std::lock_guard lock(m_mutex);
    m_networkName.clear();
  }
  switch (m_location.GetKind()) {
    case ShareLocation::Kind::kLocal:
      return LogOnLocal();
    case ShareLocation::Kind::kSmb:
      return LogOnSmb();
    case ShareLocation::Kind::kInvalid:
      break;
  }
  LastError::Set(m_location.Error());
  return kInvalidName;
}

uint32_t NetworkFolder::LogOnLocal() {
  const std::string& path = m_location.LocalPath();
  // the mount is found by the real location, not by a link pointing to it
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    int code = errno;
    LastError::Set("cannot open folder " + Quoted(path) + ": " + std::strerror(code));
    return LocalLogonCode(code);
  }
  std::string real = resolved;
  ::free(resolved);
  DIR* folder = ::opendir(real.c_str());
  if (folder == nullptr) {
    int code = errno;
    LastError::Set("cannot open folder " + Quoted(path) + (real != path ? " (" + Quoted(real) + ")" : "") + ": " +
                   std::strerror(code));
    return LocalLogonCode(code);
  }
  ::closedir(folder);

  /* the network name behind the folder, if it is on a network mount */
  MountTable current;
  if (!m_mounts) current = MountTable::ReadCurrent();
  const MountTable& mounts = m_mounts ? *m_mounts : current;
  const MountTable::Entry* mount = mounts.Find(real);
  std::string name;
  if (mount != nullptr && MountTable::IsNetworkType(mount->fsType)) name = MountTable::NetworkName(*mount, real);
  {
    std::lock_guard lock(m_mutex);
    m_networkName = name;
  }
  // the kernel holds the mount's own session to the server; our credentials play no part
  if (!name.empty() && !m_user.empty()) return kSessionCredentialConflict;
  return kNoError;
}

uint32_t NetworkFolder::LogOnSmb() {
  std::string url = m_location.Url();
  // the share root first: no path in a DFS share is ever resolved
  int code = CheckShare(true);
  if (code != 0) {
    LastError::Set("cannot log on to " + url + ": " + LastError::Text());
  } else {
    code = Session().OpenFolder(url);
  }
  if (code != 0) {
    uint32_t result = SmbLogonCode(code);
    if (result == kLogonFailure) {
      LastError::Set(LastError::Text() + " (wrong user name or password, or the user may not use share " +
                     Quoted(m_location.Share()) + ")");
    }
    return result;
  }
  std::lock_guard lock(m_mutex);
  m_networkName = url;
  return kNoError;
}

SmbSession& NetworkFolder::Session() {
  std::lock_guard lock(m_mutex);
  if (!m_session) m_session = std::make_unique<SmbSession>(m_user, m_password);
  return *m_session;
}

int NetworkFolder::CheckShare(bool force) {
  {
    std::lock_guard lock(m_mutex);
    if (m_shareChecked && !force) return 0;
  }
  int code = Session().CheckShare(m_location.ShareUrl());
  std::lock_guard lock(m_mutex);
  m_shareChecked = code == 0;
  return code;
}

int NetworkFolder::OpenLocal(std::string_view name, int flags) const {
  const std::string& folderPath = m_location.LocalPath();
  // the configured folder itself may be reached through a link: the
  // administrator chose it
  int folder = ::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    LastError::Set("cannot open folder " + Quoted(folderPath) + ": " + std::strerror(errno));
    return -1;
  }
  int fd = FolderFile::Open(folder, name, flags);
  int code = errno;
  ::close(folder);
  if (fd < 0) LastError::Set("cannot open " + Quoted(LocalFile(name)) + ": " + FolderFile::Explain(code));
  return fd;
}

std::string NetworkFolder::LocalFile(std::string_view name) const {
  std::string path = m_location.LocalPath();
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

bool NetworkFolder::HasFile(std::string_view name) {
  LastError::Clear();
  struct stat st {};
  switch (m_location.GetKind()) {
    case ShareLocation::Kind::kLocal: {
      int fd = OpenLocal(name, O_PATH);
      if (fd < 0) return false;
      int statResult = ::fstat(fd, &st);
      int code = errno;
      ::close(fd);
      if (statResult != 0) {
        LastError::Set("cannot look up " + Quoted(LocalFile(name)) + ": " + std::strerror(code));
        return false;
      }
      if (!S_ISREG(st.st_mode)) {
        LastError::Set(Quoted(LocalFile(name)) + " is not a regular file");
        return false;
      }
      return true;
    }
    case ShareLocation::Kind::kSmb: {
      std::string url = m_location.Url(name);
      if (CheckShare(false) != 0 || Session().Stat(url, st) != 0) return false;
      if (!S_ISREG(st.st_mode)) {
        LastError::Set(url + " is not a regular file");
        return false;
      }
      return true;
    }
    case ShareLocation::Kind::kInvalid:
      break;
  }
  LastError::Set(m_location.Error());
  return false;
}

bool NetworkFolder::CopyFile(std::string_view name, const std::string& target, uint64_t maxBytes, LimitHit* limit) {
  LastError::Clear();
  LimitHit hit = LimitHit::kNone;
  bool ok = false;
  switch (m_location.GetKind()) {
    case ShareLocation::Kind::kLocal:
      ok = CopyLocal(name, target, maxBytes, hit);
      break;
    case ShareLocation::Kind::kSmb:
      ok = CopySmb(name, target, maxBytes, hit);
      break;
    case ShareLocation::Kind::kInvalid:
      LastError::Set(m_location.Error());
      break;
  }
  if (limit != nullptr) *limit = hit;
  return ok;
}

bool NetworkFolder::CopySmb(std::string_view name, const std::string& target, uint64_t maxBytes, LimitHit& limit) {
  std::string url = m_location.Url(name);
  if (CheckShare(false) != 0) return false;
  SmbSession& session = Session();
  // the source first, so that a missing file is reported as such
  struct stat st {};
  if (session.Stat(url, st) != 0) return false;
  PartialFile out;
  if (!out.Open(target)) return false;
  TransferBudget budget(m_floorRate.load());
  if (session.ReadFile(url, out, maxBytes, budget, st, limit) != 0) return false;
  // the modes a share reports are made up from DOS attributes: no guide
  return out.Commit(&st.st_mtim, 0600);
}

bool NetworkFolder::CopyLocal(std::string_view name, const std::string& target, uint64_t maxBytes,
                              LimitHit& limit) {
  const std::string source = LocalFile(name);
  // O_NONBLOCK: opening a FIFO placed where a file was expected must not hang the copy
  int fd = OpenLocal(name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    LastError::Set("cannot copy " + Quoted(source) + ": " +
                   (S_ISDIR(st.st_mode) ? std::string("it is a folder") : std::string("it is not a regular file")));
    ::close(fd);
    return false;
  }
  // by its size, before anything is read: a sparse file costs nothing to
  // make as large as a disk
  auto size = static_cast<uint64_t>(st.st_size);
  if (size > maxBytes) {
    limit = LimitHit::kSize;
    LastError::Set("refusing " + Quoted(source) + ": it is " + std::to_string(size) +
                   " bytes, more than the limit of " + std::to_string(maxBytes) + " bytes");
    ::close(fd);
    return false;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

  PartialFile out;
  if (!out.Open(target)) {
    ::close(fd);
    return false;
  }
  // a folder on a network mount can be as slow as any server
  TransferBudget budget(m_floorRate.load());
  budget.Start();
  budget.SetExpectedBytes(size);
  // as large as the file (plus one byte, to see it grow), from 4 to 256 KiB:
  // a small file does not pay for clearing a large buffer
  std::vector<char> buffer(static_cast<size_t>(std::clamp<uint64_t>(size + 1, 4 * 1024, 256 * 1024)));
  uint64_t copied = 0;
  bool ok = true;
  for (;;) {
    ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      LastError::Set("cannot read " + Quoted(source) + ": " + std::strerror(errno));
      ok = false;
      break;
    }
    if (got == 0) break;
    copied += static_cast<uint64_t>(got);
    // the file may grow while it is read
    if (copied > maxBytes) {
      limit = LimitHit::kSize;
      LastError::Set("refusing " + Quoted(source) + ": more than the limit of " + std::to_string(maxBytes) +
                     " bytes arrived");
      ok = false;
      break;
    }
    if (!out.Write(buffer.data(), static_cast<size_t>(got))) {
      ok = false;
      break;
    }
    if (!budget.Check(copied)) {
      limit = LimitHit::kTime;
      LastError::Set("cannot copy " + Quoted(source) + ": " + budget.Reason());
      ok = false;
      break;
    }
  }
  ::close(fd);
  if (!ok) return false;
  // private, and never wider than the source; the owner can always read it
  return out.Commit(&st.st_mtim, (st.st_mode & 0600) | S_IRUSR);
}

}  // namespace qrv::platform
