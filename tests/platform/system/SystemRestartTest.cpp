#include "platform/system/SystemRestart.h"

#include <gtest/gtest.h>

#include "platform/core/LastError.h"
#include "platform/system/RestartRecorder.h"
#include "platform/system/SystemctlRestart.h"

namespace qrv::platform {
namespace {

TEST(SystemRestartTest, TheProcessWideRestartIsARecorderUntilReplaced) {
  // Whatever ran before, a reset gives a fresh recorder that answers "started".
  std::unique_ptr<SystemRestart> saved = SystemRestart::Install(nullptr);
  EXPECT_TRUE(SystemRestart::RestartNow());
  std::unique_ptr<SystemRestart> fresh = SystemRestart::Install(std::make_unique<RestartRecorder>(false));
  auto* freshRecorder = dynamic_cast<RestartRecorder*>(fresh.get());
  ASSERT_NE(freshRecorder, nullptr);
  EXPECT_EQ(freshRecorder->Calls(), 1);

  LastError::Clear();
  EXPECT_FALSE(SystemRestart::RestartNow());
  EXPECT_NE(LastError::Text().find("refused"), std::string::npos);
  std::unique_ptr<SystemRestart> refusing = SystemRestart::Install(std::move(saved));
  EXPECT_EQ(dynamic_cast<RestartRecorder&>(*refusing).Calls(), 1);
}

// The real restart's spawning, run with harmless commands: the restart command
// itself is never run here.
TEST(SystemRestartTest, TheRealRestartRunsItsCommandWithoutAShell) {
  EXPECT_TRUE(SystemctlRestart({"true"}).Restart()) << LastError::Text();
  // Arguments travel as a vector: a shell would split "a b" and fail the test.
  EXPECT_TRUE(SystemctlRestart({"test", "a b", "=", "a b"}).Restart()) << LastError::Text();
  EXPECT_TRUE(SystemctlRestart({"test", "$HOME;", "=", "$HOME;"}).Restart()) << LastError::Text();

  EXPECT_FALSE(SystemctlRestart({"false"}).Restart());
  EXPECT_EQ(LastError::Text(), "false exited with 1");
  EXPECT_FALSE(SystemctlRestart({"sh", "-c", "kill -TERM $$"}).Restart());
  EXPECT_EQ(LastError::Text(), "sh -c kill -TERM $$ was ended by signal 15");
  EXPECT_FALSE(SystemctlRestart({"/nonexistent/systemctl", "reboot"}).Restart());
  EXPECT_EQ(LastError::Text(), "cannot run /nonexistent/systemctl reboot: No such file or directory");
  EXPECT_FALSE(SystemctlRestart(std::vector<std::string>{}).Restart());
}

}  // namespace
}  // namespace qrv::platform
