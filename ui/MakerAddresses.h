#pragma once

#include <string>

namespace qrv {

// The maker's web addresses, fixed when the program is built (CMake cache
// variables QRV_UPDATE_INFO_URL, QRV_HOMEPAGE_URL, QRV_UPDATE_ENDPOINT) so
// that a distributor sets their own.
//
// Thread: any; constant.
class MakerAddresses {
 public:
  // The update-information web page the product list's Homepage button opens.
  static std::string UpdateInfoPage();
  // The maker's home page.
  static std::string HomePage();
  // The default update service ("AUpdate70.jsp" of the maker's server), which
  // the settings dialog's Defaults button stores as the server path.
  static std::string UpdateEndpoint();
};

}  // namespace qrv
