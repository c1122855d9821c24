#pragma once

#include <string>

namespace qrv {

// One product of the product list, as it travels from the installed-product
// enumeration through the server comparison to the download and copy.
struct tagUPDATETYPE {
  std::string product;        // product key: registry subkey name, key in the update-information file
  std::string productName;    // display name
  std::string pidkey;         // product identification key sent to the update service
  std::string version;        // installed version text, shown in the product list
  std::string latestVersion;  // newest version text from the update-information file

  bool operator==(const tagUPDATETYPE&) const = default;
};

}  // namespace qrv
