#pragma once

#include <sys/types.h>

#include <string>

namespace Cabinet {

// A folder that files are written below without ever leaving it: the root is
// opened once, and every folder below it is reached relative to that open
// root, never through a symbolic link. Someone who can write inside the root
// (a product folder a user may change) could otherwise plant a link there,
// "bin -> /etc", and have files that belong below the root written wherever
// the link points, with our rights.
//
// The root's own path is followed as it is, links included: it is the folder
// the caller chose (an installation folder an administrator may have made a
// link on purpose). Only what lies below it is confined.
//
// Resolution uses openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS) where the
// kernel has it, else a walk component by component with O_NOFOLLOW; missing
// folders are made by that walk. Folders made here get kFolderMode whatever
// the process's umask (it can neither open them up nor shut others out of a
// program's folder).
//
// Ownership: owns the root's descriptor, closed on destruction.
// Thread: one object per thread; the descriptors it hands out are the
// caller's.
class ConfinedFolder {
 public:
  static constexpr mode_t kFolderMode = 0755;

  ConfinedFolder() = default;
  ~ConfinedFolder();
  ConfinedFolder(const ConfinedFolder&) = delete;
  ConfinedFolder& operator=(const ConfinedFolder&) = delete;

  // Opens root, an absolute or relative path. With create, root and its
  // missing parents are made first (mode kFolderMode). False with error
  // naming the folder and the reason; a file in the way says so.
  bool Open(const std::string& root, bool create, std::string& error);

  bool IsOpen() const { return m_fd >= 0; }
  int Fd() const { return m_fd; }
  const std::string& Path() const { return m_path; }
  // root + "/" + relative, for messages; root itself for "".
  std::string Shown(const std::string& relative) const;

  // The outcome of OpenFolder besides the descriptor.
  enum class Refusal {
    kNone,       // opened
    kFailed,     // an ordinary failure: missing, a file in the way, no permission
    kEscape,     // a component is a symbolic link, or "." / "..": refused, nothing was followed
  };

  // Opens the folder relative ('/'-separated, no empty, "." or ".."
  // component; "" is the root itself) below the root, read-only. With
  // create, missing folders are made on the way. Returns a descriptor the
  // caller closes, or -1 with error (the path shown below the root and the
  // reason) and refusal saying why (may be null).
  int OpenFolder(const std::string& relative, bool create, std::string& error, Refusal* refusal = nullptr) const;

  // Whether the running kernel resolves with openat2 (else every lookup
  // walks); for tests and diagnostics.
  static bool KernelResolvesBeneath();

 private:
  int Walk(const std::string& relative, bool create, std::string& error, Refusal& refusal) const;

  int m_fd = -1;
  std::string m_path;
};

}  // namespace Cabinet
