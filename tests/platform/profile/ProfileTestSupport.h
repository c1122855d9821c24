#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "platform/profile/ProfileFile.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::test {

// A sandbox with an empty profile cache, and helpers to make profile files in it.
class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::ProfileFile::FlushCache(); }
  void TearDown() override { platform::ProfileFile::FlushCache(); }

  // Writes bytes to name below the sandbox and returns the path as a string.
  std::string Make(const std::string& name, const std::string& bytes) {
    std::filesystem::path path = m_root / name;
    WriteFile(path, bytes);
    return path.string();
  }
  std::string PathOf(const std::string& name) const { return (m_root / name).string(); }
  static std::string Read(const std::string& path) { return ReadFile(path); }

  static struct stat Stat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
  }

  SandboxRoot m_root;
};

// Text in UTF-16 with a byte-order mark, for the encoding tests.
inline std::string Utf16(const std::u16string& text, bool bigEndian) {
  std::string bytes = bigEndian ? std::string("\xFE\xFF", 2) : std::string("\xFF\xFE", 2);
  for (char16_t unit : text) {
    char hi = static_cast<char>(unit >> 8);
    char lo = static_cast<char>(unit & 0xFF);
    bytes += bigEndian ? hi : lo;
    bytes += bigEndian ? lo : hi;
  }
  return bytes;
}

}  // namespace qrv::test
