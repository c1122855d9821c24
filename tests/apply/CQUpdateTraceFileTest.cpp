#include "apply/CQUpdateTraceFile.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/core/Diagnostics.h"
#include "tests/support/SandboxRoot.h"

namespace qrv {
namespace {

constexpr const char* kStart = "##  Start  ###################\n";
constexpr const char* kEnd = "##  end    ###################\n";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(CQUpdateTraceFileTest, RunsAppendTheirLinesInOrder) {
  test::SandboxRoot root;
  ASSERT_EQ(CQUpdateTraceFile::Path(), (root.Tmp() / "QrvUpdate.txt").string());
  test::WriteFile(root.Tmp() / "QrvUpdate.txt", "older run\n");
  {
    CQUpdateTraceFile trace;
    EXPECT_TRUE(trace.IsOpen());
    trace.WriteEvent("UpdatePrepare", 0);
    trace.WriteEvent("OnFileTransferError", -2147483647 - 1);
    // visible at once, while the run still goes on
    EXPECT_EQ(test::ReadFile(root.Tmp() / "QrvUpdate.txt"),
              std::string("older run\n") + kStart + "-UpdatePrepare---0\n-OnFileTransferError----2147483648\n");
  }
  {
    CQUpdateTraceFile trace;
    trace.WriteEvent("", 7);
  }
  EXPECT_EQ(test::ReadFile(root.Tmp() / "QrvUpdate.txt"),
            std::string("older run\n") + kStart + "-UpdatePrepare---0\n-OnFileTransferError----2147483648\n" + kEnd +
                kStart + "----7\n" + kEnd);
}

TEST(CQUpdateTraceFileTest, AFileThatCannotBeWrittenIsSkipped) {
  test::SandboxRoot root;
  // A folder in the file's place cannot be opened, not even by root.
  std::filesystem::create_directories(root.Tmp() / "QrvUpdate.txt");
  {
    CQUpdateTraceFile trace;
    EXPECT_FALSE(trace.IsOpen());
    trace.WriteEvent("UpdateDownload", 1);
  }
  EXPECT_TRUE(std::filesystem::is_directory(root.Tmp() / "QrvUpdate.txt"));

  auto previous = CQUpdateTraceFile::InstallDiagnosticsSink();
  platform::Diagnostics::Report("nowhere to go");  // must simply vanish
  platform::Diagnostics::SetSink(previous);

  // A temporary folder that does not exist is no different.
  setenv("TMPDIR", (root / "missing").c_str(), 1);
  CQUpdateTraceFile trace;
  EXPECT_FALSE(trace.IsOpen());
  trace.WriteEvent("UpdateFinish", 0);
  setenv("TMPDIR", root.Tmp().c_str(), 1);
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

  std::vector<std::string> lines = Lines(test::ReadFile(root.Tmp() / "QrvUpdate.txt"));
  ASSERT_EQ(lines.size(), 1u + 2u + 4u * 300u);
  EXPECT_EQ(lines.front(), "! store damaged: rebuilt") << "line breaks in a message never start a line";
  EXPECT_EQ(lines[1] + "\n", kStart);
  EXPECT_EQ(lines.back() + "\n", kEnd);
  std::regex event(R"(-Worker[0-3]---[0-9]+)");
  std::regex note(R"(! worker [0-3] note [0-9]*0)");
  int events = 0;
  int notes = 0;
  for (size_t i = 2; i + 1 < lines.size(); ++i) {
    if (std::regex_match(lines[i], event)) {
      ++events;
    } else if (std::regex_match(lines[i], note)) {
      ++notes;
    } else {
      ADD_FAILURE() << "torn line " << i << ": " << lines[i];
    }
  }
  EXPECT_EQ(events, 4 * 270);
  EXPECT_EQ(notes, 4 * 30);
}

}  // namespace
}  // namespace qrv
