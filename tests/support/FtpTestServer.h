#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qrv::test {

// A real FTP server on 127.0.0.1: Debian's pyftpdlib, run as
//   /usr/bin/python3 -m pyftpdlib -i 127.0.0.1 -p PORT --username=U --password=P -d FOLDER
// serving folder (read-only) to one user. The kernel chooses the port (PORT
// is 0, never a fixed number); it is read from the server's start-up line in
// its log.
//
// The server is this object's child process (exec'd directly, so the id we
// hold is the server's own). The destructor stops it by that id (SIGTERM,
// then SIGKILL) and reaps it; should the test process die first, the kernel
// kills it (parent-death signal), so it never outlives the tests.
//
// From construction on, no_proxy names the loopback addresses, so a proxy
// set in the environment never sees test traffic.
//
// Thread: create and destroy on one thread, which must outlive the object
// (the parent-death signal follows the creating thread). Uses no test
// framework.
class FtpTestServer {
 public:
  // How the server misbehaves, for the tests of the client's limits. The
  // misbehaving servers run pyftpdlib from a small script instead of its
  // command line, and log the same start-up line.
  enum class Behaviour {
    kNormal,
    kDripData,        // the data channel sends each file a few bytes per second, never pausing long
    kEndlessReplies,  // RETR is answered with "150-" continuation lines that never end
  };

  FtpTestServer(const std::filesystem::path& folder, const std::string& user, const std::string& password);
  FtpTestServer(const std::filesystem::path& folder, const std::string& user, const std::string& password,
                Behaviour behaviour);
  ~FtpTestServer();
  FtpTestServer(const FtpTestServer&) = delete;
  FtpTestServer& operator=(const FtpTestServer&) = delete;

  // 0 when the server did not start (Error() says why, with its log).
  int Port() const { return m_port; }
  const std::string& Error() const { return m_error; }
  // The server's log so far (one line per command answered and per login).
  std::string Log() const;
  // Successful logins so far: one per connection that logged in.
  int LoginCount() const;

 private:
  void Stop();
  void Start(const std::vector<std::string>& args);

  pid_t m_pid = -1;
  int m_port = 0;
  std::string m_logPath;
  std::string m_error;
};

}  // namespace qrv::test
