#include "apply/CQUpdateTraceFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/core/Diagnostics.h"
#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;

constexpr const char* kStart = "##  Start  ###################\n";
constexpr const char* kEnd = "##  end    ###################\n";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Where a run in a root keeps its trace.
fs::path TraceIn(const test::SandboxRoot& root) { return root / "var/log/qrvupdate/QrvUpdate.txt"; }

using test::ModeOf;

TEST(CQUpdateTraceFileTest, RunsAppendTheirLinesInOrder) {
  test::SandboxRoot root;
  ASSERT_EQ(CQUpdateTraceFile::Path(), TraceIn(root).string());
  test::WriteFile(TraceIn(root), "older run\n");
  {
    CQUpdateTraceFile trace;
    EXPECT_TRUE(trace.IsOpen());
    trace.WriteEvent("UpdatePrepare", 0);
    trace.WriteEvent("OnFileTransferError", -2147483647 - 1);
    // visible at once, while the run still goes on
    EXPECT_EQ(test::ReadFile(TraceIn(root)),
              std::string("older run\n") + kStart + "-UpdatePrepare---0\n-OnFileTransferError----2147483648\n");
  }
  {
    CQUpdateTraceFile trace;
    trace.WriteEvent("", 7);
  }
  EXPECT_EQ(test::ReadFile(TraceIn(root)),
            std::string("older run\n") + kStart + "-UpdatePrepare---0\n-OnFileTransferError----2147483648\n" + kEnd +
                kStart + "----7\n" + kEnd);
  EXPECT_FALSE(fs::exists(root.Tmp() / "QrvUpdate.txt")) << "never in the shared temporary folder";
}

TEST(CQUpdateTraceFileTest, TheFolderIsMadePrivateAndTheFileOwnerOnlyWhateverTheUmask) {
  test::SandboxRoot root;
  const mode_t old = umask(0);
  {
    CQUpdateTraceFile trace;
    EXPECT_TRUE(trace.IsOpen());
  }
  auto previous = CQUpdateTraceFile::InstallDiagnosticsSink();
  platform::Diagnostics::Report("made by the sink");
  platform::Diagnostics::SetSink(previous);
  umask(old);
  EXPECT_EQ(ModeOf(TraceIn(root).parent_path()), 0700u);
  EXPECT_EQ(ModeOf(TraceIn(root)), 0600u);

  // an older trace readable by all is narrowed on the next open
  chmod(TraceIn(root).c_str(), 0644);
  { CQUpdateTraceFile trace; }
  EXPECT_EQ(ModeOf(TraceIn(root)), 0600u);
}

// A link or second name in the file's place is never written through; a
// folder there, or a log folder that cannot be made, just means no trace.
TEST(CQUpdateTraceFileTest, ATraceThatCannotBeOpenedSafelyIsSkipped) {
  test::SandboxRoot root;
  const fs::path victim = root / "victim.txt";
  test::WriteFile(victim, "keep me");
  const std::vector<std::pair<const char*, std::function<void()>>> obstacles = {
      {"symbolic link", [&] { fs::create_symlink(victim, TraceIn(root)); }},
      {"hard link", [&] { fs::create_hard_link(victim, TraceIn(root)); }},
      {"folder", [&] { fs::create_directories(TraceIn(root)); }},
      {"log folder is a file", [&] {
         fs::remove_all(root / "var/log");
         test::WriteFile(root / "var/log", "a file where the folder belongs");
       }},
  };
  auto previous = CQUpdateTraceFile::InstallDiagnosticsSink();
  for (const auto& [what, plant] : obstacles) {
    SCOPED_TRACE(what);
    fs::remove_all(root / "var/log");
    fs::create_directories(TraceIn(root).parent_path());
    fs::permissions(TraceIn(root).parent_path(), fs::perms::owner_all);
    plant();
    {
      CQUpdateTraceFile trace;
      EXPECT_FALSE(trace.IsOpen());
      trace.WriteEvent("UpdatePrepare", 0);
    }
    platform::Diagnostics::Report("through the link?");  // must simply vanish
    EXPECT_EQ(test::ReadFile(victim), "keep me");
  }
  platform::Diagnostics::SetSink(previous);
}

TEST(CQUpdateTraceFileTest, ThreadsAndDiagnosticsWriteWholeLines) {
  test::SandboxRoot root;
  auto previous = CQUpdateTraceFile::InstallDiagnosticsSink();
  platform::Diagnostics::Report("store damaged:\nrebuilt");  // before any run
  {
    CQUpdateTraceFile trace;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&trace, t] {
        for (int i = 0; i < 300; ++i) {
          if (i % 10 == 0) {
            platform::Diagnostics::Report("worker " + std::to_string(t) + " note " + std::to_string(i));
          } else {
            trace.WriteEvent("Worker" + std::to_string(t), i);
          }
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  platform::Diagnostics::SetSink(previous);

  std::vector<std::string> lines = Lines(test::ReadFile(TraceIn(root)));
  ASSERT_EQ(lines.size(), 1u + 2u + 4u * 300u);
  EXPECT_EQ(lines.front(), "! store damaged: rebuilt") << "line breaks in a message never start a line";
  EXPECT_EQ(lines[1] + "\n", kStart);
  EXPECT_EQ(lines.back() + "\n", kEnd);
  std::regex event(R"(-Worker[0-3]---[0-9]+)");
  std::regex note(R"(! worker [0-3] note [0-9]*0)");
  int events = 0, notes = 0;
  for (size_t i = 2; i + 1 < lines.size(); ++i) {
    if (std::regex_match(lines[i], event)) ++events;
    else if (std::regex_match(lines[i], note)) ++notes;
    else ADD_FAILURE() << "torn line " << i << ": " << lines[i];
  }
  EXPECT_EQ(events, 4 * 270);
  EXPECT_EQ(notes, 4 * 30);
}

TEST(CQUpdateTraceFileTest, ServerTextInDiagnosticsIsWrittenEscaped) {
  test::SandboxRoot root;
  auto previous = CQUpdateTraceFile::InstallDiagnosticsSink();
  platform::Diagnostics::Report("not fetching \"\x1b]0;owned\x07\x1b[2J\xc2\x9b" "31mx.cab\"\r\nfor Writer\x7f\xff");
  platform::Diagnostics::SetSink(previous);
  EXPECT_EQ(test::ReadFile(TraceIn(root)),
            "! not fetching \"\\e]0;owned\\x07\\e[2J\\u009B31mx.cab\"  for Writer\\x7F\\xFF\n");
}

}  // namespace
}  // namespace qrv
