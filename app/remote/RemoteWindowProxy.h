#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "app/CQUpdateDlgMgr.h"

namespace qrv::remote {

class RemoteChannel;

// The window of a run as the engine service sees it: each notification the
// engine sends a window becomes a call to the real window in the client,
// which may call back into the engine before it returns. Nothing here shows
// or decides anything; when the client is gone, notifications go nowhere.
//
// Made by the engine session right after its process object (whose window
// it becomes); the channel outlives it.
//
// Thread: the session's thread.
class RemoteWindowProxy : public CQUpdateDlgMgr {
 public:
  explicit RemoteWindowProxy(RemoteChannel& channel) : m_channel(channel) {}

  // Called with the method right before a notification that ends a
  // phase's work is sent (the transfer's and the copy's finish or error):
  // from then on the window may start the next phase.
  void SetWorkEndHook(std::function<void(int method)> hook) { m_workEnd = std::move(hook); }

  void OnFileTransferBegin() override;
  void OnFileTransferFinish() override;
  void OnFileTransferError(int32_t result) override;
  void OnFileCopyBegin() override;
  void OnFileCopyFinish() override;
  void OnFileCopyError() override;
  void OnFinalizeError() override;
  void SetProductStatus(const std::string& product, platform::ProgressKind kind) override;
  void SetProgressText(platform::ProgressKind kind, std::string_view file, uint32_t value) override;
  void SetProgressRange(uint32_t count) override;
  void StepProgressBack() override;

 private:
  void Notify(int method, int64_t number = -1, const std::string* text = nullptr, int64_t second = -1);

  RemoteChannel& m_channel;
  std::function<void(int)> m_workEnd;
};

}  // namespace qrv::remote
