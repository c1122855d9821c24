#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <set>
#include <string>
#include <string_view>

#include "platform/core/UniqueFd.h"

namespace qrv::platform {

// Puts a file in place all at once: the bytes go to a temporary file beside
// the target, which is renamed over the target only when it is complete. A
// reader sees the old file or the new one, never a mix, and a write that
// fails or is cut off leaves nothing under the final name; an existing target
// (a read-only one too: a rename does not ask the file) is replaced in one
// step or not at all.
//
// Everything after Begin() happens relative to the folder's open descriptor
// (openat, renameat, unlinkat): once the caller has reached the folder safely
// (ConfinedFolder, say), no later step goes through a path that could have
// been turned into a link meanwhile. The temporary is made with O_EXCL and
// O_NOFOLLOW and mode 0600, so a link or file planted under its name is never
// written through and nobody else can open it while it is written; a link
// under the final name is replaced as a link, never followed.
//
// Temporary names: ".NAME.qrv-XXXXXX", or ".qrv-XXXXXX" when NAME is longer
// than 200 bytes, X from [A-Za-z0-9] (IsTemporaryName, RemoveStale).
//
// Call order: Begin(), any number of Write() / WriteFrom() or writes through
// Fd(), then Commit() or Discard(); the destructor discards what was not
// committed. Any failure of Write(), WriteFrom() or Commit() removes the
// temporary, so the object is then as after Discard(). Begin() again starts
// afresh (discarding a file in progress). Errors come back as text naming
// the paths and the system's reason.
//
// Thread: one thread at a time per object; two writers of the same target
// must be serialised by their callers, or the last rename wins.
class AtomicFileWriter {
 public:
  // What Commit() gives the file before it takes the final name.
  struct Finish {
    // Exactly these permission bits (07777 of them; the umask does not
    // apply: ProcessUmask for callers that want it to).
    mode_t mode = 0600;
    // When set, the file gets its owner and group, as far as we may: only
    // root may give a file away, a member of the group may still set the
    // group; a file that changes owner beats one that is not written.
    const struct stat* ownerOf = nullptr;
    // Time stamps; null leaves that one as the writes made it.
    const struct timespec* accessed = nullptr;
    const struct timespec* modified = nullptr;
    // Flush the data before the rename and the folder after it, so that
    // after a power cut the name holds either file, complete. Off: a caller
    // that writes many files flushes what it must once, for all of them.
    bool sync = false;
  };

  AtomicFileWriter() = default;
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // Creates the temporary for name (a plain name: not empty, ".", ".." and
  // without '/') in the folder open as folderFd. The descriptor is
  // duplicated: the caller may close its own. shownFolder names the folder in
  // messages, in FinalPath() and TempPath() ("" for none).
  bool Begin(int folderFd, const std::string& shownFolder, const std::string& name, std::string& error);
  // The same for a path: its folder is opened as the path names it (links in
  // the folder's path are the caller's choice and followed), the file itself
  // is then handled as above. False when the folder does not exist.
  bool Begin(const std::string& path, std::string& error);

  // Appends bytes to the temporary.
  bool Write(std::string_view bytes, std::string& error);
  // Appends the whole of the open file in, from its offset 0 to its end
  // (in's own offset is left alone); source names it in messages.
  bool WriteFrom(int in, const std::string& source, std::string& error);

  bool IsOpen() const { return m_fd >= 0; }
  // The temporary's descriptor (read and write), for a library that writes
  // itself; stays ours. -1 when nothing is being written.
  int Fd() const { return m_fd; }
  const std::string& TempPath() const { return m_tempPath; }
  const std::string& FinalPath() const { return m_finalPath; }

  // The status of the regular file now under the final name (a link there is
  // not followed and counts as none). After Begin(); false when there is none.
  bool Existing(struct stat& st) const;

  // Gives the file what finish says and renames it over the final name. On
  // failure the temporary is gone and the target untouched. A failure to
  // flush the folder after the rename (the file is in place) is only
  // reported through Diagnostics.
  bool Commit(const Finish& finish, std::string& error);

  // Closes and removes the temporary; nothing when there is none.
  void Discard();

  // Whether name is one of the temporaries this writer makes, or one that an
  // earlier version made beside its target ("NAME.qrv-XXXXXX"): a name
  // ending in ".qrv-" and six letters or digits.
  static bool IsTemporaryName(const std::string& name);
  // Removes the temporaries an interrupted run left in the folder open as
  // folderFd: regular files with such names, except those in keep (files
  // that were just put there under that very name). Links and folders are
  // never touched. Returns how many were removed; a file that cannot be
  // removed is named in failures ("path: reason", appended, "; " between).
  static int RemoveStale(int folderFd, const std::string& shownFolder, const std::set<std::string>& keep,
                         std::string& failures);

  // A whole file from bytes at path, flushed to disk (file and folder).
  // existing: the status of the file being replaced, whose owner (when we
  // may) and permission bits the new file gets; null when it is created (it
  // then gets 0666 less the process's umask, as a plain create would).
  static bool Replace(const std::string& path, std::string_view bytes, const struct stat* existing,
                      std::string& error);
  // The same with exactly these permission bits (the umask does not apply),
  // for files every user must read whatever the writer's umask.
  static bool Replace(const std::string& path, std::string_view bytes, mode_t mode, std::string& error);

 private:
  bool Create(std::string& error);
  bool Fail(const std::string& what, int code, std::string& error);
  static bool ReplaceWith(const std::string& path, std::string_view bytes, const Finish& finish,
                          std::string& error);

  UniqueFd m_dir;
  int m_fd = -1;
  std::string m_name;
  std::string m_tempName;
  std::string m_shownFolder;
  std::string m_finalPath;
  std::string m_tempPath;
};

}  // namespace qrv::platform
