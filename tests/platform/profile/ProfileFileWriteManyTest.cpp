#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/core/LastError.h"
#include "platform/profile/ProfileFile.h"
#include "tests/platform/profile/ProfileTestSupport.h"

namespace qrv::test {
namespace {

using platform::LastError;
using platform::ProfileFile;
using Assignments = std::vector<ProfileFile::Assignment>;

class ProfileWriteManyTest : public ProfileTest {
 protected:
  // WriteStrings on one copy of before and WriteString of each assignment on
  // another: both files must end byte for byte the same.
  void ExpectSameAsOneByOne(const std::string& before, const Assignments& assignments, const std::string& what) {
    const std::string many = Make("many" + std::to_string(m_case) + ".ini", before);
    const std::string single = Make("single" + std::to_string(m_case) + ".ini", before);
    ++m_case;
    ASSERT_TRUE(ProfileFile::WriteStrings(many, assignments)) << what << ": " << LastError::Text();
    for (const auto& a : assignments) ASSERT_TRUE(ProfileFile::WriteString(single, a.section, a.key, a.value)) << what;
    EXPECT_EQ(Read(many), Read(single)) << what;
  }
  int m_case = 0;
};

// The edits that interact: a key set twice, new keys behind a last line
// without a line end, new sections, section names differing in case, blanks
// after '=' around empty values, the leading section, other line endings.
TEST_F(ProfileWriteManyTest, EndsAsTheSameWritesOneByOne) {
  const std::string crlf = "; c\r\n[General]\r\n  Name = Old  \r\nOther=1\r\n\r\n[Second]\r\nX=y\r\n[general]\r\nName=dup\r\n";
  struct Case {
    std::string before;
    Assignments assignments;
  } cases[] = {
      {"", {{"S", "a", "1"}, {"S", "b", "2"}, {"T", "c", "3"}, {"s", "A", "4"}, {"t", "d", "5"}}},
      {crlf, {{"general", "name", "x"}, {"GENERAL", "New", "n"}, {"Third", "k", "v"}, {"second", "x", ""}}},
      {"[A]\nx=1", {{"A", "y", "2"}, {"B", "z", "3"}, {"A", "x", "9"}, {"A", "w", "4"}}},
      {"[A]\nx=", {{"A", "x", "1"}, {"A", "y", "2"}}},
      {"[A]\nk =  v\n", {{"A", "k", ""}, {"A", "k", "w"}}},
      {"[A]\nk =  v\n", {{"A", "k", "w"}, {"A", "k", "z"}}},
      {"[A]\nk =  v\n", {{"A", "k", "v"}}},
      {"; top\n[A]\nx=1\n", {{" ", "k", "v"}, {"", "j", "w"}, {"A", "y", "2"}}},
      {"[A]\rx=1\r[B]\r", {{"B", "b", "1"}, {"A", "a", "2"}, {"C", "c", "3"}}},
      {"\xEF\xBB\xBF[A]\n", {{"A", "k", "v"}, {"B", "k", "v"}}},
      {Utf16(u"[A]\r\nx=1\r\n", false), {{"A", "x", "\xED\x95\x9C"}, {"A", "y", "2"}, {"B", "z", "3"}}},
      {"[A]\n[A]\nx=dup\n", {{"A", "x", "1"}, {"a", "X", "2"}}},
      {"[A]\n", {{"A", "", "empty key"}, {" A ", " k ", "  lead"}}},
  };
  for (const Case& c : cases) ExpectSameAsOneByOne(c.before, c.assignments, c.before);

  // and any mix of them, drawn from a small set of names so they collide
  std::mt19937 random(20110315);
  const std::vector<std::string> sections = {"A", "a", "B", "New", "NEW", ""};
  const std::vector<std::string> keys = {"k", "K", "x", "y", "COUNT"};
  const std::vector<std::string> values = {"", "1", "two words", "\"q\"", "v"};
  const std::vector<std::string> files = {"", "[A]\nx=1\n", "[a]\r\nk = 0\r\n\r\n[B]\r\n", "x=0\n[New]\ny=1", "[B]\rk=\r"};
  for (int round = 0; round < 200; ++round) {
    Assignments assignments;
    const size_t count = 1 + random() % 12;
    for (size_t i = 0; i < count; ++i) {
      assignments.push_back({sections[random() % sections.size()], keys[random() % keys.size()],
                             values[random() % values.size()]});
    }
    std::string what = "round " + std::to_string(round);
    ExpectSameAsOneByOne(files[random() % files.size()], assignments, what);
    if (HasFailure()) break;
  }
}

TEST_F(ProfileWriteManyTest, RefusedAssignmentsAreLeftOutAndNamed) {
  const std::string file = Make("refuse.ini", "[S]\nk=v\n");
  EXPECT_FALSE(ProfileFile::WriteStrings(file, {{"S", "a", "1"}, {"S", "b=c", "2"}, {"S", "d", "line\nbreak"},
                                                {"T", "e", "3"}}));
  EXPECT_NE(LastError::Text().find("b=c"), std::string::npos) << "the first refusal: " << LastError::Text();
  EXPECT_NE(LastError::Text().find(file), std::string::npos) << LastError::Text();
  EXPECT_EQ(Read(file), "[S]\nk=v\na=1\n[T]\ne=3\n") << "the others are written";

  EXPECT_TRUE(ProfileFile::WriteStrings(file, {})) << "nothing to write";
  EXPECT_FALSE(ProfileFile::WriteStrings(PathOf("refuse2.ini"), {{"[x]", "k", "v"}}));
  EXPECT_FALSE(std::filesystem::exists(PathOf("refuse2.ini"))) << "only refused assignments: no file";
  EXPECT_FALSE(ProfileFile::WriteStrings(PathOf("no/such/x.ini"), {{"S", "k", "v"}}));
  EXPECT_NE(LastError::Text().find("no/such"), std::string::npos) << LastError::Text();
}

}  // namespace
}  // namespace qrv::test
