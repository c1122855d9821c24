#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace qrv::test {

// A private Samba server (Debian's smbd) on a free loopback port, serving one
// folder read-only three times: as share kShare to one user (kUser / kPassword) kept
// in a password database of its own, as share kPublicShare to guests too, and
// as share kDfsShare (to the user) marked as a DFS namespace root. Everything smbd writes (configuration,
// databases, locks, sockets, pid file, logs) lives below the work folder; it
// never touches the machine's Samba folders.
//
// Needs root (smbd switches users) and the samba package. When it cannot run,
// Running() is false and SkipReason() says why; a test then calls
// QRV_SKIP_UNLESS_SERVER(Running(), SkipReason()) (a skip, a failure in CI).
//
// The server runs in a process group of its own and is ended (TERM, then
// KILL) by the destructor; it also ends when the thread that started it dies.
//
// Thread: create and destroy on one thread.
class SambaTestServer {
 public:
  static constexpr const char* kShare = "updates";
  static constexpr const char* kPublicShare = "public";
  static constexpr const char* kDfsShare = "dfsroot";
  static constexpr const char* kUser = "nobody";  // a Samba user needs a Unix account; every Debian has this one
  static constexpr const char* kPassword = "Qrv-Share-Pass-1";

  // workFolder is created; shareFolder must exist (it is what the share serves).
  SambaTestServer(const std::filesystem::path& workFolder, const std::filesystem::path& shareFolder);
  ~SambaTestServer();
  SambaTestServer(const SambaTestServer&) = delete;
  SambaTestServer& operator=(const SambaTestServer&) = delete;

  bool Running() const { return m_pid > 0; }
  const std::string& SkipReason() const { return m_skipReason; }
  uint16_t Port() const { return m_port; }
  // smb://127.0.0.1:PORT/updates[/rest]
  std::string Url(std::string_view rest = {}) const;
  // smb://127.0.0.1:PORT/public[/rest]
  std::string PublicUrl(std::string_view rest = {}) const;
  // smb://127.0.0.1:PORT/dfsroot[/rest]
  std::string DfsUrl(std::string_view rest = {}) const;
  // \\127.0.0.1\updates[\rest] (the port must come from the server setting)
  std::string UncPath(std::string_view rest = {}) const;

 private:
  bool Start(const std::filesystem::path& shareFolder);
  bool WaitUntilListening(std::string& reason);
  void Stop();

  std::filesystem::path m_work;
  std::string m_skipReason;
  uint16_t m_port = 0;
  pid_t m_pid = -1;
};

}  // namespace qrv::test
