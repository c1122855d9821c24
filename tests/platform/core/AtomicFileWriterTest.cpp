#include "platform/core/AtomicFileWriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/ProcessUmask.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/SmallFileSizeLimit.h"

namespace qrv::test {
namespace {

namespace fs = std::filesystem;
using platform::AtomicFileWriter;
using platform::ProcessUmask;
using Strings = std::vector<std::string>;

Strings Entries(const fs::path& folder) {
  Strings names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Sets the umask for one scope.
class UmaskScope {
 public:
  explicit UmaskScope(mode_t mask) : m_old(::umask(mask)) {}
  ~UmaskScope() { ::umask(m_old); }

 private:
  mode_t m_old;
};

class AtomicFileWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Folder());
    m_fd = ::open(Folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(m_fd, 0);
  }
  void TearDown() override { ::close(m_fd); }
  fs::path Folder() const { return m_root / "folder"; }
  std::string Target() const { return (Folder() / "file.bin").string(); }

  // Begins the file.bin in Folder(), by descriptor or by path.
  bool Begin(AtomicFileWriter& writer, bool byPath, std::string& error) const {
    return byPath ? writer.Begin(Target(), error) : writer.Begin(m_fd, Folder().string(), "file.bin", error);
  }

  SandboxRoot m_root;
  int m_fd = -1;
};

// Whatever stands under the final name is replaced by the new file, never
// written through: a link, even one pointing where nothing is yet, would
// let whoever planted it have the file written anywhere with our rights,
// and a file shared by a hard link would change under its other name too.
TEST_F(AtomicFileWriterTest, WhatStandsUnderTheFinalNameIsReplacedNeverWrittenThrough) {
  const fs::path outside = m_root / "outside";
  struct Case {
    const char* what;
    std::function<void(const fs::path& at)> plant;
  } cases[] = {
      {"nothing", [](const fs::path&) {}},
      {"a link to another's file", [&](const fs::path& at) { fs::create_symlink(outside / "victim", at); }},
      {"a link to where nothing is yet", [&](const fs::path& at) { fs::create_symlink(outside / "new", at); }},
      {"a hard link of another's file", [&](const fs::path& at) { fs::create_hard_link(outside / "victim", at); }},
      {"a read-only file",
       [](const fs::path& at) {
         WriteFile(at, "old");
         fs::permissions(at, fs::perms::owner_read);
       }},
  };
  for (bool byPath : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (byPath ? ", by path" : ", by descriptor"));
      fs::remove_all(outside);
      fs::remove_all(Folder() / "file.bin");
      WriteFile(outside / "victim", "mine");
      c.plant(Folder() / "file.bin");

      AtomicFileWriter writer;
      std::string error;
      ASSERT_TRUE(Begin(writer, byPath, error)) << error;
      EXPECT_EQ(writer.FinalPath(), Target());
      struct stat existing {};
      EXPECT_EQ(writer.Existing(existing), std::string(c.what) == "a read-only file" ||
                                               std::string(c.what) == "a hard link of another's file")
          << "a link is no file to take a mode or owner from";
      ASSERT_TRUE(writer.Write("new content", error)) << error;
      ASSERT_TRUE(writer.Commit({}, error)) << error;

      EXPECT_FALSE(fs::is_symlink(Folder() / "file.bin"));
      EXPECT_EQ(ReadFile(Folder() / "file.bin"), "new content");
      EXPECT_EQ(ReadFile(outside / "victim"), "mine");
      EXPECT_EQ(Entries(outside), Strings{"victim"}) << "nothing made where the link pointed";
      EXPECT_EQ(Entries(Folder()), Strings{"file.bin"}) << "no temporary left";
    }
  }
}

// A write that fails at any step, or is given up, leaves the target as it
// was and nothing of the temporary, and says which file it was for.
TEST_F(AtomicFileWriterTest, AFailureAtAnyStepLeavesTheTargetAsItWasAndNoTemporary) {
  const std::string big(10000, 'x');
  WriteFile(m_root / "source.bin", big);
  struct Case {
    const char* what;
    bool fails;  // whether a call reports the failure (else the writer is just dropped)
    std::function<bool(AtomicFileWriter&, std::string&)> act;
  } cases[] = {
      {"a write the disk cannot take", true,
       [&](AtomicFileWriter& w, std::string& error) {
         SmallFileSizeLimit limit;
         return w.Write(big, error);
       }},
      {"a copy the disk cannot take", true,
       [&](AtomicFileWriter& w, std::string& error) {
         const int in = ::open((m_root / "source.bin").c_str(), O_RDONLY | O_CLOEXEC);
         bool ok = false;
         {
           SmallFileSizeLimit limit;
           ok = w.WriteFrom(in, "source.bin", error);
         }
         ::close(in);
         return ok;
       }},
      {"a folder under the final name", true,
       [&](AtomicFileWriter& w, std::string& error) {
         fs::remove(Folder() / "file.bin");
         WriteFile(Folder() / "file.bin" / "inside", "in the way");
         return w.Write("new", error) && w.Commit({}, error);
       }},
      {"given up after a write", false,
       [](AtomicFileWriter& w, std::string& error) {
         EXPECT_TRUE(w.Write("half of it", error));
         w.Discard();
         return true;
       }},
      {"dropped after a write", false,
       [](AtomicFileWriter& w, std::string& error) { return w.Write("half of it", error); }},
  };
  for (bool byPath : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (byPath ? ", by path" : ", by descriptor"));
      fs::remove_all(Folder() / "file.bin");
      WriteFile(Folder() / "file.bin", "original");
      std::string error;
      {
        AtomicFileWriter writer;
        ASSERT_TRUE(Begin(writer, byPath, error)) << error;
        const bool ok = c.act(writer, error);
        if (c.fails) {
          EXPECT_FALSE(ok);
          EXPECT_NE(error.find(Target()), std::string::npos) << error;
          EXPECT_FALSE(writer.IsOpen());
          std::string ignored;
          EXPECT_FALSE(writer.Commit({}, ignored)) << "nothing left to commit";
        } else {
          EXPECT_TRUE(ok) << error;
        }
      }
      if (fs::is_directory(Folder() / "file.bin")) {
        EXPECT_NE(error.find("it is a folder"), std::string::npos) << error;
        EXPECT_EQ(ReadFile(Folder() / "file.bin" / "inside"), "in the way");
      } else {
        EXPECT_EQ(ReadFile(Folder() / "file.bin"), "original");
      }
      EXPECT_EQ(Entries(Folder()), Strings{"file.bin"}) << "no temporary left";
    }
  }

  // a missing folder is named, and not made
  AtomicFileWriter writer;
  std::string error;
  const std::string missing = (Folder() / "no" / "such").string();
  EXPECT_FALSE(writer.Begin(missing + "/file.bin", error));
  EXPECT_NE(error.find("its folder \"" + missing + "\" does not exist"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(Folder() / "no"));
}

// The permission bits are exactly the ones asked for, or those of a plain
// create under the umask of the moment; the temporary is private to its
// writer meanwhile, whatever the umask would have let others do.
TEST_F(AtomicFileWriterTest, ModesAreExactWhateverTheUmaskAndTheTemporaryIsPrivate) {
  struct Case {
    mode_t mask;
    const char* how;  // "create": Replace of a new file; "mode": Replace with a mode; "keep": of an existing file
    mode_t asked;
    mode_t expected;
  } cases[] = {
      {077, "create", 0, 0600}, {0, "create", 0, 0666},     {022, "create", 0, 0644},  {027, "create", 0, 0640},
      {077, "mode", 0644, 0644}, {0, "mode", 0644, 0644},   {077, "keep", 0751, 0751}, {0, "keep", 0640, 0640},
      {0, "keep", 04755, 04755}, {077, "mode", 0444, 0444},
  };
  for (const Case& c : cases) {
    char trace[64];
    std::snprintf(trace, sizeof trace, "%s %04o under umask %04o", c.how, static_cast<unsigned>(c.asked),
                  static_cast<unsigned>(c.mask));
    SCOPED_TRACE(trace);
    UmaskScope mask(c.mask);
    EXPECT_EQ(ProcessUmask::Get(), c.mask);
    fs::remove_all(Folder() / "file.bin");
    std::string error;
    if (std::string(c.how) == "create") {
      ASSERT_TRUE(AtomicFileWriter::Replace(Target(), "x", nullptr, error)) << error;
    } else if (std::string(c.how) == "mode") {
      ASSERT_TRUE(AtomicFileWriter::Replace(Target(), "x", c.asked, error)) << error;
    } else {
      WriteFile(Folder() / "file.bin", "old");
      ASSERT_EQ(::chmod(Target().c_str(), c.asked), 0);
      struct stat existing {};
      ASSERT_EQ(::stat(Target().c_str(), &existing), 0);
      ASSERT_TRUE(AtomicFileWriter::Replace(Target(), "x", &existing, error)) << error;
    }
    EXPECT_EQ(ModeOf(Folder() / "file.bin"), c.expected);
    EXPECT_EQ(ReadFile(Folder() / "file.bin"), "x");
  }

  UmaskScope anyone(0);
  AtomicFileWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Begin(m_fd, Folder().string(), "file.bin", error)) << error;
  EXPECT_EQ(ModeOf(writer.TempPath()), 0600u) << "nobody else may open the file while it is written";
  AtomicFileWriter::Finish finish;
  finish.mode = 0644;
  ASSERT_TRUE(writer.Commit(finish, error)) << error;
  EXPECT_EQ(ModeOf(Folder() / "file.bin"), 0644u);
}

// Until Commit the name holds the old file, whole; after it the new one,
// whole. A reader that opened the old file keeps reading the old bytes.
TEST_F(AtomicFileWriterTest, AReaderSeesTheOldFileOrTheNewOneNeverAPart) {
  const std::string oldBytes(100000, 'o');
  const std::string newBytes(100000, 'n');
  WriteFile(Folder() / "file.bin", oldBytes);
  const int reader = ::open(Target().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  AtomicFileWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Begin(m_fd, Folder().string(), "file.bin", error)) << error;
  ASSERT_TRUE(writer.Write(std::string_view(newBytes).substr(0, 50000), error)) << error;
  EXPECT_TRUE(ReadFile(Folder() / "file.bin") == oldBytes) << "half written, the old file stands";
  ASSERT_TRUE(writer.Write(std::string_view(newBytes).substr(50000), error)) << error;
  ASSERT_TRUE(writer.Commit({}, error)) << error;
  EXPECT_TRUE(ReadFile(Folder() / "file.bin") == newBytes);
  std::string kept(oldBytes.size() + 1, '\0');
  EXPECT_EQ(::pread(reader, kept.data(), kept.size(), 0), static_cast<ssize_t>(oldBytes.size()));
  kept.resize(oldBytes.size());
  EXPECT_TRUE(kept == oldBytes) << "an open reader keeps the old bytes";
  ::close(reader);

  // and while another thread replaces it over and over, in pieces
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread readers([&] {
    while (!done.load()) {
      const int fd = ::open(Target().c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        ++torn;  // a moment without the file is a failure too
        continue;
      }
      std::string seen(newBytes.size() + 1, '\0');
      size_t got = 0;
      while (got < seen.size()) {
        const ssize_t n = ::read(fd, seen.data() + got, seen.size() - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      ::close(fd);
      seen.resize(got);
      if (seen != oldBytes && seen != newBytes) ++torn;
    }
  });
  for (int round = 0; round < 40; ++round) {
    const std::string& bytes = round % 2 == 0 ? oldBytes : newBytes;
    AtomicFileWriter again;
    ASSERT_TRUE(again.Begin(m_fd, Folder().string(), "file.bin", error)) << error;
    for (size_t at = 0; at < bytes.size(); at += 4096) {
      ASSERT_TRUE(again.Write(std::string_view(bytes).substr(at, 4096), error)) << error;
    }
    ASSERT_TRUE(again.Commit({}, error)) << error;
  }
  done.store(true);
  readers.join();
  EXPECT_EQ(torn.load(), 0) << "reads that found a partial, mixed or missing file";
}

// What Commit gives besides the bytes and mode: the time stamps asked for
// and no others; and WriteFrom copies the whole source whatever its own
// offset.
TEST_F(AtomicFileWriterTest, TimesAndCopiedContent) {
  std::string source(200000, '\0');
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>(i * 7);
  WriteFile(m_root / "source.bin", source);
  const struct timespec stamp = {1600000000, 0};
  const struct timespec other = {1500000000, 0};
  struct Case {
    const struct timespec* accessed;
    const struct timespec* modified;
  } cases[] = {{&stamp, &stamp}, {nullptr, &stamp}, {&other, &stamp}, {&stamp, nullptr}};
  for (const Case& c : cases) {
    const int in = ::open((m_root / "source.bin").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(in, 0);
    ASSERT_EQ(::lseek(in, 1000, SEEK_SET), 1000);
    AtomicFileWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Begin(m_fd, Folder().string(), "file.bin", error)) << error;
    ASSERT_TRUE(writer.WriteFrom(in, "source.bin", error)) << error;
    EXPECT_EQ(::lseek(in, 0, SEEK_CUR), 1000) << "the source's offset is left alone";
    ::close(in);
    AtomicFileWriter::Finish finish;
    finish.accessed = c.accessed;
    finish.modified = c.modified;
    ASSERT_TRUE(writer.Commit(finish, error)) << error;
    struct stat st {};
    ASSERT_EQ(::lstat(Target().c_str(), &st), 0);
    if (c.modified != nullptr) {
      EXPECT_EQ(st.st_mtim.tv_sec, c.modified->tv_sec);
    } else {
      EXPECT_GT(st.st_mtim.tv_sec, stamp.tv_sec) << "left as the writes made it";
    }
    if (c.accessed != nullptr) {
      EXPECT_EQ(st.st_atim.tv_sec, c.accessed->tv_sec);
    } else {
      EXPECT_NE(st.st_atim.tv_sec, stamp.tv_sec) << "not given the modification time";
    }
    EXPECT_TRUE(ReadFile(Folder() / "file.bin") == source) << "the whole source, from its start";
  }
}

// A file of another user that is replaced keeps its owner, group and mode
// when asked (a profile file root writes for a user), else it becomes ours.
TEST_F(AtomicFileWriterTest, TheOwnerOfAReplacedFileIsKeptWhenAsked) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  WriteFile(Folder() / "file.bin", "old");
  ASSERT_EQ(::chown(Target().c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(Target().c_str(), 0640), 0);
  struct stat existing {};
  ASSERT_EQ(::stat(Target().c_str(), &existing), 0);
  std::string error;
  ASSERT_TRUE(AtomicFileWriter::Replace(Target(), "kept", &existing, error)) << error;
  EXPECT_EQ(OwnerOf(Folder() / "file.bin"), 65534u);
  struct stat now {};
  ASSERT_EQ(::stat(Target().c_str(), &now), 0);
  EXPECT_EQ(now.st_gid, 65534u);
  EXPECT_EQ(now.st_mode & 07777, 0640u);
  AtomicFileWriter writer;
  ASSERT_TRUE(writer.Begin(Target(), error)) << error;
  ASSERT_TRUE(writer.Commit({}, error)) << error;
  EXPECT_EQ(OwnerOf(Folder() / "file.bin"), ::geteuid()) << "not asked: the writer's";
}

// Temporary names: hidden beside the target, recognisable, short enough for
// any target name; names that are no plain file name are refused; and the
// temporaries an interrupted run left are found again and removed, but never
// a link, a folder or a file just put in place.
TEST_F(AtomicFileWriterTest, TemporaryNamesAndTheStaleOnesAnInterruptedRunLeft) {
  AtomicFileWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Begin(m_fd, Folder().string(), "tool", error)) << error;
  const std::string temp = fs::path(writer.TempPath()).filename();
  EXPECT_EQ(temp.rfind(".tool.qrv-", 0), 0u) << temp;
  EXPECT_TRUE(AtomicFileWriter::IsTemporaryName(temp)) << temp;
  EXPECT_EQ(fs::path(writer.TempPath()).parent_path(), Folder());
  ASSERT_TRUE(writer.Begin(m_fd, Folder().string(), std::string(250, 'n'), error)) << error;
  EXPECT_EQ(fs::path(writer.TempPath()).filename().string().rfind(".qrv-", 0), 0u) << writer.TempPath();
  EXPECT_EQ(Entries(Folder()).size(), 1u) << "Begin again drops the first temporary";
  ASSERT_TRUE(writer.Commit({}, error)) << error;
  EXPECT_EQ(Entries(Folder()), Strings{std::string(250, 'n')});
  fs::remove(Folder() / std::string(250, 'n'));

  for (const std::string bad : {"", ".", "..", "a/b"}) {
    AtomicFileWriter refused;
    EXPECT_FALSE(refused.Begin(m_fd, Folder().string(), bad, error)) << bad;
    EXPECT_NE(error.find("not a plain file name"), std::string::npos) << error;
  }
  for (const std::string bad : {"/", "x/", "x/.."}) {
    AtomicFileWriter refused;
    EXPECT_FALSE(refused.Begin(Folder().string() + "/" + bad, error)) << bad;
    EXPECT_NE(error.find("a folder's"), std::string::npos) << error;
  }
  EXPECT_EQ(Entries(Folder()), Strings{});

  EXPECT_TRUE(AtomicFileWriter::IsTemporaryName(".readme.txt.qrv-Ab12Cd"));
  EXPECT_TRUE(AtomicFileWriter::IsTemporaryName(".qrv-Ab12Cd"));
  EXPECT_TRUE(AtomicFileWriter::IsTemporaryName("readme.txt.qrv-Ab12Cd")) << "the name copies used to get";
  for (const char* name : {"readme.txt", ".qrv-Ab12C", ".qrv-Ab12Cde", "x.qrv-Ab 2Cd", "qrv-Ab12Cd", "x.qrv-Ab12C-",
                           ".qrv-"}) {
    EXPECT_FALSE(AtomicFileWriter::IsTemporaryName(name)) << name;
  }

  WriteFile(Folder() / ".a.txt.qrv-AAAAAA", "half");
  WriteFile(Folder() / ".qrv-BBBBBB", "half");
  WriteFile(Folder() / "b.txt.qrv-CCCCCC", "half");
  WriteFile(Folder() / ".just.qrv-DDDDDD", "the cabinet's own file");
  WriteFile(Folder() / "a.txt", "kept");
  WriteFile(m_root / "elsewhere" / "target", "mine");
  fs::create_symlink(m_root / "elsewhere" / "target", Folder() / ".l.qrv-EEEEEE");
  WriteFile(Folder() / ".d.qrv-FFFFFF" / "inside", "a folder is no temporary");
  std::string failures;
  EXPECT_EQ(AtomicFileWriter::RemoveStale(m_fd, Folder().string(), {".just.qrv-DDDDDD"}, failures), 3);
  EXPECT_EQ(failures, "");
  EXPECT_EQ(Entries(Folder()), (Strings{".d.qrv-FFFFFF", ".just.qrv-DDDDDD", ".l.qrv-EEEEEE", "a.txt"}));
  EXPECT_TRUE(fs::is_symlink(Folder() / ".l.qrv-EEEEEE"));
  EXPECT_EQ(ReadFile(Folder() / ".d.qrv-FFFFFF" / "inside"), "a folder is no temporary");
  EXPECT_EQ(ReadFile(m_root / "elsewhere" / "target"), "mine");
}

}  // namespace
}  // namespace qrv::test
