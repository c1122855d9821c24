#pragma once

#include <cstdint>
#include <string>

#include "platform/core/AtomicFileWriter.h"

namespace qrv::platform {

// Where a downloaded body lands on disk, with a cap on its size. Used by the
// HTTP and FTP clients of this folder.
//
// Call order: Open() once, Write() any number of times, then Commit(),
// Abandon() or Discard() (the destructor abandons an uncommitted sink). Error() holds the
// reason of the last failure, with the path and the system's text.
//
// Thread: one thread at a time.
class LocalFileSink {
 public:
  enum class Mode {
    // The target is deleted and created anew by Open(); a transfer that fails
    // later leaves what arrived (a body over the cap is removed, though: it
    // is never wanted and may be large).
    kReplaceInPlace,
    // The bytes go to a temporary file beside the target (AtomicFileWriter),
    // renamed over it by Commit() with mode 0666 less the umask and without a
    // flush to disk; a failure leaves the target as it was and removes the
    // temporary file.
    kViaTempFile,
  };

  LocalFileSink(std::string path, Mode mode, uint64_t maxBytes);
  ~LocalFileSink();
  LocalFileSink(const LocalFileSink&) = delete;
  LocalFileSink& operator=(const LocalFileSink&) = delete;

  // Creates the file (0666 less the umask; never follows a symbolic link at
  // the target, never opens an existing file). false with Error() when it cannot be created.
  bool Open();
  bool IsOpen() const { return m_fd >= 0 || m_temp.IsOpen(); }
  // Appends; false when the cap would be exceeded (OverCap()) or the write fails.
  bool Write(const char* data, size_t size);
  // Closes and, in kViaTempFile mode, renames the file over the target.
  bool Commit();
  // Closes and removes what Mode says; safe to call more than once.
  void Abandon();
  // Closes and removes the file written, whatever the mode: for a transfer
  // refused by a limit, whose part is never wanted.
  void Discard();

  bool OverCap() const { return m_overCap; }
  uint64_t Written() const { return m_written; }
  const std::string& Error() const { return m_error; }
  const std::string& Path() const { return m_path; }

 private:
  bool Fail(const std::string& what, int code);

  std::string m_path;
  Mode m_mode;
  uint64_t m_maxBytes;
  AtomicFileWriter m_temp;   // kViaTempFile
  std::string m_openedPath;  // kReplaceInPlace: the file written, once made
  int m_fd = -1;             // kReplaceInPlace
  uint64_t m_written = 0;
  bool m_overCap = false;
  bool m_finished = false;
  std::string m_error;
};

}  // namespace qrv::platform
