#include "platform/net/FtpClient.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/core/LastError.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/SandboxRoot.h"

namespace qrv::platform {
namespace {

namespace fs = std::filesystem;

// Names and passwords that would break a URL if they went into one.
constexpr const char* kUser = "up:load@qrv";
constexpr const char* kPassword = "-p@ss w/rd:%;#";

size_t EntriesIn(const fs::path& folder) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++n;
  return n;
}

class FtpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(m_root / "srv/sub/file name.bin", "remote bytes");
    test::WriteFile(m_root / "srv/big.bin", std::string(1000, 'b'));
    fs::create_directories(m_out);
    m_server = std::make_unique<test::FtpTestServer>(m_root / "srv", kUser, kPassword);
    ASSERT_GT(m_server->Port(), 0) << m_server->Error();
  }
  std::string Out(const std::string& name) const { return (m_out / name).string(); }

  test::SandboxRoot m_root;
  fs::path m_out = m_root / "out";
  std::unique_ptr<test::FtpTestServer> m_server;
};

TEST_F(FtpClientTest, OneLoginServesEveryFileAndFailuresKeepTheLocalFile) {
  FtpClient client("127.0.0.1", static_cast<uint32_t>(m_server->Port()), kUser, kPassword);
  ASSERT_TRUE(client.IsUsable());
  ASSERT_TRUE(client.Login()) << LastError::Text();
  EXPECT_TRUE(client.Retrieve("sub/file name.bin", Out("a.bin"))) << LastError::Text();
  EXPECT_EQ(test::ReadFile(Out("a.bin")), "remote bytes");
  EXPECT_TRUE(client.Retrieve("big.bin", Out("big.bin"))) << LastError::Text();
  EXPECT_EQ(fs::file_size(Out("big.bin")), 1000u);

  // a link at the target is replaced, never written through, and the file
  // gets what a plain create under the umask of the moment gives
  test::WriteFile(m_root / "victim", "mine");
  fs::create_symlink(m_root / "victim", Out("linked.bin"));
  const mode_t oldMask = ::umask(027);
  EXPECT_TRUE(client.Retrieve("big.bin", Out("linked.bin"))) << LastError::Text();
  ::umask(oldMask);
  EXPECT_FALSE(fs::is_symlink(Out("linked.bin")));
  EXPECT_EQ(test::ModeOf(Out("linked.bin")), 0640u);
  EXPECT_EQ(test::ReadFile(m_root / "victim"), "mine");
  fs::remove(Out("linked.bin"));

  // a file missing on the server: the local copy stays, no temporary file is left
  EXPECT_FALSE(client.Retrieve("sub/missing.bin", Out("a.bin")));
  EXPECT_NE(LastError::Text().find("sub/missing.bin"), std::string::npos) << LastError::Text();
  EXPECT_EQ(test::ReadFile(Out("a.bin")), "remote bytes");

  // over the cap: refused the same way
  client.SetMaxFileBytes(100);
  EXPECT_FALSE(client.Retrieve("big.bin", Out("a.bin")));
  EXPECT_NE(LastError::Text().find("100 bytes"), std::string::npos) << LastError::Text();
  EXPECT_EQ(test::ReadFile(Out("a.bin")), "remote bytes");
  EXPECT_EQ(EntriesIn(m_out), 2u) << "only a.bin and big.bin";

  // a local folder that does not exist, an absolute remote path
  EXPECT_FALSE(client.Retrieve("big.bin", Out("nofolder/big.bin")));
  EXPECT_FALSE(client.Retrieve("/big.bin", Out("abs.bin")));

  EXPECT_EQ(m_server->LoginCount(), 1) << m_server->Log();
}

TEST_F(FtpClientTest, DrippingDataAndEndlessRepliesEndInBoundedTime) {
  // 64 KiB/s: an allowance of one second. Neither server ever pauses for the
  // 30 s receive time-out, so an end well before it (on a slow machine too)
  // is the floor rate's.
  FtpClient::Options options;
  options.floorRate = 64 * 1024;
  for (auto behaviour : {test::FtpTestServer::Behaviour::kDripData, test::FtpTestServer::Behaviour::kEndlessReplies}) {
    test::FtpTestServer server(m_root / "srv", kUser, kPassword, behaviour);
    ASSERT_GT(server.Port(), 0) << server.Error();
    FtpClient client("127.0.0.1", static_cast<uint32_t>(server.Port()), kUser, kPassword, options);
    ASSERT_TRUE(client.Login()) << LastError::Text();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Retrieve("big.bin", Out("big.bin")));
    EXPECT_LT(std::chrono::steady_clock::now() - start, options.receiveTimeout / 2) << LastError::Text();
    EXPECT_NE(client.LastLimit(), LimitHit::kNone) << LastError::Text();
    EXPECT_NE(LastError::Text().find("big.bin"), std::string::npos) << LastError::Text();
    EXPECT_FALSE(fs::exists(Out("big.bin")));
    EXPECT_EQ(EntriesIn(m_out), 0u) << "no temporary file is left";
  }
}

TEST_F(FtpClientTest, RefusedLoginsAndBadAddressesFail) {
  uint32_t port = static_cast<uint32_t>(m_server->Port());
  // demanding TLS from a server without it: refused before the user name is sent
  FtpClient::Options tls;
  tls.requireTls = true;
  FtpClient secure("127.0.0.1", port, kUser, kPassword, tls);
  EXPECT_FALSE(secure.Login());
  EXPECT_EQ(m_server->Log().find("USER"), std::string::npos) << m_server->Log();

  FtpClient wrong("127.0.0.1", port, kUser, "not the password");
  EXPECT_FALSE(wrong.Login());
  EXPECT_NE(LastError::Text().find(kUser), std::string::npos) << LastError::Text();
  EXPECT_NE(LastError::Text().find("the server said: 530"), std::string::npos) << LastError::Text();
  EXPECT_EQ(LastError::Text().find("not the password"), std::string::npos) << "never show a password";

  for (const char* host : {"", "bad host", "evil@127.0.0.1", "127.0.0.1/x", "127.0.0.1:21", "[::1", "a?b"}) {
    FtpClient bad(host, port, kUser, kPassword);
    EXPECT_FALSE(bad.IsUsable()) << host;
    EXPECT_FALSE(bad.Login()) << host;
  }
  EXPECT_FALSE(FtpClient("127.0.0.1", 70000, kUser, kPassword).IsUsable());
  EXPECT_EQ(FtpClient("::1", 0, kUser, kPassword).Endpoint(), "ftp://[::1]:21/");

}

}  // namespace
}  // namespace qrv::platform
