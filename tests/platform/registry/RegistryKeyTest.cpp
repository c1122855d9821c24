#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/LastError.h"
#include "platform/registry/RegistryKey.h"
#include "platform/registry/RegistryStore.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

constexpr const char* kMain = "SOFTWARE\\QRV\\Shared\\QrvUpdate";

std::vector<std::string> SubKeys(const RegistryKey& key) {
  std::vector<std::string> names;
  std::string name;
  for (uint32_t i = 0; key.EnumSubKey(i, name) == RegStatus::kOk; ++i) names.push_back(name);
  return names;
}

TEST(RegistryKey, ValuesRoundTripAndNamesIgnoreCase) {
  test::SandboxRoot root;
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Create(kRootLocalMachine, kMain, key), RegStatus::kOk) << LastError::Text();
  ASSERT_EQ(key.SetString("ServerPath", "http://127.0.0.1/AUpdate70.jsp"), RegStatus::kOk);
  ASSERT_EQ(key.SetDword("Term", 0xFFFFFFFEu), RegStatus::kOk);
  ASSERT_EQ(key.Set("Blob", RegValue::Binary({0x00, 0xFF, 0x10})), RegStatus::kOk);
  ASSERT_EQ(key.SetString("Empty", ""), RegStatus::kOk);

  // a second handle, different case in key and value names
  RegistryKey again;
  ASSERT_EQ(RegistryKey::Open(kRootLocalMachine, "software\\qrv\\SHARED\\qrvupdate", RegAccess::kRead, again),
            RegStatus::kOk);
  EXPECT_EQ(again.Path(), kMain) << "the stored spelling is kept";
  RegValue v;
  ASSERT_EQ(again.Query("SERVERPATH", v), RegStatus::kOk);
  EXPECT_EQ(v.type, kRegSz);
  EXPECT_EQ(v.AsString(), "http://127.0.0.1/AUpdate70.jsp");
  EXPECT_EQ(v.data.size(), 30u) << "strings are stored without a terminator";
  ASSERT_EQ(again.Query("term", v), RegStatus::kOk);
  EXPECT_EQ(v.type, kRegDword);
  EXPECT_EQ(v.AsDword(), 0xFFFFFFFEu);
  ASSERT_EQ(again.Query("blob", v), RegStatus::kOk);
  EXPECT_EQ(v.type, kRegBinary);
  EXPECT_EQ(v.data, (std::vector<uint8_t>{0x00, 0xFF, 0x10}));
  ASSERT_EQ(again.Query("Empty", v), RegStatus::kOk);
  EXPECT_TRUE(v.data.empty());

  // replacing through another spelling keeps the first spelling of the name
  ASSERT_EQ(key.SetString("SERVERPATH", "x"), RegStatus::kOk);
  std::string name;
  std::vector<std::string> names;
  for (uint32_t i = 0; again.EnumValue(i, name, v) == RegStatus::kOk; ++i) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"Blob", "Empty", "ServerPath", "Term"}));

  // the read-only handle refuses every write
  EXPECT_EQ(again.SetDword("Term", 1), RegStatus::kAccessDenied);
  EXPECT_EQ(again.DeleteValue("Term"), RegStatus::kAccessDenied);
  EXPECT_NE(LastError::Text().find("reading only"), std::string::npos);

  EXPECT_EQ(key.DeleteValue("term"), RegStatus::kOk);
  EXPECT_EQ(key.DeleteValue("Term"), RegStatus::kNotFound);
  EXPECT_EQ(again.Query("Term", v), RegStatus::kNotFound);
  EXPECT_NE(LastError::Text().find("Term"), std::string::npos) << LastError::Text();
}

TEST(RegistryKey, SubkeysEnumerateByUpperCasedName) {
  test::SandboxRoot root;
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Create(kRootLocalMachine, kMain, key), RegStatus::kOk);
  for (const char* name : {"b", "_x", "C", "a1", "A", "Zeta", "abc"}) {
    RegistryKey sub;
    ASSERT_EQ(key.CreateSubKey(name, sub), RegStatus::kOk) << name;
  }
  // Creating an existing key with another case neither duplicates nor renames it.
  RegistryKey dup;
  ASSERT_EQ(key.CreateSubKey("ZETA", dup), RegStatus::kOk);
  // '_' sorts after the letters once they are upper case, unlike a plain byte sort
  EXPECT_EQ(SubKeys(key), (std::vector<std::string>{"A", "a1", "abc", "b", "C", "Zeta", "_x"}));

  std::string name;
  EXPECT_EQ(key.EnumSubKey(7, name), RegStatus::kNoMoreItems);
  EXPECT_EQ(key.EnumSubKey(1000, name), RegStatus::kNoMoreItems);

  // trees go with everything below them
  RegistryKey deep;
  ASSERT_EQ(key.CreateSubKey("b\\c\\d", deep), RegStatus::kOk);
  ASSERT_EQ(deep.SetString("v", "1"), RegStatus::kOk);
  ASSERT_EQ(key.DeleteSubKeyTree("B"), RegStatus::kOk);
  RegistryKey gone;
  EXPECT_EQ(key.OpenSubKey("b\\c", RegAccess::kRead, gone), RegStatus::kNotFound);
  EXPECT_EQ(deep.SetString("v", "2"), RegStatus::kNotFound) << "a handle to a deleted key is stale";
  EXPECT_EQ(SubKeys(key).size(), 6u);
}

TEST(RegistryKey, RefusesBadNamesAndRootsWithoutTouchingAnyStore) {
  test::SandboxRoot root;
  RegistryKey key;
  EXPECT_EQ(RegistryKey::Create(5, "SOFTWARE", key), RegStatus::kInvalidArgument);
  EXPECT_EQ(RegistryKey::Open(0xFFFFFFFFu, "SOFTWARE", RegAccess::kRead, key), RegStatus::kInvalidArgument);
  EXPECT_NE(LastError::Text().find("4294967295"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(std::filesystem::exists(root / "var")) << "a bad root creates nothing";
  EXPECT_FALSE(key.IsOpen());

  EXPECT_EQ(RegistryKey::Create(kRootLocalMachine, "\\SOFTWARE", key), RegStatus::kInvalidArgument);
  EXPECT_EQ(RegistryKey::Create(kRootLocalMachine, "A\\\\B", key), RegStatus::kInvalidArgument);
  EXPECT_EQ(RegistryKey::Create(kRootLocalMachine, std::string("A\0B", 3), key), RegStatus::kInvalidArgument);

  std::string longest(255, 'k');
  std::string tooLong(256, 'k');
  EXPECT_EQ(RegistryKey::Create(kRootLocalMachine, "A\\" + tooLong, key), RegStatus::kInvalidArgument);
  EXPECT_NE(LastError::Text().find("256 characters"), std::string::npos) << LastError::Text();
  // characters, not bytes: 255 two-byte characters are fine
  std::string wide;
  for (int i = 0; i < 255; ++i) wide += "\xC3\xA9";
  ASSERT_EQ(RegistryKey::Create(kRootLocalMachine, "A\\" + longest + "\\" + wide + "\\", key), RegStatus::kOk)
      << LastError::Text();
  EXPECT_EQ(key.SetDword(longest, 1), RegStatus::kOk);
  EXPECT_EQ(key.SetDword(tooLong, 1), RegStatus::kInvalidArgument);
  RegValue v;
  EXPECT_EQ(key.Query(tooLong, v), RegStatus::kInvalidArgument);

  // a DWORD must be four bytes; unknown types and values over 1 MiB are refused
  EXPECT_EQ(key.Set("d", RegValue{kRegDword, {1, 2}}), RegStatus::kInvalidArgument);
  EXPECT_NE(LastError::Text().find("not 2"), std::string::npos) << LastError::Text();
  EXPECT_EQ(key.Set("m", RegValue{7, {}}), RegStatus::kInvalidArgument);
  EXPECT_EQ(key.Set("b", RegValue::Binary(std::vector<uint8_t>(1024 * 1024 + 1))), RegStatus::kInvalidArgument);
  EXPECT_NE(LastError::Text().find("1048577 bytes"), std::string::npos) << LastError::Text();

  // the empty path is the root itself; a closed handle refuses everything
  RegistryKey top;
  ASSERT_EQ(RegistryKey::Open(kRootLocalMachine, "", RegAccess::kAll, top), RegStatus::kOk);
  EXPECT_EQ(SubKeys(top), std::vector<std::string>{"A"});
  EXPECT_EQ(top.DeleteSubKeyTree(""), RegStatus::kInvalidArgument);
  top.Close();
  EXPECT_EQ(top.Query("x", v), RegStatus::kInvalidArgument);
}

TEST(RegistryKey, EachRootHasItsOwnPrivateStoreAndMissingStoresReadAsMissing) {
  test::SandboxRoot root;
  RegistryKey key;
  EXPECT_EQ(RegistryKey::Open(kRootCurrentUser, "Software", RegAccess::kRead, key), RegStatus::kNotFound);
  EXPECT_FALSE(std::filesystem::exists(RegistryStore::FileFor(kRootCurrentUser))) << "reading creates nothing";

  ASSERT_EQ(RegistryKey::Create(kRootCurrentUser, "Software\\Run", key), RegStatus::kOk);
  ASSERT_EQ(key.SetString("QrvUpdate", "x"), RegStatus::kOk);
  std::filesystem::path file = RegistryStore::FileFor(kRootCurrentUser);
  EXPECT_EQ(file, root.Path() / "var/lib/qrvupdate/HKCU.sqlite");
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the store holds passwords";

  for (uint32_t other : {kRootClassesRoot, kRootLocalMachine, kRootUsers, kRootCurrentConfig}) {
    EXPECT_EQ(RegistryKey::Open(other, "Software\\Run", RegAccess::kRead, key), RegStatus::kNotFound) << other;
  }
}

}  // namespace
}  // namespace qrv::platform
