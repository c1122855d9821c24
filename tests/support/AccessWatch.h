#pragma once

#include <filesystem>
#include <string>

namespace qrv::test {

// Tells whether a file's content has been read since construction, by
// whichever process read it (this one, smbd), from the file's access time:
// the constructor sets that far back (before the modification time), and
// under relatime (the default) or strictatime any read then moves it. So a
// test checks "refused unread" by what happened to the file, not by how long
// the refusal took on this machine.
//
// Mounted noatime, no read would show: the constructor reads a scratch file
// of its own beside the watched one to see that reads do show, and when they
// do not, Read() answers true (a test that expects "unread" fails rather
// than passes by accident) and Why() says so.
//
// Thread: any one thread.
class AccessWatch {
 public:
  explicit AccessWatch(std::filesystem::path file);

  // True when the file was read since construction, or when that cannot be told.
  bool Read() const;
  // Why Read() cannot tell, or "".
  const std::string& Why() const { return m_why; }

 private:
  std::filesystem::path m_file;
  std::string m_why;
};

}  // namespace qrv::test
