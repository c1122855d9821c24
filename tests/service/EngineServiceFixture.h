#pragma once

// The engine service for the tests: qrvupdate-engine started in the sandbox
// root on a private socket (its restarts going to a stand-in systemctl that
// only notes them), clients that speak the protocol themselves, and the
// second user's connections.
#include <gtest/gtest.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/util/delimited_message_util.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/remote/RemoteChannel.h"
#include "app/remote/RemoteValues.h"
#include "config/CQUpdateMgrEnv.h"
#include "tests/support/DemoTreeFixture.h"
#include "tests/support/ProcessRunner.h"

namespace qrv::test::service {

namespace fs = std::filesystem;
using remote::Message;
using remote::RemoteChannel;
using remote::RemoteValues;
using remote::Values;
using Clock = std::chrono::steady_clock;

inline constexpr std::chrono::seconds kWait{60};
inline constexpr uid_t kNobody = 65534;

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds{10});
  }
  return true;
}

inline int ConnectTo(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A connection made by the second user: a child drops to nobody (no
// groups), connects, and hands the connected socket back. The kernel
// records who connected, so the engine sees nobody whoever writes on it
// afterwards. -1 when this process may not change user.
// With asRootOfItsOwn, the child first makes a user namespace of its own
// in which it is root (uid and gid 0 mapped onto nobody), as any user may
// where unprivileged namespaces are allowed; -2 when they are not.
inline int ConnectAsNobody(const std::string& path, bool asRootOfItsOwn = false) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    // Only async-signal-safe calls here: the parent has threads.
    int fd = -1;
    bool nested = true;
    if (setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
        setresuid(kNobody, kNobody, kNobody) == 0) {
      if (asRootOfItsOwn) {
        // Changing user made the child undumpable, which leaves its /proc
        // files root's; as an ordinary user it may write its own maps.
        nested = prctl(PR_SET_DUMPABLE, 1) == 0 && unshare(CLONE_NEWUSER) == 0;
        const auto write = [](const char* file, const char* text) {
          const int out = open(file, O_WRONLY | O_CLOEXEC);
          if (out < 0) return false;
          const bool done = ::write(out, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
          close(out);
          return done;
        };
        nested = nested && write("/proc/self/setgroups", "deny") && write("/proc/self/uid_map", "0 65534 1") &&
                 write("/proc/self/gid_map", "0 65534 1") && setresuid(0, 0, 0) == 0 && setresgid(0, 0, 0) == 0;
      }
      if (nested) fd = ConnectTo(path);
    }
    char byte = fd >= 0 ? 1 : nested ? 0 : 2;
    iovec io{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    if (fd >= 0) {
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    }
    sendmsg(pair[1], &message, MSG_NOSIGNAL);
    _exit(0);
  }
  close(pair[1]);
  int fd = -1;
  if (child > 0) {
    char byte = 0;
    iovec io{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (recvmsg(pair[0], &message, MSG_CMSG_CLOEXEC) == 1 && byte == 1) {
      if (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr && header->cmsg_type == SCM_RIGHTS) {
        std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
      }
    } else if (byte == 2) {
      fd = -2;
    }
    waitpid(child, nullptr, 0);
  }
  close(pair[0]);
  return fd;
}

// One message in the protocol's framing.
inline std::string Framed(const Message& message) {
  std::string bytes;
  google::protobuf::io::StringOutputStream output(&bytes);
  google::protobuf::util::SerializeDelimitedToZeroCopyStream(message, &output);
  return bytes;
}

inline Message CallMessage(uint64_t id, remote::Method method, const Values& args = Values()) {
  Message message;
  message.set_id(id);
  message.set_method(static_cast<uint32_t>(method));
  *message.mutable_values() = args;
  return message;
}

inline Values Hello(int64_t mode) {
  Values args;
  RemoteValues::AddNumber(args, 1);
  RemoteValues::AddNumber(args, mode);
  return args;
}

inline Values Text(const std::string& text) {
  Values values;
  RemoteValues::AddText(values, text);
  return values;
}

inline Values Number(int64_t number) {
  Values values;
  RemoteValues::AddNumber(values, number);
  return values;
}

inline int64_t FirstNumber(const Message& reply) {
  int64_t number = -1;
  RemoteValues::Number(reply.values(), 0, INT64_MIN, INT64_MAX, number);
  return number;
}

inline bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Everything fd receives until the other side hangs up or limit passes.
inline std::string ReadUntilClosed(int fd, std::chrono::milliseconds limit) {
  std::string bytes;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return bytes;
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return bytes;
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

inline std::vector<Message> Parse(const std::string& bytes) {
  std::vector<Message> messages;
  google::protobuf::io::ArrayInputStream input(bytes.data(), static_cast<int>(bytes.size()));
  for (;;) {
    Message message;
    bool clean = false;
    if (!google::protobuf::util::ParseDelimitedFromZeroCopyStream(&message, &input, &clean)) return messages;
    messages.push_back(std::move(message));
  }
}

// An administrator's client speaking the protocol itself; onCall decides
// what it does with each call the engine makes (by default: declines boxes,
// answers notifications with nothing).
class Client {
 public:
  explicit Client(int fd) : m_channel(fd) {
    m_channel.SetDispatcher([this](const Message& call, Message& reply) {
      received.push_back(call.method());
      if (onCall && onCall(call, reply)) return;
      // Boxes get the answer that declines (Cancel, No), never the one that
      // would let the engine go on to restart the machine.
      if (call.method() >= remote::SHOW_MESSAGE && call.method() <= remote::SHOW_MESSAGE_TITLED) {
        int64_t buttons = 0;
        RemoteValues::Number(call.values(), 1, 0, 100, buttons);
        RemoteValues::AddNumber(*reply.mutable_values(), buttons == 4 ? 7 : buttons == 1 ? 2 : 1);
      }
    });
  }
  explicit Client(const std::string& socket) : Client(ConnectTo(socket)) {}

  // The reply; one with error "no reply" when none came within limit.
  Message Call(remote::Method method, const Values& args = Values(),
               std::chrono::milliseconds limit = std::chrono::milliseconds{60000}) {
    Message reply;
    if (!m_channel.Call(method, args, reply, limit)) reply.set_error("no reply");
    return reply;
  }
  RemoteChannel& Channel() { return m_channel; }

  std::vector<uint32_t> received;
  // Returns true when it has dealt with the call itself.
  std::function<bool(const Message& call, Message& reply)> onCall;

 private:
  RemoteChannel m_channel;
};

class EngineServiceFixture : public test::DemoTreeFixture {
 protected:
  void TearDown() override {
    StopEngine();
    std::error_code ec;
    fs::remove_all(m_socketFolder, ec);
    DemoTreeFixture::TearDown();
  }

  // With `activated`, the way systemd starts it: systemd-socket-activate
  // listens on the socket and starts the engine with it (LISTEN_FDS) at the
  // first connection.
  bool StartEngine(std::chrono::milliseconds idle = std::chrono::milliseconds{60000}, bool activated = false) {
    fs::create_directories(m_socketFolder);
    chmod(m_socketFolder.c_str(), 0755);
    const std::string log = Log().string();
    // The engine restarts the machine with systemctl from PATH: here it
    // finds one that only notes that it was asked.
    const fs::path fakeBin = fs::path(Root()) / "fakebin";
    fs::create_directories(fakeBin);
    {
      std::FILE* script = std::fopen((fakeBin / "systemctl").c_str(), "w");
      if (script == nullptr) return false;
      std::fprintf(script, "#!/bin/sh\necho \"$@\" >> '%s'\n", RestartMarker().c_str());
      std::fclose(script);
      chmod((fakeBin / "systemctl").c_str(), 0755);
    }
    std::vector<std::string> environment{"PATH=" + fakeBin.string() + ":/usr/sbin:/usr/bin:/sbin:/bin"};
    // Like a system service, the engine has no home and no desktop of its
    // own: whatever belongs on a desktop must reach the window's.
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::strncmp(*entry, "PATH=", 5) != 0 && std::strncmp(*entry, "HOME=", 5) != 0 &&
          std::strncmp(*entry, "XDG_", 4) != 0) {
        environment.emplace_back(*entry);
      }
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{QRVUPDATE_ENGINE_PATH, "--root", Root(), "--idle-timeout", std::to_string(idle.count())};
    if (activated) {
      // It hands on only PATH, TERM and HOME by itself.
      std::vector<std::string> front{"/usr/bin/systemd-socket-activate", "-l", Socket()};
      for (const std::string& entry : environment) {
        if (entry.rfind("PATH=", 0) != 0) front.insert(front.end(), {"-E", entry});
      }
      args.insert(args.begin(), front.begin(), front.end());
    } else {
      args.insert(args.end(), {"--socket", Socket()});
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = posix_spawn(&m_engine, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    if (activated) return WaitFor([this] { return Has(EngineLog(), "Listening on") || EngineEnded(); }, kWait) && !EngineEnded();
    // It says so once it listens (the socket file is there a moment before).
    return WaitFor([this] { return Has(EngineLog(), "engine: serving") || EngineEnded(); }, kWait) && !EngineEnded();
  }
  bool EngineEnded() {
    if (m_engine <= 0) return true;
    if (waitpid(m_engine, &m_engineStatus, WNOHANG) != m_engine) return false;
    m_engine = 0;
    return true;
  }
  void StopEngine() {
    if (m_engine <= 0) return;
    kill(m_engine, SIGKILL);
    waitpid(m_engine, &m_engineStatus, 0);
    m_engine = 0;
  }
  fs::path Log() const { return fs::path(Root()) / "engine.log"; }
  // Where the stand-in systemctl notes each restart the engine asked for.
  std::string RestartMarker() const { return (fs::path(Root()) / "restarts.txt").string(); }
  std::string EngineLog() const {
    std::string log;
    for (const fs::path& file : {Log(), fs::path(Root()) / "var/log/qrvupdate/QrvUpdate.txt"}) {
      if (fs::exists(file)) log += test::ReadFile(file);
    }
    return log;
  }
  // What the sanitizers said about the engine, if anything.
  std::string SanitizerReports() const {
    const std::string log = fs::exists(Log()) ? test::ReadFile(Log()) : std::string();
    for (const char* mark : {"AddressSanitizer", "runtime error:", "LeakSanitizer", "UndefinedBehaviorSanitizer"}) {
      if (const size_t at = log.find(mark); at != std::string::npos) return log.substr(at > 200 ? at - 200 : 0, 3000);
    }
    return {};
  }
  std::string Socket() const { return (m_socketFolder / "engine.socket").string(); }

  // Whether an administrator's window that comes now is greeted as the
  // session within limit (and says goodbye again).
  bool AdministratorServedWithin(std::chrono::milliseconds limit) {
    Client admin(Socket());
    const Message hello = admin.Call(remote::HELLO, Hello(0), limit);
    if (!hello.error().empty() || FirstNumber(hello) != 1) return false;
    return FirstNumber(admin.Call(remote::END_SESSION, Values(), limit)) == 1;
  }

  static uint32_t Level(const std::string& product) { return CQUpdateMgrEnv().GetProductVersion(product); }
  static uint32_t State() { return CQUpdateMgrEnv().GetUpdateState(); }

  fs::path m_socketFolder = fs::path("/tmp") / ("qrv-engine-test-" + std::to_string(getpid()));
  pid_t m_engine = 0;
  int m_engineStatus = 0;
};

}  // namespace qrv::test::service
