#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/core/LastError.h"
#include "platform/registry/RegistryKey.h"
#include "platform/registry/RegistryStore.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

constexpr const char* kKey = "SOFTWARE\\QRV\\Shared\\QrvUpdate";

TEST(RegistryConcurrency, TwoProcessesWritingAtOnceBothSucceed) {
  test::SandboxRoot root;
  constexpr int kEach = 150;
  test::ProcessResult a, b;
  auto run = [&](const char* prefix, test::ProcessResult& result) {
    result = test::RunProcess(QRV_REGISTRY_WRITER, {root.Path().string(), kKey, prefix, std::to_string(kEach)});
  };
  std::thread first(run, "A", std::ref(a));
  std::thread second(run, "B", std::ref(b));
  // this process reads all the while, as a running updater would
  int reads = 0;
  while (reads < 200) {
    RegistryKey key;
    if (RegistryKey::Open(kRootLocalMachine, kKey, RegAccess::kRead, key) == RegStatus::kOk) {
      std::string name;
      RegValue value;
      key.EnumValue(0, name, value);
    }
    ++reads;
  }
  first.join();
  second.join();
  ASSERT_EQ(a.exitCode, 0) << a.err;
  ASSERT_EQ(b.exitCode, 0) << b.err;

  RegistryKey key;
  ASSERT_EQ(RegistryKey::Open(kRootLocalMachine, kKey, RegAccess::kRead, key), RegStatus::kOk);
  for (int i = 0; i < kEach; ++i) {
    for (const char* prefix : {"A", "B"}) {
      RegValue value;
      ASSERT_EQ(key.Query(prefix + std::to_string(i), value), RegStatus::kOk) << prefix << i;
      EXPECT_EQ(value.AsDword(), static_cast<uint32_t>(i));
    }
  }
}

// A process that creates the store makes the empty file first and its tables
// a moment later. A reader that opens the store in between must not keep that
// view: what the other process writes afterwards (the tool run by an
// administrator while the updater runs) has to show up in this process.
TEST(RegistryConcurrency, AReaderThatFoundTheStoreWithoutTablesSeesLaterWrites) {
  test::SandboxRoot root;
  const std::filesystem::path file = RegistryStore::FileFor(kRootLocalMachine);
  // the empty file exactly as a creator leaves it before its tables exist
  std::filesystem::create_directories(file.parent_path());
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0) << file;
  ::close(fd);
  struct stat before {};
  ASSERT_EQ(::stat(file.c_str(), &before), 0);

  for (int i = 0; i < 2; ++i) {  // the second read goes through the cached connection
    RegistryKey key;
    EXPECT_EQ(RegistryKey::Open(kRootLocalMachine, kKey, RegAccess::kRead, key), RegStatus::kNotFound);
    EXPECT_EQ(RegistryKey::Open(kRootLocalMachine, "", RegAccess::kRead, key), RegStatus::kNotFound);
  }
  EXPECT_EQ(std::filesystem::file_size(file), 0u) << "reading an empty store writes nothing into it";

  test::ProcessResult writer = test::RunProcess(QRV_REGISTRY_WRITER, {root.Path().string(), kKey, "V", "3"});
  ASSERT_EQ(writer.exitCode, 0) << writer.err;
  struct stat after {};
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  ASSERT_EQ(after.st_ino, before.st_ino) << "the writer set up the same file, it did not replace it";

  RegistryKey key;
  ASSERT_EQ(RegistryKey::Open(kRootLocalMachine, kKey, RegAccess::kRead, key), RegStatus::kOk) << LastError::Text();
  RegValue value;
  ASSERT_EQ(key.Query("V2", value), RegStatus::kOk) << LastError::Text();
  EXPECT_EQ(value.AsDword(), 2u);
}

TEST(RegistryConcurrency, AWriterWaitsForAnotherConnectionsLock) {
  test::SandboxRoot root;
  RegistryKey key;
  ASSERT_EQ(RegistryKey::Create(kRootLocalMachine, kKey, key), RegStatus::kOk);

  // Hold the write lock from a separate connection for a while, as another
  // process in the middle of a write would. What counts is the order: the
  // write ends after the lock was let go, however slow the machine.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(RegistryStore::FileFor(kRootLocalMachine).c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  std::atomic<bool> released{false};
  std::thread release([other, &released] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // time for the write to queue up
    released = true;
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  });
  RegStatus status = key.SetDword("UpdateState", 12);
  const bool waited = released;
  release.join();
  sqlite3_close(other);
  ASSERT_EQ(status, RegStatus::kOk) << LastError::Text();
  EXPECT_TRUE(waited) << "the write should have waited for the lock";

  RegValue value;
  ASSERT_EQ(key.Query("UpdateState", value), RegStatus::kOk);
  EXPECT_EQ(value.AsDword(), 12u);
}

}  // namespace
}  // namespace qrv::platform
