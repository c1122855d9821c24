#include "apply/FileReplacement.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <strings.h>

#include "apply/PendingReplacements.h"
#include "apply/UpdateFiles.h"
#include "apply/UpdateProgress.h"
#include "cabinet/CExtract.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/Diagnostics.h"
#include "platform/registry/RegistryKey.h"

namespace qrv {
namespace {

std::string WithoutFinalSlash(std::string path) {
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string Child(const std::string& folder, const char* name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string ErrnoText(int err) { return std::strerror(err); }

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A name CleanFolder keeps by the prefix rule: its first (length - 4)
// characters, the length of the name without a three-letter extension,
// start one of the names the run keeps.
bool StartsKeptName(const std::string& name, const char* kept) {
  if (name.size() <= 4) return false;
  size_t over = name.size() - 4;
  return over <= std::strlen(kept) && strncasecmp(name.c_str(), kept, over) == 0;
}

// Empties the folder open as dirFd (closed here). Works on descriptors so
// that neither the current directory nor long path texts are involved, and
// a symbolic link is only ever unlinked.
void CleanFolderAt(int dirFd, const std::string& shownPath) {
  DIR* dir = fdopendir(dirFd);
  if (dir == nullptr) {
    platform::Diagnostics::Report("cannot list " + shownPath + ": " + ErrnoText(errno));
    close(dirFd);
    return;
  }
  while (dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    bool isDir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st {};
      isDir = fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (isDir) {
      if (unlinkat(dirfd(dir), name, AT_REMOVEDIR) == 0) continue;
      // Not empty (or not writable): make it ours to empty, then try again.
      fchmodat(dirfd(dir), name, 0700, 0);
      int sub = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) CleanFolderAt(sub, Child(shownPath, name));
      // A folder still holding kept files stays, as it must.
      if (unlinkat(dirfd(dir), name, AT_REMOVEDIR) != 0 && errno != ENOTEMPTY) {
        platform::Diagnostics::Report("cannot remove the folder " + Child(shownPath, name) + ": " +
                                      ErrnoText(errno));
      }
      continue;
    }
    if (CleanFolderKeeps(name)) continue;
    if (unlinkat(dirfd(dir), name, 0) != 0) {
      platform::Diagnostics::Report("cannot delete " + Child(shownPath, name) + ": " + ErrnoText(errno));
    }
  }
  closedir(dir);
}

}  // namespace

bool CopyFileOver(const std::string& source, const std::string& target, std::string& error) {
  int in = open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0) {
    error = "cannot open " + source + ": " + ErrnoText(errno);
    return false;
  }
  struct stat st {};
  fstat(in, &st);
  std::filesystem::path targetPath(target);
  std::error_code ec;
  std::filesystem::create_directories(targetPath.parent_path(), ec);
  if (ec) {
    error = "cannot create the folder " + targetPath.parent_path().string() + ": " + ec.message();
    close(in);
    return false;
  }
  std::string temp = target + ".qrv-XXXXXX";
  int out = mkstemp(temp.data());
  if (out < 0) {
    error = "cannot create a temporary file beside " + target + ": " + ErrnoText(errno);
    close(in);
    return false;
  }
  bool ok = true;
  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read " + source + ": " + ErrnoText(errno);
      ok = false;
      break;
    }
    if (n == 0) break;
    if (!WriteAll(out, buffer, static_cast<size_t>(n))) {
      error = "cannot write " + temp + ": " + ErrnoText(errno);
      ok = false;
      break;
    }
  }
  close(in);
  if (ok) fchmod(out, st.st_mode & 07777);
  // The rename must not publish a file whose data are still only in memory.
  if (ok && fsync(out) != 0) {
    error = "cannot flush " + temp + ": " + ErrnoText(errno);
    ok = false;
  }
  close(out);
  if (ok && rename(temp.c_str(), target.c_str()) != 0) {
    error = "cannot replace " + target + ": " + ErrnoText(errno);
    ok = false;
  }
  if (!ok) unlink(temp.c_str());
  return ok;
}

int ExtractCabinetToProduct(const std::string& cabinet, const std::string& installFolder,
                            const std::string& product) {
  const std::string target = WithoutFinalSlash(installFolder);
  // A relative target would land wherever the process happens to stand.
  if (target.empty() || target.front() != '/') {
    platform::Diagnostics::Report("cannot unpack " + cabinet + " for " + product +
                                  ": the installation folder \"" + target + "\" is not an absolute path");
    return 0;
  }
  Cabinet::CExtract extract;
  if (extract.CreateFDIContext() != 1 || extract.IsCabinet(cabinet) == 0) {
    platform::Diagnostics::Report("cannot unpack " + cabinet + " for " + product + ": " + extract.GetLastErrorText());
    return 0;
  }
  const std::string holding = UpdateFiles::HoldingFolder(product);
  CQUpdateUtilRegistry registry;
  registry.WriteString("UpdateRemainDest", target);
  registry.WriteString("UpdateRemainSrc", holding);
  if (extract.ExtractFile(cabinet, target) == 1) return 1;

  platform::Diagnostics::Report("cannot unpack " + cabinet + " into " + target + " (" + extract.GetLastErrorText() +
                                "); copying its files through " + holding);
  registry.WriteString("UpdateRemainDest", target);
  if (extract.ExtractFile(cabinet, holding) != 1) {
    platform::Diagnostics::Report("cannot unpack " + cabinet + " into " + holding + ": " +
                                  extract.GetLastErrorText());
  }
  registry.WriteString("UpdateRemainSrc", holding);
  FinishPendingReplace();
  return 0;
}

int FinishPendingReplace() {
  platform::RegistryKey key;
  if (platform::RegistryKey::Open(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey,
                                  platform::RegAccess::kRead, key) != platform::RegStatus::kOk) {
    return -1;
  }
  key.Close();
  CQUpdateUtilRegistry registry;
  std::string dest;
  std::string src;
  registry.ReadString("UpdateRemainDest", dest);
  registry.ReadString("UpdateRemainSrc", src);
  // Copying from or to "" would mean the current directory.
  if (dest.empty() || src.empty()) return 0;
  CopyFolderTree(src, dest);
  return 0;
}

int CopyFolderTree(const std::string& source, const std::string& target) {
  DIR* dir = opendir(source.c_str());
  if (dir == nullptr) {
    platform::Diagnostics::Report("cannot list " + source + ": " + ErrnoText(errno));
    return 0;
  }
  while (dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    const std::string from = Child(source, name);
    const std::string to = Child(target, name);
    struct stat st {};
    if (lstat(from.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      CopyFolderTree(from, to);
      continue;
    }
    if (S_ISREG(st.st_mode)) {
      std::string error;
      if (!CopyFileOver(from, to, error)) {
        platform::Diagnostics::Report(error + "; replacing it at the next start");
        // Queueing moves the file away; one that could not be queued stays
        // in the holding folder rather than being lost.
        QueueReplaceAtRestart(from, to);
        continue;
      }
    }
    // Copied, or not a plain file: the holding folder keeps nothing of it.
    unlink(from.c_str());
  }
  closedir(dir);
  return 0;
}

int QueueReplaceAtRestart(const std::string& sourceFile, const std::string& targetFile) {
  std::string error;
  if (PendingReplacements::Queue(sourceFile, targetFile, error)) {
    UpdateProgress::Current().SetRestartRequired(1);
  } else {
    platform::Diagnostics::Report("cannot queue " + targetFile + " for the next start: " + error);
  }
  return 1;
}

bool CleanFolderKeeps(const std::string& name) {
  if (StartsKeptName(name, "quplog.ini") || StartsKeptName(name, "qupdate_s.ini")) return true;
  return name.size() > 1 && name.find(".bak", 1) != std::string::npos;
}

void CleanFolder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) platform::Diagnostics::Report("cannot open the folder " + folder + ": " + ErrnoText(errno));
    return;
  }
  CleanFolderAt(fd, folder);
}

}  // namespace qrv
