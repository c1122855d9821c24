#include "transfer/CQUpdateTransferHttp.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "config/CQUpdateUtilRegistry.h"
#include "platform/registry/RegistryKey.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::HttpTestServer;
using Fault = HttpTestServer::Fault;

class CQUpdateTransferHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(m_server.Port(), 0) << m_server.Error();
    ASSERT_EQ(platform::RegistryKey::Create(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, m_main),
              platform::RegStatus::kOk);
    m_main.SetString("ServerPath", m_server.ServiceUrl());
    fs::create_directories(m_dl);
  }
  tagSERVERINFO Info() const { return tagSERVERINFO{kServerTypeHttp, 0, m_server.ServiceUrl(), "", ""}; }
  std::string Local(const std::string& name) const { return (m_dl / name).string(); }

  test::SandboxRoot m_root;
  HttpTestServer m_server{m_root / "srv"};
  platform::RegistryKey m_main;
  fs::path m_dl = m_root / "dl";
  std::string m_folder = m_dl.string() + "/";
};

TEST_F(CQUpdateTransferHttpTest, ServiceNamesTheBaseUrlAndProductsTheirOwn) {
  CQUpdateTransferHttp http(Info());
  EXPECT_EQ(http.BaseUrl(), m_server.FilesUrl());
  EXPECT_EQ(http.Connect(), 1u) << "the folder URL is refused (403), but the server answered";

  // preparation asks again, with the product's pidkey (or the product itself)
  platform::RegistryKey writer;
  ASSERT_EQ(m_main.CreateSubKey("Writer", writer), platform::RegStatus::kOk);
  writer.SetString("Pidkey", "WR-1");
  m_server.SetProductLocation("Writer", m_server.FilesUrl() + "writer/");
  EXPECT_EQ(http.Prepare("Writer"), 1u);
  EXPECT_EQ(http.BaseUrl(), m_server.FilesUrl() + "writer/");
  EXPECT_NE(m_server.Requests().back().target.find("?product=Writer&pidkey=WR-1&"), std::string::npos);

  m_server.SetProductLocation("Broken", "");
  EXPECT_EQ(http.Prepare("Broken"), 0u);
  EXPECT_EQ(http.BaseUrl(), m_server.FilesUrl() + "writer/") << "an empty answer keeps the old base";
  EXPECT_FALSE(http.LastFailure().empty());

  test::WriteFile(m_root / "srv/qupdate_s.ini", "[UPDATEINFOPATH]\n");
  EXPECT_EQ(http.GetUpdateInfoFile(m_folder), 1);
  EXPECT_NE(m_server.Requests().at(m_server.Requests().size() - 2).target.find("?product=Tarnsoft&pidkey=Tarnsoft&"),
            std::string::npos);
  EXPECT_EQ(test::ReadFile(Local("qupdate_s.ini")), "[UPDATEINFOPATH]\n");
}

TEST_F(CQUpdateTransferHttpTest, WithoutALocationNothingIsFetched) {
  m_server.SetServiceReply("<html>no markers</html>");
  CQUpdateTransferHttp http(Info());
  EXPECT_EQ(http.BaseUrl(), "");
  EXPECT_EQ(http.Connect(), 0u);
  EXPECT_EQ(http.DownloadFile(m_folder, "a.cab"), 0);
  EXPECT_EQ(m_server.Requests().size(), 1u) << "only the query";

  m_server.SetServiceReply("<$URL_DOWNLOAD$>" + m_server.FilesUrl() + "<$/URL_DOWNLOAD$>");
  EXPECT_EQ(http.Prepare("Tarnsoft"), 1u);
  EXPECT_EQ(http.DownloadFile(m_folder, "a.cab"), 0) << "a later location does not make the transport usable";

  // a download server that does not answer
  test::LoopbackPort closed;
  ASSERT_GT(closed.Port(), 0) << closed.Error();
  tagSERVERINFO unreachable = Info();
  unreachable.path = "http://127.0.0.1:" + std::to_string(closed.Port()) + "/AUpdate70.jsp";
  EXPECT_EQ(CQUpdateTransferHttp(unreachable).Connect(), 0u);
}

// Status handling, redirects, stalls and connection reuse belong to HttpClient
// and are tested there; here only what the transport adds.
TEST_F(CQUpdateTransferHttpTest, DownloadBuildsTheUrlAndRefetchesEmptyFilesButNotTheInfoFile) {
  test::WriteFile(m_root / "srv/sub/file.ext", "sub file");
  const std::string odd = "x y#1%\xC3\xBC.cab";
  test::WriteFile(m_root / "srv" / odd, "odd name");
  fs::create_directories(m_dl / "sub");
  CQUpdateTransferHttp http(Info());
  EXPECT_EQ(http.Download(m_folder, "sub\\\\file.ext\\"), 1);
  EXPECT_EQ(m_server.Requests().back().target, "/files/sub/file.ext");
  EXPECT_EQ(test::ReadFile(Local("sub/file.ext")), "sub file");
  EXPECT_EQ(http.Download(m_folder, odd), 1);
  EXPECT_EQ(m_server.Requests().back().target, "/files/x%20y%231%25%C3%BC.cab");
  EXPECT_EQ(test::ReadFile(Local(odd)), "odd name");

  m_server.SetFault("/files/qupdate_s.ini", Fault::kEmptyBody);
  m_server.SetFault("/files/empty.cab", Fault::kEmptyBody);
  EXPECT_EQ(http.DownloadFile(m_folder, "qupdate_s.ini"), 1);
  EXPECT_EQ(m_server.CountRequests("/files/qupdate_s.ini"), 1u);
  EXPECT_EQ(http.DownloadFile(m_folder, "empty.cab"), 1) << "the last attempt succeeded";
  EXPECT_EQ(m_server.CountRequests("/files/empty.cab"), 11u);
  EXPECT_EQ(fs::file_size(Local("empty.cab")), 0u);
  EXPECT_EQ(http.DownloadFile(m_folder, "missing.cab"), 0) << "a missing local file counts as empty";
  EXPECT_EQ(m_server.CountRequests("/files/missing.cab"), 11u);
}

}  // namespace
}  // namespace qrv
