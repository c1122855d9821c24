#include "tests/support/FtpTestServer.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/core/TempFolder.h"

namespace qrv::test {
namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kStartLine = "starting FTP server on 127.0.0.1:";

// pyftpdlib with a handler that misbehaves: argv = folder user password mode.
// "drip": the data channel sends single bytes, at most 8 a second; "endless":
// RETR gets "150-" continuation lines until the client hangs up.
constexpr const char* kMisbehavingServer = R"(
import sys, time
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer

folder, user, password, mode = sys.argv[1:5]
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, folder, perm="elr")

class Dripping(ThrottledDTPHandler):
    write_limit = 8
    ac_out_buffer_size = 1

class Endless(FTPHandler):
    def ftp_RETR(self, file):
        try:
            while True:
                self.socket.sendall(b"150-the file is being prepared, please wait\r\n")
                time.sleep(0.002)
        except OSError:
            self.close()

handler = Endless if mode == "endless" else FTPHandler
handler.authorizer = authorizer
if mode == "drip":
    handler.dtp_handler = Dripping
FTPServer(("127.0.0.1", 0), handler).serve_forever()
)";

bool HasExited(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == pid;
}

}  // namespace

FtpTestServer::FtpTestServer(const std::filesystem::path& folder, const std::string& user,
                             const std::string& password) {
  // "--name=value" so that a password starting with '-' is not an option
  Start({kPython, "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", "0", "--username=" + user,
         "--password=" + password, "-d", folder.string()});
}

FtpTestServer::FtpTestServer(const std::filesystem::path& folder, const std::string& user,
                             const std::string& password, Behaviour behaviour) {
  const char* mode = behaviour == Behaviour::kDripData ? "drip" : behaviour == Behaviour::kEndlessReplies ? "endless" : "normal";
  Start({kPython, "-c", kMisbehavingServer, folder.string(), user, password, mode});
}

void FtpTestServer::Start(const std::vector<std::string>& serverArgs) {
  // A proxy named in the environment (ftp_proxy) must never see loopback test traffic.
  ::setenv("no_proxy", "127.0.0.1,localhost,::1", 1);
  ::setenv("NO_PROXY", "127.0.0.1,localhost,::1", 1);
  std::string logTemplate = platform::TempFolder::Get() + "qrv-ftpd-XXXXXX";
  int logFd = ::mkostemp(logTemplate.data(), O_CLOEXEC);
  if (logFd < 0) {
    m_error = "cannot create a log file " + logTemplate + ": " + std::strerror(errno);
    return;
  }
  m_logPath = logTemplate;

  std::vector<std::string> args = serverArgs;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);

  /* the server: exec'd directly, dies with us */
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid == 0) {
    // only async-signal-safe calls between fork and exec
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(devNull, 0);
    ::dup2(logFd, 1);
    ::dup2(logFd, 2);
    ::close_range(3, ~0U, 0);
    ::execv(kPython, argv.data());
    ::_exit(127);
  }
  ::close(logFd);
  if (devNull >= 0) ::close(devNull);
  if (pid < 0) {
    m_error = std::string("cannot start ") + kPython + ": " + std::strerror(errno);
    return;
  }
  m_pid = pid;

  /* its port, from its start-up line */
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    std::string log = Log();
    size_t at = log.find(kStartLine);
    if (at != std::string::npos) {
      m_port = std::atoi(log.c_str() + at + std::strlen(kStartLine));
      if (m_port > 0) return;
    }
    if (HasExited(m_pid)) {
      m_pid = -1;
      m_error = "the FTP server ended at start-up: " + log;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  m_error = "the FTP server did not start within 20 s: " + Log();
  Stop();
}

FtpTestServer::~FtpTestServer() {
  Stop();
  if (!m_logPath.empty()) ::unlink(m_logPath.c_str());
}

void FtpTestServer::Stop() {
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGTERM);
  for (int i = 0; i < 150; ++i) {
    if (HasExited(m_pid)) {
      m_pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(m_pid, SIGKILL);
  int status = 0;
  ::waitpid(m_pid, &status, 0);
  m_pid = -1;
}

std::string FtpTestServer::Log() const {
  std::ifstream in(m_logPath, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int FtpTestServer::LoginCount() const {
  std::string log = Log();
  int count = 0;
  for (size_t at = log.find(" logged in."); at != std::string::npos; at = log.find(" logged in.", at + 1)) ++count;
  return count;
}

}  // namespace qrv::test
