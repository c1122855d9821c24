#pragma once

#include <memory>

#include "app/CQUpdateBase.h"
#include "app/CQUpdateDlgMgr.h"

namespace qrv {
namespace platform {
class UpdateProgress;
}

// The one update engine of the process. Construction registers it as the
// process singleton and installs a progress sink that forwards the reports
// of the transfer layer and the file replacement engine to the window;
// destruction deletes the window, restores the previous sink and clears the
// registration (then the restart question of CQUpdateBase follows).
//
// Make one at a time; a second one while the first lives replaces the
// registration until either is destroyed.
//
// Thread: the user-interface thread.
class CQUpdateBaseProcess : public CQUpdateBase {
 public:
  CQUpdateBaseProcess();
  ~CQUpdateBaseProcess() override;

  // The registered process object, or null.
  static CQUpdateBaseProcess* GetInstance();

  // Takes the window (made after this object, as it looks the singleton up).
  void SetDlgMgr(std::unique_ptr<CQUpdateDlgMgr> dlgMgr) { m_dlgMgr = std::move(dlgMgr); }
  CQUpdateDlgMgr* DlgMgr() const { return m_dlgMgr.get(); }

 protected:
  CQUpdateDlgMgr* Window() const override { return m_dlgMgr.get(); }

 private:
  std::unique_ptr<CQUpdateDlgMgr> m_dlgMgr;
  std::shared_ptr<platform::UpdateProgress> m_previousProgress;
};

}  // namespace qrv
