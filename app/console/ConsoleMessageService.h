#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/core/MessageService.h"

namespace qrv {

// Message boxes as terminal text: each message is printed as
// "Qorvane Update: TEXT" on the output stream. Questions (OK/Cancel or
// Yes/No buttons) read one line from the input stream ("y"/"yes" answers
// yes, anything else no). With assumeYes, or when the input is not a
// terminal, nothing is read and the safe answer is taken: No for the
// restart question (nobody is asked to restart a machine unseen), Yes (OK)
// for every other question, which only ever asks whether to go on or stop.
//
// ShowWith puts its argument (a product or file name, an error naming a
// server's file) in place of the text's "%s" with control characters
// escaped (platform::DisplayText), so a name from a server can never drive
// the terminal.
//
// The streams are not owned and must outlive the service.
// Thread: Show() on the user-interface thread only.
class ConsoleMessageService : public platform::MessageService {
 public:
  // Buttons value of the OK/Cancel questions; its answers.
  static constexpr uint32_t kOkCancel = 1;
  static constexpr int kAnswerCancel = 2;
  // String id of the restart question.
  static constexpr uint32_t kRestartQuestion = 134;

  ConsoleMessageService(bool assumeYes, std::FILE* out, std::FILE* in);
  int Show(uint32_t stringId, uint32_t buttons) override;
  int ShowWith(uint32_t stringId, const std::string& argument, uint32_t buttons) override;

  // The text as printed: line breaks ("\r\n" or "\n") become spaces.
  static std::string Flatten(const std::string& text);
  // String stringId with its first "%s" replaced by argument, escaped; the
  // text alone when it has no "%s".
  static std::string Format(uint32_t stringId, const std::string& argument);

 private:
  int Ask(uint32_t stringId, std::string text, uint32_t buttons);

  bool m_assumeYes;
  std::FILE* m_out;
  std::FILE* m_in;
};

}  // namespace qrv
