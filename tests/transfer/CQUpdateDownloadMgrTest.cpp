#include "transfer/CQUpdateDownloadMgr.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/MessageService.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/registry/RegistryKey.h"
#include "config/StoredPassword.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/RecordingMessages.h"
#include "tests/support/SandboxRoot.h"
#include "transfer/CQUpdateTransferFile.h"
#include "transfer/CQUpdateTransferFtp.h"
#include "transfer/CQUpdateTransferHttp.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;

class CQUpdateDownloadMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(m_root / "srv/qupdate_s.ini", "[VersionInfo]\nWriter=2.0\n");
    ASSERT_GT(m_server.Port(), 0) << m_server.Error();
    ASSERT_EQ(platform::RegistryKey::Create(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, m_main),
              platform::RegStatus::kOk);
    m_main.SetString("DownloadPath", (m_root / "dl").string());
    m_main.SetString("QrvServerPath", m_server.ServiceUrl());
    m_previous = platform::MessageService::Install(m_messages);
  }
  void TearDown() override { platform::MessageService::Install(m_previous); }
  std::string InfoPath() const { return (m_root / "dl/QRVDownload/qupdate_s.ini").string(); }

  test::SandboxRoot m_root;
  test::HttpTestServer m_server{m_root / "srv"};
  platform::RegistryKey m_main;
  std::shared_ptr<test::RecordingMessages> m_messages = std::make_shared<test::RecordingMessages>();
  std::shared_ptr<platform::MessageService> m_previous;
};

TEST_F(CQUpdateDownloadMgrTest, ChoosesTheTransportByServerType) {
  auto kind = [](const CQUpdateDownloadMgr& m) -> std::string {
    auto& t = const_cast<CQUpdateDownloadMgr&>(m).Transport();
    if (dynamic_cast<CQUpdateTransferFile*>(&t) != nullptr) return "file";
    if (dynamic_cast<CQUpdateTransferFtp*>(&t) != nullptr) return "ftp";
    if (dynamic_cast<CQUpdateTransferHttp*>(&t) != nullptr) return "http";
    return "?";
  };
  // nothing stored: HTTP on the default service path
  {
    CQUpdateDownloadMgr manager;
    EXPECT_EQ(kind(manager), "http");
    EXPECT_EQ(manager.Server().path, m_server.ServiceUrl());
    EXPECT_EQ(manager.Connect(), 1u);
  }
  m_main.SetDword("ServerType", 5);
  EXPECT_EQ(kind(CQUpdateDownloadMgr()), "http") << "unknown types use HTTP";
  EXPECT_EQ(kind(CQUpdateDownloadMgr({kServerTypeFtp, 1, "127.0.0.1", "u", "p"})), "ftp");
  fs::create_directories(m_root / "share");
  CQUpdateDownloadMgr share({kServerTypeNetwork, 0, (m_root / "share").string(), "", ""});
  EXPECT_EQ(kind(share), "file");
  EXPECT_EQ(share.Connect(), 147u) << "reached, but without update information";
}

TEST_F(CQUpdateDownloadMgrTest, KeepsThePreviousInfoFileUnderTheLastUpdateDate) {
  m_main.SetDword("LastUpdate", 20261201);
  CQUpdateDownloadMgr manager;
  ASSERT_EQ(manager.GetUpdateInfo(), InfoPath());
  EXPECT_EQ(test::ReadFile(InfoPath()), "[VersionInfo]\nWriter=2.0\n");

  // two runs with the same date leave one backup, the newer previous file
  test::WriteFile(m_root / "srv/qupdate_s.ini", "[VersionInfo]\nWriter=3.0\n");
  ASSERT_EQ(manager.GetUpdateInfo(), InfoPath());
  test::WriteFile(m_root / "srv/qupdate_s.ini", "[VersionInfo]\nWriter=4.0\n");
  fs::permissions(InfoPath() + "20261201", fs::perms::owner_read, fs::perm_options::replace);
  ASSERT_EQ(manager.GetUpdateInfo(), InfoPath()) << "a read-only backup is replaced";
  EXPECT_EQ(test::ReadFile(InfoPath() + "20261201"), "[VersionInfo]\nWriter=3.0\n");
  EXPECT_EQ(test::ReadFile(InfoPath()), "[VersionInfo]\nWriter=4.0\n");

  // an unreachable server still moves the current file aside
  m_server.SetFault("/files/qupdate_s.ini", test::HttpTestServer::Fault::kNotFound);
  m_main.DeleteValue("LastUpdate");
  EXPECT_EQ(manager.GetUpdateInfo(), "");
  EXPECT_FALSE(fs::exists(InfoPath()));
  EXPECT_EQ(test::ReadFile(InfoPath() + "-1"), "[VersionInfo]\nWriter=4.0\n") << "missing date gives -1";
  EXPECT_TRUE(m_messages->shown.empty());
}

TEST_F(CQUpdateDownloadMgrTest, AnUnusableDownloadFolderShowsMessage140) {
  test::WriteFile(m_root / "blocked", "a file where the folder should be");
  m_main.SetString("DownloadPath", (m_root / "blocked").string());
  CQUpdateDownloadMgr manager;
  EXPECT_EQ(manager.GetUpdateInfo(), "");
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{140});
  EXPECT_EQ(m_server.CountRequests("/files/qupdate_s.ini"), 0u);
}

TEST_F(CQUpdateDownloadMgrTest, QrvctlFetchReportsEachStep) {
  test::WriteFile(m_root / "srv/sub/a.cab", "cabinet bytes");
  fs::create_directories(m_root / "out/sub");
  auto fetch = [&](const std::string& file) {
    return test::RunProcess(QRVCTL_PATH, {"--root", m_root.Path().string(), "fetch", file, (m_root / "out").string()});
  };
  test::ProcessResult r = fetch("sub\\a.cab");
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("connect: 1 (connected to HTTP update service " + m_server.ServiceUrl()), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("13 bytes"), std::string::npos) << r.out;
  EXPECT_EQ(test::ReadFile(m_root / "out/sub/a.cab"), "cabinet bytes");

  r = fetch("missing.cab");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("fetch: 0 (cannot fetch missing.cab"), std::string::npos) << r.out;
  EXPECT_EQ(fetch("..\\escape.cab").exitCode, 1);

  // FTP with the stored user and encrypted password
  test::FtpTestServer ftp(m_root / "srv", "anna", "s3cret");
  ASSERT_GT(ftp.Port(), 0) << ftp.Error();
  std::string encrypted;
  ASSERT_TRUE(EncryptPassword("s3cret", encrypted));
  m_main.SetDword("ServerType", kServerTypeFtp);
  m_main.SetDword("ServerPort", static_cast<uint32_t>(ftp.Port()));
  m_main.SetString("ServerPath", "ftp://127.0.0.1");
  m_main.SetString("UserID", "anna");
  m_main.SetString("PassWD", encrypted);
  r = fetch("sub/a.cab");
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("connect: 1 (connected to FTP server ftp://127.0.0.1:"), std::string::npos) << r.out;
  m_main.SetString("PassWD", "");
  r = fetch("sub/a.cab");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("connect: 0 (cannot log in to FTP server"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace qrv
