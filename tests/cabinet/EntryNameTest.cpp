#include "cabinet/EntryName.h"

#include <gtest/gtest.h>

#include <string>

namespace Cabinet {
namespace {

constexpr int kUtf8Flag = 0x80;

TEST(EntryName, DecodesByFlagThenCodePage949ThenByteByByte) {
  EntryName names;
  // flagged UTF-8, backslashes become slashes
  EXPECT_EQ(names.Decode("Bin\\\xED\x95\x9C\xEA\xB8\x80.txt", kUtf8Flag | 0x20), "Bin/한글.txt");
  // plain ASCII is the same under every reading
  EXPECT_EQ(names.Decode("Bin\\Writer.exe", 0x20), "Bin/Writer.exe");
  EXPECT_EQ(names.Decode("a/b\\c", 0), "a/b/c");
  // unflagged bytes above 0x7F: Korean code page 949 when valid there
  EXPECT_EQ(names.Decode("\xC7\xD1\xB1\xDB-949.txt", 0), "한글-949.txt");
  // CP949's extended (UHC) range, beyond EUC-KR: 똠 is 0x8C 0x63
  EXPECT_EQ(names.Decode("\x8C\x63", 0), "똠");
  // not valid CP949 (0xE9 needs a trail byte): each byte is its own character
  EXPECT_EQ(names.Decode("caf\xE9.txt", 0), "café.txt");
  EXPECT_EQ(names.Decode("end\xC7", 0), "end\xC3\x87") << "a lead byte cut off at the end is not CP949";
  // a flag on bytes that are not UTF-8 does not make them UTF-8
  EXPECT_EQ(names.Decode("\xC7\xD1\xB1\xDB", kUtf8Flag), "한글");
  EXPECT_EQ(names.Decode("\xC0\xAF", kUtf8Flag), "유") << "overlong UTF-8 for '/' must not pass as UTF-8";
  // the converter keeps no state from one name to the next
  EXPECT_EQ(names.Decode("caf\xE9", 0), "café");
  EXPECT_EQ(names.Decode("\xC7\xD1", 0), "한");
}

TEST(EntryName, RefusesNamesThatCouldLeaveTheTargetFolder) {
  struct Case {
    std::string name;
    const char* reason;
  };
  const Case bad[] = {
      {"", "empty name"}, {"../x", "climbs out"}, {"a/../../x", "climbs out"}, {"..", "climbs out"},
      {"/etc/passwd", "absolute"}, {"\\share\\x", "absolute"}, {"C:\\x", "drive"}, {"c:x", "drive"},
      {"a//b", "empty path component"}, {"a\\\\b", "empty path component"}, {"dir/", "empty path component"},
      {"./x", "\".\""}, {"a/./b", "\".\""}, {"tab\tx", "control character"}, {"new\nline", "control character"},
      {std::string("nul\0x", 5), "control character"}, {"del\x7F", "control character"},
  };
  for (const Case& c : bad) {
    std::string reason;
    EXPECT_FALSE(EntryName::IsSafe(c.name, reason)) << c.name;
    EXPECT_NE(reason.find(c.reason), std::string::npos) << c.name << ": " << reason;
  }
  for (const char* good :
       {"Bin/Writer.exe", "a..b", "..hidden", "x..", "한글/파일.txt", "1:2", "C_/x", ".config/x"}) {
    std::string reason;
    EXPECT_TRUE(EntryName::IsSafe(good, reason)) << good << ": " << reason;
  }
}

}  // namespace
}  // namespace Cabinet
