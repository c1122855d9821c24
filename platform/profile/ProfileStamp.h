#pragma once

#include <sys/stat.h>

#include <cstdint>

namespace qrv::platform {

// What tells one version of a file from another without reading it: device,
// inode, size and the modification and status-change times in nanoseconds. An
// atomic replace gives a new inode; an in-place rewrite changes the size or the
// times. Two in-place writes of the same size within one tick of the file
// system's clock cannot be told apart, which is what ProfileFile::FlushCache is for.
struct ProfileStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t mtimeNs = 0;
  int64_t ctimeNs = 0;

  static ProfileStamp From(const struct stat& st);
  bool operator==(const ProfileStamp&) const = default;
};

}  // namespace qrv::platform
