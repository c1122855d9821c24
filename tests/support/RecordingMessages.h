#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/core/MessageService.h"

namespace qrv::test {

// The message boxes of the tests: shows nothing, records every box (string
// id, argument, buttons, caption) in the order shown and answers each with
// the next of answers, or with answer when none is queued.
// Install it with platform::MessageService::Install and reset the service
// (Install(nullptr)) before the recorder goes.
//
// Thread: boxes are shown from the user-interface thread only, so the
// records need no lock; read them on that thread.
class RecordingMessages : public platform::MessageService {
 public:
  int Show(uint32_t stringId, uint32_t buttons) override;
  int ShowWith(uint32_t stringId, const std::string& argument, uint32_t buttons) override;
  int ShowTitled(uint32_t titleId, uint32_t stringId, uint32_t buttons) override;

  std::vector<uint32_t> shown;         // the string ids
  std::vector<std::string> arguments;  // each box's argument ("" from Show)
  std::vector<uint32_t> buttons;       // each box's buttons (kOk, kYesNo, ...)
  std::vector<uint32_t> titles;        // each box's caption string (57344 unless titled)
  std::deque<int> answers;             // answers for the next boxes, in order
  int answer = kAnswerOk;              // what every other box answers
};

}  // namespace qrv::test
