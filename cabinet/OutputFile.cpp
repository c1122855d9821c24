#include "cabinet/OutputFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Cabinet {
namespace {

// The longest name whose temporary name still fits the usual 255-byte limit
// of a file name with room to spare.
constexpr size_t kLongName = 200;
constexpr char kMarker[] = ".qrv-";
constexpr size_t kMarkerSize = sizeof kMarker - 1;
constexpr size_t kRandomChars = 6;
constexpr int kAttempts = 100;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

std::string Reason(int error) { return std::strerror(error); }

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

}  // namespace

OutputFile::~OutputFile() {
  Discard();
  if (m_dirFd >= 0) close(m_dirFd);
}

bool OutputFile::Create(int folderFd, const std::string& shownFolder, const std::string& name, std::string& error) {
  Discard();
  if (m_dirFd >= 0) close(m_dirFd);
  m_dirFd = -1;
  m_name = name;
  m_finalPath = Join(shownFolder, name);
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    error = "cannot create \"" + name + "\" in " + shownFolder + ": not a plain file name";
    return false;
  }
  m_dirFd = fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
  if (m_dirFd < 0) {
    error = "cannot use the folder " + shownFolder + " for " + m_finalPath + ": " + Reason(errno);
    return false;
  }
  int failure = 0;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::string temp = "." + (name.size() <= kLongName ? name + "." : std::string()) + "qrv-" + RandomSuffix();
    const int fd = openat(m_dirFd, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      m_fd = fd;
      m_tempName = std::move(temp);
      m_tempPath = Join(shownFolder, m_tempName);
      return true;
    }
    failure = errno;
    if (failure != EEXIST) break;
  }
  error = "cannot create a file in " + shownFolder + " for " + m_finalPath + ": " + Reason(failure);
  return false;
}

int OutputFile::ExistingMode() const {
  struct stat st{};
  if (m_dirFd < 0 || fstatat(m_dirFd, m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    return -1;
  }
  return static_cast<int>(st.st_mode & 07777);
}

bool OutputFile::Commit(mode_t mode, const timespec* time, bool sync, std::string& error) {
  if (m_fd < 0) {
    error = "no file is being written for " + m_finalPath;
    return false;
  }
  auto fail = [&](const std::string& what, int code) {
    error = what + " " + m_tempPath + " (for " + m_finalPath + "): " + Reason(code);
    Discard();
    return false;
  };
  if (fchmod(m_fd, mode) != 0) return fail("cannot set the mode of", errno);
  if (time != nullptr) {
    timespec times[2] = {*time, *time};
    if (futimens(m_fd, times) != 0) return fail("cannot set the time of", errno);
  }
  if (sync && fsync(m_fd) != 0) return fail("cannot flush", errno);
  int fd = m_fd;
  m_fd = -1;
  if (close(fd) != 0) return fail("cannot close", errno);
  if (renameat(m_dirFd, m_tempName.c_str(), m_dirFd, m_name.c_str()) != 0) {
    int renameError = errno;
    error = "cannot replace " + m_finalPath + ": " + Reason(renameError);
    Discard();
    return false;
  }
  m_tempName.clear();
  m_tempPath.clear();
  // The rename is only durable once the folder entry is on disk.
  if (sync) fsync(m_dirFd);
  return true;
}

void OutputFile::Discard() {
  if (m_fd >= 0) {
    close(m_fd);
    m_fd = -1;
  }
  if (!m_tempName.empty() && m_dirFd >= 0) unlinkat(m_dirFd, m_tempName.c_str(), 0);
  m_tempName.clear();
  m_tempPath.clear();
}

bool OutputFile::IsTemporaryName(const std::string& name) {
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

int OutputFile::RemoveStale(int folderFd, const std::string& shownFolder, const std::set<std::string>& keep,
                            std::string& failures) {
  const int listFd = openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listFd < 0) {
    failures += (failures.empty() ? "" : "; ") + std::string("cannot list ") + shownFolder + ": " + Reason(errno);
    return 0;
  }
  DIR* dir = fdopendir(listFd);
  if (dir == nullptr) {
    failures += (failures.empty() ? "" : "; ") + std::string("cannot list ") + shownFolder + ": " + Reason(errno);
    close(listFd);
    return 0;
  }
  int removed = 0;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (!IsTemporaryName(name) || keep.count(name) != 0) continue;
    struct stat st{};
    if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    if (unlinkat(dirfd(dir), name.c_str(), 0) == 0) {
      ++removed;
    } else {
      failures += (failures.empty() ? "" : "; ") + Join(shownFolder, name) + ": " + Reason(errno);
    }
  }
  closedir(dir);
  return removed;
}

}  // namespace Cabinet
