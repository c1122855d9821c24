#pragma once

#include <cstdint>
#include <string>

namespace qrv {

// The list of pending products with a check box per row, as the console and
// the graphical product page show it. Each row carries the product key it
// stands for (its row record); the list owns its rows and their records.
//
// Rows are numbered from 0. Thread: the user-interface thread.
class ProductCheckList {
 public:
  virtual ~ProductCheckList() = default;
  // Check boxes as the only extended style.
  virtual void SetCheckBoxStyle() = 0;
  virtual void InsertColumn(int32_t index, const std::string& title, int32_t width) = 0;
  // Drops every row with its record.
  virtual void DeleteAllRows() = 0;
  // Inserts a row at index with its three column texts and the product key as
  // its record; the row starts unchecked.
  virtual void InsertRow(int32_t index, const std::string& name, const std::string& installed,
                         const std::string& latest, const std::string& product) = 0;
  virtual int32_t RowCount() const = 0;
  // The row's product key; empty for a row without a record.
  virtual std::string RowProduct(int32_t row) const = 0;
  // 1 checked, 0 not.
  virtual uint32_t CheckState(int32_t row) const = 0;
  virtual void SetCheckState(int32_t row, uint32_t check) = 0;
};

}  // namespace qrv
