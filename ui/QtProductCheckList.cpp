#include "ui/QtProductCheckList.h"

#include <QHeaderView>
#include <QTreeWidget>
#include <algorithm>

#include "platform/core/DisplayText.h"
#include "ui/FormTexts.h"

namespace qrv {

void QtProductCheckList::SetCheckBoxStyle() {
  // A flat list: no expander column, no sorting by header, whole rows selected.
  m_tree->setRootIsDecorated(false);
  m_tree->setItemsExpandable(false);
  m_tree->setSortingEnabled(false);
  m_tree->header()->setSectionsClickable(false);
  m_tree->setSelectionBehavior(QAbstractItemView::SelectRows);
}

void QtProductCheckList::InsertColumn(int32_t index, const std::string& title, int32_t width) {
  if (index < 0) return;
  if (m_tree->columnCount() <= index) m_tree->setColumnCount(index + 1);
  QTreeWidgetItem* header = m_tree->headerItem();
  header->setText(index, QString::fromStdString(title));
  header->setTextAlignment(index, Qt::AlignLeft | Qt::AlignVCenter);
  // The columns keep their given widths; a title or text cut by one (long
  // version texts, Korean, large fonts) is whole in its tool tip.
  header->setToolTip(index, FormTexts::PlainToolTip(QString::fromStdString(title)));
  m_tree->setColumnWidth(index, width);
}

void QtProductCheckList::DeleteAllRows() { m_tree->clear(); }

void QtProductCheckList::InsertRow(int32_t index, const std::string& name, const std::string& installed,
                                   const std::string& latest, const std::string& product) {
  // Names and version texts come from the server and the installers: their
  // control and direction characters are shown as visible escapes, never
  // obeyed (a right-to-left override would show 7.0.1 as 1.0.7).
  const auto shown = [](const std::string& text) {
    return QString::fromStdString(platform::DisplayText::Escape(text));
  };
  auto* item = new QTreeWidgetItem(QStringList{shown(name), shown(installed), shown(latest)});
  item->setData(0, Qt::UserRole, QString::fromStdString(product));
  for (int column = 0; column < item->columnCount(); ++column) {
    item->setToolTip(column, FormTexts::PlainToolTip(item->text(column)));
  }
  item->setFlags((item->flags() | Qt::ItemIsUserCheckable) & ~Qt::ItemIsAutoTristate);
  item->setCheckState(0, Qt::Unchecked);
  m_tree->insertTopLevelItem(std::clamp(index, 0, m_tree->topLevelItemCount()), item);
}

int32_t QtProductCheckList::RowCount() const { return m_tree->topLevelItemCount(); }

std::string QtProductCheckList::RowProduct(int32_t row) const {
  const QTreeWidgetItem* item = m_tree->topLevelItem(row);
  return item != nullptr ? item->data(0, Qt::UserRole).toString().toStdString() : std::string();
}

uint32_t QtProductCheckList::CheckState(int32_t row) const {
  const QTreeWidgetItem* item = m_tree->topLevelItem(row);
  return item != nullptr && item->checkState(0) == Qt::Checked ? 1 : 0;
}

void QtProductCheckList::SetCheckState(int32_t row, uint32_t check) {
  if (QTreeWidgetItem* item = m_tree->topLevelItem(row)) item->setCheckState(0, check != 0 ? Qt::Checked : Qt::Unchecked);
}

}  // namespace qrv
