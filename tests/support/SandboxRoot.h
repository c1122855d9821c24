#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace qrv::test {

// A fresh system root for one test: a new folder, made the process's system
// root, with TMPDIR pointing at its tmp/ folder. The previous root and TMPDIR
// come back and the folder is removed on destruction.
//
// Thread: create and destroy on the test's main thread, with no other thread
// using the root.
class SandboxRoot {
 public:
  SandboxRoot();
  ~SandboxRoot();
  SandboxRoot(const SandboxRoot&) = delete;
  SandboxRoot& operator=(const SandboxRoot&) = delete;

  const std::filesystem::path& Path() const { return m_path; }
  std::filesystem::path Tmp() const { return m_path / "tmp"; }
  // A path below the root, for files a test makes.
  std::filesystem::path operator/(const std::string& relative) const { return m_path / relative; }

 private:
  std::filesystem::path m_path;
  std::string m_oldTmp;
  bool m_hadTmp = false;
};

// Writes bytes to a file, creating missing folders; fails the test on error.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
// The file's bytes; fails the test when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);
// The permission bits (& 07777) and the owner of path itself, a link not
// followed (lstat). When path cannot be read they fail the test and return
// 0 and (uid_t)-1, values no check expects.
mode_t ModeOf(const std::filesystem::path& path);
uid_t OwnerOf(const std::filesystem::path& path);

}  // namespace qrv::test
