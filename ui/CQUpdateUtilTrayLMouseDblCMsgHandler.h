#pragma once

#include "ui/CQUpdateUtilTrayIconMouseMsgHandler.h"

namespace qrv {

// The left double click on the tray icon (kLeftDoubleClick): shows the
// window (restored when minimized), raises and activates it.
//
// Thread: the user-interface thread.
class CQUpdateUtilTrayLMouseDblCMsgHandler : public CQUpdateUtilTrayIconMouseMsgHandler {
 public:
  explicit CQUpdateUtilTrayLMouseDblCMsgHandler(QWidget* window);

  void Handle() override;
};

}  // namespace qrv
