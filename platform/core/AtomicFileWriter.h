#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

namespace qrv::platform {

// Replaces a file's content all at once: the bytes go to a temporary file in
// the same folder, which gets the old file's owner (when we may) and permission
// bits, is flushed to disk and then renamed over the target; the folder is
// flushed last so the rename itself survives a crash. A reader sees either the
// old file or the new one, never a mix. On any failure the target is untouched
// and the temporary file is gone.
//
// Thread: any; two writers of the same file must be serialised by the caller,
// or the last rename wins.
class AtomicFileWriter {
 public:
  // existing: the stat of the file being replaced, or null when it is created
  // (it then gets 0666 less the process's umask, as a plain create would).
  // On failure, error names the paths and the system's reason.
  static bool Replace(const std::string& path, std::string_view bytes, const struct stat* existing,
                      std::string& error);
  // The same with exactly these permission bits (the umask does not apply),
  // for files every user must read whatever the writer's umask.
  static bool Replace(const std::string& path, std::string_view bytes, mode_t mode, std::string& error);

 private:
  static bool Write(const std::string& path, std::string_view bytes, const struct stat* existing, mode_t mode,
                    std::string& error);
};

}  // namespace qrv::platform
