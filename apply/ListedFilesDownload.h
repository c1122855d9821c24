#pragma once

#include <string>
#include <vector>

#include "apply/DownloadResult.h"
#include "apply/SignedUpdateInfo.h"

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

  // The signed information the run's qupdate_s.ini was accepted with
  // (SignedUpdateInfo::AcceptInfo); it must outlive this object. Without
  // one, a fresh SignedUpdateInfo is used: signatures are then demanded
  // exactly when RequireSignedInfo is set, and cannot be met.
  void UseSignedInfo(SignedUpdateInfo* info) { m_info = info != nullptr ? info : &m_ownInfo; }

  // A product whose product file cannot be fetched is removed from products
  // (and named in DroppedProducts() and in a progress text of kind
  // UpdateProgress::kDropped). The download folder is checked first
  // (UpdateFiles::PrepareDownloadFolder). A listed name that is absolute or
  // climbs ("..") is never fetched: it counts as a file that failed. The
  // first refused signature or failed file stops the run after the counts of
  // its feature are written.
  //
  // Each product file and each listed file also goes through the signed
  // update information (UseSignedInfo): a product file it refuses, a listed
  // file without a listed size and hash while it is in use, a file larger
  // than its listed size (its download stops at that size) or with another
  // SHA-256 stop the run as a refused signature (kSignatureRefused), with
  // the information's message shown.
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

  // Stops the run for a refusal of the signed information.
  void RefuseSigned();

  CQUpdateTransferMgr& m_transport;
  SignedUpdateInfo m_ownInfo;
  SignedUpdateInfo* m_info = &m_ownInfo;
  std::string m_folder;
  std::vector<std::string> m_droppedProducts;
  std::vector<std::string> m_written;  // the files fetched and accepted, to flush at the end
  bool m_signatureRefused = false;  // stop reason A
  bool m_fileFailed = false;        // stop reason B
};

}  // namespace qrv
