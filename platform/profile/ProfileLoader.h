#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <memory>
#include <string>

#include "platform/profile/ProfileDocument.h"

namespace qrv::platform {

// Reads profile files into documents: stat, compare with the cached copy, and
// only when that is missing or stale open, read and parse the file.
//
// Only regular files are read (a folder, a FIFO or a device is refused without
// opening it for long: the open never blocks), and only up to kMaxFileBytes: a
// profile file is a few kilobytes, and the cap keeps a hostile or damaged file
// from costing unbounded memory.
//
// Thread: any; the cache does its own locking.
class ProfileLoader {
 public:
  static constexpr size_t kMaxFileBytes = 16 * 1024 * 1024;

  enum class Status {
    kLoaded,   // document is the file's content, info its stat
    kMissing,  // no such file (or a folder on the way is missing): document is empty
    kFailed,   // the file exists but cannot be read: document is empty, error says why
  };

  struct Result {
    Status status = Status::kMissing;
    std::shared_ptr<const ProfileDocument> document;  // never null
    struct stat info {};
    std::string error;  // set for kMissing and kFailed, with the path
  };

  // Through the cache: readers.
  static Result Load(const std::string& path);
  // Straight from the file (the fresh document then replaces the cached one):
  // writers, which must never edit a stale copy.
  static Result LoadFresh(const std::string& path);

  // The document of an empty or missing file.
  static std::shared_ptr<const ProfileDocument> Empty();

 private:
  static Result LoadImpl(const std::string& path, bool useCache);
};

}  // namespace qrv::platform
