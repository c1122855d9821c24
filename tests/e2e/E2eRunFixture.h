#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/CQUpdateBaseProcess.h"
#include "app/CQUpdateDlgMgr.h"
#include "platform/core/MessageService.h"
#include "tests/apply/UpdateRunFixture.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/RecordingMessages.h"
#include "tests/support/SambaTestServer.h"
#include "tests/support/ScopedEnv.h"

namespace qrv::test {

// The ways a machine can reach its update server.
enum class Transport { kHttp, kFtp, kFolder, kSmb };
std::string TransportName(Transport transport);

// Answers every message with OK and keeps the string ids shown, in order.
// A window that notes each notification as "Name@UpdateState" (the state
// stored when it came) and then behaves as the default window. onText runs
// for every status line, on the user-interface thread, while a phase runs:
// a test cancels from there as the Cancel button would.
class E2eWindow : public CQUpdateDlgMgr {
 public:
  void OnFileTransferBegin() override;
  void OnFileTransferFinish() override;
  void OnFileTransferError(int32_t result) override;
  void OnFileCopyBegin() override;
  void OnFileCopyFinish() override;
  void OnFileCopyError() override;
  void OnFinalizeError() override;
  bool OnPrepareFinish(int32_t found) override;
  void SetProgressText(platform::ProgressKind kind, std::string_view file, uint32_t value) override;
  void SetProductStatus(const std::string& product, platform::ProgressKind kind) override;

  // "product=latest version" of the list the window was handed.
  std::vector<std::string> Products() const;

  std::vector<std::string> events;
  std::vector<std::string> texts;
  std::vector<std::string> statuses;  // "kind:product"
  std::function<void(platform::ProgressKind kind, std::string_view file)> onText;

 private:
  void Note(const std::string& what);
};

// A whole machine for end-to-end runs below a fresh sandbox root: installed
// products, a served update tree (update information, product files with
// actions, cabinets signed at test time) under srv/, one of the transports
// serving it, HOME below the root (for desktop shortcuts) and a process
// object with an E2eWindow.
//
// Call order: UseTransport (once, before the run), then Serve... and a run.
// Thread: the test's main thread.
class E2eRunFixture : public UpdateRunFixture {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the server for transport and points the settings at it. Returns
  // an empty text, or why the transport cannot run here (the test skips, or
  // fails in CI: QRV_SKIP_UNLESS_SERVER).
  std::string UseTransport(Transport transport);

  // Writer 5 -> 7 (one cabinet; a registry value and a desktop shortcut as
  // actions) and Calc 5 -> 6 (cabinet in a sub-folder); Viewer up to date.
  void ServeTwoUpdates();

  // Prepare, download, wait, copy, finalize and finish as the interactive
  // window does; false (with the test failed) at the first phase that fails.
  bool RunAll(std::vector<std::string> products);

  // Ends the process object (as a process exit would) and makes a fresh one
  // in mode (0 interactive, 1 automatic) with a fresh E2eWindow: what the
  // next start finds is only what the store and the folders hold.
  void NewProcess(uint32_t mode);

  // The text of value name below HKLM\key, or nullopt.
  static std::optional<std::string> RegistryText(const std::string& key, const std::string& name);
  std::filesystem::path Desktop() const { return m_root.Path().string() + m_home + "/Desktop"; }
  static uint32_t State();

  std::shared_ptr<RecordingMessages> m_messages = std::make_shared<RecordingMessages>();
  std::unique_ptr<CQUpdateBaseProcess> m_process;
  E2eWindow* m_window = nullptr;
  std::vector<int> m_ended;  // codes the engine ended the process with
  std::unique_ptr<HttpTestServer> m_http;
  std::unique_ptr<FtpTestServer> m_ftp;
  std::unique_ptr<SambaTestServer> m_smb;
  std::string m_home = "/home/e2e";

 private:
  // English texts and shell folders below the sandbox, whatever the machine has
  ScopedEnv m_locale{"LC_ALL", "C"}, m_homeEnv{"HOME", m_home}, m_configEnv{"XDG_CONFIG_HOME", std::nullopt};
};

}  // namespace qrv::test
