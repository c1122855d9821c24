#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace qrv::tools {

// Writing and measuring the files of an update tree.
//
// A tree may be built straight into a folder a web server publishes, so a
// file is never seen half-written: Write replaces the target in one step
// (platform::AtomicFileWriter), mode 0644. The digests are the updater's own
// (platform::Sha256Digest), so both sides measure alike.
//
// Thread: any; no shared state.
class TreeFile {  // static functions only
 public:
  // Replaces `path` by `bytes` in one step; false with the path and the
  // cause in `error`, the target untouched.
  static bool Write(const std::filesystem::path& path, std::string_view bytes, std::string& error);

  // The size and the SHA-256 (64 lower-case hex digits) of a file, read
  // once from start to end.
  static bool Measure(const std::filesystem::path& path, uint64_t& size, std::string& sha256, std::string& error);

  // The SHA-256 of `bytes` as 64 lower-case hex digits.
  static std::string Sha256(std::string_view bytes);
};

}  // namespace qrv::tools
