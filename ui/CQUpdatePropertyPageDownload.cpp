#include "ui/CQUpdatePropertyPageDownload.h"

#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>

#include "app/CQUpdateDlgMgr.h"
#include "ui/DialogUnits.h"
#include "ui/FormTexts.h"
#include "ui_CQUpdatePropertyPageDownload.h"

namespace qrv {

CQUpdatePropertyPageDownload::CQUpdatePropertyPageDownload(CQUpdateDlgMgr& orchestrator, QWidget* parent)
    : CQUpdatePropertyPage(parent),
      m_orchestrator(orchestrator),
      m_ui(std::make_unique<Ui::CQUpdatePropertyPageDownload>()) {
  m_ui->setupUi(this);
  FormTexts::Apply(this);
  SetBanner(m_ui->banner);

  const DialogUnits du(font());
  m_ui->progressGroup->setMinimumWidth(du.X(264));
  m_ui->progressLines->setMinimumSize(du.Size(247, 102));
  m_ui->status->setMinimumSize(du.Size(223, 9));
  m_ui->progressBar->setMinimumSize(du.Size(247, 11));
  m_ui->cancelButton->setMinimumSize(du.Size(54, 18));
  // A long file name must not widen the window while it runs.
  m_ui->status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  m_ui->status->setTextFormat(Qt::PlainText);

  connect(m_ui->cancelButton, &QPushButton::clicked, this, [this] { OnCancel(); });
  InstallKeyFilter();
}

CQUpdatePropertyPageDownload::~CQUpdatePropertyPageDownload() = default;

void CQUpdatePropertyPageDownload::Activate() {
  m_ui->status->clear();
  m_ui->status->setToolTip(QString());
  m_ui->progressBar->setValue(m_ui->progressBar->minimum());
  m_ui->progressLines->clear();
}

QProgressBar* CQUpdatePropertyPageDownload::ProgressBar() const { return m_ui->progressBar; }

QLabel* CQUpdatePropertyPageDownload::StatusText() const { return m_ui->status; }

QListWidget* CQUpdatePropertyPageDownload::Lines() const { return m_ui->progressLines; }

void CQUpdatePropertyPageDownload::AddProgressLine(const QString& text) {
  m_ui->progressLines->addItem(text);
  m_ui->progressLines->setCurrentRow(m_ui->progressLines->count() - 1);
  m_ui->progressLines->scrollToBottom();
}

void CQUpdatePropertyPageDownload::EnableCancel(bool enable) { m_ui->cancelButton->setEnabled(enable); }

bool CQUpdatePropertyPageDownload::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    // Escape is the page's Cancel, wherever the focus is; it never closes
    // the window by itself.
    OnCancel();
    return true;
  }
  return CQUpdatePropertyPage::eventFilter(watched, event);
}

void CQUpdatePropertyPageDownload::OnCancel() {
  switch (m_orchestrator.Phase()) {
    case UpdatePhase::kDownload: m_orchestrator.OnFileTransferCancel(); break;
    case UpdatePhase::kFileCopy: m_orchestrator.OnFileCopyCancel(); break;
    default: break;
  }
}

}  // namespace qrv
