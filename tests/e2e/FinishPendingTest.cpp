// The files an update could not replace while the system ran are put in
// place at the next start: `qrvupdate --finish-pending`, run for real, and
// the boot unit that starts it, checked by systemd-analyze.

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "apply/PendingReplacements.h"
#include "platform/core/RunLock.h"
#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/CabinetFixtures.h"
#include "tests/support/ProcessRunner.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

long Lines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }
bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class FinishPendingTest : public test::E2eRunFixture {
 protected:
  // The program as the boot unit runs it, the root given by --root or, with
  // byEnvironment, only by QRVUPDATE_ROOT.
  test::ProcessResult FinishPending(bool byEnvironment = false) {
    const std::string root = m_root.Path().string();
    if (byEnvironment) return test::RunProcess(QRVUPDATE_PATH, {"--finish-pending"}, {{"QRVUPDATE_ROOT", root}});
    return test::RunProcess(QRVUPDATE_PATH, {"--finish-pending", "--root", root});
  }
  std::vector<std::string> PendingFiles() const { return test::CabinetFixtures::Tree(PendingReplacements::Folder()); }
};

TEST_F(FinishPendingTest, AFileBusyDuringTheCopyIsQueuedAndTheNextStartPutsItInPlace) {
  ASSERT_EQ(UseTransport(test::Transport::kHttp), "");
  ServeTwoUpdates();
  // A folder with something in it stands where bin/writer.txt goes for the
  // whole copy: like a file a running program holds, it cannot be replaced.
  const fs::path busy = Install("Writer") / "bin" / "writer.txt";
  WriteFile(busy / "held", "in use");

  ASSERT_TRUE(RunAll({"Calc", "Writer"}));
  EXPECT_EQ(Version("Writer"), 7u) << "a queued file counts as put in place";
  EXPECT_EQ(ReadFile(Install("Writer") / "bin" / "Writer.exe"), "writer program 7");
  EXPECT_NE(m_process->RestartRequired(), 0u);
  const auto queued = PendingReplacements::List();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].target, busy.string());
  EXPECT_EQ(ReadFile(queued[0].source), "writer 7");
  const std::vector<std::string> pendingFiles = PendingFiles();
  ASSERT_EQ(pendingFiles.size(), 1u);

  // an update run holds the root: the boot run touches nothing
  {
    platform::RunLock lock;
    ASSERT_EQ(lock.Take(), platform::RunLock::Outcome::kTaken) << lock.Error();
    const test::ProcessResult r = FinishPending();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "qrvupdate: process " + std::to_string(getpid()) + " holds the run lock " +
                         platform::RunLock::Path() + "\n");
    EXPECT_EQ(PendingReplacements::List().size(), 1u);
  }

  // still held: one line with both paths and the reason, the entry kept
  test::ProcessResult r = FinishPending();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(Lines(r.err), 1) << r.err;
  EXPECT_EQ(r.err.rfind("qrvupdate: cannot replace " + busy.string() + " (queued entry " + queued[0].id +
                            ", source " + queued[0].source + "): cannot replace " + busy.string() + ": ",
                        0),
            0u)
      << r.err;
  EXPECT_TRUE(Has(r.err, "; the entry stays queued\n")) << r.err;
  EXPECT_EQ(PendingFiles(), pendingFiles);
  EXPECT_TRUE(fs::is_directory(busy));

  // the program let go of it: the next start puts it in place, silently
  fs::remove_all(busy);
  r = FinishPending();
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(ReadFile(busy), "writer 7");
  EXPECT_TRUE(PendingReplacements::List().empty());
  EXPECT_EQ(PendingFiles(), std::vector<std::string>{}) << "an empty pending folder keeps the boot unit from starting";

  r = FinishPending(true);
  EXPECT_EQ(r.exitCode, 0) << "nothing queued is nothing to fail: " << r.err;
  EXPECT_EQ(r.out + r.err, "");
}

TEST_F(FinishPendingTest, AnEntryWhoseFileIsGoneFailsWithItsPathsStaysQueuedAndTheRestGoIn) {
  AddProduct("Writer");
  const fs::path lost = Install("Writer") / "lost.bin";
  const fs::path kept = Install("Writer") / "lib" / "kept.so";
  WriteFile(lost, "old");
  std::string error;
  WriteFile(m_root / "hold" / "lost.bin", "new lost");
  ASSERT_TRUE(PendingReplacements::Queue((m_root / "hold" / "lost.bin").string(), lost.string(), error)) << error;
  WriteFile(m_root / "hold" / "kept.so", "new kept");
  ASSERT_TRUE(PendingReplacements::Queue((m_root / "hold" / "kept.so").string(), kept.string(), error)) << error;
  const PendingReplacements::Entry gone = PendingReplacements::List().front();
  fs::remove(gone.source);

  const test::ProcessResult r = FinishPending(true);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Lines(r.err), 1) << r.err;
  EXPECT_EQ(r.err, "qrvupdate: cannot replace " + lost.string() + " (queued entry " + gone.id + ", source " +
                       gone.source + "): cannot open " + gone.source +
                       ": No such file or directory; the entry stays queued\n");
  EXPECT_EQ(ReadFile(lost), "old");
  EXPECT_EQ(ReadFile(kept), "new kept") << "the entry after the failing one still goes in";
  const auto left = PendingReplacements::List();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].id, gone.id);
}

// packaging/systemd/qrvupdate-pending.service as systemd reads it.
class PendingServiceUnitTest : public ::testing::Test {
 protected:
  static constexpr const char* kAnalyze = "/usr/bin/systemd-analyze";
  static constexpr const char* kUnit = "qrvupdate-pending.service";

  void SetUp() override {
    ASSERT_TRUE(fs::exists(kAnalyze)) << kAnalyze << " is missing: install the systemd package (scripts/setup.sh)";
    m_unit = ReadFile(fs::path(QRV_SOURCE_DIR) / "packaging" / "systemd" / kUnit);
  }

  // The values of every "key=..." line of the unit, joined by spaces as
  // systemd joins the lines of a list setting; empty when there is none.
  std::string Value(const std::string& key) const {
    std::istringstream in(m_unit);
    std::string value;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(key + "=", 0) == 0) value += (value.empty() ? "" : " ") + line.substr(key.size() + 1);
    }
    return value;
  }

  // Verifies the unit text as installed and enabled: a copy whose ExecStart
  // runs the program just built (verify refuses a command that does not
  // exist, and /usr/bin/qrvupdate is not installed here) and a target that
  // wants it with the target its [Install] names, so the boot's ordering
  // around it is checked too. What systemd said about our unit, one line
  // each; empty when it took the unit without a word.
  std::string Verify(const std::string& unitText) {
    const fs::path folder = m_root / ("units-" + std::to_string(m_verified++));
    std::string copy = unitText;
    const std::string installed = "/usr/bin/qrvupdate --finish-pending";
    const size_t at = copy.find(installed);
    if (at != std::string::npos) copy.replace(at, std::string("/usr/bin/qrvupdate").size(), QRVUPDATE_PATH);
    WriteFile(folder / kUnit, copy);
    WriteFile(folder / "qrvupdate-pending-boot.target",
              "[Unit]\nDescription=a boot with the unit enabled\nWants=" + Value("WantedBy") + " " + kUnit + "\n");
    const test::ProcessResult r = test::RunProcess(
        kAnalyze, {"verify", "--man=no", (folder / kUnit).string(), (folder / "qrvupdate-pending-boot.target").string()});
    std::string about;
    std::istringstream lines(r.out + r.err);
    for (std::string line; std::getline(lines, line);) {
      if (Has(line, "qrvupdate-pending")) about += line + "\n";
    }
    if (r.exitCode != 0) about += "exit status " + std::to_string(r.exitCode) + "\n";
    return about;
  }

  test::SandboxRoot m_root;
  std::string m_unit;
  int m_verified = 0;
};

TEST_F(PendingServiceUnitTest, StartsTheProgramEarlyOnlyWhenSomethingIsQueuedAndVerifiesCleanly) {
  EXPECT_EQ(Value("ExecStart"), "/usr/bin/qrvupdate --finish-pending");
  EXPECT_EQ(Value("Type"), "oneshot");
  // the unit looks where the program queues, on a real system (root "/")
  const std::string condition = Value("ConditionDirectoryNotEmpty");
  EXPECT_EQ(m_root.Path().string() + condition + "/", PendingReplacements::Folder());
  EXPECT_TRUE(Has(Value("Before"), "display-manager.service")) << Value("Before");
  EXPECT_TRUE(Has(Value("Before"), "systemd-user-sessions.service")) << Value("Before");

  EXPECT_EQ(Verify(m_unit), "");

  // the same check speaks up for a misspelt setting and for an ordering
  // that cannot be met at boot, so its silence above means something
  struct Broken {
    const char* what;
    std::string from, to;
  };
  const std::vector<Broken> broken = {
      {"misspelt key", "Conflicts=", "Conflict="},
      {"bad value", "Type=oneshot", "Type=one-shot"},
      {"ordered after the target that starts it", "After=local-fs.target", "After=local-fs.target multi-user.target"},
  };
  for (const Broken& b : broken) {
    std::string text = m_unit;
    const size_t at = text.find(b.from);
    ASSERT_NE(at, std::string::npos) << b.what;
    text.replace(at, b.from.size(), b.to);
    EXPECT_NE(Verify(text), "") << b.what;
  }
}

}  // namespace
}  // namespace qrv
