// A hostile HTTP or FTP server drips bytes forever, sends replies that never
// end or more than any update file could be: the transport ends in bounded
// time, keeps nothing of a refused file and says why in the trace.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "tests/security/ServerTraceFixture.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/HttpTestServer.h"
#include "transfer/CQUpdateTransferFtp.h"
#include "transfer/CQUpdateTransferHttp.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using test::HttpTestServer;
using Fault = HttpTestServer::Fault;

// 256 KiB/s: an allowance of a quarter second, so every case ends fast.
constexpr uint32_t kFloorRate = 256 * 1024;
constexpr const char* kFtpUser = "updates";
constexpr const char* kFtpPassword = "ftp-pass-1";

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// An HTTP server on 127.0.0.1 that answers every connection with what its
// script writes: for replies no well-behaved server library makes (a length
// that lies, header lines without end). The script returns when it is done
// or the client has gone; stop is set when the server ends.
class ScriptedHttpServer {
 public:
  using Script = std::function<void(int fd, const std::atomic<bool>& stop)>;

  explicit ScriptedHttpServer(Script script) : m_script(std::move(script)) {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listen, 8) != 0 || ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~ScriptedHttpServer() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_listen >= 0) ::close(m_listen);
  }
  int Port() const { return m_port; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }

 private:
  void Serve() {
    while (!m_stop) {
      pollfd ready{m_listen, POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) continue;
      int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      std::string request;  // read up to its blank line
      char buffer[4096];
      for (pollfd in{client, POLLIN, 0}; request.find("\r\n\r\n") == std::string::npos;) {
        const ssize_t got = ::poll(&in, 1, 2000) > 0 ? ::recv(client, buffer, sizeof buffer, 0) : 0;
        if (got <= 0) break;
        request.append(buffer, static_cast<size_t>(got));
      }
      m_script(client, m_stop);
      ::close(client);
    }
  }

  Script m_script;
  int m_listen = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

class ServerLimitsTest : public test::ServerTraceFixture {
 protected:
  ServerLimitsTest() : ServerTraceFixture(kFloorRate) {}
  void SetUp() override {
    ServerTraceFixture::SetUp();
    ASSERT_GT(m_http.Port(), 0) << m_http.Error();
    m_main.SetString("ServerPath", m_http.ServiceUrl());
  }
  tagSERVERINFO FtpInfo(int port, const char* password = kFtpPassword) const {
    return tagSERVERINFO{kServerTypeFtp, static_cast<uint32_t>(port), "ftp://127.0.0.1", kFtpUser, password};
  }

  HttpTestServer m_http{m_root / "srv"};
};

// Left alone, these servers would keep a transfer going for an hour or for
// ever without ever pausing for a receive time-out; kEndedInTime tells an end
// by the floor rate (after its allowance of a second or so) from that with
// room for a slow machine.
constexpr auto kEndedInTime = std::chrono::seconds(15);

TEST_F(ServerLimitsTest, HttpServersThatDripOrNeverFinishTheirHeadersAreEndedInTime) {
  m_http.SetFault("/files/writer.cab", Fault::kDrip);
  m_http.SetFault("/files/calc.cab", Fault::kDripChunked);
  CQUpdateTransferHttp http(tagSERVERINFO{kServerTypeHttp, 0, m_http.ServiceUrl(), "", ""});
  for (const char* name : {"writer.cab", "calc.cab"}) {
    auto start = Clock::now();
    EXPECT_EQ(http.DownloadFile(m_folder.string(), name), 0) << name;
    EXPECT_LT(Clock::now() - start, kEndedInTime) << name;
    EXPECT_FALSE(fs::exists(m_folder / name)) << "nothing of a refused file is kept";
    EXPECT_EQ(m_http.CountRequests(std::string("/files/") + name), 1u) << "a refused file is not asked for again";
  }
  EXPECT_TRUE(Traced("calc.cab")) << Trace();
  EXPECT_TRUE(Traced("slower than the floor rate of 262144 bytes/s")) << Trace();

  // header lines that never end: no body ever starts, yet bytes keep coming
  ScriptedHttpServer flood([](int fd, const std::atomic<bool>& stop) {
    if (!SendAll(fd, "HTTP/1.1 200 OK\r\n")) return;
    const std::string line = "X-Padding: " + std::string(200, 'p') + "\r\n";
    while (!stop && SendAll(fd, line)) {
    }
  });
  ASSERT_GT(flood.Port(), 0);
  m_http.SetProductLocation("Flood", flood.Url());
  ASSERT_EQ(http.Prepare("Flood"), 1u) << http.LastFailure();
  auto start = Clock::now();
  EXPECT_EQ(http.DownloadFile(m_folder.string(), "flood.cab"), 0);
  EXPECT_LT(Clock::now() - start, kEndedInTime);
  EXPECT_FALSE(fs::exists(m_folder / "flood.cab"));
  EXPECT_TRUE(Traced("more than 262144 bytes of header lines or replies")) << Trace();
}

TEST_F(ServerLimitsTest, OversizedHttpBodiesAreRefusedRemovedAndNotFetchedAgain) {
  // 50 MB of update information, its length announced
  Sparse(m_root / "srv/qupdate_s.ini", off_t{50} << 20);
  CQUpdateTransferHttp http(tagSERVERINFO{kServerTypeHttp, 0, m_http.ServiceUrl(), "", ""});
  EXPECT_EQ(http.GetUpdateInfoFile(m_folder.string()), 0);
  EXPECT_FALSE(fs::exists(m_folder / "qupdate_s.ini"));
  EXPECT_TRUE(Traced("qupdate_s.ini")) << Trace();
  EXPECT_TRUE(Traced("larger than the limit of 1048576 bytes")) << Trace();
  EXPECT_EQ(http.GetUpdateInfoFile(m_folder.string()), 0);
  EXPECT_EQ(m_http.CountRequests("/files/qupdate_s.ini"), 1u) << "a body over its cap is not fetched again";
  EXPECT_TRUE(Traced("again in this run")) << Trace();

  // a product file sent without a length: stopped at the cap, removed
  test::WriteFile(m_root / "srv/Writer.ini", std::string(3 << 20, 'w'));
  m_http.SetFault("/files/Writer.ini", Fault::kChunkedFile);
  EXPECT_EQ(http.DownloadFile(m_folder.string(), "Writer.ini"), 0);
  EXPECT_FALSE(fs::exists(m_folder / "Writer.ini"));
  EXPECT_EQ(m_http.CountRequests("/files/Writer.ini"), 1u);

  // a length that lies: 500 bytes announced, megabytes sent chunked
  ScriptedHttpServer liar([](int fd, const std::atomic<bool>& stop) {
    if (!SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 500\r\nTransfer-Encoding: chunked\r\n\r\n")) return;
    const std::string chunk = "10000\r\n" + std::string(0x10000, 'l') + "\r\n";
    for (int i = 0; i < 48 && !stop; ++i) {
      if (!SendAll(fd, chunk)) return;
    }
    SendAll(fd, "0\r\n\r\n");
  });
  ASSERT_GT(liar.Port(), 0);
  m_http.SetProductLocation("Calc", liar.Url());
  ASSERT_EQ(http.Prepare("Calc"), 1u) << http.LastFailure();
  EXPECT_EQ(http.DownloadFile(m_folder.string(), "Calc.ini"), 0);
  EXPECT_FALSE(fs::exists(m_folder / "Calc.ini"));

  EXPECT_TRUE(fs::is_empty(m_folder)) << "nothing of any refused file, no temporary file";
}

TEST_F(ServerLimitsTest, FtpServersThatDripOrReplyForeverAreEndedInTime) {
  test::WriteFile(m_root / "srv/qupdate_s.ini", std::string(4000, 'q'));
  for (auto behaviour : {test::FtpTestServer::Behaviour::kDripData, test::FtpTestServer::Behaviour::kEndlessReplies}) {
    test::FtpTestServer ftpd(m_root / "srv", kFtpUser, kFtpPassword, behaviour);
    ASSERT_GT(ftpd.Port(), 0) << ftpd.Error();
    CQUpdateTransferFtp ftp(FtpInfo(ftpd.Port()));
    ASSERT_TRUE(ftp.IsLoggedIn()) << ftp.LastFailure();
    auto start = Clock::now();
    // Connect fetches qupdate_s.ini
    EXPECT_EQ(ftp.Connect(), 0u);
    EXPECT_LT(Clock::now() - start, kEndedInTime) << ftp.LastFailure();
    EXPECT_FALSE(fs::exists(m_folder / "qupdate_s.ini"));
    EXPECT_TRUE(fs::is_empty(m_folder)) << "no temporary file is left";
  }
  // The server that answers forever sends no byte: ended by the floor rate,
  // or, on a loaded machine, by the time that rate allows the whole file.
  EXPECT_TRUE(Traced("slower than the floor rate of 262144 bytes/s: 0 bytes") ||
              Traced("(0 bytes arrived; floor rate 262144 bytes/s)"))
      << Trace();
  EXPECT_TRUE(Traced("the server said: 150-")) << Trace();
}

TEST_F(ServerLimitsTest, FtpRefusalsAreNamedInTheTrace) {
  Sparse(m_root / "srv/qupdate_s.ini", off_t{50} << 20);
  test::FtpTestServer ftpd(m_root / "srv", kFtpUser, kFtpPassword);
  ASSERT_GT(ftpd.Port(), 0) << ftpd.Error();

  // a wrong password: the trace says the login was refused, and by whom
  CQUpdateTransferFtp wrong(FtpInfo(ftpd.Port(), "not-the-password"));
  EXPECT_EQ(wrong.Connect(), 0u);
  EXPECT_TRUE(Traced("cannot log in as \"updates\" on FTP server 127.0.0.1:" + std::to_string(ftpd.Port())))
      << Trace();
  EXPECT_TRUE(Traced("the server said: 530")) << Trace();
  EXPECT_FALSE(Traced("not-the-password")) << "never a password in the trace";

  // 50 MB of update information: refused by its announced size, never again this run
  CQUpdateTransferFtp ftp(FtpInfo(ftpd.Port()));
  EXPECT_EQ(ftp.Connect(), 0u);
  EXPECT_TRUE(Traced("larger than the limit of 1048576 bytes")) << Trace();
  size_t asked = ftpd.Log().size();
  EXPECT_EQ(ftp.Connect(), 0u);
  EXPECT_TRUE(Traced("again in this run")) << Trace();
  EXPECT_EQ(ftpd.Log().size(), asked) << "no second request reached the server: " << ftpd.Log();
  EXPECT_TRUE(fs::is_empty(m_folder));
}

}  // namespace
}  // namespace qrv
