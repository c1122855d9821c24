#pragma once

#include <QString>

#include "platform/core/MessageService.h"

class QWidget;

namespace qrv {

// Message boxes as Qt dialogs: captioned with the application title (string
// 57344) unless a dialog names its own, owned by the window in front, with
// OK, OK/Cancel or Yes/No. A "%s" in the text takes the argument of
// ShowWith, with control characters made visible (a name from a server never
// reorders or hides the text around it).
//
// Thread: the user-interface thread; a box runs a nested event loop.
class QtMessageService : public platform::MessageService {
 public:
  int Show(uint32_t stringId, uint32_t buttons) override;
  int ShowWith(uint32_t stringId, const std::string& argument, uint32_t buttons) override;
  int ShowTitled(uint32_t titleId, uint32_t stringId, uint32_t buttons) override;

  // The text of stringId as a box shows it: "\r\n" as a line break, "%s"
  // replaced by argument (escaped).
  static QString BoxText(uint32_t stringId, const std::string& argument);

 private:
  static int Ask(uint32_t titleId, const QString& text, uint32_t buttons);
};

}  // namespace qrv
