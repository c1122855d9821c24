// The engine service under attack: qrvupdate-engine in the sandbox root on a
// private socket, facing a second local user who may not update anything,
// and an administrator's client that is buggy or hostile (calls in odd
// orders, calls from inside the engine's own notifications, bytes that are
// no message, a peer that never reads). The engine must refuse, survive and
// go on serving; what the sanitizers say about it lands in its log.
#include <gtest/gtest.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/util/delimited_message_util.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/remote/RemoteChannel.h"
#include "app/remote/RemoteValues.h"
#include "config/CQUpdateMgrEnv.h"
#include "tests/support/DemoTreeFixture.h"
#include "tests/support/SecondUser.h"
#include "tests/support/SkipUnlessServer.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using remote::Message;
using remote::RemoteChannel;
using remote::RemoteValues;
using remote::Values;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kWait{60};
constexpr uid_t kNobody = 65534;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds{10});
  }
  return true;
}

int ConnectTo(const std::string& path) {
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
int ConnectAsNobody(const std::string& path, bool asRootOfItsOwn = false) {
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
std::string Framed(const Message& message) {
  std::string bytes;
  google::protobuf::io::StringOutputStream output(&bytes);
  google::protobuf::util::SerializeDelimitedToZeroCopyStream(message, &output);
  return bytes;
}

Message CallMessage(uint64_t id, remote::Method method, const Values& args = Values()) {
  Message message;
  message.set_id(id);
  message.set_method(static_cast<uint32_t>(method));
  *message.mutable_values() = args;
  return message;
}

Values Hello(int64_t mode) {
  Values args;
  RemoteValues::AddNumber(args, 1);
  RemoteValues::AddNumber(args, mode);
  return args;
}

Values Text(const std::string& text) {
  Values values;
  RemoteValues::AddText(values, text);
  return values;
}

Values Number(int64_t number) {
  Values values;
  RemoteValues::AddNumber(values, number);
  return values;
}

int64_t FirstNumber(const Message& reply) {
  int64_t number = -1;
  RemoteValues::Number(reply.values(), 0, INT64_MIN, INT64_MAX, number);
  return number;
}

bool SendAll(int fd, const std::string& bytes) {
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
std::string ReadUntilClosed(int fd, std::chrono::milliseconds limit) {
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

std::vector<Message> Parse(const std::string& bytes) {
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

class EngineServiceAttackTest : public test::DemoTreeFixture {
 protected:
  void TearDown() override {
    StopEngine();
    std::error_code ec;
    fs::remove_all(m_socketFolder, ec);
    DemoTreeFixture::TearDown();
  }

  bool StartEngine(std::chrono::milliseconds idle = std::chrono::milliseconds{60000}) {
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
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::strncmp(*entry, "PATH=", 5) != 0) environment.emplace_back(*entry);
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{QRVUPDATE_ENGINE_PATH, "--root", Root(), "--socket", Socket(),
                                  "--idle-timeout", std::to_string(idle.count())};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = posix_spawn(&m_engine, QRVUPDATE_ENGINE_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
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

  fs::path m_socketFolder = fs::path("/tmp") / ("qrv-engine-attack-" + std::to_string(getpid()));
  pid_t m_engine = 0;
  int m_engineStatus = 0;
};

// --- the second user -------------------------------------------------------

TEST_F(EngineServiceAttackTest, ANonAdministratorGetsNothingServedBeforeOrAfterItsGreeting) {
  QRV_SKIP_UNLESS_SERVER(test::SecondUser::Available(), "root is needed to act as the second user");
  ASSERT_TRUE(StartEngine()) << EngineLog();
  CQUpdateMgrEnv().SetTerm(1);
  const std::string pathBefore = CQUpdateMgrEnv().GetDownloadPath(0);
  const int fd = ConnectAsNobody(Socket());
  ASSERT_GE(fd, 0);
  // Settings before the greeting, a greeting, settings after it, and a
  // second greeting: all in one write, as fast as the kernel takes them.
  std::string bytes = Framed(CallMessage(1, remote::SET_TERM, Number(3)));
  bytes += Framed(CallMessage(2, remote::SET_DOWNLOAD_PATH, Text("/tmp")));
  bytes += Framed(CallMessage(3, remote::STORED_UPDATE_STATE));
  bytes += Framed(CallMessage(0, remote::SET_AUTO_UPDATE, Number(0)));
  bytes += Framed(CallMessage(4, remote::HELLO, Hello(0)));
  bytes += Framed(CallMessage(5, remote::SET_TERM, Number(2)));
  bytes += Framed(CallMessage(6, remote::HELLO, Hello(1)));
  bytes += Framed(CallMessage(7, remote::QUERY_UPDATES));
  ASSERT_TRUE(SendAll(fd, bytes));
  const std::vector<Message> replies = Parse(ReadUntilClosed(fd, kWait));
  close(fd);
  bool refusedGreeting = false;
  for (const Message& reply : replies) {
    SCOPED_TRACE(reply.reply_to());
    EXPECT_FALSE(reply.error().empty()) << "every reply is a refusal";
    // The only result ever given is the refusal's own number.
    for (const remote::Value& value : reply.values()) EXPECT_EQ(value.number(), 3);
    if (reply.reply_to() == 4) {
      refusedGreeting = true;
      EXPECT_EQ(FirstNumber(reply), 3) << "the administrators-only answer";
      EXPECT_TRUE(Has(reply.error(), "administrator")) << reply.error();
    }
  }
  EXPECT_TRUE(refusedGreeting);
  EXPECT_EQ(CQUpdateMgrEnv().GetTerm(), 1u);
  EXPECT_EQ(CQUpdateMgrEnv().GetDownloadPath(0), pathBefore);
  EXPECT_TRUE(AdministratorServedWithin(std::chrono::milliseconds{10000})) << EngineLog();
  EXPECT_EQ(SanitizerReports(), "");
}

TEST_F(EngineServiceAttackTest, RootOfAUserNamespaceOfItsOwnIsStillTheSecondUser) {
  QRV_SKIP_UNLESS_SERVER(test::SecondUser::Available(), "root is needed to act as the second user");
  ASSERT_TRUE(StartEngine()) << EngineLog();
  const int fd = ConnectAsNobody(Socket(), true);
  if (fd == -2) GTEST_SKIP() << "this machine allows no user namespaces to ordinary users";
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, Framed(CallMessage(1, remote::HELLO, Hello(0)))));
  const std::vector<Message> replies = Parse(ReadUntilClosed(fd, kWait));
  close(fd);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(FirstNumber(replies[0]), 3);
  EXPECT_TRUE(Has(EngineLog(), "refused user 65534")) << EngineLog();
}

TEST_F(EngineServiceAttackTest, ManySilentConnectionsOfANonAdministratorDoNotQueueAdministratorsBehindThem) {
  QRV_SKIP_UNLESS_SERVER(test::SecondUser::Available(), "root is needed to act as the second user");
  ASSERT_TRUE(StartEngine()) << EngineLog();
  // More than the engine answers at once, all keeping quiet.
  std::vector<int> silent;
  for (int i = 0; i < 40; ++i) {
    const int fd = ConnectAsNobody(Socket());
    ASSERT_GE(fd, 0);
    silent.push_back(fd);
  }
  EXPECT_TRUE(AdministratorServedWithin(std::chrono::milliseconds{3000})) << EngineLog();
  // Each of them is hung up on, answered or not.
  for (int fd : silent) {
    ReadUntilClosed(fd, std::chrono::milliseconds{5000});
    pollfd wait{fd, POLLIN, 0};
    EXPECT_EQ(poll(&wait, 1, 0), 1);
    close(fd);
  }
  EXPECT_EQ(SanitizerReports(), "");
}

TEST_F(EngineServiceAttackTest, ANonAdministratorWhoNeverReadsDoesNotHoldUpAdministrators) {
  QRV_SKIP_UNLESS_SERVER(test::SecondUser::Available(), "root is needed to act as the second user");
  ASSERT_TRUE(StartEngine()) << EngineLog();
  const int fd = ConnectAsNobody(Socket());
  ASSERT_GE(fd, 0);
  std::string flood;
  for (uint64_t id = 1; id <= 20000; ++id) flood += Framed(CallMessage(id, remote::STORED_UPDATE_STATE));
  ASSERT_TRUE(SendAll(fd, flood));
  // The user reads nothing and keeps the connection; an administrator comes.
  EXPECT_TRUE(AdministratorServedWithin(std::chrono::milliseconds{5000})) << EngineLog();
  close(fd);
  EXPECT_EQ(SanitizerReports(), "");
}

// Resident memory of process pid in KiB (0 when unknown).
long ResidentKiB(pid_t pid) {
  const std::string status = test::ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

// Sends as much of bytes as fd takes within limit, never blocking longer.
size_t SendFor(int fd, const std::string& bytes, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  size_t sent = 0;
  while (sent < bytes.size() && Clock::now() < deadline) {
    pollfd wait{fd, POLLOUT, 0};
    if (poll(&wait, 1, 100) <= 0) continue;
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) sent += static_cast<size_t>(n);
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
  }
  return sent;
}

TEST_F(EngineServiceAttackTest, ANonAdministratorCannotReachTheRunUnderWay) {
  QRV_SKIP_UNLESS_SERVER(test::SecondUser::Available(), "root is needed to act as the second user");
  ASSERT_TRUE(StartEngine()) << EngineLog();
  Client admin(Socket());
  ASSERT_EQ(FirstNumber(admin.Call(remote::HELLO, Hello(1))), 1);
  for (int i = 0; i < 5; ++i) {
    const int fd = ConnectAsNobody(Socket());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, Framed(CallMessage(1, remote::HELLO, Hello(1)))));
    const std::vector<Message> replies = Parse(ReadUntilClosed(fd, kWait));
    close(fd);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(FirstNumber(replies[0]), 3) << "refused, not handed over to the run";
  }
  // The running window was never asked to show itself for them.
  EXPECT_EQ(admin.Call(remote::STORED_UPDATE_STATE).error(), "");
  admin.Channel().ServePending();
  EXPECT_EQ(std::count_if(admin.received.begin(), admin.received.end(),
                          [](uint32_t m) { return m == remote::NOTIFY_STATE || m == remote::BRING_TO_FRONT; }),
            0);
  EXPECT_EQ(FirstNumber(admin.Call(remote::END_SESSION)), 1);
  EXPECT_EQ(SanitizerReports(), "");
}

// FAULT: a refused connection's answer (EngineService::Answer,
// app/remote/EngineService.cpp:95) sends on a socket with no send time-out
// (only sessions set SO_SNDTIMEO, EngineSession.cpp:121), and serves every
// call that arrived, not only the greeting. A non-administrator who sends a
// few thousand calls and reads none of the refusals leaves the answering
// thread in send() for as long as the connection stays open; meanwhile the
// channel's reader (RemoteChannel::ReadLoop) queues everything the user
// goes on sending, without a bound, in the root engine's memory. The same
// stuck answer keeps the engine from ever ending when idle (Run waits for
// m_answering to reach 0, EngineService.cpp:208), and sixteen of them take
// every answering slot for good. Suggested: a send time-out on answered
// connections; answer the greeting only and stop reading after it (or
// bound the reader's queue and stop reading while it is full).
TEST_F(EngineServiceAttackTest, DISABLED_ANonAdministratorWhoNeverReadsCannotFillTheEnginesMemory) {
  QRV_SKIP_UNLESS_SERVER(test::SecondUser::Available(), "root is needed to act as the second user");
  ASSERT_TRUE(StartEngine()) << EngineLog();
  const int fd = ConnectAsNobody(Socket());
  ASSERT_GE(fd, 0);
  std::string flood;
  for (uint64_t id = 1; id <= 20000; ++id) flood += Framed(CallMessage(id, remote::STORED_UPDATE_STATE));
  ASSERT_TRUE(SendAll(fd, flood));
  ASSERT_TRUE(AdministratorServedWithin(std::chrono::milliseconds{5000})) << EngineLog();
  const long before = ResidentKiB(m_engine);
  // Then big calls (each well within the size a message may have), as fast
  // as the engine takes them: 256 MB.
  const std::string big = Framed(CallMessage(1, remote::SET_TERM, Text(std::string(1u << 20, 'x'))));
  std::string stream;
  for (int i = 0; i < 256; ++i) stream += big;
  const size_t sent = SendFor(fd, stream, std::chrono::milliseconds{20000});
  const long after = ResidentKiB(m_engine);
  close(fd);
  EXPECT_LT(after - before, 64L * 1024) << "the engine grew from " << before << " KiB to " << after
                                        << " KiB while a non-administrator sent " << sent << " bytes";
  EXPECT_EQ(SanitizerReports(), "");
}

// FAULT: same cause as above: an answer stuck in send() keeps the engine
// from ending when idle (EngineService::Run waits for every answer,
// app/remote/EngineService.cpp:208, and the stuck one never ends).
TEST_F(EngineServiceAttackTest, DISABLED_ANonAdministratorWhoNeverReadsCannotKeepTheEngineFromEndingWhenIdle) {
  QRV_SKIP_UNLESS_SERVER(test::SecondUser::Available(), "root is needed to act as the second user");
  ASSERT_TRUE(StartEngine(std::chrono::milliseconds{1500})) << EngineLog();
  const int fd = ConnectAsNobody(Socket());
  ASSERT_GE(fd, 0);
  std::string flood;
  for (uint64_t id = 1; id <= 20000; ++id) flood += Framed(CallMessage(id, remote::STORED_UPDATE_STATE));
  ASSERT_TRUE(SendAll(fd, flood));
  // Well past the idle time and the time a refused connection may take.
  EXPECT_TRUE(WaitFor([&] { return EngineEnded(); }, std::chrono::milliseconds{15000})) << EngineLog();
  close(fd);
}

// FAULT: same cause: sixteen refusals stuck in send() hold every answering
// slot (kMaxAnswering, app/remote/EngineService.cpp:29) for good, and from
// then on a second administrator's window that comes during a run is closed
// unanswered (EngineService::AnswerAside) instead of being told the run is
// under way, so it reports a broken connection rather than ending quietly.
TEST_F(EngineServiceAttackTest, DISABLED_StuckRefusalsDoNotCostAdministratorsTheirAnswer) {
  QRV_SKIP_UNLESS_SERVER(test::SecondUser::Available(), "root is needed to act as the second user");
  ASSERT_TRUE(StartEngine()) << EngineLog();
  std::string flood;
  for (uint64_t id = 1; id <= 20000; ++id) flood += Framed(CallMessage(id, remote::STORED_UPDATE_STATE));
  std::vector<int> stuck;
  for (int i = 0; i < 16; ++i) {
    const int fd = ConnectAsNobody(Socket());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, flood));
    stuck.push_back(fd);
  }
  Client running(Socket());
  ASSERT_EQ(FirstNumber(running.Call(remote::HELLO, Hello(1))), 1);
  Client second(Socket());
  const Message answer = second.Call(remote::HELLO, Hello(1), std::chrono::milliseconds{10000});
  EXPECT_EQ(FirstNumber(answer), 2) << answer.error();
  EXPECT_EQ(FirstNumber(running.Call(remote::END_SESSION)), 1);
  for (int fd : stuck) close(fd);
}

// --- an administrator's client that is buggy or hostile ---------------------

TEST_F(EngineServiceAttackTest, OddCallsOfAnAdministratorsClientAreRefusedAndTheSessionGoesOn) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  CQUpdateMgrEnv().SetTerm(1);
  const int fd = ConnectTo(Socket());
  ASSERT_GE(fd, 0);
  // A second greeting; calls posted (id 0) that expect replies; replies to
  // calls the engine never made; a call with an unknown number.
  std::string bytes = Framed(CallMessage(1, remote::HELLO, Hello(0)));
  bytes += Framed(CallMessage(2, remote::HELLO, Hello(1)));
  bytes += Framed(CallMessage(0, remote::SET_TERM, Number(2)));
  bytes += Framed(CallMessage(0, remote::HELLO, Hello(1)));
  Message stray;
  stray.set_reply_to(77);
  RemoteValues::AddNumber(*stray.mutable_values(), 1);
  bytes += Framed(stray);
  Message strayToOne;
  strayToOne.set_reply_to(1);
  bytes += Framed(strayToOne);
  bytes += Framed(CallMessage(3, static_cast<remote::Method>(999)));
  bytes += Framed(CallMessage(4, remote::GET_TERM));
  bytes += Framed(CallMessage(5, remote::END_SESSION));
  bytes += Framed(CallMessage(6, remote::GET_TERM));
  ASSERT_TRUE(SendAll(fd, bytes));
  std::vector<Message> replies = Parse(ReadUntilClosed(fd, kWait));
  close(fd);
  const auto reply = [&](uint64_t id) -> const Message* {
    const auto it = std::find_if(replies.begin(), replies.end(), [id](const Message& m) { return m.reply_to() == id; });
    return it == replies.end() ? nullptr : &*it;
  };
  ASSERT_NE(reply(1), nullptr);
  EXPECT_EQ(FirstNumber(*reply(1)), 1);
  ASSERT_NE(reply(2), nullptr);
  EXPECT_FALSE(reply(2)->error().empty()) << "a second greeting is refused";
  ASSERT_NE(reply(3), nullptr);
  EXPECT_FALSE(reply(3)->error().empty());
  ASSERT_NE(reply(4), nullptr);
  EXPECT_EQ(FirstNumber(*reply(4)), 2) << "a posted call is served, only not answered: " << reply(4)->error();
  ASSERT_NE(reply(5), nullptr);
  EXPECT_EQ(FirstNumber(*reply(5)), 1) << reply(5)->error();
  if (const Message* late = reply(6)) {
    EXPECT_FALSE(late->error().empty()) << "nothing after the goodbye";
  }
  EXPECT_EQ(std::count_if(replies.begin(), replies.end(), [](const Message& m) { return m.reply_to() == 0; }), 0);
  EXPECT_TRUE(AdministratorServedWithin(std::chrono::milliseconds{10000})) << EngineLog();
  EXPECT_EQ(SanitizerReports(), "");
}

// FAULT: the engine's notifications to the window wait for their reply
// without a limit (RemoteWindowProxy::Notify, app/remote/RemoteWindowProxy.cpp:16,
// RemoteChannel::Call with timeout 0). A window whose event thread hangs
// keeps its channel's reader going, so the engine's sends never stall and
// the 30 s send time-out never fires: the engine waits on the progress
// notification for ever, holding the machine's one run, and every other
// administrator's window is told a run is under way. Suggested: a reply
// time-out for notifications (not for questions, which wait for a person),
// after which the session counts as gone (AbandonRun).
TEST_F(EngineServiceAttackTest, DISABLED_AWindowThatNeverAnswersANotificationDoesNotHoldTheRunForEver) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  const int fd = ConnectTo(Socket());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, Framed(CallMessage(1, remote::HELLO, Hello(0))) + Framed(CallMessage(2, remote::QUERY_UPDATES))));
  // The window's reader takes everything; its event thread answers nothing
  // from the download on.
  std::string seen;
  std::thread drain([&] {
    char buffer[4096];
    for (;;) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      seen.append(buffer, static_cast<size_t>(n));
    }
  });
  Values products;
  RemoteValues::AddTexts(products, {"QrvBase", "QrvWriter"});
  // (the query's reply comes first; the download is asked after it)
  ASSERT_TRUE(WaitFor([&] { return !seen.empty(); }, kWait));
  ASSERT_TRUE(SendAll(fd, Framed(CallMessage(3, remote::START_DOWNLOAD, products))));
  const bool served = WaitFor([&] { return AdministratorServedWithin(std::chrono::milliseconds{5000}); },
                              std::chrono::milliseconds{75000});
  EXPECT_TRUE(served) << "the run was still held after 75 s";
  shutdown(fd, SHUT_RDWR);
  drain.join();
  close(fd);
  EXPECT_EQ(SanitizerReports(), "");
}

TEST_F(EngineServiceAttackTest, BytesThatAreNoMessageEndThatSessionOnlyAndLeaveTheRunAlone) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  const uint32_t stateBefore = State();
  std::vector<std::string> attacks;
  // A length just over the limit, and one at the top of what a varint says.
  attacks.push_back(std::string("\x91\x80\x80\x02", 4) + std::string(64, 'x'));
  attacks.push_back(std::string("\xff\xff\xff\xff\x0f", 5) + std::string(64, 'x'));
  // A length of ten varint bytes (more than any length may take).
  attacks.push_back(std::string(10, '\xff') + std::string("\x01", 1));
  {
    // Groups nested far deeper than any parser's recursion limit.
    std::string nested(100000, '\x33');  // field 6, start group
    std::string prefix;
    uint32_t n = static_cast<uint32_t>(nested.size());
    while (n >= 0x80) {
      prefix += static_cast<char>((n & 0x7F) | 0x80);
      n >>= 7;
    }
    prefix += static_cast<char>(n);
    attacks.push_back(prefix + nested);
  }
  {
    // A million empty texts in one call: within the byte limit, far over
    // any list the engine takes.
    Values args;
    RemoteValues::AddTexts(args, std::vector<std::string>(1000000));
    attacks.push_back(Framed(CallMessage(2, remote::START_DOWNLOAD, args)));
    attacks.push_back(Framed(CallMessage(3, remote::PRODUCT_NAME, args)));
  }
  for (size_t i = 0; i < attacks.size(); ++i) {
    SCOPED_TRACE(i);
    const int fd = ConnectTo(Socket());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, Framed(CallMessage(1, remote::HELLO, Hello(0))) + attacks[i]));
    // The client says no more; whatever the engine made of it, it hangs up.
    shutdown(fd, SHUT_WR);
    ReadUntilClosed(fd, kWait);
    close(fd);
    EXPECT_FALSE(EngineEnded()) << EngineLog();
  }
  // Half a greeting, then silence: the engine hangs up by the greeting's
  // deadline, and the next window is served.
  {
    const int fd = ConnectTo(Socket());
    ASSERT_GE(fd, 0);
    const std::string hello = Framed(CallMessage(1, remote::HELLO, Hello(0)));
    ASSERT_TRUE(SendAll(fd, hello.substr(0, hello.size() / 2)));
    const auto began = Clock::now();
    ReadUntilClosed(fd, std::chrono::milliseconds{30000});
    EXPECT_LT(Clock::now() - began, std::chrono::seconds{20});
    close(fd);
  }
  EXPECT_EQ(State(), stateBefore);
  EXPECT_TRUE(AdministratorServedWithin(std::chrono::milliseconds{10000})) << EngineLog();
  EXPECT_EQ(SanitizerReports(), "");
}

TEST_F(EngineServiceAttackTest, TheSessionCannotEndFromInsideTheWorkOfItsRun) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  {
    Client client(Socket());
    ASSERT_EQ(FirstNumber(client.Call(remote::HELLO, Hello(0))), 1);
    ASSERT_EQ(FirstNumber(client.Call(remote::QUERY_UPDATES)), 1);
    std::vector<Message> goodbyes;
    client.onCall = [&](const Message& call, Message&) {
      if (call.method() == remote::SET_PROGRESS_TEXT || call.method() == remote::ON_FILE_COPY_BEGIN) {
        goodbyes.push_back(client.Call(remote::END_SESSION, Values(), std::chrono::milliseconds{10000}));
      }
      return false;
    };
    Values products;
    RemoteValues::AddTexts(products, {"QrvBase", "QrvWriter"});
    EXPECT_EQ(FirstNumber(client.Call(remote::START_DOWNLOAD, products)), 1);
    EXPECT_EQ(FirstNumber(client.Call(remote::COPY_FILES)), 1);
    ASSERT_FALSE(goodbyes.empty());
    for (const Message& goodbye : goodbyes) EXPECT_FALSE(goodbye.error().empty()) << FirstNumber(goodbye);
    client.onCall = nullptr;
    EXPECT_EQ(FirstNumber(client.Call(remote::END_SESSION)), 1);
  }
  EXPECT_EQ(Level("QrvBase"), 2u);
  EXPECT_TRUE(AdministratorServedWithin(std::chrono::milliseconds{30000})) << EngineLog();
  EXPECT_FALSE(EngineEnded()) << EngineLog();
  EXPECT_EQ(SanitizerReports(), "");
}

// A call made from inside the first notification of a phase's work (a
// window that starts something from a progress callback), and what became
// of it and of the phase.
struct Nested {
  Message reply;
  Message phase;
  bool made = false;
};

class EngineServiceNestingTest : public EngineServiceAttackTest {
 protected:
  // Greets, looks for updates, downloads first when the phase is the copy,
  // then runs phase; inside phase's first notification of kind `inside`
  // makes the call method(args). The session stays open (client).
  Nested NestIn(Client& client, remote::Method phase, remote::Method inside, remote::Method method,
                const Values& args = Values()) {
    Nested nested;
    if (FirstNumber(client.Call(remote::HELLO, Hello(0))) != 1 || FirstNumber(client.Call(remote::QUERY_UPDATES)) != 1) {
      ADD_FAILURE() << "no run to nest in";
      return nested;
    }
    Values products;
    RemoteValues::AddTexts(products, {"QrvBase", "QrvWriter"});
    if (phase == remote::COPY_FILES && FirstNumber(client.Call(remote::START_DOWNLOAD, products)) != 1) {
      ADD_FAILURE() << "no download to copy";
      return nested;
    }
    client.onCall = [&](const Message& call, Message&) {
      if (call.method() != static_cast<uint32_t>(inside) || nested.made) return false;
      nested.made = true;
      nested.reply = client.Call(method, args, std::chrono::milliseconds{60000});
      return false;
    };
    nested.phase = client.Call(phase, phase == remote::START_DOWNLOAD ? products : Values());
    client.onCall = nullptr;
    return nested;
  }
  // The rest of the run, as a window makes it after the download; then
  // everything must be updated.
  void FinishRun(Client& client, bool copy) {
    if (copy) {
      EXPECT_EQ(FirstNumber(client.Call(remote::COPY_FILES)), 1);
    }
    client.Call(remote::APPLY_ACTIONS);
    client.Call(remote::COMPLETE_UPDATE);
    client.Call(remote::END_UPDATE_STATE, Number(0));
    EXPECT_EQ(FirstNumber(client.Call(remote::END_SESSION)), 1);
    EXPECT_EQ(Level("QrvBase"), 2u);
    EXPECT_EQ(Level("QrvWriter"), 2u);
    EXPECT_EQ(State(), 0u);
  }
};

TEST_F(EngineServiceNestingTest, TheSameWorkInsideItselfIsRefused) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  {
    Client client(Socket());
    Values again;
    RemoteValues::AddTexts(again, {"QrvBase"});
    const Nested nested = NestIn(client, remote::START_DOWNLOAD, remote::SET_PROGRESS_TEXT, remote::START_DOWNLOAD, again);
    ASSERT_TRUE(nested.made);
    EXPECT_FALSE(nested.reply.error().empty());
    EXPECT_EQ(FirstNumber(nested.phase), 1) << nested.phase.error();
    FinishRun(client, true);
  }
  EXPECT_FALSE(EngineEnded());
  EXPECT_EQ(SanitizerReports(), "");
}

// A later phase begun from inside the download's first progress callback
// (the files are not all there yet): whatever it does, the run that goes
// on afterwards still ends whole, and the engine stays sound.
class LaterPhaseInsideTheDownload : public EngineServiceNestingTest {
 protected:
  void Check(remote::Method method) {
    ASSERT_TRUE(StartEngine()) << EngineLog();
    {
      Client client(Socket());
      const Nested nested = NestIn(client, remote::START_DOWNLOAD, remote::SET_PROGRESS_TEXT, method);
      ASSERT_TRUE(nested.made);
      EXPECT_EQ(FirstNumber(nested.phase), 1) << nested.phase.error();
      FinishRun(client, true);
    }
    EXPECT_FALSE(EngineEnded()) << EngineLog();
    EXPECT_EQ(SanitizerReports(), "");
  }
};

TEST_F(LaterPhaseInsideTheDownload, Copy) { Check(remote::COPY_FILES); }
TEST_F(LaterPhaseInsideTheDownload, Actions) { Check(remote::APPLY_ACTIONS); }
TEST_F(LaterPhaseInsideTheDownload, Completion) { Check(remote::COMPLETE_UPDATE); }
TEST_F(LaterPhaseInsideTheDownload, ResumingAnInterruptedRun) { Check(remote::RESUME_INTERRUPTED_RUN); }

// Settings changed, and update notes fetched, from inside the download's
// progress callback: the download that is under way goes on with what it
// began with, and the engine stays sound.
class SettingInsideTheDownload : public EngineServiceNestingTest {
 protected:
  void Check(remote::Method method, const Values& args) {
    ASSERT_TRUE(StartEngine()) << EngineLog();
    {
      Client client(Socket());
      const Nested nested = NestIn(client, remote::START_DOWNLOAD, remote::SET_PROGRESS_TEXT, method, args);
      ASSERT_TRUE(nested.made);
      EXPECT_NE(nested.reply.error(), "no reply");
      EXPECT_EQ(FirstNumber(nested.phase), 1) << nested.phase.error();
      client.Call(remote::END_SESSION);
    }
    EXPECT_FALSE(EngineEnded()) << EngineLog();
    EXPECT_EQ(SanitizerReports(), "");
  }
  static Values Server(uint32_t type, const std::string& path) {
    Values values;
    tagSERVERINFO server;
    server.type = type;
    server.port = 1;
    server.path = path;
    RemoteValues::AddServer(values, server);
    return values;
  }
};

TEST_F(SettingInsideTheDownload, UpdateNotes) { Check(remote::LOAD_UPDATE_CONTENT, Text("QrvWriter")); }
// FAULT: settings calls are held back only while the engine pumps for a
// worker (SafeDuringWork, app/remote/EngineSession.cpp); inside a phase's
// notification they are served, and a server changed there is taken up by
// the download under way halfway through: it ends with 4 instead of 1.
// The window's own controls are disabled during the work; the engine
// should refuse what they would do (settings that change the run) while
// m_running is not empty.
TEST_F(SettingInsideTheDownload, DISABLED_ServerInfo) { Check(remote::SET_SERVER_INFO, Server(kServerTypeFtp, "127.0.0.1/x")); }
TEST_F(SettingInsideTheDownload, ServerReset) { Check(remote::RESET_SERVER_INFO, Values()); }
TEST_F(SettingInsideTheDownload, ServerType) { Check(remote::SELECT_SERVER_TYPE, Number(kServerTypeFtp)); }
TEST_F(SettingInsideTheDownload, ConnectionTest) { Check(remote::TEST_CONNECTION, Server(kServerTypeHttp, "127.0.0.1/x")); }
TEST_F(SettingInsideTheDownload, DownloadFolder) { Check(remote::SET_DOWNLOAD_PATH, Text("/nonexistent-qrv-folder")); }
TEST_F(SettingInsideTheDownload, DownloadFolderTest) { Check(remote::TEST_DOWNLOAD_FOLDER, Text(Root() + "/other")); }

// FAULT: QUERY_UPDATES is a phase of its own (LongCall,
// app/remote/EngineSession.cpp:34) and only the same phase is held back
// inside itself (EngineSession.cpp:212), so a window may look for updates
// again from inside the download's progress notification. The new query
// replaces the transfer manager the download is fetching through
// (CQUpdateBase.cpp:93, m_downloadMgr reset and made anew): heap-use-after-
// free in ListedFilesDownload::FetchFeature (apply/ListedFilesDownload.cpp:199,
// m_transport) below CQUpdateBase::DownloadProducts, and the root engine dies. Suggested:
// refuse every phase call while any phase's work is on the stack (or allow
// only the explicit hand-over the windows use, after the phase's work has
// returned).
TEST_F(EngineServiceNestingTest, DISABLED_LookingForUpdatesInsideTheDownloadIsRefused) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  {
    Client client(Socket());
    const Nested nested = NestIn(client, remote::START_DOWNLOAD, remote::SET_PROGRESS_TEXT, remote::QUERY_UPDATES);
    ASSERT_TRUE(nested.made);
    EXPECT_FALSE(nested.reply.error().empty()) << FirstNumber(nested.reply);
    EXPECT_EQ(FirstNumber(nested.phase), 1) << nested.phase.error();
  }
  EXPECT_FALSE(EngineEnded()) << EngineLog();
  EXPECT_EQ(SanitizerReports(), "");
}

TEST_F(EngineServiceNestingTest, LookingForUpdatesInsideTheCopyLeavesTheCopyWhole) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  {
    Client client(Socket());
    const Nested nested = NestIn(client, remote::COPY_FILES, remote::ON_FILE_COPY_BEGIN, remote::QUERY_UPDATES);
    ASSERT_TRUE(nested.made);
    EXPECT_EQ(FirstNumber(nested.phase), 1) << nested.phase.error();
    FinishRun(client, false);
  }
  EXPECT_FALSE(EngineEnded()) << EngineLog();
  EXPECT_EQ(SanitizerReports(), "");
}

// FAULT: a download begun from inside the copy's first notification is
// served (only the same phase is held back, app/remote/EngineSession.cpp:212):
// it fetches again into the folder the copy is taking its cabinets from and
// replaces the run's list of products; the copy then reports success
// (1, state 22) with QrvWriter never installed (level 1), and the run that
// goes on ends with one product silently left behind. Suggested: no phase
// begins while another phase's work is on the stack.
TEST_F(EngineServiceNestingTest, DISABLED_ADownloadInsideTheCopyIsRefusedAndTheCopyEndsWhole) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  {
    Client client(Socket());
    Values products;
    RemoteValues::AddTexts(products, {"QrvBase"});
    const Nested nested = NestIn(client, remote::COPY_FILES, remote::ON_FILE_COPY_BEGIN, remote::START_DOWNLOAD, products);
    ASSERT_TRUE(nested.made);
    EXPECT_FALSE(nested.reply.error().empty()) << FirstNumber(nested.reply);
    EXPECT_EQ(FirstNumber(nested.phase), 1) << nested.phase.error();
    FinishRun(client, false);
  }
  EXPECT_FALSE(EngineEnded()) << EngineLog();
  EXPECT_EQ(SanitizerReports(), "");
}

// Every other phase begun from inside the first notification (of any
// kind) of the download and of the copy, the phases that notify: the
// engine stays sound.
struct PhasePair {
  remote::Method outer;
  remote::Method inner;
};

class PhaseInsidePhase : public EngineServiceNestingTest, public ::testing::WithParamInterface<PhasePair> {};

TEST_P(PhaseInsidePhase, LeavesTheEngineSound) {
  const PhasePair pair = GetParam();
  ASSERT_TRUE(StartEngine()) << EngineLog();
  {
    Client client(Socket());
    ASSERT_EQ(FirstNumber(client.Call(remote::HELLO, Hello(0))), 1);
    Values products;
    RemoteValues::AddTexts(products, {"QrvBase", "QrvWriter"});
    const auto argsFor = [&](remote::Method method) { return method == remote::START_DOWNLOAD ? products : Values(); };
    // Everything before the outer phase, as a window does it.
    for (const remote::Method before : {remote::QUERY_UPDATES, remote::START_DOWNLOAD, remote::COPY_FILES,
                                        remote::APPLY_ACTIONS}) {
      if (before == pair.outer || (pair.outer == remote::QUERY_UPDATES)) break;
      client.Call(before, argsFor(before));
    }
    bool made = false;
    Message inner;
    client.onCall = [&](const Message& call, Message&) {
      if (made || call.method() == remote::NOTIFY_STATE || call.method() == remote::BRING_TO_FRONT) return false;
      made = true;
      inner = client.Call(pair.inner, argsFor(pair.inner), std::chrono::milliseconds{60000});
      return false;
    };
    const Message outer = client.Call(pair.outer, argsFor(pair.outer), std::chrono::milliseconds{60000});
    EXPECT_TRUE(made) << "the phase sent no notification to nest in";
    EXPECT_NE(inner.error(), "no reply");
    EXPECT_NE(outer.error(), "no reply");
    client.onCall = nullptr;
    client.Call(remote::END_SESSION, Values(), std::chrono::milliseconds{30000});
  }
  EXPECT_FALSE(EngineEnded()) << EngineLog();
  EXPECT_EQ(SanitizerReports(), "");
}

std::vector<PhasePair> AllPhasePairs() {
  const std::vector<remote::Method> phases{remote::QUERY_UPDATES, remote::START_DOWNLOAD, remote::COPY_FILES,
                                           remote::APPLY_ACTIONS, remote::COMPLETE_UPDATE,
                                           remote::RESUME_INTERRUPTED_RUN};
  std::vector<PhasePair> pairs;
  for (remote::Method outer : {remote::START_DOWNLOAD, remote::COPY_FILES}) {
    for (remote::Method inner : phases) {
      if (outer != inner) pairs.push_back({outer, inner});
    }
  }
  return pairs;
}

INSTANTIATE_TEST_SUITE_P(EveryOrder, PhaseInsidePhase, ::testing::ValuesIn(AllPhasePairs()),
                         [](const ::testing::TestParamInfo<PhasePair>& pairInfo) {
                           return "Outer" + std::to_string(pairInfo.param.outer) + "Inner" + std::to_string(pairInfo.param.inner);
                         });

// A whole run, a refusal and a hand-over, then the engine ends by itself:
// its exit is clean, and the leak checker (which only speaks at a normal
// exit) finds nothing.
TEST_F(EngineServiceAttackTest, AfterARunARefusalAndAHandOverTheEngineEndsClean) {
  ASSERT_TRUE(StartEngine(std::chrono::milliseconds{1500})) << EngineLog();
  {
    Client client(Socket());
    ASSERT_EQ(FirstNumber(client.Call(remote::HELLO, Hello(0))), 1);
    if (test::SecondUser::Available()) {
      const int fd = ConnectAsNobody(Socket());
      ASSERT_GE(fd, 0);
      ASSERT_TRUE(SendAll(fd, Framed(CallMessage(1, remote::HELLO, Hello(0)))));
      ReadUntilClosed(fd, kWait);
      close(fd);
    }
    Client second(Socket());
    EXPECT_EQ(FirstNumber(second.Call(remote::HELLO, Hello(0))), 2);
    ASSERT_EQ(FirstNumber(client.Call(remote::QUERY_UPDATES)), 1);
    Values products;
    RemoteValues::AddTexts(products, {"QrvBase", "QrvWriter"});
    ASSERT_EQ(FirstNumber(client.Call(remote::START_DOWNLOAD, products)), 1);
    ASSERT_EQ(FirstNumber(client.Call(remote::COPY_FILES)), 1);
    client.Call(remote::APPLY_ACTIONS);
    client.Call(remote::COMPLETE_UPDATE);
    client.Call(remote::END_UPDATE_STATE, Number(0));
    EXPECT_EQ(FirstNumber(client.Call(remote::END_SESSION)), 1);
  }
  EXPECT_EQ(Level("QrvWriter"), 2u);
  ASSERT_TRUE(WaitFor([&] { return EngineEnded(); }, kWait)) << EngineLog();
  EXPECT_TRUE(WIFEXITED(m_engineStatus) && WEXITSTATUS(m_engineStatus) == 0) << m_engineStatus << EngineLog();
  EXPECT_EQ(SanitizerReports(), "");
}

// --- folders ------------------------------------------------------------------

// A download folder in a folder the second user owns: the root engine must
// not keep its downloads (which it checks and then installs) where that
// user could swap them, nor leave anything of its own there.
TEST_F(EngineServiceAttackTest, ADownloadFolderTheSecondUserControlsIsNeverUsed) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  const fs::path base = fs::path("/tmp") / ("qrv-attack-folders-" + std::to_string(getpid()));
  // Their own folder, and a shared sticky one where they planted the
  // folder the engine would make, with a link inside to a root-only place.
  const fs::path theirs = base / "theirs";
  const fs::path shared = base / "shared";
  const fs::path rootOnly = base / "root-only";
  fs::create_directories(theirs);
  fs::create_directories(shared / "QRVDownload");
  fs::create_directories(rootOnly);
  chmod(base.c_str(), 0755);
  chmod(rootOnly.c_str(), 0700);
  ASSERT_EQ(chown(theirs.c_str(), kNobody, kNobody), 0);
  chmod(shared.c_str(), 01777);
  ASSERT_EQ(chown((shared / "QRVDownload").c_str(), kNobody, kNobody), 0);
  fs::create_directory_symlink(rootOnly, shared / "QRVDownload" / "QrvBase");
  for (const fs::path& folder : {theirs, shared}) {
    SCOPED_TRACE(folder);
    Client client(Socket());
    ASSERT_EQ(FirstNumber(client.Call(remote::HELLO, Hello(0))), 1);
    // The settings page's check says no ...
    EXPECT_EQ(FirstNumber(client.Call(remote::TEST_DOWNLOAD_FOLDER, Text(folder.string()))), 0);
    // ... and a client that stores it anyway gets no run out of it.
    client.Call(remote::SET_DOWNLOAD_PATH, Text(folder.string()));
    EXPECT_NE(FirstNumber(client.Call(remote::QUERY_UPDATES)), 1);
    Values products;
    RemoteValues::AddTexts(products, {"QrvBase", "QrvWriter"});
    EXPECT_FALSE(client.Call(remote::START_DOWNLOAD, products).error().empty());
    client.Call(remote::END_SESSION);
  }
  // Testing a folder deep below theirs makes nothing there, nor leaves it.
  {
    Client client(Socket());
    ASSERT_EQ(FirstNumber(client.Call(remote::HELLO, Hello(0))), 1);
    EXPECT_EQ(FirstNumber(client.Call(remote::TEST_DOWNLOAD_FOLDER, Text((theirs / "a" / "b").string()))), 0);
    client.Call(remote::END_SESSION);
  }
  EXPECT_TRUE(fs::is_empty(theirs));
  EXPECT_TRUE(fs::is_empty(rootOnly)) << "written through the planted link";
  EXPECT_EQ(fs::directory_iterator(shared / "QRVDownload")->path().filename(), "QrvBase");
  EXPECT_EQ(Level("QrvBase"), 1u);
  std::error_code ec;
  fs::remove_all(base, ec);
  EXPECT_EQ(SanitizerReports(), "");
}

// --- the restart question ---------------------------------------------------

class EngineServiceRestartTest : public EngineServiceAttackTest {
 protected:
  // A file of the update whose place is taken by a folder cannot be
  // replaced now: it is queued for the next start, and the run needs a
  // restart. The whole run up to the goodbye, which asks the question.
  void RunNeedingARestart(Client& client) {
    const fs::path blocked = Installed("QrvBase") / "Bin" / "qrvbase";
    fs::remove(blocked);
    fs::create_directories(blocked / "kept");
    ASSERT_EQ(FirstNumber(client.Call(remote::HELLO, Hello(0))), 1);
    ASSERT_EQ(FirstNumber(client.Call(remote::QUERY_UPDATES)), 1);
    Values products;
    RemoteValues::AddTexts(products, {"QrvBase", "QrvWriter"});
    ASSERT_EQ(FirstNumber(client.Call(remote::START_DOWNLOAD, products)), 1);
    client.Call(remote::COPY_FILES);
    client.Call(remote::APPLY_ACTIONS);
    const Message done = client.Call(remote::COMPLETE_UPDATE);
    int64_t restart = 0;
    ASSERT_TRUE(RemoteValues::Number(done.values(), done.values_size() - 1, 0, 1, restart)) << done.DebugString();
    ASSERT_EQ(restart, 1) << "the run was meant to need a restart";
    client.Call(remote::END_UPDATE_STATE, Number(0));
  }
  static bool IsQuestion(const Message& call) {
    int64_t id = 0;
    return call.method() >= remote::SHOW_MESSAGE && call.method() <= remote::SHOW_MESSAGE_TITLED &&
           RemoteValues::Number(call.values(), 0, 0, INT32_MAX, id) && id == kRestartQuestion;
  }
  static constexpr int64_t kRestartQuestion = 134;
};

TEST_F(EngineServiceRestartTest, AClientKilledAtTheRestartQuestionNeverRestartsTheMachine) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  bool asked = false;
  {
    Client client(Socket());
    ASSERT_NO_FATAL_FAILURE(RunNeedingARestart(client));
    // The window dies at the question.
    client.onCall = [&](const Message& call, Message&) {
      if (!IsQuestion(call)) return false;
      asked = true;
      client.Channel().Shutdown();
      return true;
    };
    client.Call(remote::END_SESSION, Values(), std::chrono::milliseconds{30000});
  }
  EXPECT_TRUE(asked) << EngineLog();
  EXPECT_TRUE(AdministratorServedWithin(std::chrono::milliseconds{30000})) << EngineLog();
  EXPECT_FALSE(fs::exists(RestartMarker())) << test::ReadFile(RestartMarker());
  EXPECT_EQ(SanitizerReports(), "");
}

TEST_F(EngineServiceRestartTest, AnAnswerThatIsNoButtonOfTheQuestionIsNoYes) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  bool asked = false;
  {
    Client client(Socket());
    ASSERT_NO_FATAL_FAILURE(RunNeedingARestart(client));
    client.onCall = [&](const Message& call, Message& reply) {
      if (!IsQuestion(call)) return false;
      asked = true;
      RemoteValues::AddNumber(*reply.mutable_values(), 6);  // "Yes", which an OK/Cancel box has not
      return true;
    };
    EXPECT_EQ(FirstNumber(client.Call(remote::END_SESSION)), 1);
  }
  EXPECT_TRUE(asked) << EngineLog();
  EXPECT_FALSE(fs::exists(RestartMarker())) << test::ReadFile(RestartMarker());
  EXPECT_EQ(SanitizerReports(), "");
}

// FAULT: the restart question is asked while the session's process object
// is being destroyed (EngineSession::End, app/remote/EngineSession.cpp:183
// m_process.reset(), and the question in CQUpdateBase::~CQUpdateBase,
// app/CQUpdateBase.cpp:58). The window's calls are served meanwhile, and
// Dispatch lets them through (m_ended is set only after the reset, line 184,
// and m_running is empty), so DispatchEngine/DispatchSettings use m_process,
// already null (EngineSession.cpp:236, UBSan: member call on null pointer):
// any call from the window while the question is open crashes the root
// engine. Suggested:
// set m_ending/m_ended (refuse everything but the question's own reply)
// before the reset, or take the process object out first and keep a
// pointer that the dispatch checks.
TEST_F(EngineServiceRestartTest, DISABLED_ACallWhileTheRestartQuestionIsOpenIsRefusedNotACrash) {
  ASSERT_TRUE(StartEngine()) << EngineLog();
  std::vector<Message> during;
  {
    Client client(Socket());
    ASSERT_NO_FATAL_FAILURE(RunNeedingARestart(client));
    client.onCall = [&](const Message& call, Message& reply) {
      if (!IsQuestion(call)) return false;
      during.push_back(client.Call(remote::GET_TERM, Values(), std::chrono::milliseconds{10000}));
      RemoteValues::AddNumber(*reply.mutable_values(), 2);  // Cancel
      return true;
    };
    client.Call(remote::END_SESSION, Values(), std::chrono::milliseconds{30000});
  }
  ASSERT_EQ(during.size(), 1u) << EngineLog();
  EXPECT_NE(during[0].error(), "no reply") << "the engine died under the question";
  EXPECT_FALSE(EngineEnded()) << EngineLog();
  EXPECT_EQ(SanitizerReports(), "");
  EXPECT_FALSE(fs::exists(RestartMarker())) << test::ReadFile(RestartMarker());
}

}  // namespace
}  // namespace qrv
