#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace qrv::test {

// The demo's update server (scripts/demo/serve.py) run as a child process on
// a port the kernel picks: construction starts it and waits (up to 10 s) for
// the port it prints on its first line; Stop() or destruction ends it with
// SIGTERM (SIGKILL when it has not ended 5 s later) and reaps it, so no test
// ever leaves it running.
//
// Its request log (standard error) goes to the file given, for the test to
// read. Port() is 0 when it could not be started; Error() says why (the
// child is then already reaped).
//
// Thread: create, stop and destroy on one thread. Uses no test framework.
class DemoTreeServer {
 public:
  DemoTreeServer(const std::filesystem::path& script, const std::filesystem::path& folder,
                 const std::filesystem::path& log);
  ~DemoTreeServer();
  DemoTreeServer(const DemoTreeServer&) = delete;
  DemoTreeServer& operator=(const DemoTreeServer&) = delete;

  int Port() const { return m_port; }
  // The child's process id while it runs; -1 before a start or after Stop().
  pid_t Pid() const { return m_pid; }
  const std::string& Error() const { return m_error; }
  // "http://127.0.0.1:PORT/AUpdate70.jsp"
  std::string ServiceUrl() const;

  // Ends the server and reaps it; its wait status as waitpid reports it, or
  // -1 when nothing was running. Safe to call twice.
  int Stop();

 private:
  pid_t m_pid = -1;
  int m_port = 0;
  std::string m_error;
};

// One GET of target ("/path?query") to 127.0.0.1:port with a fresh
// connection; the reply's status code, or -1 (reason in error) when no
// status line came within 5 s.
int DemoTreeGet(int port, const std::string& target, std::string& body, std::string& error);

}  // namespace qrv::test
