#pragma once

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include "apply/CopyResult.h"

namespace qrv {

// Applies what the download phase left in the download folder: unpacks each
// logged cabinet of each logged product into the product's installation
// folder and records the new update levels; afterwards commits (forgets the
// previous levels) or rolls back (restores them), and empties the download
// folder.
//
// The products and files come only from the update log (quplog.ini), the new
// levels from section UpdateVersionInfo of qupdate_s.ini.
//
// Thread: every call from the user-interface thread, except RequestCancel(),
// which may be called from any thread (typically from the progress sink
// while ApplyUpdates runs). Each cabinet is unpacked on a worker thread while
// the caller's events keep being serviced.
class CQUpdateApplier {
 public:
  // Every logged product in order: 1 done, 0 when a product failed (those
  // before it stay applied with their levels recorded; the failed one and
  // those after it keep their levels, so the next run offers them again),
  // 2 when cancelled before a product or while the last one was copied. A
  // product's level is recorded only
  // once every one of its cabinets was unpacked (in place, or through the
  // holding folder and the restart queue).
  CopyResult ApplyUpdates();
  // One product: 2 when the cancel request is set, 1 when its key cannot be
  // opened (nothing to apply) or every cabinet was unpacked, 0 when a logged
  // file is not a cabinet name ("...cab"), lies outside the download folder,
  // the product has no absolute installation folder, its feature names
  // cannot be built, or a cabinet is refused or cannot be unpacked
  // (ExtractCabinetToProduct: the size and SHA-256 the log recorded from the
  // signed update information, if any, and its signature, checked once more on the open
  // file it is unpacked from; damage; a file that would land outside the
  // installation folder; no room even in the holding folder). Records no
  // level itself; on 0, FailureReason() says why.
  CopyResult ApplyProduct(const std::string& product, const std::string& logPath, const std::string& infoPath);
  // Why the last ApplyUpdates() / ApplyProduct() failed, naming the product,
  // the cabinet's path and the reason; empty when the last call did not fail.
  // The front-ends show it with the copy error.
  const std::string& FailureReason() const { return m_failure; }
  // Deletes ProductVersion_Bak of every logged product. 1.
  int Commit();
  // Puts ProductVersion_Bak back as ProductVersion where one (not negative)
  // is stored, and deletes it. Unpacked files stay. flag is not used. 1.
  int Rollback(uint32_t flag);
  // Takes effect before the next product. Never cleared.
  void RequestCancel() { m_cancel.store(1); }
  // Forgets a cancel asked of an earlier copy; call before a copy starts.
  void ClearCancel() { m_cancel.store(0); }
  // Empties the download folder but for the files CleanFolder keeps. 1.
  int CleanDownloadFolder();

 private:
  // Whether the cabinet path from the log names a file below the download
  // folder: both absolute, and with doubled '/' and "." parts dropped from
  // both, the cabinet's parts are the folder's followed by at least one
  // more, none of those "..". A ".." of the folder's own text must appear
  // the same in the cabinet's. Nothing is resolved and no link is followed:
  // tidying ".." away by text would be wrong after a link, and the folder
  // is ours alone, its cabinets opened without following a link.
  static bool InsideDownloadFolder(const std::string& cabinet);
  // Records the product's level from UpdateVersionInfo; the first recording
  // of a product in a run keeps the old level as ProductVersion_Bak.
  void RecordLevel(const std::string& product, const std::string& infoPath);
  // Keeps reason as FailureReason(), reports it to the diagnostics; kFailed.
  CopyResult Fail(std::string reason);

  std::atomic<uint32_t> m_cancel{0};
  std::set<std::string> m_recorded;  // upper-cased products recorded in this run
  std::string m_failure;
};

}  // namespace qrv
