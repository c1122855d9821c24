#include "app/UpdateEngine.h"

#include "app/CQUpdateBaseProcess.h"
#include "app/LocalUpdateEngine.h"

namespace qrv {

UpdateEngine& UpdateEngine::Current() {
  if (CQUpdateBaseProcess* process = CQUpdateBaseProcess::GetInstance()) return process->Engine();
  // Settings and files only: there is no run without a process object.
  static LocalUpdateEngine withoutRun(nullptr);
  return withoutRun;
}

}  // namespace qrv
