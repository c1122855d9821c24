// qrv_ui_pictures [--auto] ROOT OUTDIR PREFIX: runs a real update window
// against the sandbox root ROOT (set up to update from a loopback server) and
// saves pictures of its windows as OUTDIR/PREFIX-<name>.png, for people to
// look at. The language is the one the locale variables choose.
//
// Without --auto: the interactive window. The stand-by window, the filled
// list, the download page during the run, the list after it, the settings
// dialog for each server type and the About box.
//
// With --auto: the automatic run, on a display with a notification area (a
// tray host and a notification service on the session bus, which the driver
// waits up to 10 s for). The whole screen with the tray icon and its balloon
// "Update available." (auto-balloon), the icon's menu popped up next to it
// (auto-menu, a part of the screen), and the window during the copy
// (auto-copy). The balloon click that moves the run on is raised through
// the notification area's mouse hook, as the desktop would raise it.
//
// Message boxes are answered by a recorder (OK to everything) and listed on
// standard error at the end, so a box that should not have come shows.
// Nothing outside ROOT and OUTDIR is written; the machine is never restarted
// (no restart service is installed).
//
// Exit status: 0 when every picture was saved, 1 when one is missing or
// could not be written (or the notification area never came), 2 on a usage
// error. scripts/screenshots.sh runs it.
#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QEventLoop>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/CQUpdateBaseProcess.h"
#include "platform/core/SystemRoot.h"
#include "res/CQUpdateStrings.h"
#include "res/StringIds.h"
#include "tests/support/RecordingMessages.h"
#include "tests/ui/UiWait.h"
#include "ui/CQUpdateAboutDlg.h"
#include "ui/CQUpdateDlgAuto.h"
#include "ui/CQUpdateDlgUser.h"
#include "ui/CQUpdateEnvSetDlg.h"
#include "ui/CQUpdatePropertyPageList.h"
#include "ui/CQUpdateStandBy.h"
#include "ui/CQUpdateUtilTrayIcon.h"
#include "ui/FormTexts.h"
#include "ui/TrayArea.h"

namespace {

using qrv::platform::ProgressKind;
using qrv::test::WaitFor;

// Where the pictures go and which of them were saved.
class PictureShelf {
 public:
  PictureShelf(QString folder, QString prefix) : m_folder(std::move(folder)), m_prefix(std::move(prefix)) {}

  // Saves what widget shows now (its pending layout done first) as name.
  void Save(const QString& name, QWidget* widget) { Save(name, Grab(widget)); }
  void Save(const QString& name, const QPixmap& picture) {
    const QString path = QDir(m_folder).filePath(m_prefix + QLatin1Char('-') + name + QStringLiteral(".png"));
    if (picture.isNull() || !picture.save(path, "PNG")) {
      std::fprintf(stderr, "qrv_ui_pictures: could not save %s\n", qPrintable(path));
      return;
    }
    std::printf("%s (%dx%d)\n", qPrintable(path), picture.width(), picture.height());
    m_saved.insert(name);
  }
  static QPixmap Grab(QWidget* widget) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    return widget->grab();
  }
  bool Has(const QString& name) const { return m_saved.count(name) != 0; }

 private:
  QString m_folder;
  QString m_prefix;
  std::set<QString> m_saved;
};

// The stand-by window; the first one is pictured as it goes, with the
// periods its steps added.
class PicturedStandBy : public qrv::CQUpdateStandBy {
 public:
  explicit PicturedStandBy(PictureShelf& shelf) : m_shelf(shelf) {}
  ~PicturedStandBy() override {
    if (!m_shelf.Has(QStringLiteral("standby"))) m_shelf.Save(QStringLiteral("standby"), this);
  }

 private:
  PictureShelf& m_shelf;
};

// The update window; the download page is pictured during the download
// and saved once the copy takes the page over. script runs once the window
// first shows, which is in its own loop: a timer armed earlier would fire in
// the stand-by window's painting, before the list is filled.
class PicturedWindow : public qrv::CQUpdateDlgUser {
 public:
  PicturedWindow(PictureShelf& shelf, std::function<void(PicturedWindow&)> script)
      : m_shelf(shelf), m_script(std::move(script)) {}

  void SetProgressText(ProgressKind kind, std::string_view file, uint32_t value) override {
    CQUpdateDlgUser::SetProgressText(kind, file, value);
    // The demo's fourth step: the second product under way, the bar part-way.
    if (kind == ProgressKind::kDownloading) {
      if (++m_downloadSteps <= 4) m_download = PictureShelf::Grab(this);
    } else if (!m_download.isNull() && !m_shelf.Has(QStringLiteral("download"))) {
      m_shelf.Save(QStringLiteral("download"), m_download);
    }
  }

 protected:
  void showEvent(QShowEvent* event) override {
    CQUpdateDlgUser::showEvent(event);
    if (m_script) QTimer::singleShot(0, this, [this, script = std::exchange(m_script, {})] { script(*this); });
  }

 private:
  PictureShelf& m_shelf;
  std::function<void(PicturedWindow&)> m_script;
  QPixmap m_download;
  int m_downloadSteps = 0;
};

// Runs dialog modally, lets picture take its pictures once the dialog's
// loop runs, then cancels the dialog.
template <typename Picture>
void PictureModal(QDialog& dialog, Picture picture) {
  QTimer::singleShot(0, &dialog, [&] {
    picture();
    dialog.reject();
  });
  dialog.exec();
}

// What is done in the window once it shows the filled list.
void PictureRun(PictureShelf& shelf, PicturedWindow& window) {
  // A row selected, so the update notes show in the content box.
  QTreeWidget* list = window.ListPage()->List();
  if (list->topLevelItemCount() > 0) list->setCurrentItem(list->topLevelItem(0));
  shelf.Save(QStringLiteral("list"), &window);

  // The whole update runs inside the click; the window shows the list again after it.
  window.StartUpdate();
  shelf.Save(QStringLiteral("after"), &window);

  // The types one after another in one dialog, as a user clicks through
  // them (a change of size between them shows). A click fills the fields
  // from the type's saved values, in the sandbox's store only; Cancel keeps
  // the dialog from applying anything.
  qrv::CQUpdateEnvSetDlg settings(&window);
  PictureModal(settings, [&] {
    for (const auto& [radio, name] : {std::pair{1037, "network"}, {1038, "ftp"}, {1036, "internet"}}) {
      if (auto* button = qrv::FormTexts::Find<QAbstractButton>(&settings, radio)) button->click();
      shelf.Save(QStringLiteral("settings-") + QLatin1String(name), &settings);
    }
  });
  qrv::CQUpdateAboutDlg about(&window);
  PictureModal(about, [&] { shelf.Save(QStringLiteral("about"), &about); });
  window.CloseWindow();
}

const QString kNotifyService = QStringLiteral("org.freedesktop.Notifications");

// Whether the desktop's notification service shows a notification now.
// Only dunst says (its displayedLength); of another service nothing is
// known, and the answer is yes.
bool NotificationShown() {
  QDBusMessage get = QDBusMessage::createMethodCall(kNotifyService, QStringLiteral("/org/freedesktop/Notifications"),
                                                    QStringLiteral("org.freedesktop.DBus.Properties"),
                                                    QStringLiteral("Get"));
  get << QStringLiteral("org.dunstproject.cmd0") << QStringLiteral("displayedLength");
  const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 2000);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return true;
  return qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant().toUInt() > 0;
}

// The window that Qt docks into the tray host for a tray icon, once the
// host has taken it in (it maps the window, which is then exposed).
QWidget* TrayIconWidget() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->inherits("QSystemTrayIconSys") && widget->isVisible() && widget->windowHandle() != nullptr &&
        widget->windowHandle()->isExposed()) {
      return widget;
    }
  }
  return nullptr;
}

// The screen (or its part area), once ready() holds and two looks 100 ms
// apart show the same, so that other programs' windows are drawn. After ms
// without that, the last look, with a warning: a picture of what went wrong
// is still worth having.
QPixmap SettledScreen(const std::function<bool()>& ready, int ms, QRect area = {}) {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (area.isNull()) area = screen->geometry();
  QImage last;
  QPixmap picture;
  const bool settled = WaitFor(
      [&] {
        if (!ready()) return false;
        picture = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
        QImage now = picture.toImage();
        const bool same = now == last;
        last = std::move(now);
        if (same) return true;
        QEventLoop turn;
        QTimer::singleShot(100, &turn, &QEventLoop::quit);
        turn.exec();
        return false;
      },
      ms);
  if (!settled) {
    std::fprintf(stderr, "qrv_ui_pictures: the screen was not ready within %d ms; taken as it was\n", ms);
    if (picture.isNull()) picture = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
  }
  return picture;
}

// The automatic run's window; pictured during the copy (the third step, or
// the last one when there are fewer), which it shows by itself.
class PicturedAuto : public qrv::CQUpdateDlgAuto {
 public:
  explicit PicturedAuto(PictureShelf& shelf) : m_shelf(shelf) {}

  void SetProgressText(ProgressKind kind, std::string_view file, uint32_t value) override {
    CQUpdateDlgAuto::SetProgressText(kind, file, value);
    if (Phase() == qrv::UpdatePhase::kFileCopy && isVisible()) {
      if (++m_copySteps <= 3) m_copy = PictureShelf::Grab(this);
    } else {
      SaveCopy();
    }
  }
  // Saves the copy's picture if one was taken and is not saved yet.
  void SaveCopy() {
    if (!m_copy.isNull() && !m_shelf.Has(QStringLiteral("auto-copy"))) m_shelf.Save(QStringLiteral("auto-copy"), m_copy);
  }

 private:
  PictureShelf& m_shelf;
  QPixmap m_copy;
  int m_copySteps = 0;
};

// Once the icon is up and the run waits for a click: the screen with the
// icon and its balloon, then the icon's menu as a right click pops it up
// (the pointer put on the icon first), then the balloon click that starts
// the download.
void PictureTray(PictureShelf& shelf, PicturedAuto& window) {
  const uint32_t id = window.TrayIcon()->Id();
  shelf.Save(QStringLiteral("auto-balloon"),
             SettledScreen([] { return TrayIconWidget() != nullptr && NotificationShown(); }, 10000));

  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  QPoint at(screen.right() - 12, screen.top() + 12);
  if (QWidget* icon = TrayIconWidget()) {
    const QPoint center = icon->windowHandle()->mapToGlobal(icon->rect().center());
    if (screen.contains(center)) at = center;
  }
  QCursor::setPos(at);
  WaitFor([&] { return QCursor::pos() == at; }, 2000);
  if (auto mouse = qrv::TrayArea::Current().onMouse) mouse(id, qrv::TrayArea::kRightButtonDown);
  QMenu* menu = nullptr;
  WaitFor(
      [&] {
        menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        return menu != nullptr && menu->isVisible();
      },
      5000);
  if (menu != nullptr) {
    // The menu and the tray above it, to the screen's right edge.
    QRect area = menu->geometry().adjusted(-16, 0, 0, 16);
    area.setTop(screen.top());
    area.setRight(screen.right());
    shelf.Save(QStringLiteral("auto-menu"), SettledScreen([] { return true; }, 5000, area & screen));
    menu->close();
  } else {
    std::fprintf(stderr, "qrv_ui_pictures: the right click popped up no menu\n");
  }

  QTimer::singleShot(0, &window, [id] {
    if (auto mouse = qrv::TrayArea::Current().onMouse) mouse(id, qrv::TrayArea::kBalloonClick);
  });
}

// The automatic run from a fresh check to its end, pictured on the way.
void RunAuto(PictureShelf& shelf) {
  // Without a notification area the run would not wait for the click and
  // there would be no tray to picture.
  const bool desktop = WaitFor(
      [] {
        QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        return QSystemTrayIcon::isSystemTrayAvailable() && bus != nullptr &&
               bus->isServiceRegistered(kNotifyService).value();
      },
      10000);
  if (!desktop) {
    std::fprintf(stderr, "qrv_ui_pictures: no notification area (tray %s, notification service %s) within 10 s\n",
                 QSystemTrayIcon::isSystemTrayAvailable() ? "present" : "missing",
                 QDBusConnection::sessionBus().isConnected() ? "not on the bus" : "no session bus");
    return;
  }
  auto process = std::make_unique<qrv::CQUpdateBaseProcess>();
  process->SetAutoMode(1);
  process->SetDlgMgr(std::make_unique<PicturedAuto>(shelf));
  auto* window = static_cast<PicturedAuto*>(process->DlgMgr());
  window->SetEndPause(std::chrono::milliseconds{200});
  process->SetEndProcess([window](int code) { window->EndProcess(code); });
  auto* poll = new QTimer(window);
  poll->setInterval(10);
  QObject::connect(poll, &QTimer::timeout, window, [&shelf, window, poll] {
    if (window->TrayIcon() == nullptr || window->Phase() != qrv::UpdatePhase::kPrepare) return;
    poll->stop();
    PictureTray(shelf, *window);
  });
  poll->start();
  window->RunDialog();
  window->SaveCopy();
  if (window->ExitCode() != 0) std::fprintf(stderr, "qrv_ui_pictures: the run ended with status %d\n", window->ExitCode());
}

}  // namespace

int main(int argc, char** argv) {
  const bool automatic = argc > 1 && std::strcmp(argv[1], "--auto") == 0;
  if (automatic) {
    --argc;
    ++argv;
  }
  if (argc != 4) {
    std::fprintf(stderr, "usage: qrv_ui_pictures [--auto] ROOT OUTDIR PREFIX\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("qrvupdate"));
  QApplication::setApplicationDisplayName(QString::fromStdString(qrv::CQUpdateStrings::Get(qrv::kStringAppTitle)));
  // An empty ROOT would mean the real system root: refused.
  if (*argv[1] == '\0' || !QDir(QString::fromLocal8Bit(argv[1])).exists() ||
      !QDir(QString::fromLocal8Bit(argv[2])).exists()) {
    std::fprintf(stderr, "qrv_ui_pictures: ROOT and OUTDIR must be folders\n");
    return 2;
  }
  qrv::platform::SystemRoot::SetFromOption(argv[1]);
  auto messages = std::make_shared<qrv::test::RecordingMessages>();
  qrv::platform::MessageService::Install(messages);
  PictureShelf shelf(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));

  std::vector<const char*> wanted;
  if (automatic) {
    RunAuto(shelf);
    wanted = {"auto-balloon", "auto-menu", "auto-copy"};
  } else {
    auto process = std::make_unique<qrv::CQUpdateBaseProcess>();
    process->SetAutoMode(0);
    process->SetStandByFactory([&shelf] { return std::make_unique<PicturedStandBy>(shelf); });
    process->SetDlgMgr(
        std::make_unique<PicturedWindow>(shelf, [&shelf](PicturedWindow& window) { PictureRun(shelf, window); }));
    process->DlgMgr()->RunDialog();
    process.reset();
    wanted = {"standby", "list", "download", "after", "settings-internet", "settings-network", "settings-ftp", "about"};
  }
  qrv::platform::MessageService::Install(nullptr);

  for (size_t i = 0; i < messages->shown.size(); ++i) {
    std::fprintf(stderr, "qrv_ui_pictures: message box %u: %s\n", messages->shown[i],
                 qrv::CQUpdateStrings::Get(messages->shown[i]).c_str());
  }
  int missing = 0;
  for (const char* name : wanted) {
    if (!shelf.Has(QLatin1String(name))) {
      std::fprintf(stderr, "qrv_ui_pictures: no picture of %s\n", name);
      ++missing;
    }
  }
  return missing == 0 ? 0 : 1;
}
