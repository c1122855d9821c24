#pragma once

#include <string>

#include "platform/core/MessageService.h"

namespace qrv::remote {

class RemoteChannel;

// The engine service's message boxes: every question is asked by the window
// in the client, and its answer comes back. With the client gone a box
// with one button reads as seen and a question as declined, so nothing is
// ever done on an answer nobody gave (the restart above all).
//
// Thread: the session's thread (as MessageService).
class RemoteMessageService : public platform::MessageService {
 public:
  explicit RemoteMessageService(RemoteChannel& channel) : m_channel(channel) {}

  int Show(uint32_t stringId, uint32_t buttons) override;
  int ShowWith(uint32_t stringId, const std::string& argument, uint32_t buttons) override;
  int ShowTitled(uint32_t titleId, uint32_t stringId, uint32_t buttons) override;

 private:
  int Ask(int method, uint32_t stringId, uint32_t buttons, const std::string* argument, int64_t titleId);

  RemoteChannel& m_channel;
};

}  // namespace qrv::remote
