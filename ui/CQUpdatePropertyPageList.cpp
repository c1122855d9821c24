#include "ui/CQUpdatePropertyPageList.h"

#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <QPushButton>
#include <QTreeWidget>

#include "app/UpdateEngine.h"
#include "app/CQUpdateBaseProcess.h"
#include "app/CQUpdateDlgMgr.h"
#include "platform/core/Diagnostics.h"
#include "platform/core/LastError.h"
#include "platform/shell/Launcher.h"
#include "ui/CQUpdateEnvSetDlg.h"
#include "ui/DialogUnits.h"
#include "ui/FormTexts.h"
#include "ui/MakerAddresses.h"
#include "ui/QtProductCheckList.h"
#include "ui/UpdateContentText.h"
#include "ui_CQUpdatePropertyPageList.h"

namespace qrv {

namespace {

constexpr uint32_t kStringSelectPrompt = 10709;

}  // namespace

CQUpdatePropertyPageList::CQUpdatePropertyPageList(CQUpdateDlgMgr& orchestrator, QWidget* parent)
    : CQUpdatePropertyPage(parent), m_orchestrator(orchestrator), m_ui(std::make_unique<Ui::CQUpdatePropertyPageList>()) {
  m_ui->setupUi(this);
  FormTexts::Apply(this);
  SetBanner(m_ui->banner);

  // The template's sizes, in units of this font, as the least the controls
  // get: the layout may only grow them (Korean texts, large fonts).
  const DialogUnits du(font());
  m_ui->productList->setMinimumSize(du.Size(264, 96));
  m_ui->content->setMinimumSize(du.Size(264, 87));
  m_ui->closeButton->setMinimumSize(du.Size(59, 16));
  m_ui->updateButton->setMinimumSize(du.Size(60, 17));
  m_ui->optionsButton->setMinimumSize(du.Size(60, 17));
  m_ui->homepageButton->setMinimumSize(du.Size(65, 17));
  // The content box keeps two pixels of air around the text, on white.
  m_ui->content->document()->setDocumentMargin(2);
  QPalette white = m_ui->content->palette();
  white.setColor(QPalette::Base, Qt::white);
  white.setColor(QPalette::Text, Qt::black);
  m_ui->content->setPalette(white);
  // The "latest version" line lies over the empty list and lets it show through.
  m_ui->latestVersion->setAttribute(Qt::WA_TranslucentBackground);
  m_ui->latestVersion->setAttribute(Qt::WA_TransparentForMouseEvents);

  // Hidden for NorthAmerica, the Homepage button keeps its place: the window
  // still ends below it.
  QSizePolicy keep = m_ui->homepageButton->sizePolicy();
  keep.setRetainSizeWhenHidden(true);
  m_ui->homepageButton->setSizePolicy(keep);

  m_checkList = std::make_unique<QtProductCheckList>(m_ui->productList);
  m_orchestrator.InitProductListColumns(*m_checkList);

  connect(m_ui->productList, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item) { OnItemChanged(item); });
  connect(m_ui->productList, &QTreeWidget::itemSelectionChanged, this, [this] { OnSelectionChanged(); });
  connect(m_ui->updateButton, &QPushButton::clicked, this, &CQUpdatePropertyPageList::updateRequested);
  connect(m_ui->closeButton, &QPushButton::clicked, this, &CQUpdatePropertyPageList::closeRequested);
  connect(m_ui->optionsButton, &QPushButton::clicked, this, [this] { OnOptions(); });
  connect(m_ui->homepageButton, &QPushButton::clicked, this, [this] { OnHomepage(); });
  InstallKeyFilter();
}

CQUpdatePropertyPageList::~CQUpdatePropertyPageList() {
  // Clearing the rows must not run the dependency rule on a page going away.
  m_notify = false;
}

QTreeWidget* CQUpdatePropertyPageList::List() const { return m_ui->productList; }

QPlainTextEdit* CQUpdatePropertyPageList::Content() const { return m_ui->content; }

void CQUpdatePropertyPageList::Activate() {
  m_notify = false;
  const bool filled = m_orchestrator.FillProductList(*m_checkList) != 0;
  m_ui->productList->clearSelection();
  m_ui->productList->setCurrentItem(nullptr, 0, QItemSelectionModel::NoUpdate);

  // "You are using the latest version." only when the server said so: a
  // server that could not be asked gives an empty list too, and the update
  // content box says what went wrong instead.
  std::string failure;
  if (const CQUpdateBaseProcess* process = CQUpdateBaseProcess::GetInstance(); process != nullptr && !filled) {
    const auto outcome = process->LastPrepareOutcome();
    if (outcome == CQUpdateBase::PrepareOutcome::kUnreachable || outcome == CQUpdateBase::PrepareOutcome::kFailed) {
      failure = process->PrepareFailure();
    }
  }
  m_ui->latestVersion->setVisible(!filled && failure.empty());
  m_notify = true;

  const bool rows = m_checkList->RowCount() > 0;
  m_ui->updateButton->setEnabled(rows);
  m_ui->homepageButton->setEnabled(rows);
  m_ui->homepageButton->setVisible(!HomepageHidden());
  ShowContent(-1);
  if (!failure.empty()) m_ui->content->setPlainText(QString::fromStdString(failure));
}

std::vector<std::string> CQUpdatePropertyPageList::CheckedProducts() const {
  std::vector<std::string> products;
  for (int32_t row = 0; row < m_checkList->RowCount(); ++row) {
    if (m_checkList->CheckState(row) != 0) products.push_back(m_checkList->RowProduct(row));
  }
  return products;
}

bool CQUpdatePropertyPageList::HomepageHidden() { return UpdateEngine::Current().HomepageHidden(); }

void CQUpdatePropertyPageList::OnItemChanged(QTreeWidgetItem* item) {
  if (!m_notify) return;
  Propagate(item);
  OnSelectionChanged();
}

void CQUpdatePropertyPageList::OnSelectionChanged() {
  if (!m_notify) return;
  const QList<QTreeWidgetItem*> selected = m_ui->productList->selectedItems();
  if (selected.isEmpty()) return;
  // Selecting a row gives its check state to what it depends on, as a click
  // on its box does.
  Propagate(selected.front());
  ShowContent(m_ui->productList->indexOfTopLevelItem(selected.front()));
}

void CQUpdatePropertyPageList::Propagate(QTreeWidgetItem* item) {
  const int row = m_ui->productList->indexOfTopLevelItem(item);
  if (row < 0) return;
  // Each box this sets reports itemChanged in turn and spreads further; a box
  // already in that state reports nothing, so the walk ends.
  m_orchestrator.CheckDependencies(m_checkList->RowProduct(row), *m_checkList, m_checkList->CheckState(row));
}

void CQUpdatePropertyPageList::ShowContent(int row) {
  m_ui->content->clear();
  if (row < 0) {
    if (m_checkList->RowCount() > 0) m_ui->content->setPlainText(FormTexts::Text(kStringSelectPrompt));
    return;
  }
  std::string bytes;
  bool truncated = false;
  if (!UpdateEngine::Current().ReadUpdateContent(m_checkList->RowProduct(row), UpdateContentText::kMaxBytes, bytes,
                                                 truncated)) {
    return;
  }
  m_ui->content->setPlainText(UpdateContentText::Show(bytes, truncated));
}

void CQUpdatePropertyPageList::OnOptions() {
  if (RunSettingsDialog()) m_orchestrator.UpdatePrepare(0);
}

bool CQUpdatePropertyPageList::RunSettingsDialog() {
  CQUpdateEnvSetDlg dialog(window());
  return dialog.exec() == QDialog::Accepted;
}

void CQUpdatePropertyPageList::OnHomepage() {
  const std::string address = MakerAddresses::UpdateInfoPage();
  if (!platform::Launcher::Current().OpenAddress(address)) {
    platform::Diagnostics::Report("cannot show the update-information page: " + platform::LastError::Text());
  }
}

}  // namespace qrv
