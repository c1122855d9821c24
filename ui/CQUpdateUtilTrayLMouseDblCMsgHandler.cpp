#include "ui/CQUpdateUtilTrayLMouseDblCMsgHandler.h"

#include <QWidget>

#include "ui/TrayArea.h"

namespace qrv {

CQUpdateUtilTrayLMouseDblCMsgHandler::CQUpdateUtilTrayLMouseDblCMsgHandler(QWidget* window)
    : CQUpdateUtilTrayIconMouseMsgHandler(window, TrayArea::kLeftDoubleClick) {}

void CQUpdateUtilTrayLMouseDblCMsgHandler::Handle() {
  QWidget* window = Window();
  if (window == nullptr) return;
  if (window->isMinimized())
    window->showNormal();
  else
    window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace qrv
