#include "ui/MakerAddresses.h"

namespace qrv {

std::string MakerAddresses::UpdateInfoPage() { return QRV_UPDATE_INFO_URL; }
std::string MakerAddresses::HomePage() { return QRV_HOMEPAGE_URL; }
std::string MakerAddresses::UpdateEndpoint() { return QRV_UPDATE_ENDPOINT; }

}  // namespace qrv
