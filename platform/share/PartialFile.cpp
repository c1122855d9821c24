#include "platform/share/PartialFile.h"

#include "platform/core/LastError.h"

namespace qrv::platform {

bool PartialFile::Open(const std::string& target) {
  if (m_file.IsOpen()) {
    LastError::Set("cannot receive \"" + target + "\": \"" + m_file.FinalPath() + "\" is still being received");
    return false;
  }
  std::string error;
  if (m_file.Begin(target, error)) return true;
  LastError::Set(error);
  return false;
}

bool PartialFile::Write(const char* data, size_t size) {
  std::string error;
  if (m_file.Write(std::string_view(data, size), error)) return true;
  LastError::Set(error);
  return false;
}

bool PartialFile::Commit(const struct timespec* modified, mode_t permissions) {
  AtomicFileWriter::Finish finish;
  // the temporary is 0600; narrower when the source is
  finish.mode = permissions & 0700;
  finish.modified = modified;
  // Not flushed to disk here: a flush per file made a copy of many small
  // files cost a disk round trip each. Whoever relies on the file after a
  // crash makes it durable once for all it fetched (the update download
  // does, for the files a resumed run reads).
  finish.sync = false;
  std::string error;
  if (m_file.Commit(finish, error)) return true;
  LastError::Set(error);
  return false;
}

void PartialFile::Discard() { m_file.Discard(); }

}  // namespace qrv::platform
