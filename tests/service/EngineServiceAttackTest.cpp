// The engine service under attack: qrvupdate-engine in the sandbox root on a
// private socket, facing a second local user who may not update anything,
// and an administrator's client that is buggy or hostile (calls in odd
// orders, calls from inside the engine's own notifications, bytes that are
// no message, a peer that never reads). The engine must refuse, survive and
// go on serving; what the sanitizers say about it lands in its log.
#include "tests/service/EngineServiceFixture.h"
#include "tests/support/SecondUser.h"
#include "tests/support/SkipUnlessServer.h"

namespace qrv::test::service {
namespace {

class EngineServiceAttackTest : public EngineServiceFixture {};

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

// A refused connection gets its answer within a moment or not at all, and
// what its peer sends meanwhile is bounded: a non-administrator who sends
// thousands of calls and reads none of the refusals neither holds up an
// administrator nor grows the root engine's memory.
TEST_F(EngineServiceAttackTest, ANonAdministratorWhoNeverReadsCannotFillTheEnginesMemory) {
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

// Nor can such a peer keep the engine from ending when idle.
TEST_F(EngineServiceAttackTest, ANonAdministratorWhoNeverReadsCannotKeepTheEngineFromEndingWhenIdle) {
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

// Refusals that go unread do not take the answering slots for good: a
// second administrator's window during a run is still told the run is under
// way.
TEST_F(EngineServiceAttackTest, StuckRefusalsDoNotCostAdministratorsTheirAnswer) {
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
// Settings that change the run wait until the phase's work has ended: a
// server changed inside the download's notification would be taken up by
// the download under way halfway through.
TEST_F(SettingInsideTheDownload, ServerInfo) { Check(remote::SET_SERVER_INFO, Server(kServerTypeFtp, "127.0.0.1/x")); }
TEST_F(SettingInsideTheDownload, ServerReset) { Check(remote::RESET_SERVER_INFO, Values()); }
TEST_F(SettingInsideTheDownload, ServerType) { Check(remote::SELECT_SERVER_TYPE, Number(kServerTypeFtp)); }
TEST_F(SettingInsideTheDownload, ConnectionTest) { Check(remote::TEST_CONNECTION, Server(kServerTypeHttp, "127.0.0.1/x")); }
TEST_F(SettingInsideTheDownload, DownloadFolder) { Check(remote::SET_DOWNLOAD_PATH, Text("/nonexistent-qrv-folder")); }
TEST_F(SettingInsideTheDownload, DownloadFolderTest) { Check(remote::TEST_DOWNLOAD_FOLDER, Text(Root() + "/other")); }

// No phase begins while another phase's work is under way: looking for
// updates again from inside the download's progress would replace the
// transfer manager the download is fetching through.
TEST_F(EngineServiceNestingTest, LookingForUpdatesInsideTheDownloadIsRefused) {
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

// Nor a download from inside the copy's first notification: it would fetch
// into the folder the copy takes its cabinets from.
TEST_F(EngineServiceNestingTest, ADownloadInsideTheCopyIsRefusedAndTheCopyEndsWhole) {
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

// The restart question is asked while the session's process object goes:
// a call from the window meanwhile is refused, never served by what is
// being destroyed.
TEST_F(EngineServiceRestartTest, ACallWhileTheRestartQuestionIsOpenIsRefusedNotACrash) {
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
