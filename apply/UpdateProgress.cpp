#include "apply/UpdateProgress.h"

#include <mutex>

namespace qrv {
namespace {
std::mutex g_mutex;
std::shared_ptr<UpdateProgress> g_progress;
}  // namespace

UpdateProgress& UpdateProgress::Current() {
  static UpdateProgress silent;
  std::lock_guard lock(g_mutex);
  return g_progress ? *g_progress : silent;
}

std::shared_ptr<UpdateProgress> UpdateProgress::Install(std::shared_ptr<UpdateProgress> progress) {
  std::lock_guard lock(g_mutex);
  std::swap(g_progress, progress);
  return progress;
}

}  // namespace qrv
