#include "transfer/CQUpdateTransferMgr.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/registry/RegistryKey.h"
#include "platform/thread/EventPump.h"
#include "tests/support/SandboxRoot.h"
#include "transfer/TransferPath.h"

namespace qrv {
namespace {

// Its worker writes the file name into the local file once m_until says so
// (at once when there is none).
class FakeTransport : public CQUpdateTransferMgr {
 public:
  ThreadProc GetThreadProc() override { return &Worker; }
  uint32_t Prepare(const std::string& product) override {
    m_prepared = product;
    return m_prepareResult;
  }

  static uint32_t Worker(WorkerParams* p) {
    auto* self = static_cast<FakeTransport*>(p->owner);
    self->m_calls++;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (self->m_until && !self->m_until() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (self->m_fail) return 0;
    test::WriteFile(TransferPath::Join(p->folder, p->fileName), p->fileName);
    return 1;
  }

  std::function<bool()> m_until;  // read on the worker thread
  bool m_fail = false;
  uint32_t m_prepareResult = 1;
  std::string m_prepared;
  std::atomic<int> m_calls{0};
};

TEST(TransferPath, RefusesNamesThatLeaveTheFolder) {
  std::string out;
  EXPECT_TRUE(TransferPath::Normalise("a/b\\\\c.ini\\", out));
  EXPECT_EQ(out, "a/b/c.ini");
  for (const char* bad : {"", "..\\x", "sub/../../x", "/etc/passwd", "\\\\server\\share", "C:\\x", "a/./b", "a\nb",
                          "\\", "//"}) {
    EXPECT_FALSE(TransferPath::Normalise(bad, out)) << bad;
  }
}

TEST(CQUpdateTransferMgr, DownloadFileRunsTheWorkerAndKeepsEventsFlowing) {
  test::SandboxRoot root;
  FakeTransport transport;
  // the worker ends only once the caller's events have been serviced three
  // times while it ran (how soon the wait ends is WorkerThreadTest's)
  std::atomic<int> pumps{0};
  transport.m_until = [&] { return pumps >= 3; };
  auto previous = platform::EventPump::SetThreadHook([&] { ++pumps; });
  std::string folder = (root / "dl").string() + "/";
  std::filesystem::create_directories(folder);

  EXPECT_EQ(transport.DownloadFile(folder, "sub\\a.cab"), 1);
  platform::EventPump::SetThreadHook(previous);
  EXPECT_EQ(test::ReadFile(folder + "sub/a.cab"), "sub/a.cab");
  EXPECT_GE(pumps.load(), 3) << "events are serviced while the worker runs";

  // names that would leave the folder never reach the worker
  transport.m_until = nullptr;
  int calls = transport.m_calls;
  EXPECT_EQ(transport.DownloadFile(folder, "..\\evil"), 0);
  EXPECT_EQ(transport.m_calls, calls);
}

TEST(CQUpdateTransferMgr, ReadOnlyCopiesAreReplacedAndFailuresReported) {
  test::SandboxRoot root;
  FakeTransport transport;
  std::string folder = root.Path().string();
  test::WriteFile(folder + "/a.cab", "old");
  chmod((folder + "/a.cab").c_str(), 0444);
  EXPECT_EQ(transport.DownloadFile(folder, "a.cab"), 1);
  EXPECT_EQ(test::ReadFile(folder + "/a.cab"), "a.cab");
  transport.m_fail = true;
  EXPECT_EQ(transport.DownloadFile(folder, "a.cab"), 0);

  EXPECT_EQ(CQUpdateTransferMgr().DownloadFile(folder, "a.cab"), 0) << "the base has no worker";
}

TEST(CQUpdateTransferMgr, UpdateInfoAndDescriptionFiles) {
  test::SandboxRoot root;
  FakeTransport transport;
  std::string folder = (root / "dl").string();
  std::filesystem::create_directories(folder);

  transport.m_prepareResult = 0;
  EXPECT_EQ(transport.CancelFlag(), 1u);
  EXPECT_EQ(transport.GetUpdateInfoFile(folder), 0);
  EXPECT_EQ(transport.m_prepared, "Tarnsoft");
  EXPECT_EQ(transport.CancelFlag(), 1u) << "a failed preparation leaves the flag alone";
  EXPECT_EQ(transport.m_calls, 0) << "and starts no worker";

  transport.m_prepareResult = 1;
  EXPECT_EQ(transport.GetUpdateInfoFile(folder), 1);
  EXPECT_EQ(transport.CancelFlag(), 0u);
  EXPECT_TRUE(std::filesystem::exists(folder + "/qupdate_s.ini"));
  transport.Cancel();
  EXPECT_EQ(transport.CancelFlag(), 1u);

  // the description file named in the download folder's qupdate_s.ini
  platform::RegistryKey main;
  ASSERT_EQ(platform::RegistryKey::Create(platform::kRootLocalMachine, "SOFTWARE\\QRV\\Shared\\QrvUpdate", main),
            platform::RegStatus::kOk);
  main.SetString("DownloadPath", root.Path().string());
  std::string download = root.Path().string() + "/QRVDownload/";
  test::WriteFile(download + "qupdate_s.ini", "[UPDATEINFOPATH]\nWriter=notes\\writer.txt\n");
  std::filesystem::create_directories(download + "notes");
  transport.DownloadInfoFile("Writer");
  EXPECT_EQ(test::ReadFile(download + "notes/writer.txt"), "notes/writer.txt");
  EXPECT_EQ(transport.CancelFlag(), 0u);
}

}  // namespace
}  // namespace qrv
