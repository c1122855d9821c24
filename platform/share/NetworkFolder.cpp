#include "platform/share/NetworkFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/core/LastError.h"
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
  int code = Session().OpenFolder(url);
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
      std::string path = LocalFile(name);
      if (::stat(path.c_str(), &st) != 0) {
        LastError::Set("cannot find " + Quoted(path) + ": " + std::strerror(errno));
        return false;
      }
      if (!S_ISREG(st.st_mode)) {
        LastError::Set(Quoted(path) + " is not a regular file");
        return false;
      }
      return true;
    }
    case ShareLocation::Kind::kSmb: {
      std::string url = m_location.Url(name);
      if (Session().Stat(url, st) != 0) return false;
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

bool NetworkFolder::CopyFile(std::string_view name, const std::string& target) {
  LastError::Clear();
  switch (m_location.GetKind()) {
    case ShareLocation::Kind::kLocal:
      return CopyLocal(LocalFile(name), target);
    case ShareLocation::Kind::kSmb: {
      std::string url = m_location.Url(name);
      SmbSession& session = Session();
      // the source first, so that a missing file is reported as such
      struct stat st {};
      if (session.Stat(url, st) != 0) return false;
      PartialFile out;
      if (!out.Open(target)) return false;
      struct timespec modified {};
      if (session.ReadFile(url, out, modified) != 0) return false;
      return out.Commit(&modified);
    }
    case ShareLocation::Kind::kInvalid:
      break;
  }
  LastError::Set(m_location.Error());
  return false;
}

bool NetworkFolder::CopyLocal(const std::string& source, const std::string& target) {
  // O_NONBLOCK: opening a FIFO placed where a file was expected must not hang the copy
  int fd = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    LastError::Set("cannot open " + Quoted(source) + ": " + std::strerror(errno));
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    LastError::Set("cannot copy " + Quoted(source) + ": " +
                   (S_ISDIR(st.st_mode) ? std::string("it is a folder") : std::string("it is not a regular file")));
    ::close(fd);
    return false;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

  PartialFile out;
  if (!out.Open(target)) {
    ::close(fd);
    return false;
  }
  std::vector<char> buffer(256 * 1024);
  for (;;) {
    ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      LastError::Set("cannot read " + Quoted(source) + ": " + std::strerror(errno));
      ::close(fd);
      return false;
    }
    if (got == 0) break;
    if (!out.Write(buffer.data(), static_cast<size_t>(got))) {
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  return out.Commit(&st.st_mtim);
}

}  // namespace qrv::platform
