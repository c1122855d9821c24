#pragma once

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <map>
#include <memory>

#include "ui/TrayArea.h"

class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

namespace qrv {

// The notification area of a Linux desktop: each icon is a QSystemTrayIcon
// showing our artwork, and balloons go to the desktop's notification service
// (org.freedesktop.Notifications on the session bus) with a default action.
//
// Why not QSystemTrayIcon::showMessage: with the D-Bus tray, Qt reports
// messageClicked for clicks on any program's notification, and a click on a
// balloon moves the automatic run on. Here a balloon click is reported only
// for an ActionInvoked of a notification id this object was given. Only when
// the bus has no notification service (the Notify call fails) does a balloon
// fall back to showMessage, whose messageClicked is then ours alone.
//
// Without a notification area (Available() false: no tray host, the offscreen
// platform) Add and Modify show no icon and return false, but still send the
// balloon to the notification service when there is one, so that a desktop
// with notifications and no tray can still move the run on by a click.
//
// Clicks: a double click and a single click (Trigger, which is all that
// StatusNotifierItem panels send) report kLeftDoubleClick, once per double
// click; the context request reports kRightButtonDown.
//
// The area coming (back) is seen by a check every kAreaCheckMs once an icon
// was asked for, and at once when the StatusNotifierWatcher registers on the
// bus (a panel restart): onAreaCreated runs when Available() turns true.
//
// Thread: the user-interface thread, with a QApplication alive. bus may be a
// disconnected connection (no session bus): balloons then use showMessage.
class QtTrayArea : public QObject, public TrayArea {
  Q_OBJECT

 public:
  static constexpr int kAreaCheckMs = 2000;

  explicit QtTrayArea(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
  ~QtTrayArea() override;

  bool Add(const Record& record) override;
  bool Modify(const Record& record) override;
  bool Delete(uint32_t id) override;
  bool Available() const override;

 private slots:
  void OnActionInvoked(uint notification, const QString& action);
  void OnNotificationClosed(uint notification, uint reason);

 private:
  struct Icon {
    std::unique_ptr<QSystemTrayIcon> tray;
    uint notification = 0;        // our last notification for this icon; 0 none
    bool qtBalloonShown = false;  // a showMessage balloon may be clicked
  };

  bool ShowIcon(uint32_t id, Icon& icon, const Record& record, bool again);
  void ShowBalloon(uint32_t id, const Record& record);
  void ShowQtBalloon(uint32_t id, const Record& record);
  void OnActivated(uint32_t id, QSystemTrayIcon::ActivationReason reason);
  void Report(uint32_t id, uint32_t message);
  void CheckArea();

  QDBusConnection m_bus;
  std::map<uint32_t, Icon> m_icons;
  QTimer m_areaCheck;
  bool m_areaSeen = false;
  QDBusServiceWatcher* m_watcher = nullptr;
  QElapsedTimer m_lastTrigger;
};

}  // namespace qrv
