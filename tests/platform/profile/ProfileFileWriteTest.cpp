#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/LastError.h"
#include "platform/profile/ProfileFile.h"
#include "tests/platform/profile/ProfileTestSupport.h"

namespace qrv::test {
namespace {

using platform::LastError;
using platform::ProfileFile;

// A file with everything a write must keep: comments, blank lines, an odd
// line, blanks around names, a duplicate section, CRLF endings.
constexpr char kCrlfFile[] =
    "; Header comment\r\n"
    "\r\n"
    "[General]\r\n"
    "  Name = Old Value  \r\n"
    "Other=1\r\n"
    "\r\n"
    "; trailing comment of General\r\n"
    "odd line without equals\r\n"
    "[Second]\r\n"
    "X=y\r\n"
    "[general]\r\n"
    "Name=dup\r\n";

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class ProfileWriteTest : public ProfileTest {};

TEST_F(ProfileWriteTest, ReplacingAValueKeepsEveryOtherByteAndTheKeysSpelling) {
  std::string file = Make("crlf.ini", kCrlfFile);
  ASSERT_TRUE(ProfileFile::WriteString(file, "GENERAL", "name", "New")) << LastError::Text();
  std::string expected = kCrlfFile;
  expected.replace(expected.find("  Name = Old Value  "), 20, "  Name = New");
  EXPECT_EQ(Read(file), expected);
  EXPECT_EQ(ProfileFile::GetString(file, "General", "Name"), "New");
}

TEST_F(ProfileWriteTest, NewKeyGoesAfterTheLastKeyLineOfTheFirstSectionOfThatName) {
  std::string file = Make("crlf.ini", kCrlfFile);
  ASSERT_TRUE(ProfileFile::WriteString(file, "general", "Added", "x")) << LastError::Text();
  std::string expected = kCrlfFile;
  expected.insert(expected.find("Other=1\r\n") + 9, "Added=x\r\n");
  EXPECT_EQ(Read(file), expected);
  EXPECT_EQ(ProfileFile::GetString(file, "General", "added"), "x");
}

TEST_F(ProfileWriteTest, NewSectionGoesAtTheEndInTheFilesLineEndingStyle) {
  std::string file = Make("crlf.ini", kCrlfFile);
  ASSERT_TRUE(ProfileFile::WriteString(file, "New Section", "K", "V")) << LastError::Text();
  EXPECT_EQ(Read(file), std::string(kCrlfFile) + "[New Section]\r\nK=V\r\n");
  EXPECT_EQ(ProfileFile::GetString(file, "new section", "k"), "V");
}

TEST_F(ProfileWriteTest, NewKeyInASectionWithoutKeysGoesRightAfterItsHeader) {
  std::string file = Make("empty-section.ini", "[A]\n\n; about B\n[B]\nk=1\n");
  ASSERT_TRUE(ProfileFile::WriteString(file, "A", "n", "v"));
  EXPECT_EQ(Read(file), "[A]\nn=v\n\n; about B\n[B]\nk=1\n");
}

TEST_F(ProfileWriteTest, LastLineWithoutNewlineGetsOneBeforeAnythingFollowsIt) {
  std::string file = Make("no-eol.ini", "[A]\nx=1");
  ASSERT_TRUE(ProfileFile::WriteString(file, "A", "y", "2"));
  EXPECT_EQ(Read(file), "[A]\nx=1\ny=2\n");

  file = Make("no-eol2.ini", "[A]\nx=1");
  ASSERT_TRUE(ProfileFile::WriteString(file, "B", "z", "3"));
  EXPECT_EQ(Read(file), "[A]\nx=1\n[B]\nz=3\n");

  file = Make("no-eol3.ini", "[A]");
  ASSERT_TRUE(ProfileFile::WriteString(file, "A", "k", "v"));
  EXPECT_EQ(Read(file), "[A]\nk=v\n");

  file = Make("no-eol4.ini", "[A]\r\nx=1");
  ASSERT_TRUE(ProfileFile::WriteString(file, "A", "x", "22"));
  EXPECT_EQ(Read(file), "[A]\r\nx=22") << "a replaced last line keeps having no newline";
}

TEST_F(ProfileWriteTest, LineEndingStyleComesFromTheFirstLineEnding) {
  std::string file = Make("cr.ini", "[A]\rx=1\r");
  ASSERT_TRUE(ProfileFile::WriteString(file, "A", "y", "2"));
  EXPECT_EQ(Read(file), "[A]\rx=1\ry=2\r");
  EXPECT_EQ(ProfileFile::GetString(file, "A", "x"), "1");

  file = Make("mixed.ini", "[A]\r\nx=1\n");
  ASSERT_TRUE(ProfileFile::WriteString(file, "B", "y", "2"));
  EXPECT_EQ(Read(file), "[A]\r\nx=1\n[B]\r\ny=2\r\n");
}

TEST_F(ProfileWriteTest, MissingFileIsCreatedWithNewlineEndingsAndUsualPermissions) {
  std::string file = PathOf("new.ini");
  mode_t mask = ::umask(022);
  ::umask(mask);
  ASSERT_TRUE(ProfileFile::WriteString(file, "Sec", "Key", "Value")) << LastError::Text();
  EXPECT_EQ(Read(file), "[Sec]\nKey=Value\n");
  EXPECT_EQ(Stat(file).st_mode & 07777, 0666 & ~mask);
  ASSERT_TRUE(ProfileFile::WriteString(file, "Sec", "Key2", "2"));
  EXPECT_EQ(Read(file), "[Sec]\nKey=Value\nKey2=2\n");
  EXPECT_EQ(FolderEntries(m_root.Path().string()), (std::vector<std::string>{"new.ini", "tmp"}))
      << "no temporary file is left behind";
}

TEST_F(ProfileWriteTest, EmptyFileAndBomOnlyFile) {
  std::string file = Make("empty.ini", "");
  ASSERT_TRUE(ProfileFile::WriteString(file, "S", "k", "v"));
  EXPECT_EQ(Read(file), "[S]\nk=v\n");
  file = Make("bom.ini", "\xEF\xBB\xBF");
  ASSERT_TRUE(ProfileFile::WriteString(file, "S", "k", "v"));
  EXPECT_EQ(Read(file), "\xEF\xBB\xBF[S]\nk=v\n");
}

TEST_F(ProfileWriteTest, MissingFolderFailsWithItsPathAndCreatesNothing) {
  std::string folder = PathOf("no/such/folder");
  std::string file = folder + "/x.ini";
  EXPECT_FALSE(ProfileFile::WriteString(file, "S", "k", "v"));
  EXPECT_NE(LastError::Text().find(folder), std::string::npos) << LastError::Text();
  EXPECT_FALSE(std::filesystem::exists(PathOf("no")));
}

TEST_F(ProfileWriteTest, ValueLosesItsLeadingBlanksOnly) {
  std::string file = Make("v.ini", "[S]\n");
  ASSERT_TRUE(ProfileFile::WriteString(file, "S", "k", " \t value ; with semicolon  "));
  EXPECT_EQ(Read(file), "[S]\nk=value ; with semicolon  \n");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "k"), "value ; with semicolon");
  ASSERT_TRUE(ProfileFile::WriteString(file, "S", "q", "\"  quoted  \""));
  EXPECT_EQ(ProfileFile::GetString(file, "S", "q"), "  quoted  ");
  ASSERT_TRUE(ProfileFile::WriteString(file, "S", "k", ""));
  EXPECT_EQ(Read(file), "[S]\nk=\nq=\"  quoted  \"\n");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "k", "dflt"), "");
}

TEST_F(ProfileWriteTest, NamesAreTrimmedBeforeUse) {
  std::string file = Make("t.ini", "[S]\nkey=1\n");
  ASSERT_TRUE(ProfileFile::WriteString(file, "  S ", " KEY\t", "2"));
  EXPECT_EQ(Read(file), "[S]\nkey=2\n");
  ASSERT_TRUE(ProfileFile::WriteString(file, " T ", " new ", "3"));
  EXPECT_EQ(Read(file), "[S]\nkey=2\n[T]\nnew=3\n");
}

TEST_F(ProfileWriteTest, WritingTheSameValueAgainLeavesTheFileAlone) {
  std::string file = Make("same.ini", "[S]\nk = v\n");
  struct stat before = Stat(file);
  ASSERT_TRUE(ProfileFile::WriteString(file, "S", "K", "v"));
  struct stat after = Stat(file);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(Read(file), "[S]\nk = v\n");
}

TEST_F(ProfileWriteTest, RefusedNamesAndValuesLeaveTheFileUntouched) {
  const std::string original = "[S]\nk=v\n";
  std::string file = Make("refuse.ini", original);
  struct Case {
    std::string section, key, value;
  };
  const std::vector<Case> cases = {
      {"", "k", "v"},          {"   ", "k", "v"},       {"a]b", "k", "v"},         {"a\nb", "k", "v"},
      {"a\rb", "k", "v"},      {std::string("a\0b", 3), "k", "v"},                 {"S", "", "v"},
      {"S", " \t ", "v"},      {"S", "a=b", "v"},     {"S", "[x", "v"},          {"S", "  [x", "v"},
      {"S", ";x", "v"},        {"S", "a\nb", "v"},    {"S", "a\rb", "v"},        {"S", std::string("a\0b", 3), "v"},
      {"S", "k", "line\nbreak"}, {"S", "k", "line\rbreak"}, {"S", "k", std::string("nul\0byte", 8)},
  };
  for (const Case& c : cases) {
    LastError::Clear();
    EXPECT_FALSE(ProfileFile::WriteString(file, c.section, c.key, c.value))
        << "section '" << c.section << "' key '" << c.key << "' value '" << c.value << "'";
    EXPECT_NE(LastError::Text(), "");
    EXPECT_NE(LastError::Text().find(file), std::string::npos) << LastError::Text();
    EXPECT_EQ(LastError::Text().find_first_of(std::string("\0\r\n", 3)), std::string::npos) << "one clean line";
  }
  EXPECT_FALSE(ProfileFile::DeleteKey(file, "S", "a=b"));
  EXPECT_FALSE(ProfileFile::DeleteSection(file, ""));
  EXPECT_EQ(Read(file), original);
  EXPECT_FALSE(std::filesystem::exists(PathOf("refuse2.ini")));
  EXPECT_FALSE(ProfileFile::WriteString(PathOf("refuse2.ini"), "", "k", "v"));
  EXPECT_FALSE(std::filesystem::exists(PathOf("refuse2.ini"))) << "a refused write creates no file";
}

TEST_F(ProfileWriteTest, NamesWithOtherOddCharactersAreAccepted) {
  std::string file = Make("odd.ini", "");
  ASSERT_TRUE(ProfileFile::WriteString(file, "[[x", "a]b", "v"));
  ASSERT_TRUE(ProfileFile::WriteString(file, ";sec", "k;", "w"));
  EXPECT_EQ(Read(file), "[[[x]\na]b=v\n[;sec]\nk;=w\n");
  EXPECT_EQ(ProfileFile::GetString(file, "[[x", "a]b"), "v");
  EXPECT_EQ(ProfileFile::GetString(file, ";sec", "k;"), "w");
}

// ---------------------------------------------------------------------------
// deletes

TEST_F(ProfileWriteTest, DeleteKeyRemovesItsLinesFromTheSearchedSectionOnly) {
  std::string file = Make("crlf.ini", kCrlfFile);
  ASSERT_TRUE(ProfileFile::DeleteKey(file, "general", "NAME")) << LastError::Text();
  std::string expected = kCrlfFile;
  expected.erase(expected.find("  Name = Old Value  \r\n"), 22);
  EXPECT_EQ(Read(file), expected) << "the duplicate section is not the searched one and stays";
  EXPECT_EQ(ProfileFile::GetString(file, "General", "Name", "gone"), "gone");
}

TEST_F(ProfileWriteTest, DeleteKeyRemovesDuplicatesSoNoneSurfaces) {
  std::string file = Make("dup.ini", "[S]\nk=1\nother=2\nK=3\n");
  ASSERT_TRUE(ProfileFile::DeleteKey(file, "S", "k"));
  EXPECT_EQ(Read(file), "[S]\nother=2\n");
}

TEST_F(ProfileWriteTest, DeleteKeyOnTheLastLineWithoutNewline) {
  std::string file = Make("last.ini", "[S]\na=1\nb=2");
  ASSERT_TRUE(ProfileFile::DeleteKey(file, "S", "b"));
  EXPECT_EQ(Read(file), "[S]\na=1\n");
}

TEST_F(ProfileWriteTest, DeleteSectionRemovesEverySectionOfThatName) {
  std::string file = Make("crlf.ini", kCrlfFile);
  ASSERT_TRUE(ProfileFile::DeleteSection(file, "GENERAL")) << LastError::Text();
  EXPECT_EQ(Read(file), "; Header comment\r\n\r\n[Second]\r\nX=y\r\n");
  EXPECT_EQ(ProfileFile::GetString(file, "General", "Name", "gone"), "gone");
  EXPECT_EQ(ProfileFile::SectionNames(file), (std::vector<std::string>{"Second"}));
}

TEST_F(ProfileWriteTest, DeletingWhatIsNotThereSucceedsAndWritesNothing) {
  std::string file = Make("keep.ini", kCrlfFile);
  struct stat before = Stat(file);
  EXPECT_TRUE(ProfileFile::DeleteKey(file, "General", "Nope"));
  EXPECT_TRUE(ProfileFile::DeleteKey(file, "Nope", "Name"));
  EXPECT_TRUE(ProfileFile::DeleteSection(file, "Nope"));
  EXPECT_EQ(Stat(file).st_ino, before.st_ino);
  EXPECT_EQ(Read(file), kCrlfFile);

  std::string missing = PathOf("missing.ini");
  EXPECT_TRUE(ProfileFile::DeleteKey(missing, "S", "k"));
  EXPECT_TRUE(ProfileFile::DeleteSection(missing, "S"));
  EXPECT_FALSE(std::filesystem::exists(missing));
}

// ---------------------------------------------------------------------------
// the file as a file: permissions, links, failures

TEST_F(ProfileWriteTest, PermissionBitsAreKept) {
  std::string file = Make("perm.ini", "[S]\nk=1\n");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  ASSERT_TRUE(ProfileFile::WriteString(file, "S", "k", "2"));
  EXPECT_EQ(Stat(file).st_mode & 07777, 0640U);
}

TEST_F(ProfileWriteTest, SymbolicLinkIsFollowedAndStaysALink) {
  std::string target = Make("real.ini", "[S]\nk=1\n");
  std::string link = PathOf("link.ini");
  std::filesystem::create_symlink("real.ini", link);
  ASSERT_TRUE(ProfileFile::WriteString(link, "S", "k", "2")) << LastError::Text();
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(Read(target), "[S]\nk=2\n");
  EXPECT_EQ(ProfileFile::GetString(link, "S", "k"), "2");
  EXPECT_EQ(ProfileFile::GetString(target, "S", "k"), "2");
}

TEST_F(ProfileWriteTest, FolderGivenAsTheFileFails) {
  std::string folder = PathOf("a-folder.ini");
  std::filesystem::create_directories(folder);
  EXPECT_FALSE(ProfileFile::WriteString(folder, "S", "k", "v"));
  EXPECT_NE(LastError::Text().find("folder"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(ProfileFile::DeleteKey(folder, "S", "k"));
  EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST_F(ProfileWriteTest, FailureMidWriteLeavesTheOriginalAndNoTemporaryFile) {
  const std::string original = "; keep me\n[S]\nk=1\n";
  std::string file = Make("fail.ini", original);
  // a file-size limit makes the write of the temporary file fail half-way,
  // whoever runs the test (root included)
  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  struct sigaction ignore {};
  struct sigaction oldAction {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &oldAction), 0);
  struct rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  bool ok = ProfileFile::WriteString(file, "S", "k", std::string(10000, 'x'));
  std::string error = LastError::Text();
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::sigaction(SIGXFSZ, &oldAction, nullptr);

  EXPECT_FALSE(ok);
  EXPECT_NE(error.find(file), std::string::npos) << error;
  EXPECT_EQ(Read(file), original);
  EXPECT_EQ(FolderEntries(m_root.Path().string()), (std::vector<std::string>{"fail.ini", "tmp"}));
  EXPECT_EQ(ProfileFile::GetString(file, "S", "k"), "1");
}

TEST_F(ProfileWriteTest, ReadOnlyFileIsNotWritten) {
  if (::geteuid() == 0) GTEST_SKIP() << "running as root, for whom no file is read-only";
  const std::string original = "[S]\nk=1\n";
  std::string file = Make("ro.ini", original);
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  EXPECT_FALSE(ProfileFile::WriteString(file, "S", "k", "2"));
  EXPECT_NE(LastError::Text().find(file), std::string::npos) << LastError::Text();
  EXPECT_EQ(Read(file), original);
}

TEST_F(ProfileWriteTest, ReadOnlyFolderFailsAndKeepsTheFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "running as root, for whom no folder is read-only";
  std::filesystem::create_directories(PathOf("locked"));
  const std::string original = "[S]\nk=1\n";
  std::string file = Make("locked/x.ini", original);
  ASSERT_EQ(::chmod(PathOf("locked").c_str(), 0555), 0);
  EXPECT_FALSE(ProfileFile::WriteString(file, "S", "k", "2"));
  EXPECT_NE(LastError::Text().find(PathOf("locked")), std::string::npos) << LastError::Text();
  ::chmod(PathOf("locked").c_str(), 0755);
  EXPECT_EQ(Read(file), original);
  EXPECT_EQ(FolderEntries(PathOf("locked")), (std::vector<std::string>{"x.ini"}));
}

}  // namespace
}  // namespace qrv::test
