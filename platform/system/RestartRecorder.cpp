#include "platform/system/RestartRecorder.h"

#include "platform/core/LastError.h"

namespace qrv::platform {

bool RestartRecorder::Restart() {
  ++m_calls;
  if (m_answer.load()) return true;
  LastError::Set("the restart was refused (recorder told to refuse)");
  return false;
}

}  // namespace qrv::platform
