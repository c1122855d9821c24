#pragma once

#include "app/ProductCheckList.h"

class QTreeWidget;

namespace qrv {

// The product list of the product page on a QTreeWidget: one top-level item
// per row, the check box in column 0, the product key (the row record) as
// the item's Qt::UserRole data of column 0. Setting a check state emits the
// tree's itemChanged like a click does, so the page's dependency rule sees
// both alike.
//
// The tree is not owned and must outlive this object. Thread: the
// user-interface thread.
class QtProductCheckList : public ProductCheckList {
 public:
  explicit QtProductCheckList(QTreeWidget* tree) : m_tree(tree) {}

  void SetCheckBoxStyle() override;
  void InsertColumn(int32_t index, const std::string& title, int32_t width) override;
  void DeleteAllRows() override;
  void InsertRow(int32_t index, const std::string& name, const std::string& installed, const std::string& latest,
                 const std::string& product) override;
  int32_t RowCount() const override;
  std::string RowProduct(int32_t row) const override;
  uint32_t CheckState(int32_t row) const override;
  void SetCheckState(int32_t row, uint32_t check) override;

 private:
  QTreeWidget* m_tree;
};

}  // namespace qrv
