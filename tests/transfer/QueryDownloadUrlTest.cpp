#include "transfer/QueryDownloadUrl.h"

#include <gtest/gtest.h>

#include <string>

#include "config/CQUpdateUtilRegistry.h"
#include "platform/core/LastError.h"
#include "platform/registry/RegistryKey.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/SandboxRoot.h"
#include "transfer/CQUpdateWebServer.h"

namespace qrv {
namespace {

using test::HttpTestServer;
using Fault = HttpTestServer::Fault;

class QueryDownloadUrlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(m_server.Port(), 0) << m_server.Error();
    ASSERT_EQ(platform::RegistryKey::Create(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, m_main),
              platform::RegStatus::kOk);
  }
  // The query string of the last request the service received.
  std::string LastQuery() const {
    auto requests = m_server.Requests();
    if (requests.empty()) return "(no request)";
    const std::string& target = requests.back().target;
    size_t q = target.find('?');
    return q == std::string::npos ? target : target.substr(q);
  }
  void SetProductVersion(const std::string& product, uint32_t version) {
    platform::RegistryKey key;
    ASSERT_EQ(m_main.CreateSubKey(product, key), platform::RegStatus::kOk);
    key.SetDword("ProductVersion", version);
  }

  test::SandboxRoot m_root;
  HttpTestServer m_server{m_root / "srv"};
  platform::RegistryKey m_main;
};

TEST_F(QueryDownloadUrlTest, QueryCarriesTheStoredVersionAndDate) {
  // neither value stored: both parameters present and empty
  EXPECT_EQ(QueryDownloadUrl(m_server.ServiceUrl(), "Tarnsoft", ""), m_server.FilesUrl())
      << platform::LastError::Text();
  EXPECT_EQ(LastQuery(), "?product=Tarnsoft&pidkey=&productversion=&lastupdate=");
  EXPECT_EQ(m_server.Requests().back().path, "/svc/AUpdate70.jsp");

  SetProductVersion("Tarnsoft", 7);
  m_main.SetDword("LastUpdate", 20240131);
  QueryDownloadUrl(m_server.ServiceUrl(), "Tarnsoft", "");
  EXPECT_EQ(LastQuery(), "?product=Tarnsoft&pidkey=&productversion=7&lastupdate=20240131");

  // signed, and cut to eight characters
  SetProductVersion("Writer", static_cast<uint32_t>(-5));
  m_main.SetDword("LastUpdate", 123456789);
  QueryDownloadUrl(m_server.ServiceUrl(), "Writer", "WR-1");
  EXPECT_EQ(LastQuery(), "?product=Writer&pidkey=WR-1&productversion=-5&lastupdate=12345678");

  // values that would break the query arrive as themselves
  QueryDownloadUrl(m_server.ServiceUrl(), "Writer", "A B&C=D");
  EXPECT_EQ(LastQuery(), "?product=Writer&pidkey=A%20B%26C%3DD&productversion=-5&lastupdate=12345678");

  // at most 259 characters of query, never half an escape
  QueryDownloadUrl(m_server.ServiceUrl(), "Writer", std::string(300, ' '));
  std::string query = LastQuery();
  EXPECT_LE(query.size(), 259u);
  EXPECT_GE(query.size(), 257u);
  EXPECT_EQ(query.substr(query.size() - 3), "%20");

  // an empty server path falls back to the default one
  m_main.SetString("QrvServerPath", m_server.ServiceUrl());
  m_server.ClearRequests();
  EXPECT_EQ(QueryDownloadUrl("", "Tarnsoft", ""), m_server.FilesUrl());
  EXPECT_EQ(m_server.Requests().size(), 1u);
}

TEST_F(QueryDownloadUrlTest, LocationIsTakenFromBetweenTheMarkers) {
  struct Case {
    const char* reply;
    const char* location;
  };
  for (const Case& c : {
           Case{"<$URL_DOWNLOAD$>\r\nhttp://dl/x/\r\n<$/URL_DOWNLOAD$>\r\n", "http://dl/x/"},  // split over lines
           Case{"<$URL_DOWN\nLOAD$>http://dl/y/<$/URL_DOWNLOAD$>", "http://dl/y/"},           // even a marker
           Case{"a<$URL_DOWNLOAD$>  http://dl/z/ <$/URL_DOWNLOAD$>b<$/URL_DOWNLOAD$>", "http://dl/z/"},
           Case{"only <$/URL_DOWNLOAD$> here", ""},
           Case{"<$/URL_DOWNLOAD$>http://dl/<$URL_DOWNLOAD$>", ""},  // closing marker first
           Case{"<$URL_DOWNLOAD$>http://dl/", ""},
           Case{"<html>maintenance</html>", ""},
           Case{"", ""},
       }) {
    m_server.SetServiceReply(c.reply);
    EXPECT_EQ(QueryDownloadUrl(m_server.ServiceUrl(), "Tarnsoft", ""), c.location) << c.reply;
  }

  m_server.SetServiceReply("a\r\nb\nc\r\n\r\nd");
  CQUpdateWebServer web(m_server.ServiceUrl());
  EXPECT_EQ(web.Request(), 1);
  EXPECT_EQ(web.GetReply(), "abcd");
  m_server.SetServiceReply("\r\n\n");
  EXPECT_EQ(web.Request(), 0) << "nothing but line breaks is an empty reply";
}

TEST_F(QueryDownloadUrlTest, BadServicesGiveNoLocation) {
  const std::string service = "/svc/AUpdate70.jsp";
  for (Fault fault : {Fault::kNotFound, Fault::kServerError, Fault::kEmptyBody, Fault::kCutShort}) {
    m_server.SetFault(service, fault);
    EXPECT_EQ(QueryDownloadUrl(m_server.ServiceUrl(), "Tarnsoft", ""), "") << static_cast<int>(fault);
    EXPECT_FALSE(platform::LastError::Text().empty());
  }

  // a reply of megabytes: reading stops at 1 MiB
  m_server.SetFault(service, Fault::kHugeNoMarkers);
  EXPECT_EQ(QueryDownloadUrl(m_server.ServiceUrl(), "Tarnsoft", ""), "");
  EXPECT_NE(platform::LastError::Text().find("1048576"), std::string::npos) << platform::LastError::Text();
  EXPECT_LT(m_server.HugeBytesSent(), uint64_t{32} << 20) << "the client hung up instead of reading on";

  // malformed server paths: no crash, no location, no request
  m_server.ClearRequests();
  for (const char* path : {"http://bad host/AUpdate70.jsp", "not a url", "http://[::1/AUpdate70.jsp", "gopher://x/"}) {
    EXPECT_EQ(QueryDownloadUrl(path, "Tarnsoft", ""), "") << path;
  }
  EXPECT_TRUE(m_server.Requests().empty());
  EXPECT_EQ(QueryDownloadUrl("", "Tarnsoft", ""), "") << "no server path and no default";
}

}  // namespace
}  // namespace qrv
