#include "tests/support/RecordingMessages.h"

namespace qrv::test {

int RecordingMessages::Show(uint32_t stringId, uint32_t kind) { return ShowWith(stringId, {}, kind); }

int RecordingMessages::ShowWith(uint32_t stringId, const std::string& argument, uint32_t kind) {
  shown.push_back(stringId);
  arguments.push_back(argument);
  buttons.push_back(kind);
  return answer;
}

}  // namespace qrv::test
