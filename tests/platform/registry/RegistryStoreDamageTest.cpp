#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/LastError.h"
#include "platform/registry/RegistryKey.h"
#include "platform/registry/RegistryStore.h"
#include "tests/support/DiagnosticsRecorder.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

using test::DiagnosticsRecorder;

void MakeStore(int keys) {
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Create(kRootLocalMachine, "SOFTWARE\\QRV", key), RegStatus::kOk) << LastError::Text();
  for (int i = 0; i < keys; ++i) {
    RegistryKey sub;
    ASSERT_EQ(key.CreateSubKey("Product" + std::to_string(i), sub), RegStatus::kOk);
    ASSERT_EQ(sub.SetString("ProductName", std::string(200, static_cast<char>('a' + i % 26))), RegStatus::kOk);
  }
  // the tests below swap the file under the same name; start from a fresh connection
  RegistryStore::ReleaseThreadConnections();
}

// Every way of reaching a damaged store must read as "missing" and leave the
// file exactly as it was.
void ExpectStoreLeftAlone(const std::string& before) {
  RegistryKey key;
  EXPECT_EQ(RegistryKey::Open(kRootLocalMachine, "SOFTWARE\\QRV", RegAccess::kRead, key), RegStatus::kNotFound);
  EXPECT_EQ(RegistryKey::Open(kRootLocalMachine, "SOFTWARE\\QRV\\Product3", RegAccess::kAll, key),
            RegStatus::kNotFound);
  EXPECT_NE(RegistryKey::Create(kRootLocalMachine, "SOFTWARE\\QRV\\New", key), RegStatus::kOk);
  EXPECT_FALSE(key.IsOpen());
  std::filesystem::path file = RegistryStore::FileFor(kRootLocalMachine);
  EXPECT_EQ(test::ReadFile(file), before) << "the damaged store must be kept as it was";
  EXPECT_FALSE(std::filesystem::exists(file.string() + "-journal"));
}

TEST(RegistryStoreDamage, GarbageAndForeignFilesAreReportedAndKept) {
  test::SandboxRoot root;
  std::filesystem::path file = RegistryStore::FileFor(kRootLocalMachine);

  {
    DiagnosticsRecorder diag;
    std::string garbage(8192, '\0');
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 131 + 7);
    test::WriteFile(file, garbage);
    ExpectStoreLeftAlone(garbage);
    ASSERT_EQ(diag.Count(), 1u) << "reported once, not on every call";
    EXPECT_TRUE(diag.Has(file.string())) << diag.Text();
    EXPECT_TRUE(diag.Has("damaged")) << diag.Text();
  }

  // another program's database put in the store's place
  RegistryStore::ReleaseThreadConnections();
  std::filesystem::remove(file);
  std::filesystem::path other = root / "var/lib/qrvupdate/HKU.sqlite";
  {
    sqlite3* db = nullptr;
    std::filesystem::create_directories(other.parent_path());
    ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(x); INSERT INTO notes VALUES(1);", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  DiagnosticsRecorder diag;
  std::string before = test::ReadFile(other);
  RegistryKey key;
  EXPECT_EQ(RegistryKey::Open(kRootUsers, "", RegAccess::kRead, key), RegStatus::kNotFound);
  EXPECT_EQ(RegistryKey::Create(kRootUsers, "S-1-5-18", key), RegStatus::kStoreError);
  EXPECT_EQ(test::ReadFile(other), before);
  ASSERT_EQ(diag.Count(), 1u);
  EXPECT_TRUE(diag.Has("not a registry store")) << diag.Text();
}

TEST(RegistryStoreDamage, DamagedPagesInAGoodStoreAreReportedAndKept) {
  test::SandboxRoot root;
  MakeStore(60);
  std::filesystem::path file = RegistryStore::FileFor(kRootLocalMachine);
  std::string bytes = test::ReadFile(file);
  ASSERT_GT(bytes.size(), 4u * 4096) << "the store should span several pages";
  // scribble over the second page (the first table's b-tree) but keep the header
  for (size_t i = 4096; i < 4096 + 2000; ++i) bytes[i] = static_cast<char>(0xA5 ^ i);
  test::WriteFile(file, bytes);

  DiagnosticsRecorder diag;
  ExpectStoreLeftAlone(bytes);
  ASSERT_GT(diag.Count(), 0u);
  EXPECT_TRUE(diag.Has(file.string())) << diag.Text();
}

TEST(RegistryStoreDamage, AnEmptyFileIsANewStore) {
  test::SandboxRoot root;
  std::filesystem::path file = RegistryStore::FileFor(kRootLocalMachine);

  // a zero-length file is a store that was never written: usable, no report
  {
    DiagnosticsRecorder diag;
    test::WriteFile(file, "");
    RegistryKey key;
    EXPECT_EQ(RegistryKey::Open(kRootLocalMachine, "SOFTWARE", RegAccess::kRead, key), RegStatus::kNotFound);
    ASSERT_EQ(RegistryKey::Create(kRootLocalMachine, "SOFTWARE", key), RegStatus::kOk) << LastError::Text();
    EXPECT_EQ(key.SetDword("x", 1), RegStatus::kOk);
    EXPECT_EQ(diag.Count(), 0u);
  }
}

TEST(RegistryStoreDamage, UnreadableStoresReadAsMissing) {
  test::SandboxRoot root;
  std::filesystem::path file = RegistryStore::FileFor(kRootLocalMachine);
  // a folder where the file should be: unreadable for anyone, root included
  {
    std::filesystem::create_directories(file);
    DiagnosticsRecorder diag;
    RegistryKey key;
    EXPECT_EQ(RegistryKey::Open(kRootLocalMachine, "SOFTWARE", RegAccess::kRead, key), RegStatus::kNotFound);
    EXPECT_NE(RegistryKey::Create(kRootLocalMachine, "SOFTWARE", key), RegStatus::kOk);
    EXPECT_TRUE(std::filesystem::is_directory(file));
    ASSERT_EQ(diag.Count(), 1u);
    EXPECT_TRUE(diag.Has(file.string())) << diag.Text();
    std::filesystem::remove(file);
  }
  {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create(kRootLocalMachine, "SOFTWARE", key), RegStatus::kOk);
  }

  if (geteuid() == 0) GTEST_SKIP() << "root reads every file, so an unreadable store cannot be made here";
  RegistryStore::ReleaseThreadConnections();
  ASSERT_EQ(chmod(file.c_str(), 0), 0);
  DiagnosticsRecorder diag;
  RegistryKey key;
  EXPECT_EQ(RegistryKey::Open(kRootLocalMachine, "SOFTWARE", RegAccess::kRead, key), RegStatus::kNotFound);
  EXPECT_NE(RegistryKey::Create(kRootLocalMachine, "SOFTWARE", key), RegStatus::kOk);
  ASSERT_EQ(diag.Count(), 1u);
  EXPECT_TRUE(diag.Has(file.string())) << diag.Text();
  chmod(file.c_str(), 0600);
}

}  // namespace
}  // namespace qrv::platform
