#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <string>

namespace qrv::platform {

// A file being received. The bytes go to a temporary file in the target's
// own folder (".NAME.qrvpart-XXXXXX"), which becomes the target only by
// Commit(): flushed to disk, renamed over the target, folder flushed. So a
// copy that fails or is cut off half-way never leaves a partial file under
// the real name, and an existing target (even a read-only one: a rename does
// not ask the file) is replaced in one step or not at all.
//
// Call order: Open, any number of Write, then Commit or Discard (the
// destructor discards). Every failure leaves the reason, with the paths, in
// LastError and removes the temporary file.
//
// Thread: one thread at a time per object.
class PartialFile {
 public:
  PartialFile() = default;
  ~PartialFile();
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  // Creates the temporary file for target. False when target's folder does
  // not exist or cannot be written to, or the file is already open.
  bool Open(const std::string& target);
  bool Write(const char* data, size_t size);
  // Gives the file modified as its modification time (null: now) and the
  // permissions given (only the owner's bits are kept: a received file is
  // private to the account that fetched it, whatever the source allowed) and
  // puts it in place of the target. False when the target is a folder or the
  // rename is refused; the target is then unchanged.
  bool Commit(const struct timespec* modified, mode_t permissions);
  void Discard();

  bool IsOpen() const { return m_fd >= 0; }
  const std::string& TempPath() const { return m_temp; }

 private:
  int m_fd = -1;
  std::string m_target;
  std::string m_temp;
};

}  // namespace qrv::platform
