// The settings dialog against the real settings store, the real log-on entry
// and real loopback servers; only the message boxes and the folder picker
// are recorders.
#include "ui/CQUpdateEnvSetDlg.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "apply/LogOnEntry.h"
#include "config/CQUpdateMgrEnv.h"
#include "config/CQUpdateUtilRegistry.h"
#include "config/StoredPassword.h"
#include "platform/core/ProgramFolders.h"
#include "platform/registry/RegistryKey.h"
#include "platform/system/PlatformVersion.h"
#include "tests/support/FtpTestServer.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/RecordingMessages.h"
#include "tests/support/SandboxRoot.h"
#include "ui/FolderPicker.h"
#include "ui/FormTexts.h"
#include "ui/MakerAddresses.h"

namespace qrv {
namespace {

namespace fs = std::filesystem;
using platform::RegistryKey;
using platform::RegStatus;
using platform::RegValue;

constexpr const char* kInfo = "[VersionInfo]\nWriter=2.0\n";

class RecordingPicker : public FolderPicker {
 public:
  QString Pick(QWidget*, const QString& title, const QString& start) override {
    asked.emplace_back(title, start);
    if (answers.empty()) return {};
    const QString next = answers.front();
    answers.pop_front();
    return next;
  }
  std::vector<std::pair<QString, QString>> asked;  // title, starting text
  std::deque<QString> answers;                     // empty: cancelled
};

// The dialog, shown, with its controls found by their control ids.
struct Dialog {
  template <class T>
  T* Get(int id) {
    T* widget = FormTexts::Find<T>(&dlg, id);
    if (widget == nullptr) throw std::runtime_error("no control " + std::to_string(id));
    return widget;
  }
  CQUpdateEnvSetDlg dlg;
  QRadioButton *internet = Get<QRadioButton>(1036), *network = Get<QRadioButton>(1037), *ftp = Get<QRadioButton>(1038);
  QRadioButton *manual = Get<QRadioButton>(1069), *automatic = Get<QRadioButton>(1070);
  QLineEdit *address = Get<QLineEdit>(1039), *user = Get<QLineEdit>(1040), *password = Get<QLineEdit>(1041);
  QLineEdit *port = Get<QLineEdit>(1033), *download = Get<QLineEdit>(1042);
  QLabel* addressLabel = Get<QLabel>(1046);
  QComboBox* period = Get<QComboBox>(1022);
  QAbstractButton *networkBrowse = Get<QAbstractButton>(1050), *downloadBrowse = Get<QAbstractButton>(1052);
  QAbstractButton *defaults = Get<QAbstractButton>(1044), *apply = Get<QAbstractButton>(1030);
  QAbstractButton* cancel = Get<QAbstractButton>(1009);
  std::vector<int> ends;  // each result the dialog finished with
  Dialog() {
    QObject::connect(&dlg, &QDialog::finished, [this](int result) { ends.push_back(result); });
    dlg.show();
  }
  bool Accepted() const { return !dlg.isVisible() && ends == std::vector<int>{QDialog::Accepted}; }
  void Server(const fs::path& folder) {
    network->click();
    address->setText(QString::fromStdString(folder.string()));
  }
};

void Press(QWidget* widget, int key, const QString& text) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QApplication::sendEvent(widget, &press);
}
void Type(QWidget* widget, const QString& keys) {
  for (QChar c : keys) Press(widget, 0, QString(c));
}
void PressEnter(QWidget* widget) { Press(widget, Qt::Key_Return, QStringLiteral("\r")); }

class CQUpdateEnvSetDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegistryKey::Create(platform::kRootLocalMachine, CQUpdateUtilRegistry::kMainKey, m_main),
              RegStatus::kOk);
    test::WriteFile(m_root / "share/qupdate_s.ini", kInfo);
    fs::create_directories(m_root / "empty");
    m_previousMessages = platform::MessageService::Install(m_messages);
    m_previousPicker = FolderPicker::Install(m_picker);
  }
  void TearDown() override {
    platform::PlatformVersion::SetForTesting(0);
    FolderPicker::Install(m_previousPicker);
    platform::MessageService::Install(m_previousMessages);
  }

  // Every value of the store, by name.
  std::map<std::string, std::pair<uint32_t, std::vector<uint8_t>>> Stored() const {
    std::map<std::string, std::pair<uint32_t, std::vector<uint8_t>>> values;
    std::string name;
    RegValue value;
    for (uint32_t i = 0; m_main.EnumValue(i, name, value) == RegStatus::kOk; ++i) values[name] = {value.type, value.data};
    return values;
  }
  std::optional<uint32_t> Dword(const std::string& name) const {
    RegValue v;
    return m_main.Query(name, v) == RegStatus::kOk ? v.AsDword() : std::nullopt;
  }
  std::string Text(const std::string& name) const {
    RegValue v;
    return m_main.Query(name, v) == RegStatus::kOk ? v.AsString() : "<missing>";
  }
  // A stored password: never the plain text, and decrypting to it.
  void ExpectPassword(const std::string& name, const std::string& plain) const {
    const std::string stored = Text(name);
    EXPECT_NE(stored, plain) << name;
    std::string decrypted;
    EXPECT_TRUE(DecryptPassword(stored, decrypted)) << name << " = " << stored;
    EXPECT_EQ(decrypted, plain) << name;
  }
  static std::string Encrypted(const std::string& plain) {
    std::string stored;
    return EncryptPassword(plain, stored) ? stored : "<not encrypted>";
  }
  bool HasLogOnEntry() const { return fs::exists(LogOnEntry::DesktopFilePath()); }

  // Apply fails with box id (captioned "Settings"), the dialog stays open and
  // the store keeps every value.
  void ExpectRefused(Dialog& d, uint32_t id) {
    const auto before = Stored();
    m_messages->shown.clear();
    m_messages->titles.clear();
    d.apply->click();
    EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{id});
    EXPECT_EQ(m_messages->titles, std::vector<uint32_t>{128});
    EXPECT_TRUE(d.dlg.isVisible());
    EXPECT_TRUE(d.ends.empty());
    EXPECT_TRUE(Stored() == before) << "box " << id << " stored something";
  }

  test::SandboxRoot m_root;
  RegistryKey m_main;
  std::shared_ptr<test::RecordingMessages> m_messages = std::make_shared<test::RecordingMessages>();
  std::shared_ptr<RecordingPicker> m_picker = std::make_shared<RecordingPicker>();
  std::shared_ptr<platform::MessageService> m_previousMessages;
  std::shared_ptr<FolderPicker> m_previousPicker;
};

TEST_F(CQUpdateEnvSetDlgTest, EveryRefusalShowsItsBoxAndStoresNothing) {
  test::LoopbackPort closed;
  ASSERT_GT(closed.Port(), 0) << closed.Error();
  Dialog d;
  EXPECT_TRUE(Stored().empty()) << "opening writes nothing";
  d.automatic->click();  // so that a log-on entry written too early shows

  d.network->click();
  ExpectRefused(d, 131);
  d.ftp->click();
  ExpectRefused(d, 131);
  d.address->setText("127.0.0.1");
  ExpectRefused(d, 132);
  d.user->setText("anna");
  ExpectRefused(d, 133);
  d.password->setText(QString(120, 'p'));
  ExpectRefused(d, 194);  // 120 bytes encrypt to 256 digits, one more than the store reads back
  d.password->setText("pw");
  d.port->setText(QString::number(closed.Port()));
  ExpectRefused(d, 129);
  d.Server(m_root / "empty");
  ExpectRefused(d, 147);
  EXPECT_EQ(LogOnEntry::RegisteredCommand(), "") << "no log-on entry before the server answered";
  EXPECT_FALSE(HasLogOnEntry());

  test::WriteFile(m_root / "plain", "a file where a folder is needed");
  d.Server(m_root / "share");
  d.download->setText(QString::fromStdString((m_root / "plain/below").string()));
  ExpectRefused(d, 140);
  EXPECT_EQ(LogOnEntry::RegisteredCommand(), LogOnEntry::Command()) << "written before the download folder test";
  EXPECT_TRUE(HasLogOnEntry());
}

TEST_F(CQUpdateEnvSetDlgTest, AppliesAnFtpServerThatAnswersAndStoresEverything) {
  test::WriteFile(m_root / "srv/qupdate_s.ini", kInfo);
  test::FtpTestServer server(m_root / "srv", "qrv user", "pa:ss@w/rd");
  ASSERT_GT(server.Port(), 0) << server.Error();
  fs::create_directories(m_root / "dl");
  Dialog d;
  d.ftp->click();
  d.address->setText("127.0.0.1");
  d.user->setText("qrv user");
  d.password->setText("pa:ss@w/rd");
  d.port->setText(QString::number(server.Port()));
  d.automatic->click();
  d.period->setCurrentIndex(1);
  d.download->setText(QString::fromStdString((m_root / "dl").string()));
  d.apply->click();

  ASSERT_TRUE(d.Accepted()) << "boxes: " << m_messages->shown.size();
  EXPECT_TRUE(m_messages->shown.empty());
  EXPECT_EQ(Dword("ServerType"), kServerTypeFtp);
  EXPECT_EQ(Dword("ServerPort"), static_cast<uint32_t>(server.Port()));
  EXPECT_EQ(Dword("FTP_ServerPort"), static_cast<uint32_t>(server.Port()));
  for (const char* prefix : {"", "FTP_"}) {
    EXPECT_EQ(Text(prefix + std::string("ServerPath")), "127.0.0.1");
    EXPECT_EQ(Text(prefix + std::string("UserID")), "qrv user");
    ExpectPassword(prefix + std::string("PassWD"), "pa:ss@w/rd");
  }
  EXPECT_EQ(Text("Network_ServerPath"), "<missing>");
  EXPECT_EQ(Dword("Auto"), 1u);
  EXPECT_EQ(Dword("Term"), 2u);
  EXPECT_EQ(CQUpdateMgrEnv().GetDownloadPath(0), (m_root / "dl").string() + "/");
  EXPECT_FALSE(fs::exists(m_root / "dl/QRVDownload")) << "the test folder goes again";

  EXPECT_EQ(LogOnEntry::RegisteredCommand(), LogOnEntry::Command());
  EXPECT_EQ(test::ReadFile(LogOnEntry::DesktopFilePath()), LogOnEntry::DesktopFileText(LogOnEntry::Command()));
}

TEST_F(CQUpdateEnvSetDlgTest, AppliesANetworkFolderManualUpdatesAndRemovesTheLogOnEntry) {
  std::string error;
  ASSERT_TRUE(LogOnEntry::Write(error)) << error;
  Dialog d;
  d.Server(m_root / "share");
  d.user->setText("bob");
  const std::string longest(119, 'x');  // encrypts to 240 digits, which the store reads back
  d.password->setText(QString::fromStdString(longest));
  d.automatic->click();
  d.period->setCurrentIndex(2);
  d.manual->click();
  EXPECT_FALSE(d.period->isEnabled());
  PressEnter(d.password);

  ASSERT_TRUE(d.Accepted());
  EXPECT_EQ(Dword("ServerType"), kServerTypeNetwork);
  EXPECT_EQ(Text("Network_ServerPath"), (m_root / "share").string());
  EXPECT_EQ(Text("Network_UserID"), "bob");
  ExpectPassword("Network_PassWD", longest);
  EXPECT_EQ(CQUpdateMgrEnv().GetServerInfo(), (tagSERVERINFO{kServerTypeNetwork, 0, (m_root / "share").string(), "bob",
                                                             longest}));
  EXPECT_FALSE(Dword("FTP_ServerPort").has_value());
  EXPECT_EQ(Dword("Auto"), 0u);
  EXPECT_EQ(Dword("Term"), 1u) << "whatever period the disabled list shows";
  EXPECT_EQ(LogOnEntry::RegisteredCommand(), "");
  EXPECT_FALSE(HasLogOnEntry());
}

TEST_F(CQUpdateEnvSetDlgTest, TheInternetStoresTheUpdateServiceNotTheServerLastActive) {
  test::WriteFile(m_root / "web/qupdate_s.ini", kInfo);
  test::HttpTestServer web(m_root / "web");
  ASSERT_GT(web.Port(), 0) << web.Error();
  m_main.SetDword("ServerType", kServerTypeFtp);
  m_main.SetString("ServerPath", "127.0.0.1");  // the active FTP host, no update service
  m_main.SetString("UserID", "fu");
  m_main.SetString("QrvServerPath", web.ServiceUrl());
  Dialog d;
  d.internet->click();
  d.apply->click();
  ASSERT_TRUE(d.Accepted()) << m_messages->shown.size() << " boxes";
  EXPECT_GT(web.CountRequests("/svc/AUpdate70.jsp"), 0u);
  EXPECT_EQ(CQUpdateMgrEnv().GetServerInfo(), (tagSERVERINFO{kServerTypeHttp, 0, web.ServiceUrl(), "", ""}));
}

TEST_F(CQUpdateEnvSetDlgTest, EachServerTypeEnablesItsFieldsAndKeepsWhatWasTyped) {
  m_main.SetDword("ServerType", kServerTypeHttp);
  m_main.SetString("ServerPath", "http://127.0.0.1:1/AUpdate70.jsp");
  m_main.SetString("Network_ServerPath", "/net/saved");
  m_main.SetString("Network_UserID", "nu");
  m_main.SetString("FTP_ServerPath", "ftp.saved");
  m_main.SetString("FTP_UserID", "fu");
  m_main.SetString("FTP_PassWD", Encrypted("fp"));
  m_main.SetDword("FTP_ServerPort", 2121);
  const auto stored = Stored();
  Dialog d;
  EXPECT_TRUE(Stored() == stored) << "opening writes nothing";
  // address, browse, user, password, port
  const std::vector<QWidget*> fields{d.address, d.networkBrowse, d.user, d.password, d.port};
  auto enabled = [&] {
    std::string s;
    for (QWidget* w : fields) s += w->isEnabled() ? '1' : '0';
    return s;
  };
  EXPECT_TRUE(d.internet->isChecked());
  EXPECT_EQ(enabled(), "00000");

  d.network->click();
  EXPECT_EQ(enabled(), "11110");
  EXPECT_EQ(d.addressLabel->text(), FormTexts::Text(108));
  EXPECT_EQ(d.address->text(), "/net/saved");
  EXPECT_EQ(d.user->text(), "nu");
  d.address->setText("/typed/net");

  d.ftp->click();
  EXPECT_EQ(enabled(), "10111");
  EXPECT_EQ(d.addressLabel->text(), FormTexts::Text(107));
  EXPECT_EQ(d.address->text(), "ftp.saved");
  EXPECT_EQ(d.user->text(), "fu");
  EXPECT_EQ(d.password->text(), "fp");
  EXPECT_EQ(d.port->text(), "2121");
  EXPECT_EQ(Text("ServerPath"), "ftp.saved") << "the radio copies the saved values at once";
  EXPECT_EQ(Dword("ServerPort"), 2121u);
  d.port->setText("21");

  d.network->click();
  EXPECT_EQ(d.address->text(), "/typed/net") << "what was typed comes back";
  EXPECT_EQ(d.user->text(), "nu");
  d.ftp->click();
  EXPECT_EQ(d.port->text(), "21");
  d.cancel->click();
  EXPECT_FALSE(d.dlg.isVisible());
  EXPECT_EQ(d.ends, std::vector<int>{QDialog::Rejected});
  EXPECT_EQ(Text("ServerPath"), "ftp.saved") << "Cancel does not undo the radio";
  EXPECT_EQ(Text("UserID"), "fu");
  EXPECT_EQ(Text("PassWD"), Encrypted("fp"));
}

TEST_F(CQUpdateEnvSetDlgTest, AnOldPlatformCannotChooseAutomaticUpdating) {
  m_main.SetDword("Auto", 1);
  m_main.SetDword("Term", 3);
  platform::PlatformVersion::SetForTesting(4);
  Dialog d;
  EXPECT_TRUE(d.manual->isChecked());
  EXPECT_FALSE(d.automatic->isEnabled());
  EXPECT_FALSE(d.period->isEnabled());
  d.defaults->click();
  EXPECT_TRUE(d.manual->isChecked()) << "Defaults cannot choose it either";
  d.Server(m_root / "share");
  d.apply->click();
  ASSERT_TRUE(d.Accepted());
  EXPECT_EQ(Dword("Auto"), 0u);
  EXPECT_EQ(Dword("Term"), 1u);
}

TEST_F(CQUpdateEnvSetDlgTest, DefaultsChooseTheInternetAutomaticUpdatesAndThePrivateCache) {
  m_main.SetDword("ServerType", kServerTypeFtp);
  m_main.SetString("QrvServerPath", "http://127.0.0.1:1/old/AUpdate70.jsp");
  m_main.SetDword("Auto", 0);
  m_main.SetDword("Term", 3);
  m_main.SetString("DownloadPath", (m_root / "dl").string());
  Dialog d;
  ASSERT_TRUE(d.ftp->isChecked());
  EXPECT_EQ(d.period->currentIndex(), 2);
  EXPECT_EQ(d.download->text().toStdString(), (m_root / "dl").string() + "/");

  d.defaults->click();
  EXPECT_TRUE(d.internet->isChecked());
  EXPECT_FALSE(d.address->isEnabled());
  EXPECT_TRUE(d.automatic->isChecked());
  EXPECT_TRUE(d.period->isEnabled());
  EXPECT_EQ(d.period->currentIndex(), 0);
  EXPECT_EQ(d.download->text().toStdString(), platform::ProgramFolders::Cache() + "/");
  const std::string endpoint = MakerAddresses::UpdateEndpoint();
  EXPECT_EQ(Text("QrvServerPath"), endpoint);
  EXPECT_EQ(Text("ServerPath"), endpoint);
  d.cancel->click();  // never applied: the maker's service is not on loopback
}

TEST_F(CQUpdateEnvSetDlgTest, EnterAppliesOncePortTakesOnlyPortNumbersAndFoldersArePicked) {
  Dialog d;
  d.network->click();
  PressEnter(d.address);
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{131}) << "Enter applies, once";
  PressEnter(&d.dlg);
  EXPECT_EQ(m_messages->shown, (std::vector<uint32_t>{131, 131}));
  EXPECT_TRUE(d.dlg.isVisible());

  d.ftp->click();
  const std::pair<const char*, const char*> typed[] = {{"12a3", "123"}, {"65535", "65535"}, {"65536", "6553"},
                                                       {"70000", "7000"}, {"-8", "8"},         {"0", "0"}};
  for (auto [keys, kept] : typed) {
    d.port->clear();
    Type(d.port, keys);
    EXPECT_EQ(d.port->text().toStdString(), kept) << keys;
  }

  d.network->click();
  d.address->setText("/start/net");
  m_picker->answers = {"/picked/net", ""};
  d.networkBrowse->click();
  d.networkBrowse->click();
  EXPECT_EQ(d.address->text(), "/picked/net") << "a cancelled pick keeps the text";
  d.download->setText("/start/dl");
  m_picker->answers = {"", "/picked/dl"};
  d.downloadBrowse->click();
  EXPECT_EQ(d.download->text(), "/start/dl");
  d.downloadBrowse->click();
  EXPECT_EQ(d.download->text(), "/picked/dl");
  using Ask = std::pair<QString, QString>;
  EXPECT_EQ(m_picker->asked, (std::vector<Ask>{{FormTexts::Text(115), "/start/net"},
                                               {FormTexts::Text(115), "/picked/net"},
                                               {FormTexts::Text(136), "/start/dl"},
                                               {FormTexts::Text(136), "/start/dl"}}));
}

// A loopback listener that completes connections but never says a word: an
// FTP client waits for the greeting until Release().
class SilentListener {
 public:
  SilentListener() {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&addr), size) != 0 || listen(m_fd, 4) != 0 ||
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
      return;
    m_port = ntohs(addr.sin_port);
  }
  ~SilentListener() { Release(); }
  uint16_t Port() const { return m_port; }
  bool Connected() {  // accepts and holds the client's connection
    pollfd p{m_fd, POLLIN, 0};
    if (m_client < 0 && m_fd >= 0 && poll(&p, 1, 0) == 1) m_client = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    return m_client >= 0;
  }
  void Release() {  // the client's wait ends with a failure
    for (int* fd : {&m_client, &m_fd})
      if (*fd >= 0) close(std::exchange(*fd, -1));
  }

 private:
  int m_fd = -1;
  int m_client = -1;
  uint16_t m_port = 0;
};

TEST_F(CQUpdateEnvSetDlgTest, TheWindowStaysServicedWhileTheServerIsSlow) {
  SilentListener listener;
  ASSERT_GT(listener.Port(), 0);
  Dialog d;
  d.ftp->click();
  d.address->setText("127.0.0.1");
  d.user->setText("anna");
  d.password->setText("pw");
  d.port->setText(QString::number(listener.Port()));

  // Observed from a timer of this thread while Apply waits for the server.
  int ticksWhileWaiting = 0;
  bool disabled = false, waitCursor = false, closed = true;
  QTimer timer;
  timer.setInterval(5);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (!d.dlg.Busy() || !listener.Connected()) return;
    if (++ticksWhileWaiting < 3) return;
    disabled = !d.dlg.isEnabled() && !d.apply->isEnabled();
    waitCursor = QApplication::overrideCursor() != nullptr && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    d.dlg.reject();
    closed = d.dlg.close();
    listener.Release();
  });
  timer.start();
  d.apply->click();  // returns once the client gave up: at the latest after its connect time-out
  timer.stop();

  EXPECT_GE(ticksWhileWaiting, 3) << "the timer did not run while the server was silent";
  EXPECT_TRUE(disabled && waitCursor);
  EXPECT_FALSE(closed) << "the close box while testing the connection";
  EXPECT_TRUE(d.ends.empty()) << "Cancel while testing the connection";
  EXPECT_TRUE(!d.dlg.Busy() && d.dlg.isEnabled() && d.dlg.isVisible());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(m_messages->shown, std::vector<uint32_t>{129});
}

}  // namespace
}  // namespace qrv
