#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/CQUpdateMgrEnv.h"

namespace qrv {

// The common base of the transports (HTTP, FTP, network folder): a small
// virtual interface each fills in, and the fetching of one named file into a
// local folder on a worker thread while the calling thread keeps servicing
// its events.
//
// Thread: every operation is called from one thread (the user-interface
// thread); the worker of DownloadFile runs on its own thread and reads the
// transport while the caller waits. Cancel() may be called from the caller's
// event hook while a download runs.
class CQUpdateTransferMgr {
 public:
  // What the worker of one file gets; it lives until the worker has ended.
  struct WorkerParams {
    CQUpdateTransferMgr* owner = nullptr;
    std::string folder;    // local folder receiving the file
    std::string fileName;  // name on the server, also the local name; normalised to '/' and checked
  };
  // A transport's worker: fetches one file, returns 1 on success, 0 on failure.
  using ThreadProc = uint32_t (*)(WorkerParams* params);

  CQUpdateTransferMgr();
  virtual ~CQUpdateTransferMgr();
  CQUpdateTransferMgr(const CQUpdateTransferMgr&) = delete;
  CQUpdateTransferMgr& operator=(const CQUpdateTransferMgr&) = delete;

  // 1 when the server can be reached and holds update information, else 0
  // (the network folder also answers 147: reached, but no qupdate_s.ini).
  virtual uint32_t Connect();
  // The worker that fetches one file; nullptr in the base (nothing can be fetched).
  virtual ThreadProc GetThreadProc();
  // Preparation before files of product are fetched; 1 = ready, 0 = failed.
  virtual uint32_t Prepare(const std::string& product);

  // Asks the download under way (apply/ListedFilesDownload) to stop between files.
  void Cancel();
  // Fetches one file into folder on a worker thread and waits, servicing the
  // caller's events. 1 on success, 0 on failure. A name that is absolute or
  // climbs out of the folder ("..") fails without fetching anything. Whatever
  // stands under the local name is removed first (never followed or changed):
  // the file is always created anew.
  int DownloadFile(const std::string& folder, const std::string& fileName);
  // Prepare("Tarnsoft"); on success clears the cancel flag and fetches
  // qupdate_s.ini into folder. 0 without fetching when the preparation fails.
  int GetUpdateInfoFile(const std::string& folder);
  // Fetches the description file that qupdate_s.ini names for the product
  // (section UPDATEINFOPATH) into the download folder; the outcome is not
  // reported. A file over TransferLimits::kMaxNotesBytes is not kept.
  void DownloadInfoFile(const std::string& product);

  // Holds the next downloads to at most cap bytes (the size the signed
  // update information lists for a file), besides TransferLimits' cap; 0
  // lifts it. A body that passes it stops the download there: the file
  // fails and SizeCapHit() says so.
  void SetFileCap(uint64_t cap) { m_capOverride.store(cap); }
  // True when the last DownloadFile failed because the body passed its cap.
  bool SizeCapHit() const { return m_sizeCapHit.load(); }

  // Why the last connection or transfer of this transport failed, with the
  // values (server, file, status, limit); empty when nothing failed yet.
  // Set through SetFailure(), which also sends the text to the diagnostics.
  const std::string& LastFailure() const { return m_lastFailure; }
  void SetFailure(const std::string& reason);

  // 1 from construction and after Cancel(); 0 while downloads run.
  uint32_t CancelFlag() const { return m_cancel.load(); }
  void SetCancelFlag(uint32_t value) { m_cancel.store(value); }

 protected:
  // The size cap of the file the transports fetch now: TransferLimits'
  // cap of its name, or less while DownloadInfoFile fetches notes.
  uint64_t FileCap(std::string_view name) const;
  // A transport's worker calls this when a body passed FileCap().
  void NoteSizeCapHit() { m_sizeCapHit.store(true); }

  CQUpdateMgrEnv m_env;
  std::string m_serverPath;  // GetServerPath() at construction
  std::atomic<uint32_t> m_cancel{1};
  std::atomic<uint64_t> m_capOverride{0};  // 0: none
  std::atomic<bool> m_sizeCapHit{false};

 private:
  std::string m_lastFailure;
};

}  // namespace qrv
