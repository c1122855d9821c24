// The replacement queue is carried out as root at boot: tampered entries or
// links planted in a product folder get nothing written, moved or deleted
// elsewhere; such entries are refused and stay queued.

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "apply/PendingReplacements.h"
#include "config/CQUpdateUtilRegistry.h"
#include "platform/registry/RegistryKey.h"
#include "platform/registry/RegistryStore.h"
#include "tests/support/CabinetFixtures.h"
#include "tests/support/DiagnosticsRecorder.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/SandboxRoot.h"
#include "tests/support/SecondUser.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using platform::RegistryKey;
using platform::RegStatus;
using test::ReadFile;
using test::WriteFile;

constexpr uid_t kNobody = test::SecondUser::kUid;

std::vector<std::string> FilesBelow(const fs::path& folder) { return test::CabinetFixtures::Tree(folder); }

class StorePendingQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A folder outside the root, where the attacker wants a file to land.
    std::string outside = (m_root.Path().parent_path() / "qrv-outside-XXXXXX").string();
    ASSERT_NE(mkdtemp(outside.data()), nullptr);
    m_outside = outside;
    WriteFile(m_outside / "victim", "keep");
    WriteFile(Install() / "main.bin", "old");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_outside, ec);
    platform::RegistryStore::ReleaseThreadConnections();
  }

  fs::path Install() const { return m_root / "inst" / "Writer"; }
  fs::path Pending() const { return PendingReplacements::Folder(); }

  // Queues a file the ordinary way; returns its entry id.
  std::string Queued(const std::string& name, const std::string& content, const fs::path& target) {
    WriteFile(m_root / "hold" / name, content);
    std::string error;
    EXPECT_TRUE(PendingReplacements::Queue((m_root / "hold" / name).string(), target.string(), error)) << error;
    return PendingReplacements::List().back().id;
  }
  // Rewrites (or writes) an entry as someone with access to the store could.
  void Tamper(const std::string& id, const std::string& source, const std::string& target) {
    RegistryKey entry;
    ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine,
                                  std::string(CQUpdateUtilRegistry::kMainKey) + "\\PendingReplace\\" + id, entry),
              RegStatus::kOk);
    entry.SetString("Source", source);
    entry.SetString("Target", target);
    entry.SetDword("Order", static_cast<uint32_t>(std::stoul(id)));
  }
  std::string SourceOf(const std::string& id) {
    for (const auto& e : PendingReplacements::List()) {
      if (e.id == id) return e.source;
    }
    return {};
  }

  test::SandboxRoot m_root;
  fs::path m_outside;
  test::DiagnosticsRecorder m_diagnostics;
};

TEST_F(StorePendingQueueTest, EntriesWhoseSourceIsNotAQueuedFileAreRefusedAndNothingIsDeleted) {
  const std::string good = Queued("main.bin", "new", Install() / "main.bin");
  // a file the attacker can write, a store file, and a link, as "sources"
  WriteFile(m_root / "dl" / "evil.so", "evil");
  Tamper("00000010", (m_root / "dl" / "evil.so").string(), (Install() / "lib.so").string());
  Tamper("00000011", Pending().string() + "../HKLM.sqlite", (Install() / "store.bin").string());
  fs::create_symlink(m_outside / "victim", Pending() / "00000012-link");
  Tamper("00000012", (Pending() / "00000012-link").string(), (Install() / "linked.bin").string());
  Tamper("00000013", Pending().string(), (Install() / "folder.bin").string());
  const auto pendingBefore = FilesBelow(Pending());

  std::vector<std::string> failures;
  EXPECT_EQ(PendingReplacements::RunAll(failures), 1u) << "the good entry still runs";
  EXPECT_EQ(ReadFile(Install() / "main.bin"), "new");
  EXPECT_EQ(failures.size(), 4u) << ::testing::PrintToString(failures);

  EXPECT_EQ(ReadFile(m_root / "dl" / "evil.so"), "evil") << "not moved, not deleted";
  EXPECT_TRUE(fs::exists(m_root / "var/lib/qrvupdate/HKLM.sqlite"));
  EXPECT_EQ(ReadFile(m_outside / "victim"), "keep");
  for (const char* name : {"lib.so", "store.bin", "linked.bin", "folder.bin"}) {
    EXPECT_FALSE(fs::exists(Install() / name)) << name;
  }
  auto pendingAfter = pendingBefore;
  pendingAfter.erase(std::remove(pendingAfter.begin(), pendingAfter.end(), good + "-main.bin"), pendingAfter.end());
  EXPECT_EQ(FilesBelow(Pending()), pendingAfter) << "only the good entry's file is gone";
  EXPECT_TRUE(fs::is_symlink(Pending() / "00000012-link"));

  std::vector<std::string> left;
  for (const auto& e : PendingReplacements::List()) left.push_back(e.id);
  EXPECT_EQ(left, (std::vector<std::string>{"00000010", "00000011", "00000012", "00000013"}));
  EXPECT_TRUE(
      m_diagnostics.Has("cannot replace " + (Install() / "lib.so").string() + ": refused (queued entry 00000010"))
      << m_diagnostics.Text();
  EXPECT_TRUE(m_diagnostics.Has("is not in the pending folder"));
  EXPECT_TRUE(m_diagnostics.Has("is a symbolic link"));
}

TEST_F(StorePendingQueueTest, TargetsOutsideTheRootOrThroughALinkAreRefusedAndTheFileStaysQueued) {
  // a link in the product folder, as a careless installer or another user may leave one
  fs::create_symlink(m_outside, Install() / "plugins");
  struct Case {
    const char* what;
    fs::path target;
  };
  const std::vector<Case> cases = {
      {"outside the root", m_outside / "evil.so"},
      {"climbing out", Install() / ".." / ".." / ".." / fs::path(m_outside).filename() / "evil.so"},
      {"through a linked folder", Install() / "plugins" / "evil.so"},
      {"a relative path", "inst/Writer/evil.so"},
  };
  std::vector<std::string> ids;
  for (const Case& c : cases) {
    const std::string id = Queued("evil.so", c.what, Install() / "placeholder");
    Tamper(id, SourceOf(id), c.target.string());
    ids.push_back(id);
  }
  const auto pendingBefore = FilesBelow(Pending());

  std::vector<std::string> failures;
  EXPECT_EQ(PendingReplacements::RunAll(failures), 0u);
  EXPECT_EQ(failures.size(), cases.size()) << ::testing::PrintToString(failures);
  EXPECT_EQ(FilesBelow(m_outside), std::vector<std::string>{"victim"}) << "nothing landed outside";
  EXPECT_EQ(ReadFile(m_outside / "victim"), "keep");
  EXPECT_EQ(FilesBelow(Pending()), pendingBefore) << "every queued file is still there";
  EXPECT_EQ(PendingReplacements::List().size(), cases.size());
  EXPECT_TRUE(m_diagnostics.Has("the target lies outside " + m_root.Path().string())) << m_diagnostics.Text();
  EXPECT_TRUE(m_diagnostics.Has((Install() / "plugins").string() + " is a symbolic link"));

  // the administrator's tool refuses them the same way, one message each
  test::ProcessResult r = test::RunProcess(QRVCTL_PATH, {"--root", m_root.Path().string(), "pending", "run"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), static_cast<long>(cases.size())) << r.err;
  EXPECT_NE(r.err.find("qrvctl: cannot replace " + (Install() / "plugins" / "evil.so").string() + ": refused"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(FilesBelow(m_outside), std::vector<std::string>{"victim"});
  r = test::RunProcess(QRVCTL_PATH, {"--root", m_root.Path().string(), "pending", "list"});
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), static_cast<long>(cases.size())) << r.out;
}

TEST_F(StorePendingQueueTest, ALinkASecondUserPlantsInAProductFolderIsNotFollowed) {
  // a product folder another user may write to (a shared plug-in folder)
  const fs::path shared = Install() / "shared";
  fs::create_directories(shared);
  const std::string id = Queued("lib.so", "new lib", shared / "lib" / "lib.so");
  if (test::SecondUser::Available()) {
    ASSERT_EQ(chown(shared.c_str(), kNobody, kNobody), 0);
    test::SecondUser::LetReach(shared.parent_path());
    test::ProcessResult r = test::SecondUser::Run({"/bin/ln", "-s", m_outside.string(), (shared / "lib").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(test::OwnerOf(shared / "lib"), kNobody) << "planted by the second user";
  } else {
    // without root no second user can be arranged; the link is the same
    fs::create_symlink(m_outside, shared / "lib");
  }

  std::vector<std::string> failures;
  EXPECT_EQ(PendingReplacements::RunAll(failures), 0u);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_NE(failures[0].find("is a symbolic link"), std::string::npos) << failures[0];
  EXPECT_EQ(FilesBelow(m_outside), std::vector<std::string>{"victim"});
  EXPECT_EQ(ReadFile(SourceOf(id)), "new lib") << "still queued with its file";

  // once the link is gone, the same entry goes through, making the folder
  fs::remove(shared / "lib");
  failures.clear();
  EXPECT_EQ(PendingReplacements::RunAll(failures), 1u) << ::testing::PrintToString(failures);
  EXPECT_EQ(ReadFile(shared / "lib" / "lib.so"), "new lib");
  EXPECT_FALSE(fs::is_symlink(shared / "lib"));
  EXPECT_TRUE(PendingReplacements::List().empty());
  EXPECT_EQ(FilesBelow(Pending()), std::vector<std::string>{});
}

}  // namespace
}  // namespace qrv
