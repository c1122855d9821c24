// The network-folder transport against a real Samba server on loopback.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/SambaTestServer.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/SkipUnlessServer.h"
#include "transfer/CQUpdateTransferFile.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::SambaTestServer;

class CQUpdateTransferFileSmb : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(m_root / "share/office/cab");
    fs::create_directories(m_root / "share/bare");
    fs::create_directories(m_root / "dl/cab");
    test::WriteFile(m_root / "share/office/qupdate_s.ini", "[UPDATEINFOPATH]\nWriter=cab\\writer.txt\n");
    test::WriteFile(m_root / "share/office/cab/writer.cab", "writer cabinet");
    test::WriteFile(m_root / "share/office/cab/writer.txt", "writer notes");
    m_server = std::make_unique<SambaTestServer>(m_root / "samba", m_root / "share");
    QRV_SKIP_UNLESS_SERVER(m_server->Running(), m_server->SkipReason());
  }

  tagSERVERINFO Setting(const std::string& path, const std::string& password = SambaTestServer::kPassword,
                        uint32_t port = 0) const {
    tagSERVERINFO info;
    info.type = kServerTypeNetwork;
    info.port = port;
    info.path = path;
    info.user = SambaTestServer::kUser;
    info.password = password;
    return info;
  }

  test::SandboxRoot m_root;
  std::unique_ptr<SambaTestServer> m_server;
};

// Logon outcomes in detail are NetworkFolder's; here how the transport maps them.
TEST_F(CQUpdateTransferFileSmb, ConnectAnswersOneZeroOr147) {
  CQUpdateTransferFile ready(Setting(m_server->Url("office")));
  EXPECT_EQ(ready.Connect(), 1u) << ready.LastFailure();
  EXPECT_EQ(ready.NetworkName(), m_server->Url("office"));
  CQUpdateTransferFile unc(Setting(m_server->UncPath("office"), SambaTestServer::kPassword, m_server->Port()));
  EXPECT_EQ(unc.Connect(), 1u) << unc.LastFailure();

  CQUpdateTransferFile wrong(Setting(m_server->Url("office"), "Not-It-9"));
  EXPECT_EQ(wrong.Connect(), 0u);
  EXPECT_EQ(wrong.LogonResult(), platform::NetworkFolder::kLogonFailure);
  EXPECT_EQ(wrong.LastFailure().find("Not-It-9"), std::string::npos) << wrong.LastFailure();
  EXPECT_EQ(wrong.DownloadFile((m_root / "dl").string(), "cab/writer.cab"), 0);

  CQUpdateTransferFile bare(Setting(m_server->Url("bare")));
  EXPECT_EQ(bare.Connect(), CQUpdateTransferFile::kConnectNoUpdateInfo) << bare.LastFailure();
  EXPECT_NE(bare.LastFailure().find("qupdate_s.ini"), std::string::npos) << bare.LastFailure();
}

TEST_F(CQUpdateTransferFileSmb, DownloadsFromTheShare) {
  std::string dl = (m_root / "dl").string();
  CQUpdateTransferFile transport(Setting(m_server->UncPath("office"), SambaTestServer::kPassword, m_server->Port()));
  ASSERT_EQ(transport.Connect(), 1u) << transport.LastFailure();
  EXPECT_EQ(transport.GetUpdateInfoFile(dl), 1) << transport.LastFailure();
  EXPECT_EQ(test::ReadFile(m_root / "dl/qupdate_s.ini"), test::ReadFile(m_root / "share/office/qupdate_s.ini"));
  EXPECT_EQ(transport.DownloadFile(dl, "cab\\writer.cab"), 1) << transport.LastFailure();
  EXPECT_EQ(test::ReadFile(m_root / "dl/cab/writer.cab"), "writer cabinet");
  EXPECT_EQ(transport.DownloadFile(dl, "cab\\missing.cab"), 0);
  EXPECT_NE(transport.LastFailure().find("missing.cab"), std::string::npos) << transport.LastFailure();
  EXPECT_EQ(transport.DownloadFile((m_root / "dl/none").string(), "qupdate_s.ini"), 0);
  EXPECT_EQ(transport.DownloadFile(dl, "..\\office\\qupdate_s.ini"), 0);
  EXPECT_FALSE(fs::exists(m_root / "dl/none"));

  // a transport that never connected logs on for its first copy
  CQUpdateTransferFile fresh(Setting(m_server->Url("office")));
  EXPECT_EQ(fresh.DownloadFile(dl, "cab/writer.txt"), 1) << fresh.LastFailure();
  EXPECT_EQ(test::ReadFile(m_root / "dl/cab/writer.txt"), "writer notes");
}

// Each transport's DownloadFile runs its own worker thread.
TEST_F(CQUpdateTransferFileSmb, TwoTransportsDownloadAtOnce) {
  auto part = [](int i) { return "cab/part" + std::to_string(i) + ".cab"; };
  for (int i = 0; i < 8; ++i) test::WriteFile(m_root / "share/office" / part(i), std::string(100000 + i, 'p'));
  fs::create_directories(m_root / "dl2/cab");
  CQUpdateTransferFile first(Setting(m_server->Url("office")));
  CQUpdateTransferFile second(Setting(m_server->UncPath("office"), SambaTestServer::kPassword, m_server->Port()));
  ASSERT_EQ(first.Connect(), 1u) << first.LastFailure();
  ASSERT_EQ(second.Connect(), 1u) << second.LastFailure();
  int firstOk = 0;
  int secondOk = 0;
  std::thread other([&] {
    for (int i = 0; i < 8; ++i) secondOk += second.DownloadFile((m_root / "dl2").string(), part(i));
  });
  for (int i = 0; i < 8; ++i) firstOk += first.DownloadFile((m_root / "dl").string(), part(i));
  other.join();
  EXPECT_EQ(firstOk, 8) << first.LastFailure();
  EXPECT_EQ(secondOk, 8) << second.LastFailure();
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(test::ReadFile(m_root / "dl" / part(i)), std::string(100000 + i, 'p'));
    EXPECT_EQ(test::ReadFile(m_root / "dl2" / part(i)), std::string(100000 + i, 'p'));
  }
}

}  // namespace
}  // namespace qrv
