#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <string>

#include "platform/core/AtomicFileWriter.h"

namespace qrv::platform {

// A file being received. The bytes go to a temporary file in the target's
// own folder (AtomicFileWriter: ".NAME.qrv-XXXXXX", made O_EXCL|O_NOFOLLOW,
// 0600), which becomes the target only by Commit(), renamed over the
// target. So a copy that fails or is cut off half-way never leaves a
// partial file under the real name, and an existing target (even a
// read-only one: a rename does not ask the file) is replaced in one step or
// not at all. Nothing is flushed to disk: a caller that must
// find the file after a power cut flushes it (and its folder) itself, once
// for all the files it received, as the other transports' files are.
//
// Call order: Open, any number of Write, then Commit or Discard (the
// destructor discards). Every failure leaves the reason, with the paths, in
// LastError and removes the temporary file.
//
// Thread: one thread at a time per object.
class PartialFile {
 public:
  PartialFile() = default;
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

  bool IsOpen() const { return m_file.IsOpen(); }
  const std::string& TempPath() const { return m_file.TempPath(); }

 private:
  AtomicFileWriter m_file;  // discards an uncommitted file when destroyed
};

}  // namespace qrv::platform
