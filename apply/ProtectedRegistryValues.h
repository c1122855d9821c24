#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qrv {

// The registry values that decide where the updater puts files and whose
// signatures it trusts, which no product file may write or delete: a product
// file comes from the update server unsigned, and a server that could set
// TrustAnchors, a ProductPath or a queued replacement would have its own
// files installed as root.
//
// Protected, below HKLM (root index 2) only (the other roots are stores the
// updater never reads these from):
// - every value of SOFTWARE\QRV\Shared\QrvUpdate itself (the settings:
//   TrustAnchors, DownloadPath, the server, UpdateRemainSrc/Dest, ...);
// - everything below its PendingReplace subkey (the replacement queue);
// - ProductPath, FilePath, ProductVersion and ProductVersion_Bak of a
//   product record (a direct subkey of the main key);
// - everything below SOFTWARE\QRV\Shared\Install Information (the
//   installers' records, from which a missing ProductPath is filled in).
//
// Key paths are compared as the store finds keys: ASCII case ignored, and
// more leniently than the store parses them: '/' counts as a separator and
// empty parts (a leading, trailing or doubled separator) are dropped, so no
// spelling the store might accept slips past.
//
// Thread: any; no state.
class ProtectedRegistryValues {
 public:
  // Why value `name` of key `keyPath` below root must not be written or
  // deleted ("it is a setting of the updater itself"); empty when it may.
  static std::string WhyProtected(uint32_t root, std::string_view keyPath, std::string_view name);
};

}  // namespace qrv
