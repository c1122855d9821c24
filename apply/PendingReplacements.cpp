#include "apply/PendingReplacements.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "apply/FileReplacement.h"
#include "cabinet/ConfinedFolder.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/AtomicFileWriter.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/LastError.h"
#include "platform/core/RunLock.h"
#include "platform/core/SystemRoot.h"
#include "platform/registry/RegistryStore.h"
#include "platform/core/UniqueFd.h"
#include "platform/registry/RegistryKey.h"

namespace qrv {
namespace {

using platform::RegistryKey;
using platform::RegStatus;

std::string QueueKeyPath() {
  return std::string(CQUpdateUtilRegistry::kMainKey) + "\\" + PendingReplacements::kKeyName;
}

std::string StringValue(const RegistryKey& key, const char* name) {
  platform::RegValue value;
  if (key.Query(name, value) != RegStatus::kOk) return {};
  std::string text = value.AsString();
  return text;
}

std::string Reason(int err) { return std::strerror(err); }

// The next order number: one more than the highest queued, so an entry
// queued after others ran and were removed still sorts after the rest.
uint32_t NextOrder(const RegistryKey& queue) {
  uint32_t next = 1;
  std::string name;
  for (uint32_t i = 0; queue.EnumSubKey(i, name) == RegStatus::kOk; ++i) {
    uint32_t n = static_cast<uint32_t>(std::strtoul(name.c_str(), nullptr, 10));
    if (n >= next) next = n + 1;
  }
  return next;
}

// rename(2), or copy and delete when the pending folder is on another file
// system than the holding folder.
bool MoveFile(const std::string& from, const std::string& to, std::string& error) {
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) {
    error = "cannot move " + from + " to " + to + ": " + Reason(errno);
    return false;
  }
  if (!CopyFileOver(from, to, error)) return false;
  unlink(from.c_str());
  return true;
}

// The pending folder, made 0700 whatever the umask: it holds program files
// on their way into place as root, which nobody else may swap.
bool MakePendingFolder(const std::string& folder, std::string& error) {
  const std::string path = folder.substr(0, folder.size() - 1);
  if (mkdir(path.c_str(), 0700) == 0) {
    if (chmod(path.c_str(), 0700) == 0) return true;
    error = "cannot set the mode of the pending folder " + path + ": " + Reason(errno);
    return false;
  }
  struct stat st {};
  if (errno == EEXIST && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  error = "cannot create the pending folder " + path + ": " +
          (errno == EEXIST ? std::string("something else is in the way") : Reason(errno));
  return false;
}

// The parts of an absolute path, "." and empty parts dropped. False for a
// relative path or one with "..", which no lexical comparison can place.
bool PathParts(const std::string& path, std::vector<std::string>& parts) {
  parts.clear();
  if (path.empty() || path.front() != '/') return false;
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    start = end + 1;
  }
  return true;
}

// Where a queued file may go: below the system root; on a real system (root
// "/") that says nothing, so below a product's installation folder.
std::vector<std::string> AllowedFolders() {
  const std::string root = platform::SystemRoot::Get().string();
  if (root != "/") return {root};
  std::vector<std::string> folders;
  RegistryKey main;
  if (RegistryKey::Open(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, platform::RegAccess::kRead,
                        main) != RegStatus::kOk) {
    return folders;
  }
  std::string product;
  for (uint32_t i = 0; main.EnumSubKey(i, product) == RegStatus::kOk; ++i) {
    RegistryKey key;
    if (main.OpenSubKey(product, platform::RegAccess::kRead, key) != RegStatus::kOk) continue;
    std::string folder = StringValue(key, "ProductPath");
    std::vector<std::string> parts;
    // "/" (or a relative path) as a product folder would allow everything
    if (PathParts(folder, parts) && !parts.empty()) folders.push_back(folder);
  }
  return folders;
}

// The folder of allowed that holds target, and the parts of target below it.
bool FindAllowedFolder(const std::string& target, const std::vector<std::string>& allowed, std::string& folder,
                       std::vector<std::string>& rest) {
  std::vector<std::string> targetParts;
  if (!PathParts(target, targetParts)) return false;
  for (const std::string& candidate : allowed) {
    std::vector<std::string> parts;
    if (!PathParts(candidate, parts) || parts.size() >= targetParts.size()) continue;
    if (!std::equal(parts.begin(), parts.end(), targetParts.begin())) continue;
    folder = candidate;
    rest.assign(targetParts.begin() + static_cast<long>(parts.size()), targetParts.end());
    return true;
  }
  return false;
}

// Opens the folder below base that holds the last of rest, walking one part
// at a time without following links and making missing folders. Base itself
// is the administrator's choice and opened as it is. -1 with error, and
// linked set when a symbolic link stood in the way.
int OpenTargetFolder(const std::string& base, const std::vector<std::string>& rest, std::string& error,
                     bool& linked) {
  linked = false;
  Cabinet::ConfinedFolder folder;
  if (!folder.Open(base, false, error)) return -1;
  std::string relative;
  for (size_t i = 0; i + 1 < rest.size(); ++i) relative += (relative.empty() ? "" : "/") + rest[i];
  Cabinet::ConfinedFolder::Refusal refusal = Cabinet::ConfinedFolder::Refusal::kNone;
  const int dir = folder.OpenFolder(relative, true, error, &refusal);
  linked = refusal == Cabinet::ConfinedFolder::Refusal::kEscape;
  return dir;
}

// Copies the open source over name in the open folder: a temporary file
// beside it, flushed, renamed over it. A link standing under name is
// replaced, never followed.
bool ReplaceAt(int source, const std::string& sourcePath, mode_t mode, int dir, const std::string& name,
               const std::string& target, std::string& error) {
  // the target as the entry names it, for messages
  std::string shownFolder = target;
  while (shownFolder.size() > 1 && shownFolder.back() == '/') shownFolder.pop_back();
  shownFolder.erase(shownFolder.find_last_of('/') + 1);
  platform::AtomicFileWriter out;
  platform::AtomicFileWriter::Finish finish;
  finish.mode = mode & 07777;
  // the queue entry goes once this returns: the file must be on disk by then
  finish.sync = true;
  return out.Begin(dir, shownFolder, name, error) && out.WriteFrom(source, sourcePath, error) &&
         out.Commit(finish, error);
}

enum class Outcome { kDone, kRefused, kFailed };

// Checks one entry against the rules of RunAll and carries it out. On
// kRefused and kFailed nothing was changed but perhaps new empty folders
// below the allowed folder.
Outcome Replace(const PendingReplacements::Entry& entry, const std::vector<std::string>& allowed,
                std::string& error) {
  /* the source: a plain file directly in the pending folder */
  const std::string folder = PendingReplacements::Folder();
  if (entry.source.rfind(folder, 0) != 0) {
    error = "the source " + entry.source + " is not in the pending folder " + folder;
    return Outcome::kRefused;
  }
  const std::string sourceName = entry.source.substr(folder.size());
  if (sourceName.empty() || sourceName == "." || sourceName == ".." || sourceName.find('/') != std::string::npos) {
    error = "the source " + entry.source + " is not a file directly in the pending folder " + folder;
    return Outcome::kRefused;
  }
  // Without its final '/': with it the kernel follows a link in the
  // folder's place whatever O_NOFOLLOW says.
  const std::string folderPath = folder.substr(0, folder.size() - 1);
  platform::UniqueFd pending(open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (pending.Get() < 0) {
    error = "cannot open the pending folder " + folder + ": " + Reason(errno);
    return Outcome::kFailed;
  }
  platform::UniqueFd source(openat(pending.Get(), sourceName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (source.Get() < 0) {
    const int err = errno;
    error = err == ELOOP ? "the source " + entry.source + " is a symbolic link"
                         : "cannot open " + entry.source + ": " + Reason(err);
    return err == ELOOP ? Outcome::kRefused : Outcome::kFailed;
  }
  struct stat st {};
  if (fstat(source.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = "the source " + entry.source + " is not a plain file";
    return Outcome::kRefused;
  }

  /* the target: below an allowed folder, reached without links */
  std::string base;
  std::vector<std::string> rest;
  if (!FindAllowedFolder(entry.target, allowed, base, rest)) {
    std::string where;
    for (const std::string& a : allowed) where += (where.empty() ? "" : ", ") + a;
    if (where.empty()) where = "every product's folder (none is known)";
    error = "the target lies outside " + where;
    return Outcome::kRefused;
  }
  bool linked = false;
  platform::UniqueFd dir(OpenTargetFolder(base, rest, error, linked));
  if (dir.Get() < 0) return linked ? Outcome::kRefused : Outcome::kFailed;
  if (!ReplaceAt(source.Get(), entry.source, st.st_mode, dir.Get(), rest.back(), entry.target, error)) {
    return Outcome::kFailed;
  }
  unlinkat(pending.Get(), sourceName.c_str(), 0);
  return Outcome::kDone;
}

}  // namespace

std::string PendingReplacements::Folder() {
  return platform::SystemRoot::Resolve("var/lib/qrvupdate/pending").string() + "/";
}

bool PendingReplacements::Queue(const std::string& sourceFile, const std::string& targetFile, std::string& error) {
  RegistryKey queue;
  if (RegistryKey::Create(platform::kRootLocalMachine, QueueKeyPath(), queue) != RegStatus::kOk) {
    error = "cannot open the queue key HKLM\\" + QueueKeyPath() + ": " + platform::LastError::Text();
    return false;
  }
  const uint32_t order = NextOrder(queue);
  char id[16];
  std::snprintf(id, sizeof id, "%08u", order);

  // the store's folder above it exists now: making the key made it
  const std::string folder = Folder();
  if (!MakePendingFolder(folder, error)) return false;
  const std::string pending = folder + id + "-" + std::filesystem::path(sourceFile).filename().string();
  if (!MoveFile(sourceFile, pending, error)) return false;

  RegistryKey entry;
  if (queue.CreateSubKey(id, entry) != RegStatus::kOk || entry.SetString("Source", pending) != RegStatus::kOk ||
      entry.SetString("Target", targetFile) != RegStatus::kOk || entry.SetDword("Order", order) != RegStatus::kOk) {
    error = "cannot record " + targetFile + " in HKLM\\" + QueueKeyPath() + ": " + platform::LastError::Text();
    // Without its entry the moved file would never be used: put it back.
    queue.DeleteSubKeyTree(id);
    std::string ignored;
    MoveFile(pending, sourceFile, ignored);
    return false;
  }
  return true;
}

std::vector<PendingReplacements::Entry> PendingReplacements::List(std::string* unreadable) {
  std::vector<Entry> entries;
  if (unreadable != nullptr) unreadable->clear();
  RegistryKey queue;
  if (RegistryKey::Open(platform::kRootLocalMachine, QueueKeyPath(), platform::RegAccess::kRead, queue) !=
      RegStatus::kOk) {
    // A damaged or unreadable store reads as empty: say so, or files queued
    // in it would silently never be put in place.
    if (unreadable != nullptr) *unreadable = platform::RegistryStore::DamageReport(platform::kRootLocalMachine);
    return entries;
  }
  std::string name;
  for (uint32_t i = 0; queue.EnumSubKey(i, name) == RegStatus::kOk; ++i) {
    RegistryKey entry;
    if (queue.OpenSubKey(name, platform::RegAccess::kRead, entry) != RegStatus::kOk) continue;
    entries.push_back(Entry{name, StringValue(entry, "Source"), StringValue(entry, "Target")});
  }
  return entries;
}

uint32_t PendingReplacements::RunAll(std::vector<std::string>& failures) {
  uint32_t done = 0;
  const std::vector<std::string> allowed = AllowedFolders();
  auto keep = [&](const std::string& text) {
    failures.push_back(text);
    platform::Diagnostics::Report("cannot replace " + text);
  };
  std::string unreadable;
  const std::vector<Entry> entries = List(&unreadable);
  if (!unreadable.empty()) {
    failures.push_back("the queue of pending replacements cannot be read: " + unreadable);
    platform::Diagnostics::Report(failures.back());
  }
  for (const Entry& entry : entries) {
    if (entry.source.empty() || entry.target.empty()) {
      keep("entry " + entry.id + ": no Source or Target value");
      continue;
    }
    std::string error;
    Outcome outcome = Replace(entry, allowed, error);
    if (outcome == Outcome::kRefused) {
      keep(entry.target + ": refused (queued entry " + entry.id + ", source " + entry.source + "): " + error +
           "; the entry stays queued");
      continue;
    }
    if (outcome == Outcome::kFailed) {
      keep(entry.target + " (queued entry " + entry.id + ", source " + entry.source + "): " + error +
           "; the entry stays queued");
      continue;
    }
    RegistryKey queue;
    if (RegistryKey::Open(platform::kRootLocalMachine, QueueKeyPath(), platform::RegAccess::kAll, queue) !=
            RegStatus::kOk ||
        queue.DeleteSubKeyTree(entry.id) != RegStatus::kOk) {
      keep(entry.target + ": replaced, but the entry " + entry.id + " cannot be removed: " +
           platform::LastError::Text());
      continue;
    }
    ++done;
  }
  return done;
}

bool PendingReplacements::Finish(const std::function<void(std::string_view line)>& report) {
  platform::RunLock lock;
  if (lock.Take() != platform::RunLock::Outcome::kTaken) {
    report(lock.Error());
    return false;
  }
  auto previous = platform::Diagnostics::SetSink([&report](std::string_view message) { report(message); });
  std::vector<std::string> failures;
  RunAll(failures);
  platform::Diagnostics::SetSink(previous);
  return failures.empty();
}

}  // namespace qrv
