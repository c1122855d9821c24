#pragma once

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

}  // namespace qrv::test
