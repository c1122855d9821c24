#include "tests/support/RecordingMessages.h"

#include "res/StringIds.h"

namespace qrv::test {

int RecordingMessages::Show(uint32_t stringId, uint32_t kind) { return ShowWith(stringId, {}, kind); }

int RecordingMessages::ShowWith(uint32_t stringId, const std::string& argument, uint32_t kind) {
  shown.push_back(stringId);
  arguments.push_back(argument);
  buttons.push_back(kind);
  titles.push_back(kStringAppTitle);
  if (answers.empty()) return answer;
  const int next = answers.front();
  answers.pop_front();
  return next;
}

int RecordingMessages::ShowTitled(uint32_t titleId, uint32_t stringId, uint32_t kind) {
  const int result = ShowWith(stringId, {}, kind);
  titles.back() = titleId;
  return result;
}

}  // namespace qrv::test
