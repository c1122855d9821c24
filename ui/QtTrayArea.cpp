#include "ui/QtTrayArea.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QImage>
#include <QStringList>
#include <QVariantMap>

#include "ui/Artwork.h"
#include "ui/FormTexts.h"

namespace qrv {
namespace {

const QString kNotifyService = QStringLiteral("org.freedesktop.Notifications");
const QString kNotifyPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kNotifyInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kSniWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kDefaultAction = QStringLiteral("default");
constexpr uint32_t kAppTitle = 57344;
constexpr uint32_t kShowCommandText = 32776;  // "Show(&S)", the tray menu's Show
// A service that does not answer by then counts as none: the balloon is
// still worth showing the tray's way.
constexpr int kNotifyTimeoutMs = 5000;
// Edge of the picture sent with a notification (daemons scale it to theirs).
constexpr int kBalloonPicturePx = 48;

}  // namespace

QtTrayArea::QtTrayArea(QDBusConnection bus, QObject* parent) : QObject(parent), m_bus(std::move(bus)) {
  m_areaCheck.setInterval(kAreaCheckMs);
  connect(&m_areaCheck, &QTimer::timeout, this, &QtTrayArea::CheckArea);
  if (!m_bus.isConnected()) return;
  m_bus.connect(kNotifyService, kNotifyPath, kNotifyInterface, QStringLiteral("ActionInvoked"), this,
                SLOT(OnActionInvoked(uint, QString)));
  m_bus.connect(kNotifyService, kNotifyPath, kNotifyInterface, QStringLiteral("NotificationClosed"), this,
                SLOT(OnNotificationClosed(uint, uint)));
  // A panel that restarts registers the watcher anew; its host follows a
  // moment later, which the periodic check then sees.
  m_watcher = new QDBusServiceWatcher(kSniWatcher, m_bus, QDBusServiceWatcher::WatchForRegistration, this);
  connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
    m_areaSeen = false;
    CheckArea();
  });
}

QtTrayArea::~QtTrayArea() = default;

bool QtTrayArea::Available() const { return QSystemTrayIcon::isSystemTrayAvailable(); }

bool QtTrayArea::Add(const Record& record) {
  if (!m_areaCheck.isActive()) m_areaCheck.start();
  Icon& icon = m_icons[record.id];
  const bool shown = ShowIcon(record.id, icon, record, true);
  if (shown) m_areaSeen = true;
  ShowBalloon(record.id, record);
  return shown;
}

bool QtTrayArea::Modify(const Record& record) {
  auto it = m_icons.find(record.id);
  if (it == m_icons.end()) return false;
  const bool shown = ShowIcon(record.id, it->second, record, false);
  ShowBalloon(record.id, record);
  return shown;
}

bool QtTrayArea::Delete(uint32_t id) {
  auto it = m_icons.find(id);
  if (it == m_icons.end()) return false;
  const bool wasShown = it->second.tray && it->second.tray->isVisible();
  // The balloon of a removed icon goes with it, as it would on the icon.
  if (it->second.notification != 0 && m_bus.isConnected()) {
    QDBusMessage close =
        QDBusMessage::createMethodCall(kNotifyService, kNotifyPath, kNotifyInterface, QStringLiteral("CloseNotification"));
    close << it->second.notification;
    m_bus.asyncCall(close);
  }
  m_icons.erase(it);
  if (m_icons.empty()) m_areaCheck.stop();
  return wasShown;
}

bool QtTrayArea::ShowIcon(uint32_t id, Icon& icon, const Record& record, bool again) {
  if (!Available()) {
    if (icon.tray) icon.tray->hide();
    return false;
  }
  if (!icon.tray) {
    icon.tray = std::make_unique<QSystemTrayIcon>();
    connect(icon.tray.get(), &QSystemTrayIcon::activated, this,
            [this, id](QSystemTrayIcon::ActivationReason reason) { OnActivated(id, reason); });
    connect(icon.tray.get(), &QSystemTrayIcon::messageClicked, this, [this, id] {
      auto it = m_icons.find(id);
      if (it == m_icons.end() || !it->second.qtBalloonShown) return;
      it->second.qtBalloonShown = false;
      Report(id, kBalloonClick);
    });
  }
  icon.tray->setIcon(Artwork::Icon(record.picture));
  icon.tray->setToolTip(record.tip);
  // An add after the area came back shows the icon anew, so that it
  // registers with the new host.
  if (again) icon.tray->hide();
  icon.tray->show();
  return icon.tray->isVisible();
}

void QtTrayArea::ShowBalloon(uint32_t id, const Record& record) {
  if (record.balloon.isEmpty()) return;
  if (!m_bus.isConnected()) {
    ShowQtBalloon(id, record);
    return;
  }
  const uint replaces = m_icons[id].notification;
  QDBusMessage notify =
      QDBusMessage::createMethodCall(kNotifyService, kNotifyPath, kNotifyInterface, QStringLiteral("Notify"));
  QString body = record.balloon;
  body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QVariantMap hints;
  hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar{1}));
  // The picture travels with the message: a theme icon name would depend on
  // the desktop's icon theme having it (many have no "dialog-information").
  const QImage picture = Artwork::Icon(record.picture)
                             .pixmap(QSize(kBalloonPicturePx, kBalloonPicturePx), 1.0)
                             .toImage()
                             .convertToFormat(QImage::Format_RGBA8888);
  if (!picture.isNull()) {
    QDBusArgument image;
    image.beginStructure();
    image << picture.width() << picture.height() << static_cast<int>(picture.bytesPerLine()) << true << 8 << 4
          << QByteArray(reinterpret_cast<const char*>(picture.constBits()), picture.sizeInBytes());
    image.endStructure();
    hints.insert(QStringLiteral("image-data"), QVariant::fromValue(image));
  }
  notify << FormTexts::Text(kAppTitle) << replaces << QStringLiteral("qrvupdate") << record.balloonTitle
         << body << QStringList{kDefaultAction, FormTexts::Spoken(FormTexts::Text(kShowCommandText))} << hints
         << qint32{record.balloonMs};
  auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(notify, kNotifyTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, id, record](QDBusPendingCallWatcher* call) {
    call->deleteLater();
    QDBusPendingReply<uint> reply = *call;
    if (reply.isError()) {
      // No notification service on the bus: the tray's own balloon.
      ShowQtBalloon(id, record);
      return;
    }
    auto it = m_icons.find(id);
    if (it != m_icons.end()) it->second.notification = reply.value();
  });
}

void QtTrayArea::ShowQtBalloon(uint32_t id, const Record& record) {
  auto it = m_icons.find(id);
  if (it == m_icons.end() || !it->second.tray || !it->second.tray->isVisible()) return;
  it->second.qtBalloonShown = true;
  it->second.tray->showMessage(record.balloonTitle, record.balloon, QSystemTrayIcon::Information, record.balloonMs);
}

void QtTrayArea::OnActionInvoked(uint notification, const QString& action) {
  if (notification == 0 || action != kDefaultAction) return;
  for (const auto& [id, icon] : m_icons) {
    if (icon.notification == notification) {
      Report(id, kBalloonClick);
      return;
    }
  }
}

void QtTrayArea::OnNotificationClosed(uint notification, uint /*reason*/) {
  if (notification == 0) return;
  for (auto& [id, icon] : m_icons) {
    if (icon.notification == notification) icon.notification = 0;
  }
}

void QtTrayArea::OnActivated(uint32_t id, QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::Trigger:
      m_lastTrigger.start();
      Report(id, kLeftDoubleClick);
      break;
    case QSystemTrayIcon::DoubleClick:
      // The first click of this double click was reported as a Trigger.
      if (m_lastTrigger.isValid() && m_lastTrigger.elapsed() <= QApplication::doubleClickInterval()) {
        m_lastTrigger.invalidate();
        break;
      }
      Report(id, kLeftDoubleClick);
      break;
    case QSystemTrayIcon::Context:
      Report(id, kRightButtonDown);
      break;
    default:
      break;
  }
}

void QtTrayArea::Report(uint32_t id, uint32_t message) {
  // A copy: the owner may replace its handler while handling the message.
  auto handler = onMouse;
  if (handler) handler(id, message);
}

void QtTrayArea::CheckArea() {
  const bool now = Available();
  if (now && !m_areaSeen && !m_icons.empty()) {
    m_areaSeen = true;
    auto handler = onAreaCreated;
    if (handler) handler();
    return;
  }
  m_areaSeen = now;
}

}  // namespace qrv
