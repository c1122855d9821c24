#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qrv::platform {

// How the engine shows a message box: by string-table id, with the
// application title. Every front-end installs its own (Qt dialogs, console
// text); tests install a recorder. Without one, messages go to the
// diagnostics (nothing is lost, nothing blocks).
//
// Thread: Show() is called from the user-interface thread only.
class MessageService {
 public:
  // Buttons and answers, with the numbers message boxes use.
  static constexpr uint32_t kOk = 0;
  static constexpr uint32_t kOkCancel = 1;
  static constexpr uint32_t kYesNo = 4;
  static constexpr int kAnswerOk = 1;
  static constexpr int kAnswerCancel = 2;
  static constexpr int kAnswerYes = 6;
  static constexpr int kAnswerNo = 7;

  virtual ~MessageService() = default;
  // Shows string stringId; returns the answer (kAnswerOk for kOk boxes).
  virtual int Show(uint32_t stringId, uint32_t buttons) = 0;
  // Shows string stringId with its "%s" replaced by argument (a name from
  // a server: front-ends print it with control characters escaped). The
  // default shows the text without the argument.
  virtual int ShowWith(uint32_t stringId, const std::string& argument, uint32_t buttons);
  // Shows string stringId in a box captioned with string titleId instead of
  // the application title (a dialog's own boxes carry the dialog's caption).
  // The default shows it as Show does.
  virtual int ShowTitled(uint32_t titleId, uint32_t stringId, uint32_t buttons);

  // The service in force (never null); Install(nullptr) restores the default.
  static MessageService& Current();
  // Installs a service for the whole process; returns the previous one.
  static std::shared_ptr<MessageService> Install(std::shared_ptr<MessageService> service);
};

}  // namespace qrv::platform
