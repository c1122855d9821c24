#include "app/MessageService.h"

#include <mutex>
#include <string>

#include "platform/core/Diagnostics.h"

namespace qrv {
namespace {

// Without a front-end there is no one to answer; record what would have been
// shown and take the default answer.
class DiagnosticMessages : public MessageService {
 public:
  int Show(uint32_t stringId, uint32_t buttons) override {
    platform::Diagnostics::Report("message " + std::to_string(stringId) + " (no front-end to show it)");
    return buttons == kYesNo ? kAnswerNo : kAnswerOk;
  }
};

std::mutex g_mutex;
std::shared_ptr<MessageService> g_service;

}  // namespace

MessageService& MessageService::Current() {
  static DiagnosticMessages fallback;
  std::lock_guard lock(g_mutex);
  return g_service ? *g_service : fallback;
}

std::shared_ptr<MessageService> MessageService::Install(std::shared_ptr<MessageService> service) {
  std::lock_guard lock(g_mutex);
  std::swap(g_service, service);
  return service;
}

}  // namespace qrv
