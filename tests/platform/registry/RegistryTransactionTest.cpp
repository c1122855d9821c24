// Several registry writes as one transaction, on real store files: what a
// batch writes is seen by its own thread at once, by other connections only
// after the commit, and not at all after a rollback or a failed commit.

#include "platform/registry/RegistryTransaction.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <thread>

#include "platform/core/LastError.h"
#include "platform/registry/RegistryKey.h"
#include "platform/registry/RegistryStore.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

constexpr const char* kKey = "SOFTWARE\\QRV\\Shared\\QrvUpdate";

// The value as another connection (a fresh thread has its own) reads it.
std::optional<std::string> ReadElsewhere(uint32_t root, const std::string& key, const std::string& name) {
  std::optional<std::string> result;
  std::thread reader([&] {
    RegistryKey k;
    RegValue v;
    if (RegistryKey::Open(root, key, RegAccess::kRead, k) == RegStatus::kOk && k.Query(name, v) == RegStatus::kOk) {
      result = v.AsString();
    }
    RegistryStore::ReleaseThreadConnections();
  });
  reader.join();
  return result;
}

std::optional<std::string> ReadHere(uint32_t root, const std::string& key, const std::string& name) {
  RegistryKey k;
  RegValue v;
  if (RegistryKey::Open(root, key, RegAccess::kRead, k) != RegStatus::kOk || k.Query(name, v) != RegStatus::kOk) {
    return std::nullopt;
  }
  return v.AsString();
}

class RegistryTransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create(kRootLocalMachine, kKey, key), RegStatus::kOk);
    ASSERT_EQ(key.SetString("Before", "b"), RegStatus::kOk);
  }
  void TearDown() override { RegistryStore::ReleaseThreadConnections(); }

  test::SandboxRoot m_root;
};

TEST_F(RegistryTransactionTest, WritesAreSeenByOthersOnlyAfterTheCommit) {
  RegistryTransaction transaction;
  ASSERT_EQ(transaction.Begin(kRootLocalMachine), RegStatus::kOk) << LastError::Text();
  RegistryKey key, sub;
  ASSERT_EQ(RegistryKey::Create(kRootLocalMachine, kKey, key), RegStatus::kOk);
  ASSERT_EQ(key.SetString("Server", "http://127.0.0.1/"), RegStatus::kOk);
  ASSERT_EQ(key.CreateSubKey("Writer", sub), RegStatus::kOk);
  ASSERT_EQ(sub.SetString("ProductPath", "/opt/writer/"), RegStatus::kOk);
  ASSERT_EQ(key.DeleteValue("Before"), RegStatus::kOk);

  EXPECT_EQ(ReadHere(kRootLocalMachine, kKey, "Server"), "http://127.0.0.1/") << "its own writes, at once";
  EXPECT_EQ(ReadElsewhere(kRootLocalMachine, kKey, "Server"), std::nullopt);
  EXPECT_EQ(ReadElsewhere(kRootLocalMachine, std::string(kKey) + "\\Writer", "ProductPath"), std::nullopt);
  EXPECT_EQ(ReadElsewhere(kRootLocalMachine, kKey, "Before"), "b");

  ASSERT_EQ(transaction.Commit(), RegStatus::kOk) << LastError::Text();
  EXPECT_EQ(ReadElsewhere(kRootLocalMachine, kKey, "Server"), "http://127.0.0.1/");
  EXPECT_EQ(ReadElsewhere(kRootLocalMachine, std::string(kKey) + "\\Writer", "ProductPath"), "/opt/writer/");
  EXPECT_EQ(ReadElsewhere(kRootLocalMachine, kKey, "Before"), std::nullopt);

  // after the commit, writes are single transactions again
  ASSERT_EQ(key.SetString("After", "a"), RegStatus::kOk);
  EXPECT_EQ(ReadElsewhere(kRootLocalMachine, kKey, "After"), "a");
}

TEST_F(RegistryTransactionTest, RollbackAndDestructionUndoEverythingOfEveryRoot) {
  {
    RegistryTransaction transaction;
    ASSERT_EQ(transaction.Begin(kRootLocalMachine), RegStatus::kOk);
    ASSERT_EQ(transaction.Begin(kRootCurrentUser), RegStatus::kOk) << "a store made for the transaction";
    EXPECT_EQ(transaction.Begin(kRootLocalMachine), RegStatus::kInvalidArgument);
    EXPECT_EQ(transaction.Begin(kRootCount), RegStatus::kInvalidArgument);
    RegistryKey key, user;
    ASSERT_EQ(RegistryKey::Create(kRootLocalMachine, kKey, key), RegStatus::kOk);
    ASSERT_EQ(key.SetString("Gone", "x"), RegStatus::kOk);
    ASSERT_EQ(RegistryKey::Create(kRootCurrentUser, "Software\\Q", user), RegStatus::kOk);
    ASSERT_EQ(user.SetString("Gone", "y"), RegStatus::kOk);
    RegistryKey root;
    ASSERT_EQ(RegistryKey::Open(kRootLocalMachine, "", RegAccess::kAll, root), RegStatus::kOk);
    ASSERT_EQ(root.DeleteSubKeyTree("SOFTWARE"), RegStatus::kOk);
    transaction.Rollback();
  }
  EXPECT_EQ(ReadElsewhere(kRootLocalMachine, kKey, "Gone"), std::nullopt);
  EXPECT_EQ(ReadElsewhere(kRootCurrentUser, "Software\\Q", "Gone"), std::nullopt);
  EXPECT_EQ(ReadElsewhere(kRootLocalMachine, kKey, "Before"), "b") << "the deleted tree is back";

  {
    RegistryTransaction transaction;
    ASSERT_EQ(transaction.Begin(kRootLocalMachine), RegStatus::kOk);
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create(kRootLocalMachine, kKey, key), RegStatus::kOk);
    ASSERT_EQ(key.SetString("Forgotten", "x"), RegStatus::kOk);
    // no Commit: leaving the scope is a rollback
  }
  EXPECT_EQ(ReadHere(kRootLocalMachine, kKey, "Forgotten"), std::nullopt);
  EXPECT_EQ(ReadElsewhere(kRootLocalMachine, kKey, "Forgotten"), std::nullopt);
}

TEST_F(RegistryTransactionTest, AFailedWriteUndoesOnlyItselfAndTheCallerDecides) {
  RegistryTransaction transaction;
  ASSERT_EQ(transaction.Begin(kRootLocalMachine), RegStatus::kOk);
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Create(kRootLocalMachine, kKey, key), RegStatus::kOk);
  ASSERT_EQ(key.SetString("First", "1"), RegStatus::kOk);
  EXPECT_EQ(key.DeleteValue("Absent"), RegStatus::kNotFound) << "a write that changes nothing";
  EXPECT_EQ(key.DeleteSubKeyTree("NoSuchKey"), RegStatus::kNotFound);
  EXPECT_EQ(key.SetString(std::string(256, 'n'), "x"), RegStatus::kInvalidArgument);
  ASSERT_EQ(key.SetString("Second", "2"), RegStatus::kOk) << LastError::Text();
  ASSERT_EQ(transaction.Commit(), RegStatus::kOk) << LastError::Text();
  EXPECT_EQ(ReadElsewhere(kRootLocalMachine, kKey, "First"), "1");
  EXPECT_EQ(ReadElsewhere(kRootLocalMachine, kKey, "Second"), "2");
  EXPECT_EQ(transaction.Commit(), RegStatus::kOk) << "nothing open: nothing to do";
}

}  // namespace
}  // namespace qrv::platform
