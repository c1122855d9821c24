#include "app/remote/RemoteWindowProxy.h"

#include "app/remote/RemoteChannel.h"
#include "app/remote/RemoteValues.h"

namespace qrv::remote {

void RemoteWindowProxy::Notify(int method, int64_t number, const std::string* text, int64_t second) {
  switch (method) {
    case ON_FILE_TRANSFER_FINISH:
    case ON_FILE_TRANSFER_ERROR:
    case ON_FILE_COPY_FINISH:
    case ON_FILE_COPY_ERROR:
      if (m_workEnd) m_workEnd(method);
      break;
    default: break;
  }
  Values args;
  if (number >= 0) RemoteValues::AddNumber(args, number);
  if (text != nullptr) RemoteValues::AddText(args, *text);
  if (second >= 0) RemoteValues::AddNumber(args, second);
  Message reply;
  // The window's answer carries nothing; a window that is gone changes
  // nothing about the run (the session deals with its going).
  m_channel.Call(static_cast<Method>(method), args, reply);
}

void RemoteWindowProxy::OnFileTransferBegin() { Notify(ON_FILE_TRANSFER_BEGIN); }

void RemoteWindowProxy::OnFileTransferFinish() { Notify(ON_FILE_TRANSFER_FINISH); }

void RemoteWindowProxy::OnFileTransferError(int32_t result) { Notify(ON_FILE_TRANSFER_ERROR, result); }

void RemoteWindowProxy::OnFileCopyBegin() { Notify(ON_FILE_COPY_BEGIN); }

void RemoteWindowProxy::OnFileCopyFinish() { Notify(ON_FILE_COPY_FINISH); }

void RemoteWindowProxy::OnFileCopyError() { Notify(ON_FILE_COPY_ERROR); }

void RemoteWindowProxy::OnFinalizeError() { Notify(ON_FINALIZE_ERROR); }

void RemoteWindowProxy::SetProductStatus(const std::string& product, platform::ProgressKind kind) {
  Notify(SET_PRODUCT_STATUS, static_cast<int64_t>(kind), &product);
}

void RemoteWindowProxy::SetProgressText(platform::ProgressKind kind, std::string_view file, uint32_t value) {
  const std::string text(file);
  Notify(SET_PROGRESS_TEXT, static_cast<int64_t>(kind), &text, value);
}

void RemoteWindowProxy::SetProgressRange(uint32_t count) { Notify(SET_PROGRESS_RANGE, count); }

void RemoteWindowProxy::StepProgressBack() { Notify(STEP_PROGRESS_BACK); }

}  // namespace qrv::remote
