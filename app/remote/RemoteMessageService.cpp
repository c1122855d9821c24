#include "app/remote/RemoteMessageService.h"

#include "app/remote/RemoteChannel.h"
#include "app/remote/RemoteValues.h"
#include "platform/core/Diagnostics.h"

namespace qrv::remote {

int RemoteMessageService::Ask(int method, uint32_t stringId, uint32_t buttons, const std::string* argument,
                              int64_t titleId) {
  Values args;
  RemoteValues::AddNumber(args, stringId);
  RemoteValues::AddNumber(args, buttons);
  if (argument != nullptr) RemoteValues::AddText(args, *argument);
  if (titleId >= 0) RemoteValues::AddNumber(args, titleId);
  const int declined = buttons == kYesNo ? kAnswerNo : buttons == kOkCancel ? kAnswerCancel : kAnswerOk;
  Message reply;
  int64_t answer = 0;
  if (!m_channel.Call(static_cast<Method>(method), args, reply) || !reply.error().empty() ||
      !RemoteValues::Number(reply.values(), 0, 0, 100, answer)) {
    platform::Diagnostics::Report("message " + std::to_string(stringId) +
                                  " had nobody to show it to; taken as declined");
    return declined;
  }
  // Only the answers the box's buttons can give.
  switch (buttons) {
    case kOkCancel: return answer == kAnswerOk ? kAnswerOk : kAnswerCancel;
    case kYesNo: return answer == kAnswerYes ? kAnswerYes : kAnswerNo;
    default: return kAnswerOk;
  }
}

int RemoteMessageService::Show(uint32_t stringId, uint32_t buttons) {
  return Ask(SHOW_MESSAGE, stringId, buttons, nullptr, -1);
}

int RemoteMessageService::ShowWith(uint32_t stringId, const std::string& argument, uint32_t buttons) {
  return Ask(SHOW_MESSAGE_WITH, stringId, buttons, &argument, -1);
}

int RemoteMessageService::ShowTitled(uint32_t titleId, uint32_t stringId, uint32_t buttons) {
  return Ask(SHOW_MESSAGE_TITLED, stringId, buttons, nullptr, titleId);
}

}  // namespace qrv::remote
