#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "app/ProductCheckList.h"

namespace qrv {

// The product list as rows in memory, printed as a table by Print.
// Thread: the user-interface thread.
class ConsoleProductList : public ProductCheckList {
 public:
  void SetCheckBoxStyle() override {}
  void InsertColumn(int32_t index, const std::string& title, int32_t width) override;
  void DeleteAllRows() override { m_rows.clear(); }
  void InsertRow(int32_t index, const std::string& name, const std::string& installed, const std::string& latest,
                 const std::string& product) override;
  int32_t RowCount() const override { return static_cast<int32_t>(m_rows.size()); }
  std::string RowProduct(int32_t row) const override;
  uint32_t CheckState(int32_t row) const override;
  void SetCheckState(int32_t row, uint32_t check) override;

  // Row of product, or -1.
  int32_t FindRow(const std::string& product) const;
  // The checked products in row order.
  std::vector<std::string> CheckedProducts() const;
  // "[x] NAME  CURRENT  LATEST" per row under a heading line of the columns,
  // every field with its control characters escaped.
  void Print(std::FILE* out) const;

 private:
  struct Row {
    std::string name, installed, latest, product;
    uint32_t check = 0;
  };
  std::vector<std::string> m_columns;
  std::vector<Row> m_rows;
};

}  // namespace qrv
