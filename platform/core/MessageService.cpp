#include "platform/core/MessageService.h"

#include <string>

#include "platform/core/Diagnostics.h"
#include "platform/core/ServiceSlot.h"

namespace qrv::platform {
namespace {

// Without a front-end there is no one to answer; record what would have been
// shown and take the default answer.
class DiagnosticMessages : public MessageService {
 public:
  int Show(uint32_t stringId, uint32_t buttons) override {
    Diagnostics::Report("message " + std::to_string(stringId) + " (no front-end to show it)");
    return buttons == kYesNo ? kAnswerNo : kAnswerOk;
  }
};

ServiceSlot<MessageService> g_slot;

}  // namespace

MessageService& MessageService::Current() {
  static DiagnosticMessages fallback;
  return g_slot.Current(fallback);
}

int MessageService::ShowWith(uint32_t stringId, const std::string& /*argument*/, uint32_t buttons) {
  return Show(stringId, buttons);
}

int MessageService::ShowTitled(uint32_t /*titleId*/, uint32_t stringId, uint32_t buttons) {
  return Show(stringId, buttons);
}

std::shared_ptr<MessageService> MessageService::Install(std::shared_ptr<MessageService> service) {
  return g_slot.Install(std::move(service));
}

}  // namespace qrv::platform
