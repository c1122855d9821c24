#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace qrv::tools {

// Checks on the paths a release file or a tree names: the publisher's tool
// reads sources and writes trees on the publisher's machine, so a path that
// climbs out or passes through a symbolic link would pack or overwrite
// files the release never meant.
//
// Thread: any; no shared state.
class ReleasePath {  // static functions only
 public:
  // A relative path as the client joins it (either separator): true when it
  // is not empty, not absolute and has no empty, "." or ".." component;
  // otherwise `why` tells which.
  static bool IsRelative(const std::string& path, std::string& why);

  // `relative` below `base`: each component after base must exist and must
  // not be a symbolic link; the last must be a folder (wantFolder) or a
  // regular file. `out` gets the absolute path.
  static bool Resolve(const std::filesystem::path& base, const std::string& relative, bool wantFolder,
                      std::filesystem::path& out, std::string& why);

  // The whole file, not following a final symbolic link, when it is a
  // regular file of at most maxBytes.
  static bool ReadSmallFile(const std::filesystem::path& path, uint64_t maxBytes, std::string& out, std::string& why);
};

}  // namespace qrv::tools
