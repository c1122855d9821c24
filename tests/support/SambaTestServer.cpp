#include "tests/support/SambaTestServer.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/LoopbackPort.h"
#include "tests/support/ProcessRunner.h"

namespace qrv::test {
namespace {

using namespace std::chrono_literals;

std::string FindProgram(const std::string& name) {
  for (const char* folder : {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/sbin", "/usr/local/bin"}) {
    std::string path = std::string(folder) + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

// True when pid itself holds the listening TCP socket on 127.0.0.1:port.
// Only a connect would not tell smbd from another program that got the same
// port first (smbd then gives up, and a client would talk to a stranger).
bool ListensOn(pid_t pid, uint16_t port) {
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::vector<std::string> inodes;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    if (local == wanted && state == "0A") inodes.push_back("socket:[" + inode + "]");
  }
  if (inodes.empty()) return false;
  std::error_code ec;
  std::string fdFolder = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(fdFolder, ec)) {
    std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    for (const std::string& inode : inodes) {
      if (target == inode) return true;
    }
  }
  return false;
}

std::string Tail(const std::filesystem::path& file, size_t lines) {
  std::ifstream in(file);
  std::vector<std::string> all;
  std::string line;
  while (std::getline(in, line)) all.push_back(line);
  std::string out;
  for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) out += all[i] + "\n";
  return out;
}

// Exited (and not yet reaped): the zombie keeps its process group alive, so
// the group can still be signalled without hitting a reused id.
bool HasExited(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

}  // namespace

SambaTestServer::SambaTestServer(const std::filesystem::path& workFolder, const std::filesystem::path& shareFolder)
    : m_work(workFolder) {
  if (geteuid() != 0) {
    m_skipReason = "smbd needs root to serve files as another user (running as uid " + std::to_string(geteuid()) + ")";
    return;
  }
  for (int attempt = 0; attempt < 3 && !Start(shareFolder); ++attempt) {
  }
}

SambaTestServer::~SambaTestServer() { Stop(); }

std::string SambaTestServer::Url(std::string_view rest) const {
  std::string url = "smb://127.0.0.1:" + std::to_string(m_port) + "/" + kShare;
  if (!rest.empty()) url += "/" + std::string(rest);
  return url;
}

std::string SambaTestServer::PublicUrl(std::string_view rest) const {
  std::string url = "smb://127.0.0.1:" + std::to_string(m_port) + "/" + kPublicShare;
  if (!rest.empty()) url += "/" + std::string(rest);
  return url;
}

std::string SambaTestServer::DfsUrl(std::string_view rest) const {
  std::string url = "smb://127.0.0.1:" + std::to_string(m_port) + "/" + kDfsShare;
  if (!rest.empty()) url += "/" + std::string(rest);
  return url;
}

std::string SambaTestServer::UncPath(std::string_view rest) const {
  std::string path = std::string("\\\\127.0.0.1\\") + kShare;
  if (!rest.empty()) path += "\\" + std::string(rest);
  return path;
}

bool SambaTestServer::Start(const std::filesystem::path& shareFolder) {
  std::string smbd = FindProgram("smbd");
  std::string pdbedit = FindProgram("pdbedit");
  if (smbd.empty() || pdbedit.empty()) {
    m_skipReason = "smbd or pdbedit is not installed (Debian package samba)";
    return true;  // nothing to retry
  }
  passwd* self = getpwuid(geteuid());
  if (self == nullptr || getpwnam(kUser) == nullptr) {
    m_skipReason = std::string("the Unix accounts of this user or of \"") + kUser + "\" cannot be found";
    return true;
  }
  std::string owner = self->pw_name;

  /* private folders for everything smbd keeps */
  std::error_code ec;
  std::filesystem::remove_all(m_work, ec);
  for (const char* sub : {"lock", "state", "cache", "pid", "private", "ncalrpc", "binddns", "log"}) {
    std::filesystem::create_directories(m_work / sub, ec);
    if (ec) {
      m_skipReason = "cannot make " + (m_work / sub).string() + ": " + ec.message();
      return true;
    }
  }
  // smbd cannot bind port 0: it gets a port the kernel chose, let go just
  // before it starts (a start that loses the port to another program fails
  // and is retried with another)
  LoopbackPort free;
  if (free.Port() == 0) {
    m_skipReason = free.Error();
    return true;
  }
  m_port = free.Port();
  free.Release();
  std::string work = m_work.string();
  std::string conf = work + "/smb.conf";
  std::string text;
  auto set = [&text](const std::string& line) { text += line + "\n"; };
  set("[global]");
  set("  server role = standalone server");
  set("  workgroup = QRVTEST");
  set("  netbios name = QRVTEST");
  // IPv4 loopback only: smbd then gives up when the port is taken instead of
  // serving on ::1 alone
  set("  interfaces = 127.0.0.1");
  set("  bind interfaces only = yes");
  set("  smb ports = " + std::to_string(m_port));
  set("  disable netbios = yes");
  set("  server min protocol = SMB2_02");
  set("  map to guest = Never");
  // every folder smbd and pdbedit write to, or they use the machine's
  set("  passdb backend = tdbsam:" + work + "/private/passdb.tdb");
  set("  lock directory = " + work + "/lock");
  set("  state directory = " + work + "/state");
  set("  cache directory = " + work + "/cache");
  set("  pid directory = " + work + "/pid");
  set("  private dir = " + work + "/private");
  set("  ncalrpc dir = " + work + "/ncalrpc");
  set("  binddns dir = " + work + "/binddns");
  set("  log file = " + work + "/log/log.smbd");
  set("  logging = file");
  set("  log level = 1");
  set("  max log size = 0");
  set("  usershare path =");
  set("  load printers = no");
  set("  printing = bsd");
  set("  printcap name = /dev/null");
  set("  disable spoolss = yes");
  set("  panic action =");
  set("  registry shares = no");
  // smbd would start samba-dcerpcd for RPC, which leaves the process group
  set("  rpc start on demand helpers = no");
  set("  obey pam restrictions = no");
  set("  unix password sync = no");
  set(std::string("[") + kShare + "]");
  set("  path = " + shareFolder.string());
  set("  read only = yes");
  set("  guest ok = no");
  set(std::string("  valid users = ") + kUser);
  set("  force user = " + owner);
  set(std::string("[") + kPublicShare + "]");
  set("  path = " + shareFolder.string());
  set("  read only = yes");
  set("  guest ok = yes");
  set("  force user = " + owner);
  // the same folder as a DFS namespace root: a link "msdfs:server\\share"
  // in it refers clients to another server
  set(std::string("[") + kDfsShare + "]");
  set("  path = " + shareFolder.string());
  set("  read only = yes");
  set("  guest ok = no");
  set(std::string("  valid users = ") + kUser);
  set("  force user = " + owner);
  set("  msdfs root = yes");
  {
    std::ofstream out(conf);
    out << text;
    if (!out) {
      m_skipReason = "cannot write " + conf;
      return true;
    }
  }

  /* the one user, in the private password database */
  std::string twice = std::string(kPassword) + "\n" + kPassword + "\n";
  ProcessResult added = RunProcess(pdbedit, {"-s", conf, "-a", "-t", "-u", kUser}, {}, twice);
  if (added.exitCode != 0) {
    m_skipReason = "pdbedit cannot add the test user: " + added.err + added.out;
    return true;
  }

  /* smbd in the foreground, in a process group of its own */
  std::string log = work + "/log/smbd.out";
  int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (logFd < 0 || nullFd < 0) {
    m_skipReason = "cannot open " + log + ": " + std::strerror(errno);
    if (logFd >= 0) close(logFd);
    if (nullFd >= 0) close(nullFd);
    return true;
  }
  std::vector<std::string> args = {
      smbd, "--foreground", "--no-process-group", "--debug-stdout", "--debuglevel=1", "--configfile=" + conf};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // only async-signal-safe calls between fork and exec. A group of its
    // own matters: smbd ends by signalling its whole process group, which
    // would otherwise be the test's.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // a start that fails (a taken port) aborts smbd; no core file for that
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    if (getppid() != parent) _exit(127);
    dup2(nullFd, 0);
    dup2(logFd, 1);
    dup2(logFd, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int forkError = errno;
  close(logFd);
  close(nullFd);
  if (pid < 0) {
    m_skipReason = std::string("cannot start smbd: ") + std::strerror(forkError);
    return true;
  }
  setpgid(pid, pid);  // also from here, so the group exists whichever side runs first
  m_pid = pid;

  std::string reason;
  if (WaitUntilListening(reason)) {
    m_skipReason.clear();
    return true;
  }
  Stop();
  m_skipReason = reason;
  return false;
}

bool SambaTestServer::WaitUntilListening(std::string& reason) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (HasExited(m_pid)) {
      reason = "smbd ended at start-up:\n" + Tail(m_work / "log/smbd.out", 15) + Tail(m_work / "log/log.smbd", 15);
      return false;
    }
    if (ListensOn(m_pid, m_port)) return true;
    std::this_thread::sleep_for(10ms);
  }
  reason = "smbd did not listen on 127.0.0.1:" + std::to_string(m_port) + " within 10 s:\n" +
           Tail(m_work / "log/smbd.out", 15);
  return false;
}

void SambaTestServer::Stop() {
  if (m_pid <= 0) return;
  kill(-m_pid, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!HasExited(m_pid) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  // whatever is left of the group (connection workers, helpers, a hung smbd)
  kill(-m_pid, SIGKILL);
  int status = 0;
  while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
  }
  m_pid = -1;
}

}  // namespace qrv::test
