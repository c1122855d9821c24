#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <string>

namespace Cabinet {

// One extracted file on its way to its real name. The data goes into a
// temporary file in the target's own folder; only a complete file is renamed
// over the target, so no half-written file ever stands under a real name and
// a read-only file in the way is replaced like any other.
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

  // Creates every missing folder above finalPath, top down (skipped when
  // folderExists says the caller made sure of it already), and an empty
  // temporary ".NAME.qrv-XXXXXX" (".qrv-XXXXXX" for very long names) beside
  // it with mode 0600. A file where a folder should be is an error.
  bool Create(const std::string& finalPath, std::string& error, bool folderExists = false);

  int Fd() const { return m_fd; }
  const std::string& TempPath() const { return m_tempPath; }
  const std::string& FinalPath() const { return m_finalPath; }

  // The permission bits of the regular file at path (symbolic links not
  // followed), or -1 when there is none.
  static int ExistingMode(const std::string& path);

  // Sets mode and both access and modification time (time == nullptr leaves
  // them), flushes the data and the folder entry to disk when sync is true,
  // and renames the file over FinalPath(). On failure the temporary is gone
  // and the target untouched.
  bool Commit(mode_t mode, const timespec* time, bool sync, std::string& error);

  // Closes and removes the temporary; nothing when there is none.
  void Discard();

 private:
  std::string m_finalPath;
  std::string m_tempPath;
  int m_fd = -1;
};

}  // namespace Cabinet
