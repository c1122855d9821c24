// The tray icon of the automatic run: what it asks of the notification area,
// how mouse messages reach its handlers, the tray menu and the Qt area (the
// latter offscreen, and against a private bus with a notification service of
// the test's own).
#include <gtest/gtest.h>

#include <QAction>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QMenu>
#include <QProcess>
#include <QStandardPaths>
#include <QCoreApplication>
#include <QVariantMap>
#include <QWidget>
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ScopedEnv.h"
#include "tests/support/SkipUnlessServer.h"
#include "tests/ui/RecordingTrayArea.h"
#include "tests/ui/UiWait.h"
#include "ui/CQUpdateUtilTrayIcon.h"
#include "ui/CQUpdateUtilTrayLMouseDblCMsgHandler.h"
#include "ui/CQUpdateUtilTrayRMouseDblCMsgHandler.h"
#include "ui/FormTexts.h"
#include "ui/QtTrayArea.h"

namespace qrv {
namespace {

using test::RecordingTrayArea;
using Kind = RecordingTrayArea::Kind;
using test::WaitFor;

constexpr int kWaitMs = 10000;

// A window as the automatic run declares it: menu commands arrive at
// OnCommand.
class CommandWindow : public QWidget {
  Q_OBJECT

 public:
  Q_INVOKABLE void OnCommand(int command) { commands.push_back(command); }
  std::vector<int> commands;
};

// A handler that notes its tag in a shared log when called.
class NotingHandler : public CQUpdateUtilTrayIconMouseMsgHandler {
 public:
  NotingHandler(uint32_t message, int tag, std::vector<int>* log)
      : CQUpdateUtilTrayIconMouseMsgHandler(nullptr, message), m_tag(tag), m_log(log) {}
  void Handle() override { m_log->push_back(m_tag); }

 private:
  int m_tag;
  std::vector<int>* m_log;
};

class TrayIconTest : public ::testing::Test {
 protected:
  void SetUp() override { m_previous = TrayArea::Install(area); }
  void TearDown() override { TrayArea::Install(m_previous); }

  // The window wires the area's events to the icon as the automatic run does.
  void Wire(CQUpdateUtilTrayIcon& icon) {
    area->onMouse = [&icon](uint32_t id, uint32_t message) { icon.DispatchMouseMessage(id, message); };
    area->onAreaCreated = [&icon] { icon.OnTaskbarCreated(); };
  }

  std::shared_ptr<RecordingTrayArea> area = std::make_shared<RecordingTrayArea>();
  test::ScopedEnv m_all{"LC_ALL", std::nullopt}, m_messages{"LC_MESSAGES", std::nullopt}, m_lang{"LANG", "C"};

 private:
  std::shared_ptr<TrayArea> m_previous;
};

TEST_F(TrayIconTest, AddModifyAndDeleteRecordsAndTheCurrentIcon) {
  QWidget window;
  const QString title = FormTexts::Text(57344);
  ASSERT_EQ(title, "Qorvane Update");
  {
    CQUpdateUtilTrayIcon icon(&window, 149, 149, FormTexts::Text(116), {});
    EXPECT_EQ(CQUpdateUtilTrayIcon::Current(), &icon);
    EXPECT_TRUE(area->entries.empty()) << "construction shows nothing";

    EXPECT_TRUE(icon.AddIcon(148));
    EXPECT_TRUE(icon.ModifyIconText(QString()));
    EXPECT_TRUE(icon.ModifyIcon(120));
    // Identifier 0 keeps the icon's identifier, so the modify still
    // addresses the icon that was added.
    icon.SetIconData(&window, 0, 150, QString());
    EXPECT_EQ(icon.Id(), 149u);
    area->result = false;
    EXPECT_FALSE(icon.ModifyIconText("Update now available."));
    area->result = true;
  }
  EXPECT_EQ(CQUpdateUtilTrayIcon::Current(), nullptr);

  ASSERT_EQ(area->entries.size(), 5u);
  const auto& add = area->entries[0];
  EXPECT_EQ(add.kind, Kind::kAdd);
  EXPECT_EQ(add.record.id, 149u);
  EXPECT_EQ(add.record.picture, 149);
  EXPECT_EQ(add.record.tip, "Update available.");
  EXPECT_EQ(add.record.balloon, "Start update.");
  EXPECT_EQ(add.record.balloonTitle, title);
  EXPECT_EQ(add.record.balloonMs, 15000);

  // An empty text changes icon and tip only.
  const auto& quiet = area->entries[1];
  EXPECT_EQ(quiet.kind, Kind::kModify);
  EXPECT_EQ(quiet.record.id, 149u);
  EXPECT_EQ(quiet.record.tip, "Update available.");
  EXPECT_TRUE(quiet.record.balloon.isEmpty());

  const auto& loud = area->entries[2];
  EXPECT_EQ(loud.kind, Kind::kModify);
  EXPECT_EQ(loud.record.balloon, "Update Complete.");
  EXPECT_EQ(loud.record.balloonTitle, title);
  EXPECT_EQ(loud.record.balloonMs, 15000);

  const auto& kept = area->entries[3];
  EXPECT_EQ(kept.kind, Kind::kModify);
  EXPECT_EQ(kept.record.id, 149u);
  EXPECT_EQ(kept.record.picture, 150);
  EXPECT_TRUE(kept.record.tip.isEmpty());
  EXPECT_EQ(kept.record.balloon, "Update now available.");

  EXPECT_EQ(area->entries[4].kind, Kind::kDelete) << "destruction removes the icon";
  EXPECT_EQ(area->entries[4].record.id, 149u);
}

TEST_F(TrayIconTest, LongTipsAndBalloonsAreCut) {
  const QString tip(300, QChar('t'));
  CQUpdateUtilTrayIcon icon(nullptr, 151, 151, tip, {});
  EXPECT_EQ(icon.Tip(), tip) << "the tip is kept whole; only what is shown is cut";
  icon.AddIcon(116);
  icon.ModifyIconText(QString(400, QChar('b')));
  // A cut never splits a character outside the basic plane.
  icon.SetIconData(nullptr, 0, 151, QString(126, QChar('k')) + QString::fromUtf8("\xF0\x9F\x94\x84") + "tail");
  icon.ModifyIconText(QString());

  ASSERT_GE(area->entries.size(), 3u);
  EXPECT_EQ(area->entries[0].record.tip, QString(127, QChar('t')));
  EXPECT_EQ(area->entries[1].record.tip.size(), 127);
  EXPECT_EQ(area->entries[1].record.balloon, QString(255, QChar('b')));
  EXPECT_EQ(area->entries[2].record.tip, QString(126, QChar('k')));
}

TEST_F(TrayIconTest, MouseMessagesReachTheHandlersOfThatMessageAndIcon) {
  std::vector<int> log;
  NotingHandler right1(TrayArea::kRightButtonDown, 1, &log);
  NotingHandler left(TrayArea::kLeftDoubleClick, 2, &log);
  NotingHandler right2(TrayArea::kRightButtonDown, 3, &log);
  CQUpdateUtilTrayIcon icon(nullptr, 150, 150, QString(), {&right1, &left, &right2});
  Wire(icon);

  area->Click(150, TrayArea::kRightButtonDown);
  EXPECT_EQ(log, (std::vector<int>{1, 3})) << "both matching handlers, in order";
  log.clear();
  area->Click(149, TrayArea::kRightButtonDown);
  area->Click(151, TrayArea::kLeftDoubleClick);
  area->Click(150, TrayArea::kBalloonClick);
  EXPECT_TRUE(log.empty()) << "another icon's messages and unhandled messages reach no handler";
  area->Click(150, TrayArea::kLeftDoubleClick);
  EXPECT_EQ(log, (std::vector<int>{2}));

  // New handlers replace the old ones.
  log.clear();
  icon.SetHandlers({&left});
  area->Click(150, TrayArea::kRightButtonDown);
  EXPECT_TRUE(log.empty());
}

TEST_F(TrayIconTest, TheAreaComingBackAddsTheCurrentIconAgain) {
  CQUpdateUtilTrayIcon icon(nullptr, 149, 149, "Qorvane Update", {});
  Wire(icon);
  icon.AddIcon(116);
  icon.SetIconData(nullptr, 0, 151, "Update now available.");
  area->AreaCreated();

  ASSERT_EQ(area->entries.size(), 2u);
  const auto& again = area->entries[1];
  EXPECT_EQ(again.kind, Kind::kAdd);
  EXPECT_EQ(again.record.id, 149u);
  EXPECT_EQ(again.record.picture, 151);
  EXPECT_EQ(again.record.tip, "Update now available.");
  EXPECT_EQ(again.record.balloon, "Update available.");
}

TEST_F(TrayIconTest, TheTrayMenuDeliversItsCommandsToTheWindow) {
  using Right = CQUpdateUtilTrayRMouseDblCMsgHandler;
  CommandWindow window;
  QMenu* menu = Right::MakeMenu(&window);
  const QList<QAction*> actions = menu->actions();
  ASSERT_EQ(actions.size(), 4);
  EXPECT_TRUE(actions[1]->isSeparator());
  EXPECT_EQ(actions[0]->text(), "About Qorvane Update...");
  EXPECT_EQ(actions[2]->text(), "Show(&S)");
  EXPECT_EQ(actions[3]->text(), "Exit(&X)");
  for (QAction* action : {actions[0], actions[2], actions[3]}) action->trigger();
  ASSERT_TRUE(WaitFor([&] { return window.commands.size() == 3; }, kWaitMs));
  EXPECT_EQ(window.commands, (std::vector<int>{Right::kCommandAbout, Right::kCommandShow, Right::kCommandExit}));

  test::ScopedEnv korean("LANG", "ko_KR.UTF-8");
  QMenu* koreanMenu = Right::MakeMenu(&window);
  EXPECT_EQ(koreanMenu->actions()[3]->text(), QString::fromUtf8("끝내기(&X)"));
}

TEST_F(TrayIconTest, TheRightButtonPopsUpTheMenuWhoseCommandArrivesAfterItCloses) {
  auto* window = new CommandWindow;
  CQUpdateUtilTrayRMouseDblCMsgHandler right(window);
  EXPECT_EQ(right.Message(), TrayArea::kRightButtonDown);
  CQUpdateUtilTrayIcon icon(window, 149, 149, QString(), {&right});
  Wire(icon);

  area->Click(149, TrayArea::kRightButtonDown);
  QMenu* menu = nullptr;
  ASSERT_TRUE(WaitFor(
      [&] {
        for (QMenu* m : window->findChildren<QMenu*>())
          if (m->isVisible()) menu = m;
        return menu != nullptr;
      },
      kWaitMs));
  // The command arrives after the menu's own handling, so a command that
  // deletes the window (and with it the menu) does not pull the menu away
  // under its own signal.
  menu->actions()[3]->trigger();
  menu->close();
  EXPECT_TRUE(window->commands.empty()) << "the command is queued, not called inside the menu";
  ASSERT_TRUE(WaitFor([&] { return window->commands.size() == 1; }, kWaitMs));
  EXPECT_EQ(window->commands[0], CQUpdateUtilTrayRMouseDblCMsgHandler::kCommandExit);
  delete window;
  QCoreApplication::processEvents();
}

TEST_F(TrayIconTest, TheLeftDoubleClickShowsTheWindow) {
  QWidget window;
  CQUpdateUtilTrayLMouseDblCMsgHandler left(&window);
  EXPECT_EQ(left.Message(), TrayArea::kLeftDoubleClick);
  CQUpdateUtilTrayIcon icon(&window, 151, 151, QString(), {&left});
  Wire(icon);
  area->Click(151, TrayArea::kRightButtonDown);
  EXPECT_FALSE(window.isVisible());
  area->Click(151, TrayArea::kLeftDoubleClick);
  EXPECT_TRUE(window.isVisible());

  window.showMinimized();
  area->Click(151, TrayArea::kLeftDoubleClick);
  EXPECT_FALSE(window.isMinimized());
  EXPECT_TRUE(window.isVisible());
}

// The Qt area where the platform has no notification area (offscreen) and
// no bus: nothing is shown and every call answers so.
TEST(QtTrayAreaTest, WithoutAnAreaOrABusNothingIsShown) {
  QtTrayArea area(QDBusConnection(QStringLiteral("qrv-no-bus")));
  int mouse = 0;
  int created = 0;
  area.onMouse = [&](uint32_t, uint32_t) { ++mouse; };
  area.onAreaCreated = [&] { ++created; };
  ASSERT_FALSE(area.Available()) << "the offscreen platform has no notification area";

  TrayArea::Record record;
  record.id = 149;
  record.picture = 149;
  record.tip = "Update available.";
  record.balloon = "Update available.";
  record.balloonTitle = "Qorvane Update";
  EXPECT_FALSE(area.Modify(record)) << "no icon was added";
  EXPECT_FALSE(area.Add(record));
  EXPECT_FALSE(area.Add(record));
  EXPECT_FALSE(area.Modify(record));
  EXPECT_FALSE(area.Delete(149));
  EXPECT_FALSE(area.Delete(149));
  QCoreApplication::processEvents();
  EXPECT_EQ(mouse, 0);
  EXPECT_EQ(created, 0);
}

// A notification service of the test's own on a private bus: what Notify
// receives, and which ActionInvoked signals are ours.
class FakeNotifications : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  struct Call {
    QString app;
    uint replaces;
    QString icon;
    QString summary;
    QString body;
    QStringList actions;
    QVariantMap hints;
    int timeout;
  };

  explicit FakeNotifications(QDBusConnection bus) : m_bus(std::move(bus)) {}

  void Emit(const QString& signal, const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                                      QStringLiteral("org.freedesktop.Notifications"), signal);
    message.setArguments(arguments);
    m_bus.send(message);
  }

  std::vector<Call> calls;
  std::vector<uint> closed;

 public slots:
  uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary, const QString& body,
              const QStringList& actions, const QVariantMap& hints, int timeout) {
    calls.push_back({app, replaces, icon, summary, body, actions, hints, timeout});
    return replaces != 0 ? replaces : m_next++;
  }
  void CloseNotification(uint id) { closed.push_back(id); }

 private:
  QDBusConnection m_bus;
  uint m_next = 41;
};

// A private session bus for one test: dbus-daemon started here, stopped by
// its own process object.
class PrivateBus {
 public:
  PrivateBus() {
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty()) return;
    m_process.start(daemon, {"--session", "--nofork", "--print-address"});
    if (!m_process.waitForStarted(kWaitMs)) return;
    QByteArray out;
    WaitFor(
        [&] {
          m_process.waitForReadyRead(100);
          out += m_process.readAllStandardOutput();
          return out.contains('\n') || m_process.state() != QProcess::Running;
        },
        kWaitMs);
    if (out.contains('\n')) address = QString::fromUtf8(out.left(out.indexOf('\n')).trimmed());
  }
  ~PrivateBus() {
    if (m_process.state() == QProcess::NotRunning) return;
    m_process.kill();
    m_process.waitForFinished(kWaitMs);
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  QString address;

 private:
  QProcess m_process;
};

TEST(QtTrayAreaTest, BalloonsGoToTheNotificationServiceAndOnlyOurClicksCount) {
  PrivateBus bus;
  QRV_SKIP_UNLESS_SERVER(!bus.address.isEmpty(), "dbus-daemon cannot be started here");
  QDBusConnection service = QDBusConnection::connectToBus(bus.address, QStringLiteral("qrv-fake-notifications"));
  QDBusConnection client = QDBusConnection::connectToBus(bus.address, QStringLiteral("qrv-tray-client"));
  ASSERT_TRUE(service.isConnected()) << service.lastError().message().toStdString();
  ASSERT_TRUE(client.isConnected());
  FakeNotifications fake(service);
  ASSERT_TRUE(service.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &fake,
                                     QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.Notifications")));

  {
    QtTrayArea area(client);
    std::vector<std::pair<uint32_t, uint32_t>> clicks;
    area.onMouse = [&](uint32_t id, uint32_t message) { clicks.emplace_back(id, message); };

    TrayArea::Record record;
    record.id = 151;
    record.picture = 151;
    record.tip = "Update now available.";
    record.balloon = "Download complete.\r\nPlease press this to update.";
    record.balloonTitle = "Qorvane Update";
    // No notification area offscreen, but the balloon is still sent, so a
    // desktop without a tray can move the run on.
    EXPECT_FALSE(area.Add(record));
    ASSERT_TRUE(WaitFor([&] { return fake.calls.size() == 1; }, kWaitMs));
    const FakeNotifications::Call& first = fake.calls[0];
    EXPECT_EQ(first.app, "Qorvane Update");
    EXPECT_EQ(first.replaces, 0u);
    EXPECT_EQ(first.icon, "qrvupdate");
    // The picture itself goes along: a daemon whose theme lacks our icon
    // name still shows it.
    ASSERT_TRUE(first.hints.contains("image-data"));
    {
      const QDBusArgument image = first.hints["image-data"].value<QDBusArgument>();
      int width = 0, height = 0, stride = 0, bits = 0, channels = 0;
      bool alpha = false;
      QByteArray pixels;
      image.beginStructure();
      image >> width >> height >> stride >> alpha >> bits >> channels >> pixels;
      image.endStructure();
      EXPECT_EQ(width, 48);
      EXPECT_EQ(height, 48);
      EXPECT_TRUE(alpha && bits == 8 && channels == 4);
      ASSERT_EQ(pixels.size(), qsizetype{stride} * height);
      EXPECT_GE(stride, width * 4);
      EXPECT_TRUE(std::any_of(pixels.begin(), pixels.end(), [](char byte) { return byte != 0; })) << "an empty picture";
    }
    EXPECT_EQ(first.summary, "Qorvane Update");
    EXPECT_EQ(first.body, "Download complete.\nPlease press this to update.");
    ASSERT_EQ(first.actions.size(), 2);
    EXPECT_EQ(first.actions[0], "default");
    EXPECT_EQ(first.timeout, 15000);

    // Another program's notification clicked, then ours with another action,
    // then ours: only the last is a balloon click.
    fake.Emit("ActionInvoked", {uint{7}, QStringLiteral("default")});
    fake.Emit("ActionInvoked", {uint{41}, QStringLiteral("other")});
    fake.Emit("ActionInvoked", {uint{41}, QStringLiteral("default")});
    ASSERT_TRUE(WaitFor([&] { return !clicks.empty(); }, kWaitMs));
    QCoreApplication::processEvents();
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_EQ(clicks[0], std::make_pair(uint32_t{151}, TrayArea::kBalloonClick));

    // A modify without text sends nothing; with text it replaces our
    // balloon.
    record.balloon.clear();
    area.Modify(record);
    record.balloon = "Update Complete.";
    area.Modify(record);
    ASSERT_TRUE(WaitFor([&] { return fake.calls.size() >= 2; }, kWaitMs));
    QCoreApplication::processEvents();
    ASSERT_EQ(fake.calls.size(), 2u);
    EXPECT_EQ(fake.calls[1].replaces, 41u);
    EXPECT_EQ(fake.calls[1].body, "Update Complete.");

    // A second icon with a balloon of its own (notification 42).
    TrayArea::Record other = record;
    other.id = 149;
    other.picture = 149;
    other.balloon = "Update available.";
    area.Add(other);
    ASSERT_TRUE(WaitFor([&] { return fake.calls.size() == 3; }, kWaitMs));
    EXPECT_EQ(fake.calls[2].replaces, 0u);

    // Once notification 41 is closed its id is no longer ours; 42 still is
    // (its click also shows that the service's earlier signals were seen).
    fake.Emit("NotificationClosed", {uint{41}, uint{2}});
    fake.Emit("ActionInvoked", {uint{41}, QStringLiteral("default")});
    fake.Emit("ActionInvoked", {uint{42}, QStringLiteral("default")});
    ASSERT_TRUE(WaitFor([&] { return clicks.size() >= 2; }, kWaitMs));
    QCoreApplication::processEvents();
    ASSERT_EQ(clicks.size(), 2u);
    EXPECT_EQ(clicks[1], std::make_pair(uint32_t{149}, TrayArea::kBalloonClick));
    record.balloon = "Update Aborted.";
    area.Modify(record);
    ASSERT_TRUE(WaitFor([&] { return fake.calls.size() == 4; }, kWaitMs));
    EXPECT_EQ(fake.calls[3].replaces, 0u) << "a closed notification is not replaced";

    // Removing an icon closes its balloon (43), and only its own.
    fake.Emit("ActionInvoked", {uint{43}, QStringLiteral("default")});
    ASSERT_TRUE(WaitFor([&] { return clicks.size() == 3; }, kWaitMs));
    area.Delete(151);
    ASSERT_TRUE(WaitFor([&] { return !fake.closed.empty(); }, kWaitMs));
    EXPECT_EQ(fake.closed, (std::vector<uint>{43}));
  }
  QDBusConnection::disconnectFromBus(QStringLiteral("qrv-tray-client"));
  QDBusConnection::disconnectFromBus(QStringLiteral("qrv-fake-notifications"));
}

}  // namespace
}  // namespace qrv

#include "CQUpdateUtilTrayIconTest.moc"
