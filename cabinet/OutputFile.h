#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <set>
#include <string>

namespace Cabinet {

// One file on its way to its real name. The data goes into a temporary file
// in the target's own folder; only a complete file is renamed over the
// target, so no half-written file ever stands under a real name and a
// read-only file in the way is replaced like any other.
//
// Everything happens relative to the folder's open descriptor (openat,
// renameat, unlinkat), so once the caller has reached the folder safely (see
// ConfinedFolder) no later step goes through a path that could have been
// changed into a link meanwhile. A target name that is a link is replaced as
// a link, never followed.
//
// Sequence: Create(), write through Fd(), then Commit() or Discard(). The
// destructor discards what was not committed.
//
// Errors come back as text with the path and the system's reason.
// Thread: one object per thread.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates an empty temporary ".NAME.qrv-XXXXXX" (".qrv-XXXXXX" for very
  // long names; X from [A-Za-z0-9]) with mode 0600 in the folder open as
  // folderFd, for the file name there. The descriptor is duplicated: the
  // caller may close its own. shownFolder names the folder in messages and
  // in FinalPath() / TempPath().
  bool Create(int folderFd, const std::string& shownFolder, const std::string& name, std::string& error);

  int Fd() const { return m_fd; }
  const std::string& TempPath() const { return m_tempPath; }
  const std::string& FinalPath() const { return m_finalPath; }

  // The permission bits of the regular file now under the final name
  // (links not followed), or -1 when there is none. After Create().
  int ExistingMode() const;

  // Sets mode and both access and modification time (time == nullptr leaves
  // them), flushes the data and the folder entry to disk when sync is true,
  // and renames the file over the final name. On failure the temporary is
  // gone and the target untouched.
  bool Commit(mode_t mode, const timespec* time, bool sync, std::string& error);

  // Closes and removes the temporary; nothing when there is none.
  void Discard();

  // Whether name is one of the temporaries Create() makes, or one that an
  // earlier version made beside its target ("NAME.qrv-XXXXXX"): a name
  // ending in ".qrv-" and six letters or digits.
  static bool IsTemporaryName(const std::string& name);

  // Removes the temporaries an interrupted run left in the folder open as
  // folderFd: regular files with such names, except those in keep (files
  // that were just put there under that very name). Links and folders are
  // never touched. Returns how many were removed; a file that cannot be
  // removed is named in failures ("path: reason", appended).
  static int RemoveStale(int folderFd, const std::string& shownFolder, const std::set<std::string>& keep,
                         std::string& failures);

 private:
  int m_dirFd = -1;
  std::string m_name;
  std::string m_tempName;
  std::string m_finalPath;
  std::string m_tempPath;
  int m_fd = -1;
};

}  // namespace Cabinet
