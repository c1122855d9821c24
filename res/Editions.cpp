#include "res/Editions.h"

namespace qrv {

const std::array<std::string_view, Editions::kCount>& Editions::NewestFirst() {
  static constexpr std::array<std::string_view, kCount> kLabels{"2026", "2024", "2022", "2020", "2018"};
  return kLabels;
}

}  // namespace qrv
