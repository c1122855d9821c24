#pragma once

#include <string>
#include <vector>

#include "apply/DownloadResult.h"

namespace qrv {

class CQUpdateDownloadMgr;
class CQUpdateTransferMgr;
class UpdateLogWriter;

// The first stage of applying: fetches, for each product in order, its
// product file (PRODUCT.ini) and every file it lists per feature into the
// download folder, checks each file's signature and records everything in a
// fresh update log (the old log and product files are moved aside first).
// The log is written in one go when the download ends (UpdateLogWriter):
// once DownloadListedFiles returns, whatever the outcome, everything it
// recorded is on disk, together with the update information and the
// product files it fetched.
// The transport is used only to prepare, fetch files and carry the cancel
// flag, so a cancel sent to the transport stops this between files.
//
// Thread: the user-interface thread; the transport runs its own workers.
// The transport must outlive this object.
class ListedFilesDownload {
 public:
  explicit ListedFilesDownload(CQUpdateTransferMgr& transport) : m_transport(transport) {}

  // A product whose product file cannot be fetched is removed from products
  // (and named in DroppedProducts() and in a progress text of kind
  // UpdateProgress::kDropped). The download folder is checked first
  // (UpdateFiles::PrepareDownloadFolder). A listed name that is absolute or
  // climbs ("..") is never fetched: it counts as a file that failed. The
  // first refused signature or failed file stops the run after the counts of
  // its feature are written.
  DownloadResult DownloadListedFiles(std::vector<std::string>& products);

  // The download manager's step: kFolderFailed without fetching anything
  // when the manager has no information path, else DownloadListedFiles on
  // its transport.
  DownloadResult DownloadUpdateFiles(CQUpdateDownloadMgr& manager, std::vector<std::string>& products);

  // The products the last run dropped because their product file could not
  // be fetched, in order; empty when none.
  const std::vector<std::string>& DroppedProducts() const { return m_droppedProducts; }

 private:
  // Fetches and checks the files of one feature, its entries going to log;
  // false when a local folder cannot be made (the run ends with
  // kFolderFailed).
  bool FetchFeature(const std::string& product, const std::string& feature, UpdateLogWriter& log, uint32_t& errors);

  CQUpdateTransferMgr& m_transport;
  std::string m_folder;
  std::vector<std::string> m_droppedProducts;
  std::vector<std::string> m_written;  // the files fetched and accepted, to flush at the end
  bool m_signatureRefused = false;  // stop reason A
  bool m_fileFailed = false;        // stop reason B
};

}  // namespace qrv
