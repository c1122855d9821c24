#include "platform/core/AtomicFileWriter.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/core/Diagnostics.h"
#include "platform/core/ProcessUmask.h"

namespace qrv::platform {
namespace {

// The longest name whose temporary name still fits the usual 255-byte limit
// of a file name with room to spare.
constexpr size_t kLongName = 200;
constexpr char kMarker[] = ".qrv-";
constexpr size_t kMarkerSize = sizeof kMarker - 1;
constexpr size_t kRandomChars = 6;
constexpr int kAttempts = 100;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

std::string Reason(int code) { return std::strerror(code); }

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool IsAlnum(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

std::string RandomSuffix() {
  unsigned char bytes[kRandomChars] = {};
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    // No entropy to be had: O_EXCL still keeps names from clashing, the
    // name only becomes guessable.
    const auto seed = static_cast<unsigned long>(getpid()) ^ static_cast<unsigned long>(time(nullptr));
    for (size_t i = 0; i < kRandomChars; ++i) bytes[i] = static_cast<unsigned char>(seed >> (i * 5));
  }
  std::string out;
  for (unsigned char b : bytes) out += kAlphabet[b % (sizeof kAlphabet - 1)];
  return out;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t done = ::write(fd, data, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

}  // namespace

AtomicFileWriter::~AtomicFileWriter() { Discard(); }

bool AtomicFileWriter::Begin(int folderFd, const std::string& shownFolder, const std::string& name,
                             std::string& error) {
  Discard();
  m_dir.Reset();
  m_name = name;
  m_shownFolder = shownFolder;
  m_finalPath = Join(shownFolder, name);
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    error = "cannot create \"" + name + "\" in " + shownFolder + ": not a plain file name";
    return false;
  }
  m_dir.Reset(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
  if (m_dir.Get() < 0) {
    error = "cannot use the folder " + shownFolder + " for " + m_finalPath + ": " + Reason(errno);
    return false;
  }
  return Create(error);
}

bool AtomicFileWriter::Begin(const std::string& path, std::string& error) {
  Discard();
  m_dir.Reset();
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  m_shownFolder = slash == std::string::npos ? std::string() : folder;
  m_name = slash == std::string::npos ? path : path.substr(slash + 1);
  m_finalPath = path;
  if (m_name.empty() || m_name == "." || m_name == "..") {
    error = "cannot write \"" + path + "\": the name is a folder's, not a file's";
    return false;
  }
  m_dir.Reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (m_dir.Get() < 0) {
    const int code = errno;
    if (code == ENOENT || code == ENOTDIR) {
      error = "cannot write \"" + path + "\": its folder \"" + folder + "\" does not exist";
    } else {
      error = "cannot open the folder \"" + folder + "\" to write \"" + path + "\": " + Reason(code);
    }
    return false;
  }
  return Create(error);
}

bool AtomicFileWriter::Create(std::string& error) {
  int failure = 0;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::string temp = "." + (m_name.size() <= kLongName ? m_name + "." : std::string()) + "qrv-" + RandomSuffix();
    const int fd =
        ::openat(m_dir.Get(), temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      m_fd = fd;
      m_tempName = std::move(temp);
      m_tempPath = Join(m_shownFolder, m_tempName);
      return true;
    }
    failure = errno;
    if (failure != EEXIST) break;
  }
  error = "cannot create a temporary file in " + (m_shownFolder.empty() ? std::string(".") : m_shownFolder) +
          " for " + m_finalPath + ": " + Reason(failure);
  return false;
}

bool AtomicFileWriter::Fail(const std::string& what, int code, std::string& error) {
  error = what + " " + m_tempPath + " (for " + m_finalPath + "): " + Reason(code);
  Discard();
  return false;
}

bool AtomicFileWriter::Write(std::string_view bytes, std::string& error) {
  if (m_fd < 0) {
    error = "cannot write " + m_finalPath + ": no file is being written";
    return false;
  }
  if (!WriteAll(m_fd, bytes.data(), bytes.size())) return Fail("cannot write", errno, error);
  return true;
}

bool AtomicFileWriter::WriteFrom(int in, const std::string& source, std::string& error) {
  if (m_fd < 0) {
    error = "cannot copy " + source + " to " + m_finalPath + ": no file is being written";
    return false;
  }
  auto fail = [&](int code) {
    error = "cannot copy " + source + " to " + m_tempPath + " (for " + m_finalPath + "): " + Reason(code);
    Discard();
    return false;
  };
  /* inside the kernel */
  off_t at = 0;
  for (;;) {
    const ssize_t n = ::sendfile(m_fd, in, &at, size_t{1} << 30);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    if (n == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return fail(errno);
    break;  // a file system that cannot serve sendfile: read from where it stopped
  }
  /* the ordinary way */
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = ::pread(in, buffer, sizeof buffer, at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail(errno);
    if (got == 0) return true;
    if (!WriteAll(m_fd, buffer, static_cast<size_t>(got))) return fail(errno);
    at += got;
  }
}

bool AtomicFileWriter::Existing(struct stat& st) const {
  return m_dir.Get() >= 0 && ::fstatat(m_dir.Get(), m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(st.st_mode);
}

bool AtomicFileWriter::Commit(const Finish& finish, std::string& error) {
  if (m_fd < 0) {
    error = "cannot finish " + m_finalPath + ": no file is being written";
    return false;
  }

  /* what the file is to be: owner, mode, times */
  if (finish.ownerOf != nullptr) {
    struct stat own {};
    if (::fstat(m_fd, &own) == 0 && (own.st_uid != finish.ownerOf->st_uid || own.st_gid != finish.ownerOf->st_gid)) {
      if (::fchown(m_fd, finish.ownerOf->st_uid, finish.ownerOf->st_gid) != 0) {
        (void)::fchown(m_fd, static_cast<uid_t>(-1), finish.ownerOf->st_gid);
      }
    }
  }
  // after the owner: a change of owner clears the set-id bits
  if (::fchmod(m_fd, finish.mode & 07777) != 0) return Fail("cannot set the mode of", errno, error);
  if (finish.accessed != nullptr || finish.modified != nullptr) {
    const struct timespec leave = {0, UTIME_OMIT};
    const struct timespec times[2] = {finish.accessed != nullptr ? *finish.accessed : leave,
                                      finish.modified != nullptr ? *finish.modified : leave};
    if (::futimens(m_fd, times) != 0) return Fail("cannot set the time of", errno, error);
  }

  /* complete before it takes the name */
  // without the flush a crash could leave the name on an empty file
  if (finish.sync && ::fsync(m_fd) != 0) return Fail("cannot flush", errno, error);
  const int fd = m_fd;
  m_fd = -1;
  if (::close(fd) != 0) return Fail("cannot close", errno, error);
  if (::renameat(m_dir.Get(), m_tempName.c_str(), m_dir.Get(), m_name.c_str()) != 0) {
    const int code = errno;
    error = "cannot replace " + m_finalPath + ": " + (code == EISDIR ? std::string("it is a folder") : Reason(code));
    Discard();
    return false;
  }
  m_tempName.clear();
  m_tempPath.clear();

  /* the rename itself */
  if (finish.sync && ::fsync(m_dir.Get()) != 0 && errno != EINVAL && errno != ENOTSUP) {
    // the new file is in place; only its durability across a crash is in doubt
    Diagnostics::Report(m_finalPath + " was written but its folder could not be flushed: " + Reason(errno));
  }
  return true;
}

void AtomicFileWriter::Discard() {
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
  if (!m_tempName.empty() && m_dir.Get() >= 0) ::unlinkat(m_dir.Get(), m_tempName.c_str(), 0);
  m_tempName.clear();
  m_tempPath.clear();
}

bool AtomicFileWriter::IsTemporaryName(const std::string& name) {
  const size_t tail = kMarkerSize + kRandomChars;
  if (name.size() <= tail || name.compare(name.size() - tail, kMarkerSize, kMarker) != 0) {
    // ".qrv-XXXXXX" alone: the marker's dot is the name's first character.
    if (name.size() != tail || name.compare(0, kMarkerSize, kMarker) != 0) return false;
  }
  for (size_t i = name.size() - kRandomChars; i < name.size(); ++i) {
    if (!IsAlnum(name[i])) return false;
  }
  return true;
}

int AtomicFileWriter::RemoveStale(int folderFd, const std::string& shownFolder, const std::set<std::string>& keep,
                                  std::string& failures) {
  auto fail = [&](const std::string& text) { failures += (failures.empty() ? "" : "; ") + text; };
  const int listFd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
  if (dir == nullptr) {
    fail("cannot list " + shownFolder + ": " + Reason(errno));
    if (listFd >= 0) ::close(listFd);
    return 0;
  }
  int removed = 0;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (!IsTemporaryName(name) || keep.count(name) != 0) continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::unlinkat(::dirfd(dir), name.c_str(), 0) == 0) {
      ++removed;
    } else {
      fail(Join(shownFolder, name) + ": " + Reason(errno));
    }
  }
  ::closedir(dir);
  return removed;
}

bool AtomicFileWriter::Replace(const std::string& path, std::string_view bytes, const struct stat* existing,
                               std::string& error) {
  Finish finish;
  finish.mode = existing != nullptr ? (existing->st_mode & 07777) : (0666 & ~ProcessUmask::Get());
  finish.ownerOf = existing;
  finish.sync = true;
  return ReplaceWith(path, bytes, finish, error);
}

bool AtomicFileWriter::Replace(const std::string& path, std::string_view bytes, mode_t mode, std::string& error) {
  Finish finish;
  finish.mode = mode;
  finish.sync = true;
  return ReplaceWith(path, bytes, finish, error);
}

bool AtomicFileWriter::ReplaceWith(const std::string& path, std::string_view bytes, const Finish& finish,
                                   std::string& error) {
  AtomicFileWriter writer;
  return writer.Begin(path, error) && writer.Write(bytes, error) && writer.Commit(finish, error);
}

}  // namespace qrv::platform
