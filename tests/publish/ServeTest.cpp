#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/tagSERVERINFO.h"
#include "tests/publish/PublishFixture.h"
#include "tests/support/DemoTreeServer.h"

extern char** environ;

namespace qrv::test {
namespace {

namespace fs = std::filesystem;

// "qrvpublish serve" run for real on a port the kernel picks, and the real
// client updating from it.
class ServeTest : public PublishFixture {
 protected:
  int Get(const std::string& target, std::string& body) const {
    std::string error;
    const int status = DemoTreeGet(m_port, target, body, error);
    EXPECT_TRUE(error.empty()) << error;
    return status;
  }
};

TEST_F(ServeTest, ClientUpdatesFromTheServedTreeAndNothingOutsideItIsServed) {
  Source("release.toml", R"(
[[product]]
key = "Writer"
version = "7.0"
level = 7
  [[product.feature]]
  name = "Writer"
  source = "src/writer"
)");
  Source("src/writer/bin/writer.txt", "writer 7");
  Installed("Writer", "Qorvane Writer");
  const ProcessResult built = Build(Release() / "release.toml", m_root / "srv");
  ASSERT_EQ(built.exitCode, 0) << built.err;
  WriteFile(m_root / "secret.txt", "outside the tree");
  fs::create_symlink(m_root / "secret.txt", m_root / "srv/linked.txt");
  ASSERT_NO_FATAL_FAILURE(StartServer());

  /* the service reply names the tree; the tree's files are there, nothing else */
  std::string body;
  EXPECT_EQ(Get("/any/AUpdate70.jsp?product=Tarnsoft&pidkey=&productversion=5&lastupdate=", body), 200);
  EXPECT_EQ(body, "<html><body><$URL_DOWNLOAD$>http://127.0.0.1:" + std::to_string(m_port) +
                      "/updates/<$/URL_DOWNLOAD$></body></html>\r\n");
  EXPECT_EQ(Get("/updates/qupdate_s.ini", body), 200);
  EXPECT_EQ(body, ReadFile(m_root / "srv/qupdate_s.ini"));
  EXPECT_EQ(Get("/updates/Writer.ini.p7s", body), 200);
  EXPECT_EQ(body, ReadFile(m_root / "srv/Writer.ini.p7s")) << "a signature arrives byte for byte";
  EXPECT_EQ(Get("/updates/../secret.txt", body), 404);
  EXPECT_EQ(Get("/updates/%2e%2e/secret.txt", body), 404);
  EXPECT_EQ(Get("/updates/linked.txt", body), 404);
  EXPECT_EQ(Get("/secret.txt", body), 404);

  /* the real client */
  m_main.SetDword("ServerType", kServerTypeHttp);
  m_main.SetString("ServerPath", "http://127.0.0.1:" + std::to_string(m_port) + "/svc/AUpdate70.jsp");
  const ProcessResult run = RunClient();
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(Version("Writer"), 7u);
  EXPECT_EQ(ReadFile(Install("Writer") / "bin/writer.txt"), "writer 7");
  EXPECT_NE(ReadFile(m_root / "serve.log").find("GET /updates/Writer/Writer.cab 200"), std::string::npos)
      << ReadFile(m_root / "serve.log");
  EXPECT_EQ(StopServer(), 0);
}

}  // namespace
}  // namespace qrv::test
