#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/LastError.h"
#include "platform/profile/ProfileFile.h"
#include "tests/platform/profile/ProfileTestSupport.h"
#include "tests/support/SmallFileSizeLimit.h"

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

std::string Replaced(std::string text, const std::string& what, const std::string& with) {
  return text.replace(text.find(what), what.size(), with);
}

// Each write changes only its own line and keeps the file's line-ending style,
// a missing final newline, a byte-order mark and the key's first spelling.
TEST_F(ProfileWriteTest, WritesChangeOnlyTheirOwnLine) {
  const std::string crlf = kCrlfFile;
  struct Case {
    std::string before, section, key, value, after;
  } cases[] = {
      {crlf, "GENERAL", "name", "New", Replaced(crlf, "  Name = Old Value  ", "  Name = New")},
      {crlf, "general", "Added", "x", Replaced(crlf, "Other=1\r\n", "Other=1\r\nAdded=x\r\n")},
      {crlf, "New Section", "K", "V", crlf + "[New Section]\r\nK=V\r\n"},
      {"[A]\n\n; about B\n[B]\nk=1\n", "A", "n", "v", "[A]\nn=v\n\n; about B\n[B]\nk=1\n"},
      {"[A]\nx=1", "A", "y", "2", "[A]\nx=1\ny=2\n"},
      {"[A]\nx=1", "B", "z", "3", "[A]\nx=1\n[B]\nz=3\n"},
      {"[A]", "A", "k", "v", "[A]\nk=v\n"},
      {"[A]\r\nx=1", "A", "x", "22", "[A]\r\nx=22"},
      {"[A]\rx=1\r", "A", "y", "2", "[A]\rx=1\ry=2\r"},
      {"[A]\r\nx=1\n", "B", "y", "2", "[A]\r\nx=1\n[B]\r\ny=2\r\n"},
      {"", "S", "k", "v", "[S]\nk=v\n"},
      {"\xEF\xBB\xBF", "S", "k", "v", "\xEF\xBB\xBF[S]\nk=v\n"},
      {"[S]\nkey=1\n", "  S ", " KEY\t", "2", "[S]\nkey=2\n"},
      {"[S]\n", " T ", " new ", "3", "[S]\n[T]\nnew=3\n"},
      {"[S]\n", "S", "k", " \t value ; with semicolon  ", "[S]\nk=value ; with semicolon  \n"},
      {"", "[[x", "a]b", "v", "[[[x]\na]b=v\n"},
      {"", ";sec", "k;", "w", "[;sec]\nk;=w\n"},
      // the section "" is the part before the first header: a new key goes
      // after its last key line or at the very start, never under a "[]"
      {"; top\n[A]\nx=1\n", "", "k", "v", "k=v\n; top\n[A]\nx=1\n"},
      {"a=1\r\n; c\r\n[A]\r\n", " ", "b", "2", "a=1\r\nb=2\r\n; c\r\n[A]\r\n"},
      {"a=1\n[A]\n", "", "A", "9", "a=9\n[A]\n"},
      {"a=1", "", "b", "2", "a=1\nb=2\n"},
      {"[A]\nx=1\n[]\ny=2\n", "", "y", "3", "y=3\n[A]\nx=1\n[]\ny=2\n"},
      {"", "\t", "k", "v", "k=v\n"},
      {"\xEF\xBB\xBF[A]\n", "", "k", "v", "\xEF\xBB\xBFk=v\n[A]\n"},
      // the key "" is the line "=value"
      {"[A]\r\nx=1\r\n", "A", "", "v", "[A]\r\nx=1\r\n=v\r\n"},
      {"[A]\n= old\n", "A", "  ", "new", "[A]\n= new\n"},
      {"[A]\n", "", "", "v", "=v\n[A]\n"},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string file = Make("w" + std::to_string(n++) + ".ini", c.before);
    ASSERT_TRUE(ProfileFile::WriteString(file, c.section, c.key, c.value)) << LastError::Text();
    EXPECT_EQ(Read(file), c.after) << "[" << c.section << "] " << c.key;
  }
  EXPECT_EQ(ProfileFile::GetString(PathOf("w0.ini"), "General", "Name"), "New");
  EXPECT_EQ(ProfileFile::GetString(PathOf("w8.ini"), "A", "x"), "1");
  EXPECT_EQ(ProfileFile::GetString(PathOf("w14.ini"), "S", "k"), "value ; with semicolon");
  EXPECT_EQ(ProfileFile::GetString(PathOf("w15.ini"), "[[x", "a]b"), "v");
  // what was written into the section "" and as the key "" reads back
  EXPECT_EQ(ProfileFile::GetString(PathOf("w17.ini"), "", "k"), "v");
  EXPECT_EQ(ProfileFile::GetString(PathOf("w17.ini"), "A", "x"), "1");
  EXPECT_EQ(ProfileFile::GetString(PathOf("w18.ini"), "", "b"), "2");
  EXPECT_EQ(ProfileFile::GetString(PathOf("w21.ini"), "", "y"), "3");
  EXPECT_EQ(ProfileFile::GetString(PathOf("w23.ini"), "", "k"), "v");
  EXPECT_EQ(ProfileFile::GetString(PathOf("w24.ini"), "A", ""), "v");
  EXPECT_EQ(ProfileFile::GetString(PathOf("w25.ini"), "A", ""), "new");
  EXPECT_EQ(ProfileFile::GetString(PathOf("w26.ini"), " ", " "), "v");
  EXPECT_EQ(ProfileFile::SectionNames(PathOf("w26.ini")), (std::vector<std::string>{"A"}));
}

TEST_F(ProfileWriteTest, MissingFileIsCreatedAndAMissingFolderIsNot) {
  std::string file = PathOf("new.ini");
  mode_t mask = ::umask(022);
  ::umask(mask);
  ASSERT_TRUE(ProfileFile::WriteString(file, "Sec", "Key", "Value")) << LastError::Text();
  ASSERT_TRUE(ProfileFile::WriteString(file, "Sec", "Key2", "2"));
  EXPECT_EQ(Read(file), "[Sec]\nKey=Value\nKey2=2\n");
  EXPECT_EQ(Stat(file).st_mode & 07777, 0666 & ~mask);
  EXPECT_EQ(FolderEntries(m_root.Path().string()), (std::vector<std::string>{"new.ini", "tmp"}))
      << "no temporary file is left behind";

  std::string folder = PathOf("no/such/folder");
  EXPECT_FALSE(ProfileFile::WriteString(folder + "/x.ini", "S", "k", "v"));
  EXPECT_NE(LastError::Text().find(folder), std::string::npos) << LastError::Text();
  EXPECT_FALSE(std::filesystem::exists(PathOf("no")));
}

TEST_F(ProfileWriteTest, QuotedAndEmptyValuesAndUnchangedRewrites) {
  std::string file = Make("v.ini", "[S]\nk = v\n");
  struct stat before = Stat(file);
  ASSERT_TRUE(ProfileFile::WriteString(file, "S", "K", "v"));
  EXPECT_EQ(Stat(file).st_ino, before.st_ino) << "the same value again leaves the file alone";
  EXPECT_EQ(Read(file), "[S]\nk = v\n");
  ASSERT_TRUE(ProfileFile::WriteString(file, "S", "q", "\"  quoted  \""));
  EXPECT_EQ(ProfileFile::GetString(file, "S", "q"), "  quoted  ");
  ASSERT_TRUE(ProfileFile::WriteString(file, "S", "k", ""));
  EXPECT_EQ(Read(file), "[S]\nk =\nq=\"  quoted  \"\n");
  EXPECT_EQ(ProfileFile::GetString(file, "S", "k", "dflt"), "");
}

TEST_F(ProfileWriteTest, RefusedNamesAndValuesLeaveTheFileUntouched) {
  const std::string original = "[S]\nk=v\n";
  std::string file = Make("refuse.ini", original);
  struct Case {
    std::string section, key, value;
  };
  const std::vector<Case> cases = {
      {"a]b", "k", "v"},       {"", "a=b", "v"},      {"a\nb", "k", "v"},
      {"a\rb", "k", "v"},      {std::string("a\0b", 3), "k", "v"},                 {"", "=", "v"},
      {"S", "a=b", "v"},     {"S", "[x", "v"},          {"S", "  [x", "v"},
      {"S", ";x", "v"},        {"S", "a\nb", "v"},    {"S", "a\rb", "v"},        {"S", std::string("a\0b", 3), "v"},
      {"S", "k", "line\nbreak"}, {"S", "k", "line\rbreak"}, {"S", "k", std::string("nul\0byte", 8)},
  };
  for (const Case& c : cases) {
    LastError::Clear();
    EXPECT_FALSE(ProfileFile::WriteString(file, c.section, c.key, c.value))
        << "section '" << c.section << "' key '" << c.key << "' value '" << c.value << "'";
    EXPECT_NE(LastError::Text().find(file), std::string::npos) << LastError::Text();
    EXPECT_EQ(LastError::Text().find_first_of(std::string("\0\r\n", 3)), std::string::npos) << "one clean line";
  }
  EXPECT_FALSE(ProfileFile::DeleteKey(file, "S", "a=b"));
  EXPECT_FALSE(ProfileFile::DeleteSection(file, "a]b"));
  EXPECT_EQ(Read(file), original);
  EXPECT_FALSE(ProfileFile::WriteString(PathOf("refuse2.ini"), "[x]", "k", "v"));
  EXPECT_FALSE(std::filesystem::exists(PathOf("refuse2.ini"))) << "a refused write creates no file";
}

TEST_F(ProfileWriteTest, DeletesRemoveEveryMatchingLineOfTheSearchedSection) {
  std::string file = Make("crlf.ini", kCrlfFile);
  ASSERT_TRUE(ProfileFile::DeleteKey(file, "general", "NAME")) << LastError::Text();
  EXPECT_EQ(Read(file), Replaced(kCrlfFile, "  Name = Old Value  \r\n", ""))
      << "the duplicate section is not the searched one and stays";
  ASSERT_TRUE(ProfileFile::DeleteSection(file, "GENERAL")) << LastError::Text();
  EXPECT_EQ(Read(file), "; Header comment\r\n\r\n[Second]\r\nX=y\r\n");
  EXPECT_EQ(ProfileFile::SectionNames(file), (std::vector<std::string>{"Second"}));

  file = Make("dup.ini", "[S]\nk=1\nother=2\nK=3\nb=2");
  ASSERT_TRUE(ProfileFile::DeleteKey(file, "S", "k"));
  ASSERT_TRUE(ProfileFile::DeleteKey(file, "S", "b"));
  EXPECT_EQ(Read(file), "[S]\nother=2\n") << "duplicates and a last line without newline go";

  // the section "" and the key ""
  file = Make("lead.ini", "; top\nk=1\n=lead\n[S]\n=a\nk=2\n= b\n[]\nk=3\n[T]\nx=y\n");
  ASSERT_TRUE(ProfileFile::DeleteKey(file, "S", ""));
  EXPECT_EQ(Read(file), "; top\nk=1\n=lead\n[S]\nk=2\n[]\nk=3\n[T]\nx=y\n");
  ASSERT_TRUE(ProfileFile::DeleteKey(file, "", "K"));
  EXPECT_EQ(Read(file), "; top\n=lead\n[S]\nk=2\n[]\nk=3\n[T]\nx=y\n") << "only the leading section's k";
  ASSERT_TRUE(ProfileFile::DeleteSection(file, " "));
  EXPECT_EQ(Read(file), "[S]\nk=2\n[T]\nx=y\n") << "everything before the first header and every []";
  EXPECT_EQ(ProfileFile::GetString(file, "S", "k"), "2");
}

TEST_F(ProfileWriteTest, DeletingWhatIsNotThereSucceedsAndWritesNothing) {
  std::string file = Make("keep.ini", kCrlfFile);
  struct stat before = Stat(file);
  EXPECT_TRUE(ProfileFile::DeleteKey(file, "General", "Nope"));
  EXPECT_TRUE(ProfileFile::DeleteKey(file, "Nope", "Name"));
  EXPECT_TRUE(ProfileFile::DeleteSection(file, "Nope"));
  EXPECT_TRUE(ProfileFile::DeleteKey(file, "", "Name"));
  EXPECT_TRUE(ProfileFile::DeleteKey(file, "General", ""));
  EXPECT_EQ(Stat(file).st_ino, before.st_ino);
  EXPECT_EQ(Read(file), kCrlfFile);

  std::string missing = PathOf("missing.ini");
  EXPECT_TRUE(ProfileFile::DeleteKey(missing, "S", "k"));
  EXPECT_TRUE(ProfileFile::DeleteSection(missing, "S"));
  EXPECT_FALSE(std::filesystem::exists(missing));

  // a file that starts with its first header has an empty section "": nothing to remove
  file = Make("headed.ini", "[S]\nk=v\n");
  before = Stat(file);
  EXPECT_TRUE(ProfileFile::DeleteSection(file, ""));
  EXPECT_EQ(Stat(file).st_ino, before.st_ino);
  EXPECT_EQ(Read(file), "[S]\nk=v\n");
}

TEST_F(ProfileWriteTest, LinksAreFollowedAndKeptAndPermissionsKept) {
  std::string target = Make("real.ini", "[S]\nk=1\n");
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  std::string link = PathOf("link.ini");
  std::filesystem::create_symlink("real.ini", link);
  ASSERT_TRUE(ProfileFile::WriteString(link, "S", "k", "2")) << LastError::Text();
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(Read(target), "[S]\nk=2\n");
  EXPECT_EQ(Stat(target).st_mode & 07777, 0640U);
  EXPECT_EQ(ProfileFile::GetString(target, "S", "k"), "2");

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
  bool ok = false;
  std::string error;
  {
    // the temporary file's write fails half-way
    const SmallFileSizeLimit limit;
    ok = ProfileFile::WriteString(file, "S", "k", std::string(10000, 'x'));
    error = LastError::Text();
  }

  EXPECT_FALSE(ok);
  EXPECT_NE(error.find(file), std::string::npos) << error;
  EXPECT_EQ(Read(file), original);
  EXPECT_EQ(FolderEntries(m_root.Path().string()), (std::vector<std::string>{"fail.ini", "tmp"}));
}

TEST_F(ProfileWriteTest, ReadOnlyFileOrFolderIsNotWritten) {
  if (::geteuid() == 0) GTEST_SKIP() << "running as root, for whom nothing is read-only";
  const std::string original = "[S]\nk=1\n";
  std::string file = Make("ro.ini", original);
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  EXPECT_FALSE(ProfileFile::WriteString(file, "S", "k", "2"));
  EXPECT_NE(LastError::Text().find(file), std::string::npos) << LastError::Text();
  EXPECT_EQ(Read(file), original);

  std::filesystem::create_directories(PathOf("locked"));
  file = Make("locked/x.ini", original);
  ASSERT_EQ(::chmod(PathOf("locked").c_str(), 0555), 0);
  EXPECT_FALSE(ProfileFile::WriteString(file, "S", "k", "2"));
  EXPECT_NE(LastError::Text().find(PathOf("locked")), std::string::npos) << LastError::Text();
  ::chmod(PathOf("locked").c_str(), 0755);
  EXPECT_EQ(Read(file), original);
  EXPECT_EQ(FolderEntries(PathOf("locked")), (std::vector<std::string>{"x.ini"}));
}

}  // namespace
}  // namespace qrv::test
