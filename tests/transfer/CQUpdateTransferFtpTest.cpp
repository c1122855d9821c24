#include "transfer/CQUpdateTransferFtp.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "config/CQUpdateUtilRegistry.h"
#include "platform/registry/RegistryKey.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUser = "qrv user";
constexpr const char* kPassword = "pa:ss@w/rd";

class CQUpdateTransferFtpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(m_root / "srv/qupdate_s.ini", "[UPDATEINFOPATH]\nWriter=writer.txt\n");
    test::WriteFile(m_root / "srv/sub/file.ext", "sub file");
    ASSERT_EQ(platform::RegistryKey::Create(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, m_main),
              platform::RegStatus::kOk);
    m_main.SetString("DownloadPath", (m_root / "dl").string());
  }
  void StartServer() { m_server = std::make_unique<test::FtpTestServer>(m_root / "srv", kUser, kPassword); }
  tagSERVERINFO Info(const std::string& path, const char* password = kPassword) const {
    return tagSERVERINFO{kServerTypeFtp, static_cast<uint32_t>(m_server->Port()), path, kUser, password};
  }
  std::string DownloadFolder() const { return (m_root / "dl/QRVDownload").string(); }

  test::SandboxRoot m_root;
  platform::RegistryKey m_main;
  std::unique_ptr<test::FtpTestServer> m_server;
};

TEST_F(CQUpdateTransferFtpTest, LogsInOnceAndFetchesRelativePaths) {
  StartServer();
  ASSERT_GT(m_server->Port(), 0) << m_server->Error();
  for (const char* path : {"ftp://127.0.0.1", "127.0.0.1", "FTP://127.0.0.1/"}) {
    CQUpdateTransferFtp ftp(Info(path));
    EXPECT_EQ(ftp.Host(), "127.0.0.1") << path;
    EXPECT_TRUE(ftp.IsLoggedIn()) << path << ": " << ftp.LastFailure();
  }

  CQUpdateTransferFtp ftp(Info("ftp://127.0.0.1"));
  int logins = m_server->LoginCount();
  // Connect fetches the information file into the download folder, made on the way
  EXPECT_EQ(ftp.Connect(), 1u) << ftp.LastFailure();
  EXPECT_EQ(test::ReadFile(DownloadFolder() + "/qupdate_s.ini"), "[UPDATEINFOPATH]\nWriter=writer.txt\n");

  // sub\file.ext lands in folder/sub/file.ext; the subfolder must exist locally
  std::string folder = (m_root / "dl/a/b").string();
  EXPECT_EQ(ftp.DownloadFile(folder, "sub\\file.ext"), 0);
  EXPECT_TRUE(fs::is_directory(folder)) << "the folder given is made, with the folders above it";
  fs::create_directories(folder + "/sub");
  EXPECT_EQ(ftp.DownloadFile(folder, "sub\\file.ext"), 1) << ftp.LastFailure();
  EXPECT_EQ(test::ReadFile(folder + "/sub/file.ext"), "sub file");

  // a file missing on the server fails, the server's answer in the reason;
  // the transport itself keeps a local copy (DownloadFile removes it first)
  test::WriteFile(folder + "/writer.txt", "local");
  EXPECT_EQ(ftp.Download("writer.txt", folder), 0);
  EXPECT_EQ(test::ReadFile(folder + "/writer.txt"), "local");
  EXPECT_NE(ftp.LastFailure().find("writer.txt"), std::string::npos) << ftp.LastFailure();
  EXPECT_NE(ftp.LastFailure().find("the server said: 550"), std::string::npos) << ftp.LastFailure();

  EXPECT_EQ(m_server->LoginCount(), logins) << "every file over the login of construction";
}

TEST_F(CQUpdateTransferFtpTest, FailedLoginsLeaveTheTransportUnusable) {
  StartServer();
  ASSERT_GT(m_server->Port(), 0) << m_server->Error();

  CQUpdateTransferFtp wrong(Info("127.0.0.1", "wrong"));
  EXPECT_FALSE(wrong.IsLoggedIn());
  EXPECT_NE(wrong.LastFailure().find(kUser), std::string::npos) << wrong.LastFailure();
  EXPECT_EQ(wrong.Connect(), 0u);
  EXPECT_NE(wrong.LastFailure().find("the server said: 530"), std::string::npos)
      << "Connect repeats why the login failed: " << wrong.LastFailure();
  EXPECT_EQ(wrong.DownloadFile((m_root / "dl").string(), "sub/file.ext"), 0);

  // ftps:// asks for TLS, which this server lacks: refused, nothing sent in the clear
  CQUpdateTransferFtp secure(Info("ftps://127.0.0.1"));
  EXPECT_FALSE(secure.IsLoggedIn());
  EXPECT_EQ(secure.Connect(), 0u);

  for (const char* path : {"ftp://", "", "bad host", "ftp://127.0.0.1/sub", "ftp://user@127.0.0.1"}) {
    CQUpdateTransferFtp bad(Info(path));
    EXPECT_FALSE(bad.IsLoggedIn()) << path;
    EXPECT_EQ(bad.Connect(), 0u) << path;
  }
  test::LoopbackPort closed;
  ASSERT_GT(closed.Port(), 0) << closed.Error();
  tagSERVERINFO refused = Info("127.0.0.1");
  refused.port = closed.Port();
  EXPECT_EQ(CQUpdateTransferFtp(refused).Connect(), 0u);
  EXPECT_FALSE(fs::exists(DownloadFolder() + "/qupdate_s.ini"));
}

// No server is started on port 21 (it may be taken, and binding it needs
// root): the login that fails there names the port it tried.
TEST_F(CQUpdateTransferFtpTest, PortZeroIsTheFtpPort) {
  CQUpdateTransferFtp ftp(tagSERVERINFO{kServerTypeFtp, 0, "ftp://127.0.0.1", kUser, "not-the-password"});
  EXPECT_FALSE(ftp.IsLoggedIn());
  EXPECT_NE(ftp.LastFailure().find("FTP server 127.0.0.1:21"), std::string::npos) << ftp.LastFailure();
}

}  // namespace
}  // namespace qrv
