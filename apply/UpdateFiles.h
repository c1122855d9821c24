#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qrv {

// Names and places of the files an update run works with, all in the
// download folder (GetDownloadPath(1), ending in "QRVDownload/"):
// qupdate_s.ini (what the server offers), one product file per product
// (PRODUCT.ini: its files and actions) and the update log quplog.ini.
//
// Values read from these files count at most 259 characters, as the readers
// use 260-character buffers.
//
// Thread: any; every call reads the settings afresh.
class UpdateFiles {
 public:
  static constexpr uint32_t kValueChars = 260;  // buffer size of every text read

  static std::string DownloadFolder();                            // ends in '/'
  static std::string InfoPath();                                  // .../qupdate_s.ini
  static std::string LogPath();                                   // .../quplog.ini
  static std::string ProductFilePath(std::string_view product);   // .../PRODUCT.ini
  static std::string HoldingFolder(std::string_view product);     // .../Tmp/PRODUCT/

  // The product's feature names: the product key, then each subkey of its
  // registry key in enumeration order. False when the product's key cannot be
  // opened (no features) or when the names joined as "P;F1;F2;" would pass
  // 259 characters: such a product is refused, with a diagnostic naming it.
  static bool FeatureNames(std::string_view product, std::vector<std::string>& names);

  // Moves path aside as path + the decimal LastUpdate ("-1" when missing),
  // replacing an older copy of that name. Both are entries of path's folder
  // and are renamed as they are: a link under either name is never
  // followed. Nothing happens when path does not exist.
  static void MoveAside(const std::string& path);

  // Makes sure the download folder is ours alone before anything in it is
  // used (platform::PrivateFolder::Ensure: created 0700 when missing; a
  // link, a folder of another user or one others may write is refused and
  // left alone). False with `error` naming the folder and the reason.
  static bool PrepareDownloadFolder(std::string& error);

  // Whether a listed file may be applied: its name ends in "cab", any case.
  static bool IsCabinetName(std::string_view path);
};

}  // namespace qrv
