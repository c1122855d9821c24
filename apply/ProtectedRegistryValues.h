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
// - Product, ProductPath, FilePath, ProductVersion and ProductVersion_Bak in
//   every key below the main key, however deep: a record's Product value
//   names the key the updater then reads the others from, and that key may
//   lie deeper than a direct subkey. (Pidkey and ProductName are not
//   protected: one is only sent to the update server, which wrote the
//   product file anyway, the other is only shown.)
// - everything below SOFTWARE\QRV\Shared\Install Information (the
//   installers' records, from which a missing ProductPath is filled in).
//
// Key paths are compared exactly as the store looks keys up
// (RegistryKey::LookupNames): split at '\' only, so "QrvUpdate\A/B" is one
// key "A/B" one level below the main key, and "SOFTWARE/QRV/..." is a single
// key at the root; ASCII case ignored in key and value names. A path the
// store refuses (a leading '\', an empty name) is refused here too.
//
// Thread: any; no state.
class ProtectedRegistryValues {
 public:
  // Why value `name` of key `keyPath` below root must not be written or
  // deleted ("it is a setting of the updater itself"); empty when it may.
  static std::string WhyProtected(uint32_t root, std::string_view keyPath, std::string_view name);
};

}  // namespace qrv
