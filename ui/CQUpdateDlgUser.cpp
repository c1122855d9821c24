#include "ui/CQUpdateDlgUser.h"

#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QProgressBar>
#include <QScreen>
#include <QStackedWidget>

#include "app/CQUpdateBaseProcess.h"
#include "platform/core/DisplayText.h"
#include "platform/core/MessageService.h"
#include "res/CQUpdateStrings.h"
#include "res/StringIds.h"
#include "ui/Artwork.h"
#include "ui/CQUpdateAboutDlg.h"
#include "ui/CQUpdatePropertyPageDownload.h"
#include "ui/CQUpdatePropertyPageList.h"
#include "ui/FormTexts.h"
#include "ui/QtEventPump.h"
#include "ui/QtProgressControl.h"
#include "ui/QtStatusControl.h"

namespace qrv {

namespace {

constexpr uint32_t kStringAbout = 101;
constexpr uint32_t kStringSelectProduct = 126;
constexpr int kHomepageButton = 1072;
constexpr int kProgressBar = 1013;

bool CancelForbidden(platform::ProgressKind kind) {
  return kind == platform::ProgressKind::kCopying || kind == platform::ProgressKind::kDeleting ||
         kind == platform::ProgressKind::kCancelling;
}

}  // namespace

CQUpdateDlgUser::CQUpdateDlgUser(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(FormTexts::Text(kStringAppTitle));
  setWindowIcon(Artwork::Icon(128));

  m_stack = new QStackedWidget(this);
  m_listPage = new CQUpdatePropertyPageList(*this, m_stack);
  m_downloadPage = new CQUpdatePropertyPageDownload(*this, m_stack);
  m_stack->addWidget(m_listPage);
  m_stack->addWidget(m_downloadPage);
  connect(m_listPage, &CQUpdatePropertyPageList::updateRequested, this, [this] { StartUpdate(); });
  connect(m_listPage, &CQUpdatePropertyPageList::closeRequested, this, [this] { CloseWindow(); });

  // A Linux window has no system menu to add the About item to: it is on
  // the window's context menu and on F1 instead.
  auto* about = new QAction(FormTexts::Text(kStringAbout), this);
  about->setShortcut(QKeySequence(Qt::Key_F1));
  about->setShortcutContext(Qt::WindowShortcut);
  connect(about, &QAction::triggered, this, [this] { ShowAbout(); });
  addAction(about);
  setContextMenuPolicy(Qt::ActionsContextMenu);
}

CQUpdateDlgUser::~CQUpdateDlgUser() {
  // The orchestrator must not write to the controls going away with the pages.
  SetProgressCtrl(nullptr);
  SetStatusCtrl(nullptr);
}

int CQUpdateDlgUser::CurrentPage() const { return m_stack->currentIndex(); }

int32_t CQUpdateDlgUser::RunDialog() {
  m_pump = std::make_unique<QtEventPump>();
  m_closing = false;
  UpdatePrepare(0);
  exec();
  m_pump.reset();
  return 1;
}

bool CQUpdateDlgUser::UpdatePrepare(int32_t messageId) {
  // The list stays as it was while the server is asked (the window's events
  // go on meanwhile), but nothing on it may start a second run or dialog.
  const bool nested = m_preparing;
  m_preparing = true;
  m_listPage->setEnabled(false);
  m_prepareMessage = messageId;
  CQUpdateDlgMgr::UpdatePrepare(0);
  if (!m_closing) ShowPage(kListPage);
  m_listPage->setEnabled(true);
  m_preparing = nested;
  return true;
}

void CQUpdateDlgUser::UpdateWait() {
  // Nothing waits in the interactive run: the copy follows at once.
  UpdateCopyFile();
}

void CQUpdateDlgUser::UpdateFinalize() {
  CQUpdateDlgMgr::UpdateFinalize();
  UpdatePrepare(0);
}

void CQUpdateDlgUser::OnFileTransferBegin() {
  m_progressControl = std::make_unique<QtProgressControl>(m_downloadPage->ProgressBar());
  m_statusControl = std::make_unique<QtStatusControl>(m_downloadPage->StatusText());
  SetProgressCtrl(m_progressControl.get());
  SetStatusCtrl(m_statusControl.get());
  CQUpdateDlgMgr::OnFileTransferBegin();
}

void CQUpdateDlgUser::OnFileTransferFinish() {
  CQUpdateDlgMgr::OnFileTransferFinish();
  UpdateCopyFile();
}

void CQUpdateDlgUser::OnFileTransferCancel() {
  if (platform::MessageService::Current().Show(kStringStopDownload, platform::MessageService::kOkCancel) !=
      platform::MessageService::kAnswerOk) {
    return;
  }
  CQUpdateDlgMgr::OnFileTransferCancel();
  m_phase = UpdatePhase::kPrepare;
}

void CQUpdateDlgUser::OnFileCopyFinish() {
  CQUpdateDlgMgr::OnFileCopyFinish();
  UpdateFinalize();
}

void CQUpdateDlgUser::OnFileCopyCancel() {
  // A copy half done is worse than one finished: it cannot be stopped here.
}

void CQUpdateDlgUser::OnFileTransferError(int32_t result) {
  CQUpdateDlgMgr::OnFileTransferError(result);
  UpdatePrepare(0);
}

void CQUpdateDlgUser::OnFileCopyError() {
  CQUpdateDlgMgr::OnFileCopyError();
  UpdatePrepare(0);
}

void CQUpdateDlgUser::OnErrorReserved1() {
  CQUpdateDlgMgr::OnErrorReserved1();
  UpdatePrepare(0);
}

void CQUpdateDlgUser::OnFinalizeError() {
  CQUpdateDlgMgr::OnFinalizeError();
  UpdatePrepare(0);
}

void CQUpdateDlgUser::OnErrorReserved2() {
  CQUpdateDlgMgr::OnErrorReserved2();
  UpdatePrepare(0);
}

bool CQUpdateDlgUser::OnPrepareFinish(int32_t found) {
  CQUpdateDlgMgr::OnPrepareFinish(found);
  // An empty list is also what a server that did not answer gives; a fresh
  // check says so (after a failed download the run has said it already).
  if (m_prepareMessage == 0 && Engine().LastPrepareOutcome() == CQUpdateBase::PrepareOutcome::kUnreachable) {
    platform::MessageService::Current().Show(kStringNoNetwork, platform::MessageService::kOk);
  }
  // The window shows its list also when nothing can be updated.
  return true;
}

void CQUpdateDlgUser::SetProductStatus(const std::string& product, platform::ProgressKind kind) {
  m_downloadPage->AddProgressLine(QString::fromStdString(ProductStatusText(product, kind)));
}

void CQUpdateDlgUser::SetProgressText(platform::ProgressKind kind, std::string_view file, uint32_t value) {
  m_downloadPage->EnableCancel(!CancelForbidden(kind));
  CQUpdateDlgMgr::SetProgressText(kind, file, value);
}

void CQUpdateDlgUser::StartUpdate() {
  if (m_preparing || m_phase == UpdatePhase::kDownload || m_phase == UpdatePhase::kFileCopy) return;
  std::vector<std::string> products = m_listPage->CheckedProducts();
  if (products.empty()) {
    platform::MessageService::Current().Show(kStringSelectProduct, platform::MessageService::kOk);
    return;
  }
  ShowPage(kDownloadPage);
  UpdateDownload(products);
}

void CQUpdateDlgUser::CloseWindow() {
  if (m_phase == UpdatePhase::kDownload) {
    OnFileTransferCancel();
  } else if (m_phase == UpdatePhase::kFileCopy) {
    OnFileCopyCancel();
  }
  if (m_phase == UpdatePhase::kDownload || m_phase == UpdatePhase::kFileCopy) return;
  m_closing = true;
  done(1);
}

void CQUpdateDlgUser::ShowAbout() {
  CQUpdateAboutDlg about(this);
  about.exec();
}

void CQUpdateDlgUser::reject() { CloseWindow(); }

void CQUpdateDlgUser::closeEvent(QCloseEvent* event) {
  // Whether the window goes is the close rule's to say; done() hides it.
  event->ignore();
  CloseWindow();
}

void CQUpdateDlgUser::ShowPage(int page) {
  const bool shown = isVisible();
  if (shown) setUpdatesEnabled(false);
  m_stack->setCurrentIndex(page);
  auto* current = static_cast<CQUpdatePropertyPage*>(m_stack->currentWidget());
  current->Activate();

  // The page at its natural size; then room is added at its foot (never
  // between its controls, so nothing moves) until the window can end the
  // page's margin below its reference control.
  QLayout* layout = current->layout();
  QMargins margins = layout->contentsMargins();
  margins.setBottom(0);
  layout->setContentsMargins(margins);
  const auto natural = [&] {
    const QSize hint = current->sizeHint().expandedTo(current->minimumSizeHint());
    // Placed at once: a window not shown yet would otherwise lay its
    // controls out only when it is.
    m_stack->setGeometry(0, 0, hint.width(), hint.height());
    current->setGeometry(0, 0, hint.width(), hint.height());
    layout->setGeometry(QRect(QPoint(0, 0), hint));
    return hint;
  };
  QSize size = natural();
  int height = size.height();
  if (const QWidget* reference = FormTexts::FindById(current, page == kListPage ? kHomepageButton : kProgressBar)) {
    const int bottom = reference->mapTo(current, QPoint(0, reference->height())).y();
    height = bottom + (page == kListPage ? kListMargin : kDownloadMargin);
    if (height > size.height()) {
      margins.setBottom(height - size.height());
      layout->setContentsMargins(margins);
      size = natural();
    }
  }
  const QPoint centre = frameGeometry().center();
  setFixedSize(size.width(), height);
  if (shown) {
    QRect frame = frameGeometry();
    frame.moveCenter(centre);
    move(frame.topLeft());
    setUpdatesEnabled(true);
    update();
  }
}

}  // namespace qrv
