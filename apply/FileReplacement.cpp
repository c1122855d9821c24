#include "apply/FileReplacement.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <strings.h>

#include "config/CQUpdateMgrEnv.h"
#include "apply/PendingReplacements.h"
#include "apply/SignatureVerification.h"
#include "apply/UpdateFiles.h"
#include "platform/core/UpdateProgress.h"
#include "cabinet/CExtract.h"
#include "cabinet/ConfinedFolder.h"
#include "cabinet/ExtractError.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/AtomicFileWriter.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/LastError.h"
#include "platform/core/UniqueFd.h"
#include "platform/registry/RegistryKey.h"
#include "platform/registry/RegistryTransaction.h"

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

// A name CleanFolder keeps by the prefix rule: its first (length - 4)
// characters, the length of the name without a three-letter extension,
// start one of the names the run keeps.
bool StartsKeptName(const std::string& name, std::string_view kept) {
  if (name.size() <= 4) return false;
  size_t over = name.size() - 4;
  return over <= kept.size() && strncasecmp(name.c_str(), kept.data(), over) == 0;
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
      // Never through a link that took the folder's place meanwhile.
      fchmodat(dirfd(dir), name, 0700, AT_SYMLINK_NOFOLLOW);
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

// Copies the open file in (named source in messages) over name in the
// folder open as folderFd: a temporary beside it, flushed, given in's mode,
// renamed over name.
bool CopyOpenFile(int in, const std::string& source, int folderFd, const std::string& shownFolder,
                  const std::string& name, std::string& error) {
  struct stat st {};
  if (fstat(in, &st) != 0) {
    error = "cannot examine " + source + ": " + ErrnoText(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "cannot copy " + source + ": it is not a regular file";
    return false;
  }
  platform::AtomicFileWriter out;
  platform::AtomicFileWriter::Finish finish;
  finish.mode = st.st_mode & 07777;
  // the rename must not publish a file whose data are still only in memory
  finish.sync = true;
  return out.Begin(folderFd, shownFolder, name, error) && out.WriteFrom(in, source, error) &&
         out.Commit(finish, error);
}

// Copies what lies in the folder open as srcFd (closed here; shownSource
// is its path) to relative below into. False when a file was refused for
// lying behind a link below into; refused then says which.
bool CopyTreeAt(int srcFd, const std::string& shownSource, const Cabinet::ConfinedFolder& into,
                const std::string& relative, std::string& refused) {
  DIR* dir = fdopendir(srcFd);
  if (dir == nullptr) {
    platform::Diagnostics::Report("cannot list " + shownSource + ": " + ErrnoText(errno));
    close(srcFd);
    return true;
  }
  bool ok = true;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string from = Child(shownSource, name.c_str());
    const std::string below = relative.empty() ? name : relative + "/" + name;
    struct stat st {};
    if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      const int sub = openat(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) ok = CopyTreeAt(sub, from, into, below, refused) && ok;
      continue;
    }
    if (S_ISREG(st.st_mode)) {
      const std::string to = into.Shown(below);
      std::string error;
      Cabinet::ConfinedFolder::Refusal refusal = Cabinet::ConfinedFolder::Refusal::kNone;
      const int folderFd = into.OpenFolder(relative, true, error, &refusal);
      if (folderFd < 0 && refusal == Cabinet::ConfinedFolder::Refusal::kEscape) {
        // The restart queue works by path, so it would go through the link
        // as well: the file is dropped, and the cabinet fails.
        const std::string text = "refusing to write " + to + ": " + error;
        platform::Diagnostics::Report(text);
        refused += (refused.empty() ? "" : "; ") + text;
        ok = false;
        unlinkat(dirfd(dir), name.c_str(), 0);
        continue;
      }
      bool copied = false;
      if (folderFd >= 0) {
        const int in = openat(dirfd(dir), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (in < 0) {
          error = "cannot open " + from + ": " + ErrnoText(errno);
        } else {
          copied = CopyOpenFile(in, from, folderFd, into.Shown(relative), name, error);
          close(in);
        }
        close(folderFd);
      }
      if (!copied) {
        platform::Diagnostics::Report(error + "; replacing it at the next start");
        // Queueing moves the file away; one that could not be queued stays
        // in the holding folder rather than being lost.
        QueueReplaceAtRestart(from, to);
        continue;
      }
    }
    // Copied, or not a plain file: the holding folder keeps nothing of it.
    unlinkat(dirfd(dir), name.c_str(), 0);
  }
  closedir(dir);
  return ok;
}

// Removes what an interrupted run left of its temporaries in the folders
// below target that written names, sparing the files just put there. A
// folder in swept (may be null) was cleared by an earlier cabinet of the run
// and is not listed again; the folders cleared now are added to it.
void RemoveStaleTemporaries(const std::string& target, const std::map<std::string, std::set<std::string>>& written,
                            std::set<std::string>* swept) {
  if (swept != nullptr && std::all_of(written.begin(), written.end(), [swept](const auto& entry) {
        return swept->count(entry.first) != 0;
      })) {
    return;
  }
  Cabinet::ConfinedFolder root;
  std::string error;
  if (!root.Open(target, false, error)) {
    platform::Diagnostics::Report("cannot look for stale temporary files: " + error);
    return;
  }
  std::string failures;
  for (const auto& [folder, names] : written) {
    if (swept != nullptr && swept->count(folder) != 0) continue;
    const int fd = root.OpenFolder(folder, false, error);
    if (fd < 0) {
      failures += (failures.empty() ? "" : "; ") + error;
      continue;
    }
    platform::AtomicFileWriter::RemoveStale(fd, root.Shown(folder), names, failures);
    close(fd);
    if (swept != nullptr) swept->insert(folder);
  }
  if (!failures.empty()) platform::Diagnostics::Report("cannot remove stale temporary files: " + failures);
}

// Whether the main key holds exactly this REG_SZ text under name.
bool MainStringIs(std::string_view name, const std::string& text) {
  platform::RegistryKey key;
  platform::RegValue stored;
  return platform::RegistryKey::Open(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey,
                                     platform::RegAccess::kRead, key) == platform::RegStatus::kOk &&
         key.Query(name, stored) == platform::RegStatus::kOk && stored.type == platform::kRegSz &&
         stored.data == platform::RegValue::String(text).data;
}

// Sets UpdateRemainDest and UpdateRemainSrc of the main key. Every cabinet of
// a product names the same two folders, and each store transaction is
// flushed to disk: they are written only when they change, both in one
// transaction (one by one should it not begin).
void WriteRemainFolders(const std::string& dest, const std::string& src) {
  if (MainStringIs("UpdateRemainDest", dest) && MainStringIs("UpdateRemainSrc", src)) return;
  platform::RegistryTransaction transaction;
  const bool together = transaction.Begin(platform::kRootLocalMachine) == platform::RegStatus::kOk;
  CQUpdateUtilRegistry registry;
  registry.WriteString("UpdateRemainDest", dest);
  registry.WriteString("UpdateRemainSrc", src);
  if (together && transaction.Commit() != platform::RegStatus::kOk) {
    platform::Diagnostics::Report("cannot record UpdateRemainDest " + dest + " and UpdateRemainSrc " + src + ": " +
                                  platform::LastError::Text());
  }
}

}  // namespace

bool CopyFileOver(const std::string& source, const std::string& target, std::string& error) {
  const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (in < 0) {
    error = "cannot open " + source + ": " + ErrnoText(errno);
    return false;
  }
  // The target's folder is the caller's choice, links in its path included;
  // only the file itself is written relative to the open folder.
  const size_t slash = target.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  Cabinet::ConfinedFolder into;
  bool ok = into.Open(folder, true, error) && CopyOpenFile(in, source, into.Fd(), folder, name, error);
  close(in);
  return ok;
}

int ExtractCabinetToProduct(const std::string& cabinet, const std::string& installFolder, const std::string& product,
                            std::string* failure, std::set<std::string>* swept,
                            const SignedUpdateInfo::ListedFile* listed) {
  std::string unused;
  std::string& why = failure != nullptr ? *failure : unused;
  why.clear();
  auto fail = [&why](std::string text) {
    platform::Diagnostics::Report(text);
    why = std::move(text);
    return 0;
  };
  const std::string target = WithoutFinalSlash(installFolder);
  // A relative target would land wherever the process happens to stand.
  if (target.empty() || target.front() != '/') {
    return fail("cannot unpack " + cabinet + " for " + product + ": the installation folder \"" + target +
                "\" is not an absolute path");
  }

  /* one open file for the check and for the unpacking */
  const int fd = open(cabinet.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    return fail(error == ELOOP ? "cannot unpack " + cabinet + ": it is a symbolic link, not the downloaded file"
                               : "cannot open " + cabinet + ": " + ErrnoText(error));
  }
  const platform::UniqueFd closeFd(fd);
  struct stat before {};
  if (fstat(fd, &before) != 0) return fail("cannot examine " + cabinet + ": " + ErrnoText(errno));
  if (!S_ISREG(before.st_mode)) return fail("cannot unpack " + cabinet + ": it is not a regular file");
  std::string reason;
  if (listed != nullptr && !SignedUpdateInfo::MatchesOpenFile(fd, *listed, cabinet, reason)) {
    return fail("cannot unpack " + cabinet + " for " + product + ", nothing of it is unpacked: " + reason);
  }
  uint64_t length = 0;
  if (VerifyOpenFileSignature(fd, cabinet, &reason, nullptr, &length) != 1) {
    return fail("the signature of " + cabinet + " is refused, nothing of it is unpacked: " + reason);
  }
  // The download folder is ours alone, so the file should not change under
  // us; if it does anyway, what was unpacked cannot be vouched for.
  auto changed = [&]() {
    struct stat now {};
    return fstat(fd, &now) != 0 || now.st_size != before.st_size || now.st_mtim.tv_sec != before.st_mtim.tv_sec ||
           now.st_mtim.tv_nsec != before.st_mtim.tv_nsec;
  };

  Cabinet::CExtract extract;
  if (extract.CreateFDIContext() != 1) {
    return fail("cannot unpack " + cabinet + " for " + product + ": " + extract.GetLastErrorText());
  }
  const std::string holding = UpdateFiles::HoldingFolder(product);
  WriteRemainFolders(target, holding);
  if (extract.ExtractOpenFile(fd, length, cabinet, target) == 1) {
    if (changed()) return fail(cabinet + " changed while it was being unpacked into " + target);
    RemoveStaleTemporaries(target, extract.Written(), swept);
    return 1;
  }
  // Only a file that cannot be written now goes the long way round; a
  // cabinet that is itself bad is as bad in the holding folder.
  const std::string inPlace = extract.GetLastErrorText();
  if (extract.GetLastError() != Cabinet::ExtractError::kTargetFile) {
    return fail("cannot unpack " + cabinet + " into " + target + ": " + inPlace);
  }
  platform::Diagnostics::Report("cannot unpack " + cabinet + " into " + target + " (" + inPlace +
                                "); copying its files through " + holding);
  // Whatever an earlier run left there would be copied along.
  std::error_code ec;
  std::filesystem::remove_all(WithoutFinalSlash(holding), ec);
  if (extract.ExtractOpenFile(fd, length, cabinet, holding) != 1) {
    return fail("cannot unpack " + cabinet + " into " + target + " (" + inPlace + ") nor into the holding folder " +
                holding + ": " + extract.GetLastErrorText());
  }
  if (changed()) return fail(cabinet + " changed while it was being unpacked into " + holding);
  std::string refusal;
  if (CopyFolderTree(holding, target, &refusal) != 0) {
    return fail("cannot copy the files of " + cabinet + " from " + holding + " into " + target + ": " + refusal);
  }
  RemoveStaleTemporaries(target, extract.Written(), swept);
  return 2;
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

int CopyFolderTree(const std::string& source, const std::string& target, std::string* refusal) {
  std::string unused;
  std::string& refused = refusal != nullptr ? *refusal : unused;
  Cabinet::ConfinedFolder into;
  std::string error;
  if (!into.Open(WithoutFinalSlash(target), true, error)) {
    platform::Diagnostics::Report("cannot copy " + source + " into " + target + ": " + error);
    refused += (refused.empty() ? "" : "; ") + error;
    return -1;
  }
  const int dir = open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    platform::Diagnostics::Report("cannot list " + source + ": " + ErrnoText(errno));
    return 0;
  }
  return CopyTreeAt(dir, WithoutFinalSlash(source), into, "", refused) ? 0 : -1;
}

int QueueReplaceAtRestart(const std::string& sourceFile, const std::string& targetFile) {
  std::string error;
  if (PendingReplacements::Queue(sourceFile, targetFile, error)) {
    platform::UpdateProgress::Current().SetRestartRequired(1);
  } else {
    platform::Diagnostics::Report("cannot queue " + targetFile + " for the next start: " + error);
  }
  return 1;
}

bool CleanFolderKeeps(const std::string& name) {
  if (StartsKeptName(name, CQUpdateMgrEnv::kLogFileName) || StartsKeptName(name, CQUpdateMgrEnv::kInfoFileName)) return true;
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
