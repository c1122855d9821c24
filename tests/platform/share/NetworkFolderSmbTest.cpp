// NetworkFolder against a real Samba server on loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/LastError.h"
#include "platform/share/NetworkFolder.h"
#include "tests/support/AccessWatch.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/SambaTestServer.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/SkipUnlessServer.h"

namespace qrv::platform {
namespace {

namespace fs = std::filesystem;
using test::SambaTestServer;

class NetworkFolderSmb : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(m_root / "share/2024/sub");
    fs::create_directories(m_root / "share/empty");
    fs::create_directories(m_root / "dl/sub");
    test::WriteFile(m_root / "share/2024/qupdate_s.ini", "[UPDATEINFOPATH]\n");
    m_server = std::make_unique<SambaTestServer>(m_root / "samba", m_root / "share");
    QRV_SKIP_UNLESS_SERVER(m_server->Running(), m_server->SkipReason());
  }

  NetworkFolder Folder(const std::string& path, const std::string& user = SambaTestServer::kUser,
                       const std::string& password = SambaTestServer::kPassword, uint32_t port = 0) {
    return NetworkFolder(path, user, password, port);
  }

  test::SandboxRoot m_root;
  std::unique_ptr<SambaTestServer> m_server;
};

TEST_F(NetworkFolderSmb, LogonOutcomes) {
  NetworkFolder good = Folder(m_server->Url("2024"));
  EXPECT_EQ(good.LogOn(), NetworkFolder::kNoError) << LastError::Text();
  EXPECT_EQ(good.NetworkName(), m_server->Url("2024"));

  EXPECT_EQ(Folder(m_server->Url("2024"), "QRVTEST\\nobody").LogOn(), NetworkFolder::kNoError)
      << "DOMAIN\\user logs on in that domain: " << LastError::Text();
  // the Windows spelling reaches the server through the setting's port
  EXPECT_EQ(
      Folder(m_server->UncPath("2024"), SambaTestServer::kUser, SambaTestServer::kPassword, m_server->Port()).LogOn(),
      NetworkFolder::kNoError)
      << LastError::Text();

  NetworkFolder wrong = Folder(m_server->Url("2024"), SambaTestServer::kUser, "not-the-password");
  EXPECT_EQ(wrong.LogOn(), NetworkFolder::kLogonFailure);
  EXPECT_NE(LastError::Text().find("nobody"), std::string::npos) << LastError::Text();
  EXPECT_EQ(LastError::Text().find("not-the-password"), std::string::npos) << "never a password in a message";
  EXPECT_EQ(wrong.NetworkName(), "");
  EXPECT_EQ(Folder(m_server->Url("2024"), "ghost").LogOn(), NetworkFolder::kLogonFailure);
  EXPECT_EQ(Folder(m_server->Url("2024"), "", "").LogOn(), NetworkFolder::kLogonFailure);
  // a share open to guests: anonymous works, a wrong password must not quietly become a guest
  EXPECT_EQ(Folder(m_server->PublicUrl("2024"), "", "").LogOn(), NetworkFolder::kNoError) << LastError::Text();
  EXPECT_EQ(Folder(m_server->PublicUrl("2024"), SambaTestServer::kUser, "not-the-password").LogOn(),
            NetworkFolder::kLogonFailure);

  std::string port = std::to_string(m_server->Port());
  EXPECT_EQ(Folder("smb://127.0.0.1:" + port + "/nosuchshare").LogOn(), NetworkFolder::kBadNetName);
  EXPECT_EQ(Folder(m_server->Url("2023")).LogOn(), NetworkFolder::kBadNetName);
  EXPECT_EQ(Folder(m_server->Url("2024/qupdate_s.ini")).LogOn(), NetworkFolder::kDirectory);

  // a port where nothing listens
  test::LoopbackPort closed;
  ASSERT_GT(closed.Port(), 0) << closed.Error();
  const std::string url = "smb://127.0.0.1:" + std::to_string(closed.Port()) + "/" + SambaTestServer::kShare + "/2024";
  EXPECT_EQ(Folder(url).LogOn(), NetworkFolder::kBadNetPath);
  EXPECT_NE(LastError::Text().find(url), std::string::npos) << LastError::Text();
  // a folder that was reached before no longer is once its server stops, and says so
  m_server.reset();
  EXPECT_NE(good.LogOn(), NetworkFolder::kNoError);
  EXPECT_EQ(good.NetworkName(), "");
}

TEST_F(NetworkFolderSmb, CopiesFilesFromTheShare) {
  std::string big(2 * 1024 * 1024 + 3, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 31) ^ (i >> 9));
  test::WriteFile(m_root / "share/2024/big.cab", big);
  const std::string odd = "sub/50% off #1; a+b \xC3\xBC.txt";
  test::WriteFile(m_root / ("share/2024/" + odd), "odd");
  struct timespec old[2] = {{0, UTIME_OMIT}, {1500000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (m_root / "share/2024/big.cab").c_str(), old, 0), 0);

  NetworkFolder folder = Folder(m_server->Url("2024"));
  ASSERT_EQ(folder.LogOn(), NetworkFolder::kNoError) << LastError::Text();
  EXPECT_TRUE(folder.HasFile("qupdate_s.ini"));
  EXPECT_TRUE(folder.HasFile(odd)) << LastError::Text();
  EXPECT_FALSE(folder.HasFile("sub"));
  EXPECT_FALSE(folder.HasFile("nothing.ini"));

  ASSERT_TRUE(folder.CopyFile("big.cab", (m_root / "dl/big.cab").string())) << LastError::Text();
  EXPECT_EQ(test::ReadFile(m_root / "dl/big.cab"), big);
  struct stat st {};
  ASSERT_EQ(stat((m_root / "dl/big.cab").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);

  // names that mean something in a URL travel as names; a read-only target is replaced
  test::WriteFile(m_root / "dl/sub/odd.txt", "old");
  chmod((m_root / "dl/sub/odd.txt").c_str(), 0444);
  ASSERT_TRUE(folder.CopyFile(odd, (m_root / "dl/sub/odd.txt").string())) << LastError::Text();
  EXPECT_EQ(test::ReadFile(m_root / "dl/sub/odd.txt"), "odd");

  // failures name the file and leave nothing in the download folder
  EXPECT_FALSE(folder.CopyFile("nothing.cab", (m_root / "dl/nothing.cab").string()));
  EXPECT_NE(LastError::Text().find("nothing.cab"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(folder.CopyFile("sub", (m_root / "dl/subcopy").string()));
  EXPECT_NE(LastError::Text().find("folder"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(folder.CopyFile("big.cab", (m_root / "dl/missing/big.cab").string()));
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(m_root / "dl")) ++entries;
  EXPECT_EQ(entries, 3u) << "big.cab, sub and sub/odd.txt only";

  // a copy without a logon first logs on by itself
  EXPECT_TRUE(Folder(m_server->Url("2024")).CopyFile("qupdate_s.ini", (m_root / "dl/q.ini").string()))
      << LastError::Text();
  EXPECT_FALSE(
      Folder(m_server->Url("2024"), "nobody", "bad").CopyFile("qupdate_s.ini", (m_root / "dl/q2.ini").string()));
}

TEST_F(NetworkFolderSmb, CopiesKeepToTheLimitsAndArePrivate) {
  test::WriteFile(m_root / "share/2024/huge.ini", "");
  ASSERT_EQ(truncate((m_root / "share/2024/huge.ini").c_str(), off_t{50} << 20), 0);
  test::WriteFile(m_root / "share/2024/some.cab", std::string(4 << 20, 'c'));
  NetworkFolder folder = Folder(m_server->Url("2024"));

  LimitHit limit = LimitHit::kNone;
  test::AccessWatch huge(m_root / "share/2024/huge.ini");
  EXPECT_FALSE(folder.CopyFile("huge.ini", (m_root / "dl/huge.ini").string(), 1 << 20, &limit));
  EXPECT_FALSE(huge.Read()) << "refused by its size, unread " << huge.Why();
  EXPECT_EQ(limit, LimitHit::kSize);
  EXPECT_NE(LastError::Text().find("52428800 bytes, more than the limit of 1048576"), std::string::npos)
      << LastError::Text();

  folder.SetFloorRate(uint64_t{1} << 40);
  EXPECT_FALSE(folder.CopyFile("some.cab", (m_root / "dl/some.cab").string(), NetworkFolder::kDefaultMaxFileBytes, &limit));
  EXPECT_EQ(limit, LimitHit::kTime);
  EXPECT_NE(LastError::Text().find("floor rate"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(fs::exists(m_root / "dl/huge.ini"));
  EXPECT_FALSE(fs::exists(m_root / "dl/some.cab"));

  folder.SetFloorRate(0);
  ASSERT_TRUE(folder.CopyFile("some.cab", (m_root / "dl/some.cab").string(), NetworkFolder::kDefaultMaxFileBytes, &limit))
      << LastError::Text();
  EXPECT_EQ(limit, LimitHit::kNone);
  struct stat st {};
  ASSERT_EQ(stat((m_root / "dl/some.cab").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(NetworkFolderSmb, DfsSharesAreRefusedBeforeAnyPathInThemIsUsed) {
  // a DFS link in the share refers clients to another server, which would
  // receive the logon of the setting's user
  fs::create_symlink("msdfs:127.0.0.2\\updates", m_root / "share/elsewhere");
  NetworkFolder dfs = Folder(m_server->DfsUrl("2024"));
  EXPECT_EQ(dfs.LogOn(), NetworkFolder::kExtendedError);
  EXPECT_NE(LastError::Text().find("DFS"), std::string::npos) << LastError::Text();
  EXPECT_EQ(dfs.NetworkName(), "");
  NetworkFolder unannounced = Folder(m_server->DfsUrl());
  EXPECT_FALSE(unannounced.HasFile("elsewhere/qupdate_s.ini"));
  EXPECT_FALSE(unannounced.CopyFile("elsewhere/2024/qupdate_s.ini", (m_root / "dl/q.ini").string()));
  EXPECT_NE(LastError::Text().find("DFS"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(fs::exists(m_root / "dl/q.ini"));

  // the same folder as an ordinary share is fine, the link merely unusable
  EXPECT_EQ(Folder(m_server->Url("2024")).LogOn(), NetworkFolder::kNoError) << LastError::Text();
}

TEST_F(NetworkFolderSmb, FoldersMayBeUsedFromSeveralThreads) {
  for (int i = 0; i < 6; ++i)
    test::WriteFile(m_root / ("share/2024/f" + std::to_string(i)), std::string(70000 + i, 'a' + i));
  NetworkFolder shared = Folder(m_server->Url("2024"));
  ASSERT_EQ(shared.LogOn(), NetworkFolder::kNoError) << LastError::Text();
  NetworkFolder other = Folder(m_server->Url("2024"));

  std::atomic<int> failures{0};
  auto copyAll = [&](NetworkFolder& folder, const std::string& tag) {
    for (int round = 0; round < 5; ++round) {
      for (int i = 0; i < 6; ++i) {
        std::string name = "f" + std::to_string(i);
        if (!folder.CopyFile(name, (m_root / ("dl/" + tag + name)).string())) ++failures;
      }
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back([&] { copyAll(shared, "a"); });
  threads.emplace_back([&] { copyAll(shared, "b"); });
  threads.emplace_back([&] { copyAll(other, "c"); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  for (const char* tag : {"a", "b", "c"}) {
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(test::ReadFile(m_root / ("dl/" + std::string(tag) + "f" + std::to_string(i))),
                std::string(70000 + i, 'a' + i));
    }
  }
}

}  // namespace
}  // namespace qrv::platform
