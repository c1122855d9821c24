#pragma once

#include "ui/CQUpdateUtilTrayIconMouseMsgHandler.h"

class QMenu;

namespace qrv {

// The right-button press on the tray icon (kRightButtonDown): pops up the
// tray menu at the cursor, its right edge at the cursor. The menu holds
// "About Qorvane Update...", a separator, "Show" and "Exit"; a chosen
// command reaches the window as a queued call of its invokable slot
// OnCommand(int command) (kCommandAbout, kCommandShow, kCommandExit), after
// the menu has closed, so a command may delete the window and the menu.
//
// Thread: the user-interface thread.
class CQUpdateUtilTrayRMouseDblCMsgHandler : public CQUpdateUtilTrayIconMouseMsgHandler {
 public:
  static constexpr int kCommandAbout = 32773;
  static constexpr int kCommandShow = 32776;
  static constexpr int kCommandExit = 32772;

  explicit CQUpdateUtilTrayRMouseDblCMsgHandler(QWidget* window);

  // Pops up a new menu (deleted when it closes) without waiting for it.
  void Handle() override;

  // The tray menu for window, owned by window and not shown; each action
  // carries its command as data. Its texts are the string table's.
  static QMenu* MakeMenu(QWidget* window);
};

}  // namespace qrv
