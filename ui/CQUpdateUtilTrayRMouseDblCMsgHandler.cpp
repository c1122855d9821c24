#include "ui/CQUpdateUtilTrayRMouseDblCMsgHandler.h"

#include <QAction>
#include <QCursor>
#include <QMenu>
#include <QMetaObject>
#include <QPointer>

#include "ui/FormTexts.h"
#include "ui/TrayArea.h"

namespace qrv {
namespace {

void AddCommand(QMenu* menu, QWidget* window, int command) {
  QAction* action = menu->addAction(FormTexts::Text(static_cast<uint32_t>(command)));
  action->setData(command);
  QPointer<QWidget> target(window);
  QObject::connect(action, &QAction::triggered, menu, [target, command] {
    if (target.isNull()) return;
    QMetaObject::invokeMethod(target.data(), "OnCommand", Qt::QueuedConnection, Q_ARG(int, command));
  });
}

}  // namespace

CQUpdateUtilTrayRMouseDblCMsgHandler::CQUpdateUtilTrayRMouseDblCMsgHandler(QWidget* window)
    : CQUpdateUtilTrayIconMouseMsgHandler(window, TrayArea::kRightButtonDown) {}

QMenu* CQUpdateUtilTrayRMouseDblCMsgHandler::MakeMenu(QWidget* window) {
  auto* menu = new QMenu(window);
  AddCommand(menu, window, kCommandAbout);
  menu->addSeparator();
  AddCommand(menu, window, kCommandShow);
  AddCommand(menu, window, kCommandExit);
  return menu;
}

void CQUpdateUtilTrayRMouseDblCMsgHandler::Handle() {
  QMenu* menu = MakeMenu(Window());
  menu->setAttribute(Qt::WA_DeleteOnClose);
  const QPoint cursor = QCursor::pos();
  menu->popup(QPoint(cursor.x() - menu->sizeHint().width(), cursor.y()));
}

}  // namespace qrv
