#include "platform/net/HttpClient.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/core/LastError.h"
#include "platform/net/UrlEncoding.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

namespace fs = std::filesystem;
using test::HttpTestServer;
using Fault = HttpTestServer::Fault;
using Clock = std::chrono::steady_clock;

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(m_server.Port(), 0) << m_server.Error();
    fs::create_directories(m_out);
    test::WriteFile(m_root / "srv/a.bin", "new content");
  }
  std::string Url(const std::string& name) const { return m_server.FilesUrl() + name; }
  std::string Out(const std::string& name) const { return (m_out / name).string(); }

  test::SandboxRoot m_root;
  fs::path m_out = m_root / "out";
  HttpTestServer m_server{m_root / "srv"};
};

TEST(UrlEncoding, EncodesAllButUnreservedBytes) {
  EXPECT_EQ(UrlEncoding::EncodePath("sub/file name#1?.cab"), "sub/file%20name%231%3F.cab");
  EXPECT_EQ(UrlEncoding::EncodePath("100%.cab"), "100%25.cab") << "a percent sign is never taken for an escape";
  EXPECT_EQ(UrlEncoding::EncodePath("\xC3\xBC/a+b;c~d_e-f.g"), "%C3%BC/a%2Bb%3Bc~d_e-f.g");
  EXPECT_EQ(UrlEncoding::EncodeQueryValue("a/b&c=d e"), "a%2Fb%26c%3Dd%20e");
  EXPECT_EQ(UrlEncoding::EncodeQueryValue("WR-1.2_x~"), "WR-1.2_x~");
}

TEST_F(HttpClientTest, LocalFileIsReplacedOnlyAfterASuccessfulStatus) {
  HttpClient client;
  test::WriteFile(Out("a.bin"), "old");

  // error statuses: nothing created, an existing file untouched
  EXPECT_FALSE(client.GetToFile(Url("missing.bin"), Out("missing.bin")));
  EXPECT_EQ(client.LastStatus(), 404u);
  EXPECT_NE(LastError::Text().find(Url("missing.bin")), std::string::npos) << LastError::Text();
  EXPECT_NE(LastError::Text().find("404"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(fs::exists(Out("missing.bin")));
  for (Fault fault : {Fault::kNotFound, Fault::kServerError}) {
    m_server.SetFault("/files/a.bin", fault);
    EXPECT_FALSE(client.GetToFile(Url("a.bin"), Out("a.bin")));
    EXPECT_EQ(test::ReadFile(Out("a.bin")), "old");
  }
  EXPECT_EQ(client.LastStatus(), 500u);

  // success: the body, and caches bypassed on the way
  m_server.SetFault("/files/a.bin", Fault::kNone);
  EXPECT_TRUE(client.GetToFile(Url("a.bin"), Out("a.bin"))) << LastError::Text();
  EXPECT_EQ(client.LastStatus(), 200u);
  EXPECT_EQ(test::ReadFile(Out("a.bin")), "new content");
  EXPECT_EQ(m_server.Requests().back().cacheControl, "no-cache");

  // an empty body still makes the (empty) file
  m_server.SetFault("/files/a.bin", Fault::kEmptyBody);
  EXPECT_TRUE(client.GetToFile(Url("a.bin"), Out("a.bin"))) << LastError::Text();
  EXPECT_EQ(fs::file_size(Out("a.bin")), 0u);

  // a symbolic link at the target is replaced, never written through
  m_server.SetFault("/files/a.bin", Fault::kNone);
  test::WriteFile(m_root / "victim", "keep");
  fs::create_symlink(m_root / "victim", Out("link.bin"));
  EXPECT_TRUE(client.GetToFile(Url("a.bin"), Out("link.bin")));
  EXPECT_FALSE(fs::is_symlink(Out("link.bin")));
  EXPECT_EQ(test::ReadFile(m_root / "victim"), "keep");
}

TEST_F(HttpClientTest, RedirectsAreFollowedAndBounded) {
  HttpClient client;
  m_server.SetFault("/files/old.bin", Fault::kRedirect, "/files/a.bin");
  EXPECT_TRUE(client.GetToFile(Url("old.bin"), Out("old.bin"))) << LastError::Text();
  EXPECT_EQ(test::ReadFile(Out("old.bin")), "new content");
  EXPECT_EQ(m_server.CountRequests("/files/a.bin"), 1u);

  m_server.SetFault("/files/loop.bin", Fault::kRedirect, "/files/loop.bin");
  EXPECT_FALSE(client.GetToFile(Url("loop.bin"), Out("loop.bin")));
  EXPECT_NE(LastError::Text().find("redirect"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(fs::exists(Out("loop.bin"))) << "no reply was final, so nothing was created";
  EXPECT_EQ(m_server.CountRequests("/files/loop.bin"), 11u) << "the first request and ten redirects";

  // A server must not send us to local files or other protocols.
  for (const char* target : {"file:///etc/passwd", "ftp://127.0.0.1/x.bin", "gopher://127.0.0.1/x"}) {
    m_server.SetFault("/files/away.bin", Fault::kRedirect, target);
    EXPECT_FALSE(client.GetToFile(Url("away.bin"), Out("away.bin"))) << target;
    EXPECT_FALSE(fs::exists(Out("away.bin"))) << target;
  }
}

TEST_F(HttpClientTest, BrokenTransfersFailInTime) {
  HttpClient client;

  m_server.SetFault("/files/short.bin", Fault::kCutShort);
  EXPECT_FALSE(client.GetToFile(Url("short.bin"), Out("short.bin")));
  EXPECT_EQ(fs::file_size(Out("short.bin")), 1000u) << "the part received stays";

  m_server.SetFault("/files/stall.bin", Fault::kStall);
  auto start = Clock::now();
  EXPECT_FALSE(client.GetToFile(Url("stall.bin"), Out("stall.bin")));
  auto elapsed = Clock::now() - start;
  // the server holds its stall for 10 s: an end well before that is the
  // client's own time-out, on a slow machine too
  EXPECT_GE(elapsed, std::chrono::milliseconds(550));
  EXPECT_LT(elapsed, std::chrono::seconds(5)) << "a stall fails at the 600 ms time-out, not when the server gives up";
  EXPECT_NE(LastError::Text().find("no data received for 600 ms"), std::string::npos) << LastError::Text();

  // the same client still works after its failures
  EXPECT_TRUE(client.GetToFile(Url("a.bin"), Out("a.bin"))) << LastError::Text();

  test::LoopbackPort closed;
  ASSERT_GT(closed.Port(), 0) << closed.Error();
  std::string refused = "http://127.0.0.1:" + std::to_string(closed.Port()) + "/a.bin";
  EXPECT_FALSE(client.GetToFile(refused, Out("refused.bin")));
  EXPECT_EQ(client.LastStatus(), 0u);
  EXPECT_NE(LastError::Text().find(refused), std::string::npos) << LastError::Text();
  EXPECT_FALSE(fs::exists(Out("refused.bin")));

  // malformed or foreign URLs fail before any traffic
  size_t before = m_server.Requests().size();
  for (const std::string& bad : {std::string(), std::string("http://bad host/a.bin"), Url("a b.bin"),
                                 Url("a\r\nX-Injected: 1"), std::string("http://[::1/a.bin"),
                                 std::string("file:///etc/passwd"), std::string("ftp://127.0.0.1/a.bin")}) {
    EXPECT_FALSE(client.GetToFile(bad, Out("bad.bin"))) << bad;
    EXPECT_FALSE(LastError::Text().empty()) << bad;
  }
  EXPECT_FALSE(fs::exists(Out("bad.bin")));
  EXPECT_EQ(m_server.Requests().size(), before);
}

TEST_F(HttpClientTest, DrippingBodiesEndAtTheFloorRateAndLeaveNothing) {
  // 256 KiB/s: an allowance of a quarter second; a byte every 50 ms never
  // stalls the 600 ms receive time-out, and never keeps up. Left alone the
  // drips would last an hour (64 KiB at 20 bytes/s) or for ever; the bound
  // only tells an end by the floor rate from that, so a slow machine meets it.
  HttpClient::Options options;
  options.floorRate = 256 * 1024;
  HttpClient client(options);
  m_server.SetFault("/files/drip.bin", Fault::kDrip);
  m_server.SetFault("/files/endless.bin", Fault::kDripChunked);
  for (const char* name : {"drip.bin", "endless.bin"}) {
    auto start = Clock::now();
    EXPECT_FALSE(client.GetToFile(Url(name), Out(name))) << name;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15)) << name;
    EXPECT_EQ(client.LastLimit(), LimitHit::kTime) << name;
    EXPECT_NE(LastError::Text().find("floor rate of 262144 bytes/s"), std::string::npos) << LastError::Text();
    EXPECT_FALSE(fs::exists(Out(name))) << "a refused transfer leaves no part behind";
  }
  std::string body;
  EXPECT_FALSE(client.GetToMemory(Url("endless.bin"), 1 << 20, body));
  EXPECT_EQ(client.LastLimit(), LimitHit::kTime);

  // the same client, at that floor, still fetches a real file; a failure
  // that is no limit says so
  EXPECT_TRUE(client.GetToFile(Url("a.bin"), Out("a.bin"))) << LastError::Text();
  EXPECT_EQ(client.LastLimit(), LimitHit::kNone);
  EXPECT_FALSE(client.GetToFile(Url("missing.bin"), Out("missing.bin")));
  EXPECT_EQ(client.LastLimit(), LimitHit::kNone);
}

TEST_F(HttpClientTest, SizeLimitsStopTheTransfer) {
  test::WriteFile(m_root / "srv/big.bin", std::string(1000, 'b'));
  test::WriteFile(Out("big.bin"), "old");
  HttpClient client;
  client.SetMaxFileBytes(100);

  // announced length over the cap: refused before the file is touched
  EXPECT_FALSE(client.GetToFile(Url("big.bin"), Out("big.bin")));
  EXPECT_NE(LastError::Text().find("100 bytes"), std::string::npos) << LastError::Text();
  EXPECT_EQ(test::ReadFile(Out("big.bin")), "old");

  EXPECT_EQ(client.LastLimit(), LimitHit::kSize);

  // no length announced: stopped at the cap, the partial file removed
  m_server.SetFault("/files/big.bin", Fault::kChunkedFile);
  EXPECT_FALSE(client.GetToFile(Url("big.bin"), Out("big.bin")));
  EXPECT_EQ(client.LastLimit(), LimitHit::kSize);
  EXPECT_FALSE(fs::exists(Out("big.bin")));
  client.SetMaxFileBytes(1000);
  EXPECT_TRUE(client.GetToFile(Url("big.bin"), Out("big.bin"))) << "exactly at the cap is allowed";

  std::string body = "stale";
  EXPECT_FALSE(client.GetToMemory(Url("big.bin"), 999, body));
  EXPECT_TRUE(body.empty());
  EXPECT_TRUE(client.GetToMemory(Url("big.bin"), 1000, body));
  EXPECT_EQ(body.size(), 1000u);
}

TEST_F(HttpClientTest, OneConnectionServesARunAndProxiesComeFromTheEnvironment) {
  HttpClient client;
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(client.GetToFile(Url("a.bin"), Out("a.bin")));
  std::string body;
  EXPECT_TRUE(client.GetToMemory(Url("a.bin"), 100, body));
  auto requests = m_server.Requests();
  ASSERT_EQ(requests.size(), 4u);
  for (const auto& r : requests) EXPECT_EQ(r.remotePort, requests.front().remotePort) << "connection reused";

  // http_proxy names a second loopback server, which must receive the request
  HttpTestServer proxy(m_root / "proxy");
  ASSERT_GT(proxy.Port(), 0);
  ::setenv("http_proxy", proxy.BaseUrl().c_str(), 1);
  ::setenv("no_proxy", "", 1);
  ::setenv("NO_PROXY", "", 1);
  HttpClient viaProxy;
  viaProxy.GetToFile(Url("a.bin"), Out("proxied.bin"));
  ::unsetenv("http_proxy");
  ::setenv("no_proxy", "127.0.0.1,localhost,::1", 1);
  ::setenv("NO_PROXY", "127.0.0.1,localhost,::1", 1);
  ASSERT_EQ(proxy.Requests().size(), 1u);
  EXPECT_EQ(proxy.Requests().front().target, Url("a.bin")) << "absolute target, as sent to a proxy";
  EXPECT_EQ(m_server.Requests().size(), 4u) << "nothing went to the server directly";
}

TEST_F(HttpClientTest, UntrustedHttpsServerIsRefused) {
  std::string cert = (m_root / "cert.pem").string();
  std::string key = (m_root / "key.pem").string();
  auto made = test::RunProcess("/usr/bin/openssl",
                               {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                                "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                                "subjectAltName=IP:127.0.0.1"});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  HttpTestServer tls(m_root / "srv", HttpTestServer::TlsFiles{cert, key});
  ASSERT_GT(tls.Port(), 0) << tls.Error();

  HttpClient client;
  EXPECT_FALSE(client.GetToFile(tls.FilesUrl() + "a.bin", Out("tls.bin")));
  EXPECT_NE(LastError::Text().find("certificate"), std::string::npos) << LastError::Text();
  EXPECT_FALSE(fs::exists(Out("tls.bin")));
  EXPECT_TRUE(tls.Requests().empty()) << "no request is sent to an unverified server";
}

}  // namespace
}  // namespace qrv::platform
