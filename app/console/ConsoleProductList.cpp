#include "app/console/ConsoleProductList.h"

#include <algorithm>

#include "platform/core/DisplayText.h"

namespace qrv {

void ConsoleProductList::InsertColumn(int32_t index, const std::string& title, int32_t /*width*/) {
  const auto at = static_cast<size_t>(std::clamp<int32_t>(index, 0, static_cast<int32_t>(m_columns.size())));
  m_columns.insert(m_columns.begin() + static_cast<long>(at), title);
}

void ConsoleProductList::InsertRow(int32_t index, const std::string& name, const std::string& installed,
                                   const std::string& latest, const std::string& product) {
  const auto at = static_cast<size_t>(std::clamp<int32_t>(index, 0, RowCount()));
  m_rows.insert(m_rows.begin() + static_cast<long>(at), Row{name, installed, latest, product, 0});
}

std::string ConsoleProductList::RowProduct(int32_t row) const {
  return row >= 0 && row < RowCount() ? m_rows[static_cast<size_t>(row)].product : std::string();
}

uint32_t ConsoleProductList::CheckState(int32_t row) const {
  return row >= 0 && row < RowCount() ? m_rows[static_cast<size_t>(row)].check : 0;
}

void ConsoleProductList::SetCheckState(int32_t row, uint32_t check) {
  if (row >= 0 && row < RowCount()) m_rows[static_cast<size_t>(row)].check = check != 0 ? 1 : 0;
}

int32_t ConsoleProductList::FindRow(const std::string& product) const {
  for (int32_t row = 0; row < RowCount(); ++row) {
    if (m_rows[static_cast<size_t>(row)].product == product) return row;
  }
  return -1;
}

std::vector<std::string> ConsoleProductList::CheckedProducts() const {
  std::vector<std::string> products;
  for (const Row& row : m_rows) {
    // A record listed twice (two edition labels) is still one product.
    if (row.check != 0 && std::find(products.begin(), products.end(), row.product) == products.end()) {
      products.push_back(row.product);
    }
  }
  return products;
}

void ConsoleProductList::Print(std::FILE* out) const {
  // Names and version texts come from the server and the installers:
  // escaped, so none can drive the terminal, and padded by the characters
  // shown rather than by bytes.
  using platform::DisplayText;
  auto padded = [](const std::string& text, size_t width) {
    const std::string shown = DisplayText::Escape(text);
    const size_t length = DisplayText::Width(shown);
    return shown + std::string(width > length ? width - length : 0, ' ');
  };
  auto column = [&](size_t i) { return i < m_columns.size() ? m_columns[i] : std::string(); };
  size_t width = DisplayText::Width(DisplayText::Escape(column(0)));
  for (const Row& row : m_rows) width = std::max(width, DisplayText::Width(DisplayText::Escape(row.name)));
  std::fprintf(out, "    %s  %s  %s\n", padded(column(0), width).c_str(), padded(column(1), 16).c_str(),
               DisplayText::Escape(column(2)).c_str());
  for (const Row& row : m_rows) {
    std::fprintf(out, "[%c] %s  %s  %s\n", row.check != 0 ? 'x' : ' ', padded(row.name, width).c_str(),
                 padded(row.installed, 16).c_str(), DisplayText::Escape(row.latest).c_str());
  }
  std::fflush(out);
}

}  // namespace qrv
