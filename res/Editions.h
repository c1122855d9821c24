#pragma once

#include <array>
#include <string_view>

namespace qrv {

// The edition labels the products' installers put into their display names
// ("Qorvane Writer 2024"), newest edition first. The product list shows the
// newest editions first because an update of an older edition often depends
// on files a newer one ships.
//
// Thread: any; the list is constant.
class Editions {
 public:
  static constexpr size_t kCount = 5;
  static const std::array<std::string_view, kCount>& NewestFirst();
};

}  // namespace qrv
