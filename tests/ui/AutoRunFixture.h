#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/CQUpdateBaseProcess.h"
#include "platform/registry/RegistryKey.h"
#include "tests/e2e/E2eRunFixture.h"
#include "tests/support/SkipUnlessServer.h"
#include "tests/ui/RecordingTrayArea.h"
#include "ui/CQUpdateDlgAuto.h"
#include "ui/TrayArea.h"

namespace qrv::test {

// The automatic run's machine: the two updates of E2eRunFixture served over
// loopback HTTP, a recorded notification area, and the automatic window of
// type Window (CQUpdateDlgAuto or a test subclass) made by NewAuto.
//
// Thread: the test's main thread.
template <class Window = CQUpdateDlgAuto>
class AutoRunFixture : public E2eRunFixture {
 protected:
  void SetUp() override {
    E2eRunFixture::SetUp();
    ServeTwoUpdates();
    const std::string why = UseTransport(Transport::kHttp);
    QRV_SKIP_UNLESS_SERVER(why.empty(), why);
    m_previousTray = TrayArea::Install(m_tray);
  }
  void TearDown() override {
    m_auto = nullptr;
    m_window = nullptr;
    m_process.reset();
    TrayArea::Install(m_previousTray);
    platform::MessageService::Install(m_messages);
    E2eRunFixture::TearDown();
  }
  // A fresh automatic process with its window (of type W, Window or a
  // subclass of it), ending after endPause.
  template <class W = Window>
  W* NewAuto(std::chrono::milliseconds endPause = std::chrono::milliseconds{0}) {
    m_window = nullptr;
    m_auto = nullptr;
    m_process.reset();
    m_process = std::make_unique<CQUpdateBaseProcess>();
    m_process->SetAutoMode(1);
    m_process->SetDlgMgr(std::make_unique<W>());
    auto* window = static_cast<W*>(m_process->DlgMgr());
    m_auto = window;
    m_auto->SetEndPause(endPause);
    m_process->SetEndProcess([this](int code) { m_auto->EndProcess(code); });
    return window;
  }
  // Both updates downloaded by an interactive process: state 12.
  void DownloadOnly() {
    NewProcess(0);
    ASSERT_TRUE(m_window->UpdatePrepare(0));
    std::vector<std::string> products{"Writer", "Calc"};
    ASSERT_EQ(m_window->UpdateDownload(products), 1);
    ASSERT_EQ(State(), 12u);
  }
  // Back to the installed levels and no run under way, for the next case.
  void OldLevels() {
    m_main.SetDword("UpdateState", 0);
    for (const char* p : {"Writer", "Calc"}) {
      platform::RegistryKey key;
      ASSERT_EQ(m_main.CreateSubKey(p, key), platform::RegStatus::kOk);
      key.SetDword("ProductVersion", 5);
    }
  }

  std::shared_ptr<RecordingTrayArea> m_tray = std::make_shared<RecordingTrayArea>();
  std::shared_ptr<TrayArea> m_previousTray;
  Window* m_auto = nullptr;
};

}  // namespace qrv::test
