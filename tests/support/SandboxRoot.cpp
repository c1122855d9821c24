#include "tests/support/SandboxRoot.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/core/SystemRoot.h"
#include "platform/core/TempFolder.h"

namespace qrv::test {

SandboxRoot::SandboxRoot() {
  std::string base = platform::TempFolder::Get();
  std::filesystem::create_directories(base);
  std::string templ = base + "qrv-sandbox-XXXXXX";
  char* made = mkdtemp(templ.data());
  if (made == nullptr) {
    ADD_FAILURE() << "cannot make a sandbox folder below " << base;
    m_path = std::filesystem::path(base) / "qrv-sandbox-failed";
  } else {
    m_path = made;
  }
  std::filesystem::create_directories(m_path / "tmp");
  platform::SystemRoot::Set(m_path);
  const char* old = getenv("TMPDIR");
  m_hadTmp = old != nullptr;
  if (old != nullptr) m_oldTmp = old;
  setenv("TMPDIR", (m_path / "tmp").c_str(), 1);
}

SandboxRoot::~SandboxRoot() {
  platform::SystemRoot::Set({});
  if (m_hadTmp) {
    setenv("TMPDIR", m_oldTmp.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  std::error_code ec;
  // Tests may leave read-only files and folders behind; make them removable.
  for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(m_path, ec);
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

mode_t ModeOf(const std::filesystem::path& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    ADD_FAILURE() << "cannot lstat " << path << ": " << std::strerror(errno);
    return 0;
  }
  return st.st_mode & 07777;
}

uid_t OwnerOf(const std::filesystem::path& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    ADD_FAILURE() << "cannot lstat " << path << ": " << std::strerror(errno);
    return static_cast<uid_t>(-1);
  }
  return st.st_uid;
}

}  // namespace qrv::test
