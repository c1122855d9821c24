#include "ui/CQUpdateDlgAuto.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <cmath>

#include "app/CQUpdateBaseProcess.h"
#include "app/UpdateState.h"
#include "app/UpdateEngine.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/DisplayText.h"
#include "platform/core/MessageService.h"
#include "res/CQUpdateStrings.h"
#include "res/StringIds.h"
#include "ui/Artwork.h"
#include "ui/CQUpdateAboutDlg.h"
#include "ui/CQUpdateUtilTrayIcon.h"
#include "ui/CQUpdateUtilTrayLMouseDblCMsgHandler.h"
#include "ui/CQUpdateUtilTrayRMouseDblCMsgHandler.h"
#include "ui/DialogUnits.h"
#include "ui/FormTexts.h"
#include "ui/QtEventPump.h"
#include "ui/QtProgressControl.h"
#include "ui/QtStatusControl.h"
#include "ui/TrayArea.h"
#include "ui_CQUpdateDlgAuto.h"

namespace qrv {

namespace {

constexpr uint32_t kUpdateAvailable = 116;
constexpr uint32_t kDownloadComplete = 119;
constexpr uint32_t kUpdateComplete = 120;
constexpr uint32_t kUpdateNowAvailable = 122;
constexpr uint32_t kStatusPrefix = 123;
constexpr uint32_t kUpdateAbortedRestart = 130;
constexpr uint32_t kExitQuestion = 141;
constexpr uint32_t kFailedToComplete = 143;
constexpr uint32_t kUpdateAborted = 145;
constexpr uint32_t kStartUpdate = 148;

QString Text(uint32_t id) { return QString::fromStdString(CQUpdateStrings::Get(id)); }

// Counts a download or copy on the stack for as long as it runs.
class StepScope {
 public:
  explicit StepScope(int& steps) : m_steps(steps) { ++m_steps; }
  ~StepScope() { --m_steps; }
  StepScope(const StepScope&) = delete;
  StepScope& operator=(const StepScope&) = delete;

 private:
  int& m_steps;
};

bool Ask(uint32_t id) {
  return platform::MessageService::Current().Show(id, platform::MessageService::kOkCancel) ==
         platform::MessageService::kAnswerOk;
}

}  // namespace

CQUpdateDlgAuto::CQUpdateDlgAuto(QWidget* parent) : QDialog(parent), m_ui(std::make_unique<Ui::CQUpdateDlgAuto>()) {
  m_ui->setupUi(this);
  FormTexts::Apply(this);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  const DialogUnits du(font());
  m_ui->productLine->setMinimumWidth(du.X(285));
  m_ui->progressBar->setMinimumSize(du.Size(285, 14));
  m_ui->hideButton->setMinimumSize(du.Size(59, 15));
  m_ui->cancelButton->setMinimumSize(du.Size(59, 15));
  // Long product and file names must not widen the window.
  m_ui->productLine->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  m_ui->fileLine->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  connect(m_ui->hideButton, &QPushButton::clicked, this, [this] { hide(); });
  connect(m_ui->cancelButton, &QPushButton::clicked, this, [this] { OnCancelButton(); });
}

CQUpdateDlgAuto::~CQUpdateDlgAuto() {
  TrayArea& area = TrayArea::Current();
  area.onMouse = nullptr;
  area.onAreaCreated = nullptr;
  m_tray.reset();
  SetProgressCtrl(nullptr);
  SetStatusCtrl(nullptr);
}

int32_t CQUpdateDlgAuto::RunDialog() {
  m_pump = std::make_unique<QtEventPump>();
  m_ended = false;
  OnInitDialog();
  // The window stays hidden; the loop runs until EndUpdate ends the run.
  if (!m_ended) m_loop.exec();
  m_pump.reset();
  return 1;
}

void CQUpdateDlgAuto::OnInitDialog() {
  setWindowIcon(Artwork::Icon(128));
  m_rightHandler = std::make_unique<CQUpdateUtilTrayRMouseDblCMsgHandler>(this);
  m_leftHandler = std::make_unique<CQUpdateUtilTrayLMouseDblCMsgHandler>(this);
  TrayArea& area = TrayArea::Current();
  area.onMouse = [this](uint32_t id, uint32_t message) {
    const bool ours = id == kIconIdle || id == kIconWorking || id == kIconReady;
    if (ours && (message == TrayArea::kLeftDoubleClick || message == TrayArea::kBalloonClick)) {
      ShowState();
    } else if (m_tray) {
      m_tray->DispatchMouseMessage(id, message);
    }
  };
  area.onAreaCreated = [this] {
    if (m_tray) m_tray->OnTaskbarCreated();
  };
  if (NoTrayArea()) {
    platform::Diagnostics::Report("automatic run: the desktop has no notification area; the run goes on in its window "
                                  "without waiting for a click");
  }

  switch (Engine().StoredUpdateState()) {
    case UpdateState::kCopyBegun:
      Engine().RollbackCopy(0);
      m_icon = kIconReady;
      MakeTrayIcon(kIconReady);
      Trace("DlgAuto-OnInitDialog-_UPDATE_STATE_FILECOPY_BEGIN");
      ShowUpdateWait(kStartUpdate);
      break;
    case UpdateState::kDownloaded:
    case UpdateState::kCopyFailed:
      m_icon = kIconReady;
      MakeTrayIcon(kIconReady);
      Trace("DlgAuto-OnInitDialog-_UPDATE_STATE_FILECOPY_CANCEL");
      ShowUpdateWait(kStartUpdate);
      break;
    case UpdateState::kCopied:
    case UpdateState::kActionsBegun:
    case UpdateState::kActionsDone:
    case UpdateState::kCommitBegun:
      m_icon = kIconIdle;
      MakeTrayIcon(kIconIdle);
      UpdateFinalize();
      break;
    default:
      UpdatePrepare(static_cast<int32_t>(kUpdateAvailable));
      break;
  }
}

bool CQUpdateDlgAuto::NoTrayArea() const { return !TrayArea::Current().Available(); }

void CQUpdateDlgAuto::MakeTrayIcon(uint32_t id) {
  m_tray = std::make_unique<CQUpdateUtilTrayIcon>(
      this, id, m_icon, Text(kUpdateAvailable),
      std::vector<CQUpdateUtilTrayIconMouseMsgHandler*>{m_rightHandler.get(), m_leftHandler.get()});
  m_tray->AddIcon(kUpdateAvailable);
}

void CQUpdateDlgAuto::ApplyIcon(const QString& tip, uint32_t balloonId) {
  if (!m_tray) return;
  m_tray->SetIconData(this, 0, m_icon, tip);
  if (balloonId != 0) {
    m_tray->ModifyIcon(balloonId);
  } else {
    m_tray->ModifyIconText(QString());
  }
}

void CQUpdateDlgAuto::ShowInFront() {
  show();
  raise();
  activateWindow();
}

bool CQUpdateDlgAuto::UpdatePrepare(int32_t messageId) {
  // The query keeps the window's events flowing: a second start or a click
  // meanwhile must not start a download on a list still being made.
  m_preparing = true;
  const bool found = CQUpdateDlgMgr::UpdatePrepare(messageId);
  m_preparing = false;
  if (!found) {
    EndUpdate(kUpdateComplete);
    return false;
  }
  m_icon = kIconIdle;
  if (m_tray) {
    // A repeated prepare after a failed download.
    ApplyIcon(Text(kStringAppTitle), static_cast<uint32_t>(messageId));
  } else {
    MakeTrayIcon(kIconIdle);
  }
  hide();
  // Nobody can click a balloon without a notification area: the first
  // check goes on by itself (a check repeated after a failure does not, or
  // it would retry for ever).
  if (NoTrayArea() && messageId == static_cast<int32_t>(kUpdateAvailable)) {
    QTimer::singleShot(0, this, [this] { ShowState(); });
  }
  return true;
}

int32_t CQUpdateDlgAuto::UpdateCopyFile() {
  Trace("DlgAuto-UpdateCopyFile");
  ShowInFront();
  m_ui->cancelButton->setEnabled(true);
  m_icon = kIconWorking;
  ApplyIcon(QString());
  const StepScope step(m_steps);
  return CQUpdateDlgMgr::UpdateCopyFile();
}

void CQUpdateDlgAuto::UpdateFinalize() {
  ShowInFront();
  CQUpdateDlgMgr::UpdateFinalize();
  EndUpdate(kUpdateComplete);
}

void CQUpdateDlgAuto::AttachControls() {
  if (!m_progressControl) m_progressControl = std::make_unique<QtProgressControl>(m_ui->progressBar);
  if (!m_statusControl) m_statusControl = std::make_unique<QtStatusControl>(m_ui->fileLine);
  SetProgressCtrl(m_progressControl.get());
  SetStatusCtrl(m_statusControl.get());
}

void CQUpdateDlgAuto::OnFileTransferBegin() {
  AttachControls();
  CQUpdateDlgMgr::OnFileTransferBegin();
}

void CQUpdateDlgAuto::OnFileTransferFinish() {
  CQUpdateDlgMgr::OnFileTransferFinish();
  Trace("DlgAuto-OnFileTransferFinish");
  ShowUpdateWait(kDownloadComplete);
}

void CQUpdateDlgAuto::OnFileTransferCancel() {
  if (Ask(kStringStopDownload)) CQUpdateDlgMgr::OnFileTransferCancel();
}

void CQUpdateDlgAuto::OnFileCopyBegin() {
  AttachControls();
  CQUpdateDlgMgr::OnFileCopyBegin();
  Trace("OnFileCopyBegin");
}

void CQUpdateDlgAuto::OnFileCopyFinish() {
  CQUpdateDlgMgr::OnFileCopyFinish();
  UpdateFinalize();
  Trace("OnFileCopyFinish");
}

void CQUpdateDlgAuto::OnFileCopyCancel() {
  if (!Ask(kStringStopCopy)) return;
  CQUpdateDlgMgr::OnFileCopyCancel();
  Trace("DlgAuto-OnFileCopyCancel: the user cancelled the copy");
  ShowUpdateWait(kUpdateAbortedRestart);
}

void CQUpdateDlgAuto::OnFileTransferError(int32_t result) {
  CQUpdateDlgMgr::OnFileTransferError(result);
  EndUpdate(kFailedToComplete);
}

void CQUpdateDlgAuto::OnFileCopyError() {
  CQUpdateDlgMgr::OnFileCopyError();
  EndUpdate(kFailedToComplete);
}

void CQUpdateDlgAuto::OnErrorReserved1() {
  CQUpdateDlgMgr::OnErrorReserved1();
  EndUpdate(kFailedToComplete);
}

void CQUpdateDlgAuto::OnFinalizeError() {
  CQUpdateDlgMgr::OnFinalizeError();
  EndUpdate(kFailedToComplete);
}

void CQUpdateDlgAuto::OnErrorReserved2() {
  CQUpdateDlgMgr::OnErrorReserved2();
  EndUpdate(kFailedToComplete);
}

bool CQUpdateDlgAuto::OnPrepareFinish(int32_t found) {
  if (found == 0) return false;
  return CQUpdateDlgMgr::OnPrepareFinish(found);
}

void CQUpdateDlgAuto::SetProductStatus(const std::string& product, platform::ProgressKind kind) {
  m_ui->productLine->setText(QString::fromStdString(ProductStatusText(product, kind)));
}

void CQUpdateDlgAuto::SetProgressText(platform::ProgressKind kind, std::string_view file, uint32_t value) {
  CQUpdateDlgMgr::SetProgressText(kind, file, value);
  switch (m_phase) {
    case UpdatePhase::kPrepare: ApplyIcon(Text(kUpdateAvailable)); break;
    case UpdatePhase::kDownload: {
      const int32_t total = Engine().GetTotalFileCount();
      const double percent = total > 0 ? static_cast<double>(value) / total * 100.0 : 0.0;
      m_icon = kIconWorking;
      ApplyIcon(Text(kStatusPrefix) + QString::asprintf("%.0f%%", percent));
      break;
    }
    case UpdatePhase::kFileCopy:
      m_icon = kIconWorking;
      ApplyIcon(QString());
      break;
    case UpdatePhase::kFinalize:
      ApplyIcon(QString());
      ShowInFront();
      break;
    default: ApplyIcon(QString()); break;
  }
}

void CQUpdateDlgAuto::ShowState() {
  // Nothing starts while the server is asked, while the run is ending (the
  // Exit question is open, or its last balloon shows), or, for a download or
  // a copy, while an earlier step is still on the stack (a copy being rolled
  // back after its Cancel, a download the user is leaving).
  if (m_preparing || m_ending || m_ended) return;
  const bool stepRunning = m_steps > 0;
  switch (m_phase) {
    case UpdatePhase::kPrepare:
      if (stepRunning) return;
      if (StartDownloadRun() == 1 && !m_ending && !m_ended) {
        m_phase = UpdatePhase::kWait;
        ShowState();
      }
      Trace("_STATE_PREPARE");
      break;
    case UpdatePhase::kDownload:
      ShowInFront();
      Trace("_STATE_DOWNLOAD");
      break;
    case UpdatePhase::kWait:
      if (stepRunning) return;
      OnStateWait();
      Trace("_STATE_WAIT");
      break;
    case UpdatePhase::kFileCopy:
      ShowInFront();
      Trace("_STATE_FILECOPY");
      break;
    case UpdatePhase::kFinalize: ShowInFront(); break;
    case UpdatePhase::kFinish:
      hide();
      Trace("_STATE_FINISH");
      break;
    default: break;
  }
}

int32_t CQUpdateDlgAuto::StartDownloadRun() {
  ShowInFront();
  m_ui->cancelButton->setEnabled(true);
  std::vector<std::string> products;
  if (const std::vector<tagUPDATETYPE>* list = ProductList()) {
    for (const tagUPDATETYPE& record : *list) products.push_back(record.product);
  }
  m_icon = kIconWorking;
  ApplyIcon(QString());
  const StepScope step(m_steps);
  return UpdateDownload(products);
}

void CQUpdateDlgAuto::ShowUpdateWait(uint32_t messageId) {
  UpdateWait();
  hide();
  m_ui->fileLine->setText(Text(kStringWait));
  m_icon = kIconReady;
  ApplyIcon(Text(kUpdateNowAvailable), messageId);
  // Without a notification area a resumed run goes on to its copy by
  // itself; a copy the user stopped (130) waits for them.
  if (NoTrayArea() && messageId == kStartUpdate) QTimer::singleShot(0, this, [this] { ShowState(); });
}

void CQUpdateDlgAuto::OnStateWait() { UpdateCopyFile(); }

void CQUpdateDlgAuto::EndUpdate(uint32_t messageId) {
  // A finalize that failed ends with 143 and then, as the finalize goes on
  // to its end, with 120: both balloons show and the state ends at 0.
  m_ending = true;
  if (messageId == kUpdateAborted && !Ask(kExitQuestion)) {
    m_ending = false;
    return;
  }
  m_icon = kIconIdle;
  ApplyIcon(QString(), messageId);
  hide();
  // The last balloon stays up meanwhile; the window takes no input in the
  // pause, but the rest of the process (painting, the desktop's messages)
  // goes on.
  if (m_endPause.count() > 0) {
    QEventLoop pause;
    QTimer::singleShot(m_endPause, &pause, &QEventLoop::quit);
    pause.exec(QEventLoop::ExcludeUserInputEvents);
  }
  UpdateFinish(messageId == kUpdateComplete ? 0 : 1);
  m_ended = true;
  m_ending = false;
  m_loop.quit();
}

void CQUpdateDlgAuto::OnExit() {
  switch (m_phase) {
    case UpdatePhase::kPrepare:
    case UpdatePhase::kWait: EndUpdate(kUpdateAborted); break;
    case UpdatePhase::kDownload:
      OnFileTransferCancel();
      EndUpdate(kUpdateAborted);
      break;
    case UpdatePhase::kFileCopy:
      OnFileCopyCancel();
      EndUpdate(kUpdateAborted);
      break;
    case UpdatePhase::kFinish: EndUpdate(kUpdateComplete); break;
    default: break;  // finalize runs to its end
  }
}

void CQUpdateDlgAuto::EndProcess(int code) {
  m_exitCode = code;
  hide();
  if (m_tray) m_tray->DeleteIcon();
  m_ended = true;
  m_loop.quit();
}

void CQUpdateDlgAuto::OnCommand(int command) {
  switch (command) {
    case kCommandAbout: {
      CQUpdateAboutDlg about(this);
      about.exec();
      break;
    }
    case kCommandShow: ShowState(); break;
    case kCommandExit: OnExit(); break;
    default: break;
  }
}

void CQUpdateDlgAuto::OnCancelButton() {
  if (m_phase == UpdatePhase::kDownload) {
    OnFileTransferCancel();
  } else if (m_phase == UpdatePhase::kFileCopy) {
    OnFileCopyCancel();
  }
}

void CQUpdateDlgAuto::reject() {
  // Escape never ends the run.
}

void CQUpdateDlgAuto::closeEvent(QCloseEvent* event) {
  // The close box hides the window, as Hide does; the run goes on.
  event->ignore();
  hide();
}

}  // namespace qrv
