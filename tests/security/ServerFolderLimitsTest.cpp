// The attacker writes to the network folder or share the updates come from:
// links out to private files, files larger than any update, a DFS referral
// that would carry the share's logon elsewhere. Nothing outside is read,
// nothing refused is kept, and the trace says why.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "tests/security/ServerTraceFixture.h"
#include "tests/support/AccessWatch.h"
#include "tests/support/SambaTestServer.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/SkipUnlessServer.h"
#include "transfer/CQUpdateTransferFile.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::SambaTestServer;

using test::ModeOf;

class ServerFolderLimitsTest : public test::ServerTraceFixture {
 protected:
  void SetUp() override {
    ServerTraceFixture::SetUp();
    std::filesystem::create_directories(m_root / "srv");
    // what the attacker would like to read: a private file of this machine
    test::WriteFile(m_victim, "secret");
    fs::permissions(m_victim, fs::perms::owner_read | fs::perms::owner_write);
  }
  tagSERVERINFO Folder(const std::string& path, uint32_t port = 0) const {
    return tagSERVERINFO{kServerTypeNetwork, port, path, SambaTestServer::kUser, SambaTestServer::kPassword};
  }

  fs::path m_victim = m_root / "victim/shadow";
};

TEST_F(ServerFolderLimitsTest, LinksOutOfAFolderAreNeverFollowed) {
  fs::create_symlink(m_victim, m_root / "srv/qupdate_s.ini");
  fs::create_symlink(m_victim, m_root / "srv/writer.cab");
  fs::create_directory_symlink(m_root / "victim", m_root / "srv/cab");
  test::WriteFile(m_root / "srv/calc.cab", "calc cabinet");
  chmod((m_root / "srv/calc.cab").c_str(), 0644);
  CQUpdateTransferFile transport(Folder((m_root / "srv").string()));

  EXPECT_EQ(transport.Connect(), CQUpdateTransferFile::kConnectNoUpdateInfo)
      << "the folder is reached, but a link is no information file";
  EXPECT_EQ(transport.GetUpdateInfoFile(m_folder.string()), 0);
  EXPECT_EQ(transport.DownloadFile(m_folder.string(), "writer.cab"), 0);
  fs::create_directories(m_folder / "cab");
  EXPECT_EQ(transport.DownloadFile(m_folder.string(), "cab/shadow"), 0);
  EXPECT_TRUE(Traced("writer.cab\": it is, or lies behind, a symbolic link")) << Trace();
  EXPECT_TRUE(Traced("qupdate_s.ini")) << Trace();

  // an ordinary file still comes, private to us
  EXPECT_EQ(transport.DownloadFile(m_folder.string(), "calc.cab"), 1) << transport.LastFailure();
  EXPECT_EQ(ModeOf(m_folder / "calc.cab"), 0600u);
  fs::remove(m_folder / "calc.cab");
  fs::remove(m_folder / "cab");
  EXPECT_TRUE(fs::is_empty(m_folder)) << "nothing of the private file was copied";
  EXPECT_EQ(test::ReadFile(m_victim), "secret");
  EXPECT_EQ(ModeOf(m_victim), 0600u);
}

TEST_F(ServerFolderLimitsTest, HugeFilesInAFolderAreRefusedUnread) {
  Sparse(m_root / "srv/qupdate_s.ini", off_t{50} << 20);
  Sparse(m_root / "srv/writer.cab", off_t{5} << 30);
  CQUpdateTransferFile transport(Folder((m_root / "srv").string()));
  ASSERT_EQ(transport.Connect(), 1u) << transport.LastFailure();

  test::AccessWatch info(m_root / "srv/qupdate_s.ini");
  test::AccessWatch writer(m_root / "srv/writer.cab");
  EXPECT_EQ(transport.GetUpdateInfoFile(m_folder.string()), 0);
  EXPECT_EQ(transport.DownloadFile(m_folder.string(), "writer.cab"), 0);
  EXPECT_FALSE(info.Read() || writer.Read()) << "judged by their size, not read " << info.Why();
  EXPECT_TRUE(Traced("it is 52428800 bytes, more than the limit of 1048576 bytes")) << Trace();
  EXPECT_TRUE(Traced("it is 5368709120 bytes, more than the limit of 4294967296 bytes")) << Trace();
  EXPECT_EQ(transport.DownloadFile(m_folder.string(), "writer.cab"), 0);
  EXPECT_TRUE(Traced("not fetching \"writer.cab\" again in this run")) << Trace();
  EXPECT_TRUE(fs::is_empty(m_folder));
}

class ServerShareLimitsTest : public ServerFolderLimitsTest {
 protected:
  void SetUp() override {
    ServerFolderLimitsTest::SetUp();
    fs::create_directories(m_root / "share/office");
    test::WriteFile(m_root / "share/office/qupdate_s.ini", "[UPDATEINFOPATH]\n");
    m_server = std::make_unique<SambaTestServer>(m_root / "samba", m_root / "share");
    QRV_SKIP_UNLESS_SERVER(m_server->Running(), m_server->SkipReason());
  }

  std::unique_ptr<SambaTestServer> m_server;
};

TEST_F(ServerShareLimitsTest, HugeAndSlowFilesOnAShareAreRefused) {
  Sparse(m_root / "share/office/writer.cab", off_t{5} << 30);
  test::WriteFile(m_root / "share/office/calc.cab", std::string(4 << 20, 'c'));
  CQUpdateTransferFile transport(Folder(m_server->Url("office")));
  ASSERT_EQ(transport.Connect(), 1u) << transport.LastFailure();

  test::AccessWatch writer(m_root / "share/office/writer.cab");
  EXPECT_EQ(transport.DownloadFile(m_folder.string(), "writer.cab"), 0);
  EXPECT_FALSE(writer.Read()) << "judged by its size, not read " << writer.Why();
  EXPECT_TRUE(Traced("it is 5368709120 bytes, more than the limit of 4294967296 bytes")) << Trace();

  // the same floor rate as every transport: at 2 GiB/s no share keeps up
  m_main.SetDword("MinTransferRate", 0x7FFFFFFFu);
  CQUpdateTransferFile strict(Folder(m_server->Url("office")));
  EXPECT_EQ(strict.DownloadFile(m_folder.string(), "calc.cab"), 0);
  EXPECT_TRUE(Traced("floor rate 2147483647 bytes/s") || Traced("floor rate of 2147483647 bytes/s")) << Trace();
  EXPECT_TRUE(fs::is_empty(m_folder));

  m_main.SetDword("MinTransferRate", 0);
  CQUpdateTransferFile usual(Folder(m_server->Url("office")));
  EXPECT_EQ(usual.DownloadFile(m_folder.string(), "calc.cab"), 1) << usual.LastFailure();
  EXPECT_EQ(ModeOf(m_folder / "calc.cab"), 0600u);
}

TEST_F(ServerShareLimitsTest, ADfsShareIsRefusedBeforeAnyPathInItIsResolved) {
  // A link in a DFS namespace refers clients to another server, and
  // libsmbclient would log on there with the share's user and password. The
  // share is refused as a whole, whether the configured folder is the link
  // itself or a file is asked for through it.
  fs::create_symlink("msdfs:127.0.0.2\\updates", m_root / "share/elsewhere");
  CQUpdateTransferFile viaLink(Folder(m_server->DfsUrl("elsewhere")));
  EXPECT_EQ(viaLink.Connect(), 0u);
  CQUpdateTransferFile root(Folder(m_server->DfsUrl()));
  EXPECT_EQ(root.DownloadFile(m_folder.string(), "elsewhere/qupdate_s.ini"), 0);
  EXPECT_TRUE(Traced("refusing share " + m_server->DfsUrl() + ": it is a DFS namespace root")) << Trace();
  EXPECT_TRUE(fs::is_empty(m_folder));

  // the same folder shared without DFS serves as usual
  CQUpdateTransferFile plain(Folder(m_server->Url("office")));
  EXPECT_EQ(plain.Connect(), 1u) << plain.LastFailure();
}

}  // namespace
}  // namespace qrv
