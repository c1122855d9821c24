#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
  void TearDown() override {
    Stop();
    PublishFixture::TearDown();
  }
  // Starts the server on srv/ and waits up to 10 s for the port it prints.
  void Start() {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (m_root / "serve.log").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args{QRVPUBLISH_PATH, "serve", (m_root / "srv").string(), "--port", "0"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&m_pid, QRVPUBLISH_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    ASSERT_EQ(rc, 0);
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char c[64];
      const ssize_t n = read(out[0], c, sizeof c);
      if (n <= 0) break;
      line.append(c, static_cast<size_t>(n));
    }
    close(out[0]);
    m_port = std::atoi(line.c_str());
    ASSERT_GT(m_port, 0) << "no port printed: \"" << line << "\"";
  }
  // SIGTERM, then the exit status (-1 when none was running).
  int Stop() {
    if (m_pid <= 0) return -1;
    kill(m_pid, SIGTERM);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int Get(const std::string& target, std::string& body) const {
    std::string error;
    const int status = DemoTreeGet(m_port, target, body, error);
    EXPECT_TRUE(error.empty()) << error;
    return status;
  }

  pid_t m_pid = -1;
  int m_port = 0;
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
  ASSERT_NO_FATAL_FAILURE(Start());

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
  EXPECT_EQ(Stop(), 0);
}

}  // namespace
}  // namespace qrv::test
