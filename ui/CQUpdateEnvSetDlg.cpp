#include "ui/CQUpdateEnvSetDlg.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QRegularExpressionValidator>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "app/UpdateEngine.h"
#include "config/CQUpdateUtilRegistry.h"
#include "config/StoredPassword.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/MessageService.h"
#include "platform/core/ProgramFolders.h"
#include "platform/system/PlatformVersion.h"
#include "platform/thread/EventPump.h"
#include "res/StringIds.h"
#include "transfer/CQUpdateTransferFile.h"
#include "ui/Artwork.h"
#include "ui/DialogUnits.h"
#include "ui/FolderPicker.h"
#include "ui/FormTexts.h"
#include "ui/MakerAddresses.h"
#include "ui_CQUpdateEnvSetDlg.h"

namespace qrv {

namespace {

UpdateEngine& Engine() { return UpdateEngine::Current(); }

constexpr uint32_t kCaptionSettings = 128;
constexpr uint32_t kStringCannotConnect = 129;
constexpr uint32_t kStringBadServerPath = 131;
constexpr uint32_t kStringBadUser = 132;
constexpr uint32_t kStringBadPassword = 133;
constexpr uint32_t kStringFindNetworkFolder = 115;
constexpr uint32_t kStringFindDownloadFolder = 136;
constexpr uint32_t kStringNetworkPathLabel = 108;
constexpr uint32_t kStringFtpAddressLabel = 107;
constexpr uint32_t kFirstPeriodString = 149;  // 149, 150, 151: ten days, a month, three months
constexpr int kPeriods = 3;
constexpr int kOldestCurrentPlatform = 5;  // below it automatic updating cannot be chosen
constexpr int kBrowseArtwork = 158;
constexpr int kBrowseArtworkDisabled = 161;

QString PortText(uint32_t port) { return port == 0 ? QString() : QString::number(port); }

std::string Text(const QLineEdit* edit) { return edit->text().toStdString(); }

}  // namespace

CQUpdateEnvSetDlg::CQUpdateEnvSetDlg(QWidget* parent) : QDialog(parent), m_ui(new Ui::CQUpdateEnvSetDlg) {
  m_ui->setupUi(this);
  FormTexts::Apply(this);

  // Two separate choices: without their own groups all five radios of the
  // dialog would exclude each other.
  auto* serverGroup = new QButtonGroup(this);
  serverGroup->addButton(m_ui->internetRadio);
  serverGroup->addButton(m_ui->networkRadio);
  serverGroup->addButton(m_ui->ftpRadio);
  auto* autoGroup = new QButtonGroup(this);
  autoGroup->addButton(m_ui->manualRadio);
  autoGroup->addButton(m_ui->autoRadio);

  const DialogUnits du(font());
  m_ui->addressEdit->setMinimumWidth(du.X(133));
  for (QLineEdit* edit : {m_ui->userEdit, m_ui->passwordEdit, m_ui->portEdit}) edit->setMinimumWidth(du.X(150));
  m_ui->downloadEdit->setMinimumWidth(du.X(146));
  m_ui->periodList->setMinimumWidth(du.X(89));
  for (QWidget* button : {m_ui->applyButton, m_ui->cancelButton}) button->setMinimumSize(du.Size(46, 14));

  // 0 to 65535, digits only; empty means the protocol's default port.
  m_ui->portEdit->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("|[0-9]{1,4}|[1-5][0-9]{4}|6[0-4][0-9]{3}|65[0-4][0-9]{2}|655[0-2][0-9]|6553[0-5]")),
      m_ui->portEdit));

  connect(m_ui->internetRadio, &QRadioButton::clicked, this, [this] { SelectServerType(kServerTypeHttp, true); });
  connect(m_ui->networkRadio, &QRadioButton::clicked, this, [this] { SelectServerType(kServerTypeNetwork, true); });
  connect(m_ui->ftpRadio, &QRadioButton::clicked, this, [this] { SelectServerType(kServerTypeFtp, true); });
  connect(m_ui->manualRadio, &QRadioButton::clicked, this, [this] { SetAutoUpdate(false); });
  connect(m_ui->autoRadio, &QRadioButton::clicked, this, [this] { SetAutoUpdate(true); });
  connect(m_ui->networkBrowse, &QToolButton::clicked, this,
          [this] { Browse(m_ui->addressEdit, kStringFindNetworkFolder); });
  connect(m_ui->downloadBrowse, &QToolButton::clicked, this,
          [this] { Browse(m_ui->downloadEdit, kStringFindDownloadFolder); });
  connect(m_ui->defaultButton, &QPushButton::clicked, this, [this] { Defaults(); });
  connect(m_ui->applyButton, &QPushButton::clicked, this, [this] { Apply(); });
  connect(m_ui->cancelButton, &QPushButton::clicked, this, [this] { reject(); });

  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
  Open();
}

CQUpdateEnvSetDlg::~CQUpdateEnvSetDlg() = default;

void CQUpdateEnvSetDlg::Open() {
  const QSize iconSize = m_ui->networkBrowse->iconSize();
  QIcon browse;
  browse.addPixmap(Artwork::Pixmap(kBrowseArtwork, iconSize), QIcon::Normal);
  browse.addPixmap(Artwork::Pixmap(kBrowseArtworkDisabled, iconSize), QIcon::Disabled);
  m_ui->networkBrowse->setIcon(browse);
  m_ui->downloadBrowse->setIcon(browse);

  // Opening shows the stored server; it writes nothing, so that Cancel right
  // away leaves the store as it was.
  const tagSERVERINFO active = Engine().GetServerInfo();
  const bool byType = active.type == kServerTypeNetwork || active.type == kServerTypeFtp;
  m_internetPath = byType ? Engine().GetDefaultServerPath() : Engine().GetServerPath();
  SelectServerType(byType ? active.type : kServerTypeHttp, false);

  m_oldPlatform = platform::PlatformVersion::Major() < kOldestCurrentPlatform;
  SetAutoUpdate(Engine().IsAutoUpdate() == 1 && !m_oldPlatform);
  m_ui->autoRadio->setEnabled(!m_oldPlatform);

  for (int i = 0; i < kPeriods; ++i) m_ui->periodList->addItem(FormTexts::Text(kFirstPeriodString + i));
  const uint32_t term = Engine().GetTerm();
  m_ui->periodList->setCurrentIndex(term >= 1 && term <= kPeriods ? static_cast<int>(term) - 1 : 0);

  m_ui->downloadEdit->setText(QString::fromStdString(Engine().GetDownloadPath()));
}

void CQUpdateEnvSetDlg::SelectServerType(uint32_t type, bool writeStore) {
  const bool network = type == kServerTypeNetwork;
  const bool ftp = type == kServerTypeFtp;
  m_ui->addressEdit->setEnabled(network || ftp);
  m_ui->networkBrowse->setEnabled(network);
  m_ui->userEdit->setEnabled(network || ftp);
  m_ui->passwordEdit->setEnabled(network || ftp);
  m_ui->portEdit->setEnabled(ftp);
  m_ui->internetRadio->setChecked(type == kServerTypeHttp);
  m_ui->networkRadio->setChecked(network);
  m_ui->ftpRadio->setChecked(ftp);

  // The store's active values become the saved ones of the type at once.
  if (writeStore) Engine().SelectServerType(type);

  if (m_type != 0) m_scratch[m_type] = FromFields(m_type);
  m_type = type;
  // A type shows its saved values the first time it is chosen, and what was
  // typed into it when it is chosen again.
  if ((network || ftp) && !m_visited[type]) {
    m_scratch[type] = Engine().GetServerInfo();
    m_scratch[type].type = type;
    if (network) m_scratch[type].port = 0;
  }
  m_visited[type] = true;
  ShowServer(m_scratch[type]);

  if (network || ftp) {
    const QString label = FormTexts::Text(network ? kStringNetworkPathLabel : kStringFtpAddressLabel);
    m_ui->addressLabel->setText(label);
    m_ui->addressEdit->setAccessibleName(FormTexts::Spoken(label));
  }
}

void CQUpdateEnvSetDlg::ShowServer(const tagSERVERINFO& info) {
  m_ui->addressEdit->setText(QString::fromStdString(info.path));
  m_ui->passwordEdit->setText(QString::fromStdString(info.password));
  m_ui->userEdit->setText(QString::fromStdString(info.user));
  m_ui->portEdit->setText(PortText(info.port));
}

void CQUpdateEnvSetDlg::SetAutoUpdate(bool on) {
  m_ui->autoRadio->setChecked(on);
  m_ui->manualRadio->setChecked(!on);
  m_ui->periodList->setEnabled(on);
}

void CQUpdateEnvSetDlg::Browse(QLineEdit* edit, uint32_t titleId) {
  const QString chosen = FolderPicker::Current().Pick(this, FormTexts::Text(titleId), edit->text());
  if (!chosen.isEmpty()) edit->setText(chosen);
}

void CQUpdateEnvSetDlg::Defaults() {
  SelectServerType(kServerTypeHttp, true);
  // Where automatic updating cannot be chosen, Defaults cannot choose it either.
  SetAutoUpdate(!m_oldPlatform);
  m_ui->periodList->setCurrentIndex(0);
  // The folder the store itself uses when none is set: a private one, never
  // the shared temporary folder where another user could make QRVDownload
  // first.
  m_ui->downloadEdit->setText(QString::fromStdString(platform::ProgramFolders::Cache() + '/'));
  const std::string endpoint = MakerAddresses::UpdateEndpoint();
  CQUpdateUtilRegistry registry;
  registry.WriteString("QrvServerPath", endpoint);
  registry.WriteString("ServerPath", endpoint);
  m_internetPath = endpoint;
}

uint32_t CQUpdateEnvSetDlg::CheckedType() const {
  if (m_ui->networkRadio->isChecked()) return kServerTypeNetwork;
  if (m_ui->ftpRadio->isChecked()) return kServerTypeFtp;
  return kServerTypeHttp;
}

tagSERVERINFO CQUpdateEnvSetDlg::FromFields(uint32_t type) const {
  if (type != kServerTypeNetwork && type != kServerTypeFtp) return {type, 0, m_internetPath, "", ""};
  return {type, CQUpdateUtilRegistry::ParseLeadingNumber(Text(m_ui->portEdit)), Text(m_ui->addressEdit),
          Text(m_ui->userEdit), Text(m_ui->passwordEdit)};
}

void CQUpdateEnvSetDlg::Fail(uint32_t stringId) const {
  platform::MessageService::Current().ShowTitled(kCaptionSettings, stringId, platform::MessageService::kOk);
}

void CQUpdateEnvSetDlg::Apply() {
  if (m_busy || !Validate()) return;
  if (!TestConnection(FromFields(CheckedType()))) return;
  WriteLogOnEntry();
  if (!TestDownloadFolder()) {
    Fail(kStringInvalidDownloadPath);
    return;
  }
  Store();
  accept();
}

bool CQUpdateEnvSetDlg::Validate() {
  const uint32_t type = CheckedType();
  if (type == kServerTypeHttp) return true;
  if (m_ui->addressEdit->text().isEmpty()) {
    Fail(kStringBadServerPath);
    return false;
  }
  if (type == kServerTypeFtp) {
    if (m_ui->userEdit->text().isEmpty()) {
      Fail(kStringBadUser);
      return false;
    }
    if (m_ui->passwordEdit->text().isEmpty()) {
      Fail(kStringBadPassword);
      return false;
    }
  }
  // A password whose stored text the store could not read back would be
  // lost without a word at the next start.
  std::string stored;
  if (!m_ui->passwordEdit->text().isEmpty() &&
      (!EncryptPassword(Text(m_ui->passwordEdit), stored) || stored.size() > kMaxStoredPasswordChars)) {
    Fail(kStringPasswordTooLong);
    return false;
  }
  return true;
}

bool CQUpdateEnvSetDlg::TestConnection(const tagSERVERINFO& server) {
  // The transport may take seconds to answer (or to give up): it runs on a
  // worker while this thread keeps the window painted, with every control
  // off so that nothing is changed or applied twice meanwhile.
  m_busy = true;
  setEnabled(false);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const platform::EventPump::Hook previous =
      platform::EventPump::SetThreadHook([] { QCoreApplication::processEvents(QEventLoop::AllEvents); });
  const std::chrono::milliseconds previousInterval = platform::EventPump::ThreadInterval();
  platform::EventPump::SetThreadInterval(std::chrono::milliseconds{kPumpIntervalMs});
  const uint32_t result = Engine().TestConnection(server);
  platform::EventPump::SetThreadInterval(previousInterval);
  platform::EventPump::SetThreadHook(previous);
  QApplication::restoreOverrideCursor();
  setEnabled(true);
  m_busy = false;

  if (result == 0) {
    Fail(kStringCannotConnect);
    return false;
  }
  if (result == CQUpdateTransferFile::kConnectNoUpdateInfo) {
    Fail(CQUpdateTransferFile::kConnectNoUpdateInfo);
    return false;
  }
  return true;
}

void CQUpdateEnvSetDlg::WriteLogOnEntry() const {
  std::string error;
  const bool done = Engine().SetLogOnEntry(m_ui->autoRadio->isChecked(), error);
  if (!done) platform::Diagnostics::Report("settings: the start-at-log-on entry: " + error);
}

bool CQUpdateEnvSetDlg::TestDownloadFolder() const { return Engine().TestDownloadFolder(Text(m_ui->downloadEdit)); }

void CQUpdateEnvSetDlg::Store() const {
  const std::array<QRadioButton*, 3> radios{m_ui->internetRadio, m_ui->networkRadio, m_ui->ftpRadio};
  for (uint32_t type = kServerTypeHttp; type <= kServerTypeFtp; ++type) {
    const QRadioButton* radio = radios[type - 1];
    if (!radio->isChecked()) continue;
    if (!radio->isEnabled()) {
      Engine().ResetServerInfo();
      continue;
    }
    // The engine stores the password encrypted (Validate checked it can).
    const tagSERVERINFO info = FromFields(type);
    Engine().SetServerInfo(info);
    Engine().SaveServerInfoByType(info);
    break;
  }
  const bool automatic = m_ui->autoRadio->isChecked();
  Engine().SetAutoUpdate(automatic ? 1 : 0);
  Engine().SetTerm(automatic ? static_cast<uint32_t>(m_ui->periodList->currentIndex()) + 1 : 1);
  Engine().SetDownloadPath(Text(m_ui->downloadEdit));
}

void CQUpdateEnvSetDlg::reject() {
  if (!m_busy) QDialog::reject();
}

void CQUpdateEnvSetDlg::closeEvent(QCloseEvent* event) {
  if (m_busy) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

bool CQUpdateEnvSetDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      Apply();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void CQUpdateEnvSetDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();
    Apply();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace qrv
