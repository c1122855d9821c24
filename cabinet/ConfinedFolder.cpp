#include "cabinet/ConfinedFolder.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

namespace Cabinet {
namespace {

std::string Reason(int error) { return std::strerror(error); }

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string JoinShown(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Our mode on a folder we have just made: mkdirat's mode is cut by the
// umask. The set-group-id bit a folder inherits from its parent stays.
void SetFolderMode(int fd) {
  struct stat st {};
  const mode_t inherited = fstat(fd, &st) == 0 ? (st.st_mode & S_ISGID) : 0;
  fchmod(fd, ConfinedFolder::kFolderMode | inherited);
}

// Opens the folder name inside the folder dir, making it when missing and
// create is set. follow: whether name may be a symbolic link.
int Step(int dir, const std::string& name, bool follow, bool create, const std::string& shown, std::string& error,
         ConfinedFolder::Refusal& refusal) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  int fd = openat(dir, name.c_str(), flags);
  if (fd >= 0) return fd;
  int failure = errno;
  if (failure == ENOENT && create) {
    const bool made = mkdirat(dir, name.c_str(), ConfinedFolder::kFolderMode) == 0;
    if (made || errno == EEXIST) {
      // Opened afresh without following: whatever stands there now is
      // checked like anything found in the first place.
      fd = openat(dir, name.c_str(), flags);
      if (fd >= 0) {
        if (made) SetFolderMode(fd);
        return fd;
      }
    }
    failure = errno;
  }
  struct stat st {};
  const bool exists = fstatat(dir, name.c_str(), &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && S_ISLNK(st.st_mode)) {
    refusal = ConfinedFolder::Refusal::kEscape;
    error = shown + " is a symbolic link; files are never written through a link";
  } else if (exists && !S_ISDIR(st.st_mode)) {
    refusal = ConfinedFolder::Refusal::kFailed;
    error = std::string(create ? "cannot create folder " : "cannot open folder ") + shown +
            ": a file of that name is in the way";
  } else {
    refusal = ConfinedFolder::Refusal::kFailed;
    error = std::string(create ? "cannot create folder " : "cannot open folder ") + shown + ": " + Reason(failure);
  }
  return -1;
}

}  // namespace

ConfinedFolder::~ConfinedFolder() {
  if (m_fd >= 0) close(m_fd);
}

bool ConfinedFolder::KernelResolvesBeneath() {
  // -1 unknown, 0 no, 1 yes; every thread comes to the same answer.
  static std::atomic<int> known{-1};
  int answer = known.load();
  if (answer < 0) {
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    const long fd = syscall(SYS_openat2, AT_FDCWD, "/", &how, sizeof how);
    answer = fd >= 0 ? 1 : 0;
    if (fd >= 0) close(static_cast<int>(fd));
    known.store(answer);
  }
  return answer == 1;
}

std::string ConfinedFolder::Shown(const std::string& relative) const {
  return relative.empty() ? m_path : JoinShown(m_path, relative);
}

bool ConfinedFolder::Open(const std::string& root, bool create, std::string& error) {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
  m_path = root.size() > 1 && root.back() == '/' ? root.substr(0, root.size() - 1) : root;
  if (root.empty()) {
    error = "no folder was named";
    return false;
  }
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno != ENOENT && errno != ENOTDIR) {
    error = "cannot open folder " + m_path + ": " + Reason(errno);
    return false;
  }
  if (fd < 0) {
    /* step by step, making what is missing when asked, and naming the part
       that is missing or in the way; links are followed: this path is the
       caller's choice, not something found below it */
    const bool absolute = root.front() == '/';
    int dir = open(absolute ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
      error = std::string("cannot open folder ") + (absolute ? "/" : ".") + ": " + Reason(errno);
      return false;
    }
    std::string shown;
    for (const std::string& part : Components(root)) {
      if (part.empty()) continue;
      shown = absolute || !shown.empty() ? shown + "/" + part : part;
      Refusal refusal = Refusal::kNone;
      const int next = Step(dir, part, true, create, shown, error, refusal);
      close(dir);
      if (next < 0) return false;
      dir = next;
    }
    fd = dir;
  }
  m_fd = fd;
  return true;
}

int ConfinedFolder::OpenFolder(const std::string& relative, bool create, std::string& error, Refusal* refusal) const {
  Refusal ignored = Refusal::kNone;
  Refusal& outcome = refusal != nullptr ? *refusal : ignored;
  outcome = Refusal::kNone;
  if (m_fd < 0) {
    outcome = Refusal::kFailed;
    error = "no folder is open to write below";
    return -1;
  }
  if (relative.empty()) {
    const int fd = fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
      outcome = Refusal::kFailed;
      error = "cannot use folder " + m_path + ": " + Reason(errno);
    }
    return fd;
  }
  for (const std::string& part : Components(relative)) {
    if (part.empty() || part == "." || part == "..") {
      outcome = Refusal::kEscape;
      error = "the folder \"" + relative + "\" below " + m_path + " is not a plain relative path";
      return -1;
    }
  }
  if (KernelResolvesBeneath()) {
    // One lookup for a folder that exists. Any failure (missing, a link, a
    // rename racing us) goes to the walk, which makes what is missing and
    // names the component in the way.
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = syscall(SYS_openat2, m_fd, relative.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
  }
  return Walk(relative, create, error, outcome);
}

int ConfinedFolder::Walk(const std::string& relative, bool create, std::string& error, Refusal& refusal) const {
  int dir = fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
  if (dir < 0) {
    refusal = Refusal::kFailed;
    error = "cannot use folder " + m_path + ": " + Reason(errno);
    return -1;
  }
  std::string shown = m_path;
  for (const std::string& part : Components(relative)) {
    shown = JoinShown(shown, part);
    const int next = Step(dir, part, false, create, shown, error, refusal);
    close(dir);
    if (next < 0) return -1;
    dir = next;
  }
  return dir;
}

}  // namespace Cabinet
